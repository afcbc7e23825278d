#include "FileUtils.h"
#include "Log.h"
#include "Resources.h"
#include "Security.h"
#include "SysInfo.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace {

// Called between the release of the reserved name and the creation of the directory; a
// seam for tests that put a foreign object there.
using BeforeCreate = void (*)(const std::string& path);

// Launchers started together read the same tick count and may reserve a name that another
// one has just given up; such a collision is not an attack, so a fresh name is tried.
constexpr int secureDirectoryAttempts = 10;

// The directory's access list. It is protected, so that none of the temporary directory's
// inheritable entries (the user's full control, or the Users group's right to create files in
// C:\Windows\Temp) joins it, and its entries pass on to what is created inside. An elevated
// launcher's user may only read and run, so that the user's unelevated programs cannot plant
// anything beside a payload that runs elevated; SYSTEM needs no entry of its own.
std::string secureDirectorySddl(const security::TokenFacts& token) {
    std::string sddl = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
    if (!token.system) {
        sddl += "(A;OICI;" + std::string(token.elevated ? "FRFX" : "FA") + ";;;" + token.userSid + ")";
    }
    return sddl;
}

std::string createSecureDirectory(BeforeCreate beforeCreate) {
    const std::string tempDir = SysInfo::getTempDir();
    const std::string sddl = secureDirectorySddl(security::currentTokenFacts());
    for (int attempt = 1;; ++attempt) {
        // The name is reserved by creating a file that did not exist, so nobody else holds it.
        const std::string path = FileUtils::createTempFile("orv", ".tmp", tempDir);
        FileUtils::deleteFile(path);

        security::SecurityDescriptor descriptor{tstrings::StringBuilder(sddl)};
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

// The child's command line: the quoted path, then everything that followed the program name
// on the launcher's own command line, exactly as typed. Installers parse their command lines
// themselves (NSIS's /D= takes the rest of the line, spaces and all), so nothing is parsed or
// quoted again; a child that parses with the C runtime gets the arguments that the launcher's
// C runtime parsed.
// The program name ends as the C runtime ends it: at the first space or tab outside quotes, a
// quote toggling quoting.
std::wstring getCommandLine(const std::string& applicationPath, const std::wstring& ownCommandLine) {
    std::wstring::size_type end = 0;
    bool quoted = false;
    for (; end < ownCommandLine.size(); ++end) {
        const wchar_t c = ownCommandLine[end];
        if (c == L'"') {
            quoted = !quoted;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            break;
        }
    }
    const std::wstring::size_type rest = ownCommandLine.find_first_not_of(L" \t", end);
    const std::wstring program = L"\"" + tstrings::ansiToUtf16(applicationPath) + L"\"";
    return rest == std::wstring::npos ? program : program + L' ' + ownCommandLine.substr(rest);
}

// Wide, where narrow text converted by the system could turn characters outside the code
// page into others, even into a quotation mark.
std::wstring getCommandLine(const std::string& applicationPath) {
    return getCommandLine(applicationPath, GetCommandLineW());
}

// held: the extracted file, kept from being changed until the system has opened it to run it.
int execProcessWaitForFinish(const std::string& applicationPath, const std::wstring& commandLine, AutoHandle held) {
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof startupInfo;
    PROCESS_INFORMATION processInfo = {};
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');
    const std::wstring workingDir = tstrings::ansiToUtf16(FileUtils::dirname(applicationPath));

    if (!CreateProcessW(tstrings::ansiToUtf16(applicationPath).c_str(), writableCommandLine.data(), nullptr, nullptr,
                        FALSE, CREATE_NO_WINDOW, nullptr, workingDir.c_str(), &startupInfo, &processInfo)) {
        ORV_THROW_LAST_ERROR("CreateProcess failed", CreateProcessW);
    }
    const AutoProcess child(processInfo);
    // The child and the removal of the directory must not meet this handle.
    held.reset();

    if (WaitForSingleObject(child.process(), INFINITE) != WAIT_OBJECT_0) {
        ORV_THROW_LAST_ERROR("WaitForSingleObject failed", WaitForSingleObject);
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(child.process(), &exitCode)) {
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

// Called between the tamper check and the start of the payload; a seam for tests that try to
// change the extracted file there.
using BeforeStart = void (*)(const std::string& target);

int run(BeforeStart beforeStart) {
    int exitCode = -1;
    std::string secureDir;
    try {
        const std::string baseName = FileUtils::basename(SysInfo::getProcessModulePath());
        secureDir = createSecureDirectory();
        FileUtils::Deleter cleanup(false);
        cleanup.append(secureDir, FileUtils::DeleteKind::DirectoryTree);
        // The payload bears the launcher's own name: setup.exe is extracted as setup.exe.
        const std::string target = FileUtils::combinePath(secureDir, baseName);
        // Held from here on, so that what is checked is what runs.
        AutoHandle extracted = Resource(100, RT_RCDATA, GetModuleHandleA(nullptr)).saveToFile(target);

        if (holdsOnly(secureDir, target)) {
            const std::wstring commandLine = getCommandLine(target);
            if (beforeStart != nullptr) {
                beforeStart(target);
            }
            exitCode = execProcessWaitForFinish(target, commandLine, std::move(extracted));
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

int run() {
    return run(nullptr);
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
