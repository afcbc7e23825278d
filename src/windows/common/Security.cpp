#include "Security.h"

#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <sddl.h>

namespace security {

namespace {

void freeLocal(PSECURITY_DESCRIPTOR memory) {
    LocalFree(memory);
}

using AutoLocalMemory = AutoOwner<PSECURITY_DESCRIPTOR, freeLocal>;

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

} // namespace security
