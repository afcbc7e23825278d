#include "WinAutoHandle.h"

#include "Log.h"
#include "WinErrorHandling.h"

namespace {

std::string failedCall(const char* function, const void* value) {
    return (tstrings::StringBuilder(function) << "(" << value << ")").str();
}

} // namespace

void closeHANDLE(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    if (CloseHandle(handle)) {
        return;
    }
    const DWORD error = GetLastError();
    ORV_LOG(LogLevel::Error, tstrings::unsafe_format("%s failed with %s", failedCall("CloseHandle", handle).c_str(),
                                                     systemErrorText(error, nullptr).c_str()));
}

void closeRegHandle(HKEY key) {
    if (key == nullptr) {
        return;
    }
    const LONG status = RegCloseKey(key);
    if (status == ERROR_SUCCESS) {
        return;
    }
    ORV_LOG(LogLevel::Error, tstrings::unsafe_format("%s failed with %s", failedCall("RegCloseKey", key).c_str(),
                                                     systemErrorText(static_cast<DWORD>(status), nullptr).c_str()));
}
