#include "FileUtils.h"
#include "Log.h"
#include "Resources.h"
#include "Security.h"
#include "SysInfo.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

// Called between the release of the reserved name and the creation of the directory; a
// seam for tests that put a foreign object there.
using BeforeCreate = void (*)(const std::string& path);

// Launchers started together read the same tick count and may reserve a name that another
// one has just given up; such a collision is not an attack, so a fresh name is tried.
constexpr int secureDirectoryAttempts = 10;

std::string createSecureDirectory(BeforeCreate beforeCreate) {
    const std::string tempDir = SysInfo::getTempDir();
    for (int attempt = 1;; ++attempt) {
        // The name is reserved by creating a file that did not exist, so nobody else holds it.
        const std::string path = FileUtils::createTempFile("orv", ".tmp", tempDir);
        FileUtils::deleteFile(path);

        security::SecurityDescriptor descriptor(tstrings::StringBuilder("D:(A;;FA;;;BA)"));
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
        if (beforeCreate != nullptr) {
            beforeCreate(path);
        }
        // Fails for anything that appeared under the name meanwhile: it is never adopted.
        if (CreateDirectoryA(path.c_str(), &attributes)) {
            return path;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS || attempt == secureDirectoryAttempts) {
            ORV_THROW_WIN32(tstrings::StringBuilder("CreateDirectory(") << path << ") failed", CreateDirectoryA, error);
        }
    }
}

std::string createSecureDirectory() {
    return createSecureDirectory(nullptr);
}

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

    if (!CreateProcessA(applicationPath.c_str(), writableCommandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, workingDir.c_str(), &startupInfo, &processInfo)) {
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

// An executable that has just ended may keep its image file locked for a moment, and a
// scanner may hold the new file open: the directory is given about two seconds to go. The
// tries of the first 300 ms come quickly, as under Wine the console host of the child keeps
// the directory as its working directory for 25 to 100 ms after the child ended, nearly
// every run; later tries are fewer, so that a failure logged at each try fills no log.
void removeLeftover(const std::string& dir) {
    for (int attempt = 0; attempt < 47 && GetFileAttributesA(dir.c_str()) != INVALID_FILE_ATTRIBUTES; ++attempt) {
        Sleep(attempt < 30 ? 10 : 100);
        FileUtils::deleteDirectoryRecursive(dir, std::nothrow);
    }
}

// The tamper check: dir holds the file target and nothing else, at any depth.
bool holdsOnly(const std::string& dir, const std::string& target) {
    std::vector<std::string> items;
    FileUtils::DirectoryIterator(true, true, true, dir).findItems(items);
    return items.size() == 1 && tstrings::equalsIgnoreCase(items.front(), target);
}

int run() {
    int exitCode = -1;
    std::string secureDir;
    try {
        const std::string baseName = FileUtils::basename(SysInfo::getProcessModulePath());
        secureDir = createSecureDirectory();
        FileUtils::Deleter cleanup(false);
        cleanup.append(secureDir, FileUtils::DeleteKind::DirectoryTree);
        // The payload bears the launcher's own name: setup.exe is extracted as setup.exe.
        const std::string target = FileUtils::combinePath(secureDir, baseName);
        Resource(100, RT_RCDATA, GetModuleHandleA(nullptr)).saveToFile(target);

        if (holdsOnly(secureDir, target)) {
            const std::string commandLine = getCommandLine(target);
            exitCode = execProcessWaitForFinish(target, commandLine);
        } else {
            ORV_LOG(LogLevel::Error, "Secure directory is tempered, exiting...");
        }
    } catch (const std::exception& e) {
        ORV_REPORT_EXCEPTION(e);
    } catch (...) {
        ORV_REPORT_UNKNOWN_EXCEPTION();
    }
    if (!secureDir.empty()) {
        removeLeftover(secureDir);
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
