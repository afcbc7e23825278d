#include "FileUtils.h"
#include "Log.h"
#include "SysInfo.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

// Quotes one argument so that the child's C runtime parses it back unchanged: backslashes
// are literal except before a double quote, where they escape it, so a run of them before
// an inner quote or the closing one is doubled.
std::string quoteArgument(const std::string& argument) {
    std::string quoted = "\"";
    std::string::size_type backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + '"';
}

std::string getCommandLine(const std::string& applicationPath, int argc, char** argv) {
    if (argv == nullptr) {
        ORV_THROW_RUNTIME("__targv is NULL");
    }
    std::string commandLine = "\"" + applicationPath + "\"";
    for (int i = 1; i < argc; ++i) {
        commandLine += ' ' + quoteArgument(argv[i]);
    }
    return commandLine;
}

// The child's arguments are the launcher's as its runtime parsed them, not the raw command
// line: the program name in front of them is replaced.
std::string getCommandLine(const std::string& applicationPath) {
    return getCommandLine(applicationPath, __argc, __argv);
}

int execProcessWaitForFinish(const std::string& applicationPath, const std::string& commandLine) {
    STARTUPINFOA startupInfo = {};
    startupInfo.cb = sizeof startupInfo;
    PROCESS_INFORMATION processInfo = {};
    // CreateProcessA may write into the command line.
    std::vector<char> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back('\0');
    const std::string workingDir = FileUtils::dirname(applicationPath);

    if (!CreateProcessA(applicationPath.c_str(), writableCommandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, workingDir.c_str(), &startupInfo, &processInfo)) {
        ORV_THROW_LAST_ERROR("CreateProcess failed", CreateProcessA);
    }
    // Declared in this order, so the thread handle is closed first.
    const AutoHandle process(processInfo.hProcess);
    const AutoHandle thread(processInfo.hThread);

    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
        ORV_THROW_LAST_ERROR("WaitForSingleObject failed", WaitForSingleObject);
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        ORV_THROW_LAST_ERROR("GetExitCodeProcess failed", GetExitCodeProcess);
    }
    return static_cast<int>(exitCode);
}

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
