#pragma once

#include "tstrings.h"

#include <windows.h>

#include <string>
#include <vector>

namespace security {

// A self-relative security descriptor made from SDDL text, owned as plain bytes.
class SecurityDescriptor {
public:
    explicit SecurityDescriptor(const tstrings::StringBuilder& sddl);

    // For SECURITY_ATTRIBUTES; valid while this object lives.
    PSECURITY_DESCRIPTOR get() { return bytes.data(); }
    std::size_t size() const { return bytes.size(); }

private:
    std::vector<BYTE> bytes;
};

// Who this process runs as, and with which rights: what an access list for it depends on.
struct TokenFacts {
    std::string userSid;  // SDDL text, such as S-1-5-21-...
    std::string ownerSid; // what owns what it creates: the user, or for an elevated one the administrators
    bool elevated = false;
    bool system = false; // the user is LocalSystem
};

// The facts of this process's own token.
TokenFacts currentTokenFacts();

// Whether the object that handle holds (opened with READ_CONTROL) is owned by ownerSid and has
// exactly the access list of expected, protected from inheritance: what a creation with that
// descriptor gives, and nothing a later change made.
bool hasOwnerAndAccessList(HANDLE object, const std::string& ownerSid, SecurityDescriptor& expected);

} // namespace security
