#include "Security.h"

#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>

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

std::string sidText(PSID sid) {
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        ORV_THROW_LAST_ERROR("ConvertSidToStringSid failed", ConvertSidToStringSidA);
    }
    const AutoLocalMemory owner(text);
    return text;
}

bool sameAces(const ACL* a, const ACL* b) {
    if (a == nullptr || b == nullptr || a->AceCount != b->AceCount) {
        return false;
    }
    for (WORD i = 0; i < a->AceCount; ++i) {
        void* aceA = nullptr;
        void* aceB = nullptr;
        if (!GetAce(const_cast<ACL*>(a), i, &aceA) || !GetAce(const_cast<ACL*>(b), i, &aceB)) {
            return false;
        }
        const WORD size = static_cast<const ACE_HEADER*>(aceA)->AceSize;
        if (size != static_cast<const ACE_HEADER*>(aceB)->AceSize || std::memcmp(aceA, aceB, size) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

bool hasOwnerAndAccessList(HANDLE object, const std::string& ownerSid, SecurityDescriptor& expected) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR read = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &read) != ERROR_SUCCESS) {
        return false;
    }
    const AutoLocalMemory readOwner(read);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL wanted = nullptr;
    return owner != nullptr && sidText(owner) == ownerSid && GetSecurityDescriptorControl(read, &control, &revision) &&
           (control & SE_DACL_PROTECTED) != 0 &&
           GetSecurityDescriptorDacl(expected.get(), &present, &wanted, &defaulted) && present &&
           sameAces(dacl, wanted);
}

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
    const std::vector<BYTE> owner = tokenInformation(token.get(), TokenOwner);

    TokenFacts facts;
    facts.userSid = text;
    facts.ownerSid = sidText(reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner);
    facts.elevated = reinterpret_cast<const TOKEN_ELEVATION*>(elevation.data())->TokenIsElevated != 0;
    facts.system = IsWellKnownSid(sid, WinLocalSystemSid) != FALSE;
    return facts;
}

} // namespace security
