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
    std::string userSid; // SDDL text, such as S-1-5-21-...
    bool elevated = false;
    bool system = false; // the user is LocalSystem
};

// The facts of this process's own token.
TokenFacts currentTokenFacts();

} // namespace security
