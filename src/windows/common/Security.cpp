#include "Security.h"

#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <sddl.h>

namespace security {

namespace {

void freeLocal(HLOCAL memory) {
    LocalFree(memory);
}

using AutoLocalMemory = AutoOwner<HLOCAL, freeLocal>;

// The token's record of that class, which the system sizes.
std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> record(size);
    if (size == 0 || !GetTokenInformation(token, kind, record.data(), size, &size)) {
        ORV_THROW_LAST_ERROR("GetTokenInformation failed", GetTokenInformation);
    }
    return record;
}

} // namespace

SecurityDescriptor::SecurityDescriptor(const tstrings::StringBuilder& sddl) {
    PSECURITY_DESCRIPTOR converted = nullptr;
    ULONG length = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.str().c_str(), SDDL_REVISION_1, &converted,
                                                              &length)) {
        ORV_THROW_LAST_ERROR("ConvertStringSecurityDescriptorToSecurityDescriptor failed",
                             ConvertStringSecurityDescriptorToSecurityDescriptorA);
    }
    // Freed however the copy ends, even when the allocation below fails.
    const AutoLocalMemory system(converted);
    const BYTE* first = static_cast<const BYTE*>(converted);
    bytes.assign(first, first + length);
}

TokenFacts currentTokenFacts() {
    HANDLE handle = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle)) {
        ORV_THROW_LAST_ERROR("OpenProcessToken failed", OpenProcessToken);
    }
    const AutoHandle token(handle);
    const std::vector<BYTE> user = tokenInformation(token.get(), TokenUser);
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        ORV_THROW_LAST_ERROR("ConvertSidToStringSid failed", ConvertSidToStringSidA);
    }
    const AutoLocalMemory textOwner(text);
    const std::vector<BYTE> elevation = tokenInformation(token.get(), TokenElevation);

    TokenFacts facts;
    facts.userSid = text;
    facts.elevated = reinterpret_cast<const TOKEN_ELEVATION*>(elevation.data())->TokenIsElevated != 0;
    facts.system = IsWellKnownSid(sid, WinLocalSystemSid) != FALSE;
    return facts;
}

} // namespace security
