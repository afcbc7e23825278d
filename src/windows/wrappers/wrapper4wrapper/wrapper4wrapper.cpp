#include "FileUtils.h"
#include "Log.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <exception>
#include <string>

namespace {

int run() {
    int exitCode = -1;
    try {
        const std::string baseName = FileUtils::basename(SysInfo::getProcessModulePath());
        (void)baseName;
    } catch (const std::exception& e) {
        ORV_REPORT_EXCEPTION(e);
    } catch (...) {
        ORV_REPORT_UNKNOWN_EXCEPTION();
    }
    return exitCode;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Libraries are never looked for in the current directory, which may be a download
    // folder that holds planted DLLs.
    SetDllDirectoryA("");
    HMODULE kernel32 = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, "kernel32", &kernel32)) {
        // Looked up by name: systems without it simply skip the narrowing.
        using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
        const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
        if (setDefaultDllDirectories != nullptr) {
            setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        }
    }
    return run();
}
