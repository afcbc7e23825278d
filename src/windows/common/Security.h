#pragma once

#include "tstrings.h"

#include <windows.h>

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

} // namespace security
