#include "Log.h"

#include "FileUtils.h"
#include "SysInfo.h"
#include "WinAutoHandle.h"

#include <windows.h>

#include <exception>

// The objects of this file are initialised in the order they are defined, which makes the
// start-up order independent of the order in which files are linked or initialised.
Logger logger;

namespace {

std::string processName;

const char* levelName(int level) {
    switch (level) {
    case LogLevel::Trace:
        return "TRACE";
    case LogLevel::Info:
        return "INFO";
    case LogLevel::Warning:
        return "WARNING";
    case LogLevel::Error:
        return "ERROR";
    default:
        return "UNKNOWN";
    }
}

std::string readProcessName() {
    try {
        return FileUtils::basename(tstrings::toUtf8(SysInfo::getProcessModulePath()));
    } catch (const std::exception&) {
        return "Unknown";
    }
}

struct StartUp {
    StartUp() {
        // First, while the log path is still empty: its records are dropped.
        SysInfo::detectOsVersion();
        const std::wstring temp = SysInfo::getTempDir();
        if (!temp.empty()) {
            logger.setFile(temp + L"\\vextrel.log");
        }
        processName = readProcessName();
    }
};

const StartUp startUp;

// The file at path opened for appending, sharing only reading, so that records of launchers
// running at once never interleave; one that is not there is created, never one that a link
// names. Empty when it is neither there nor can be made.
AutoHandle openForAppending(const std::wstring& path) {
    const DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    AutoHandle file(CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        // CREATE_NEW also refuses a link whose target is missing, which OPEN_ALWAYS would create.
        file = AutoHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    }
    return file;
}

// The file itself, under its own name: not a link, not a second name of another file, and not
// reached through a link in its directory (which Wine follows even when asked not to). Read
// from the open file alone: GetFileInformationByHandle also asks for the volume, which Wine
// answers through another process.
bool isTheLogItself(HANDLE file, const std::wstring& finalPath) {
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    return GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
           GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
           (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && standard.NumberOfLinks == 1 &&
           !finalPath.empty() && FileUtils::finalPathOf(file) == finalPath;
}

// The record as the C runtime's text mode wrote it: each line ends with CR LF.
std::string withCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 4);
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

} // namespace

void Logger::setFile(const std::wstring& path) {
    filePath = path;
    finalPath.clear();
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    if (path.empty() || slash == std::wstring::npos) {
        return;
    }
    const AutoHandle dir(CreateFileW(path.substr(0, slash).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring dirPath = dir.get() == INVALID_HANDLE_VALUE ? std::wstring() : FileUtils::finalPathOf(dir.get());
    if (!dirPath.empty()) {
        finalPath = dirPath + L"\\" + path.substr(slash + 1);
    }
}

void Logger::write(int level, const char* file, int line, const char* function, const std::string& message) const {
    write(level, file, line, function, std::vector<std::string>{message});
}

void Logger::write(int level, const char* file, int line, const char* function,
                   const std::vector<std::string>& messages) const {
    if (filePath.empty() || messages.empty()) {
        return;
    }
    SYSTEMTIME time;
    GetLocalTime(&time);
    std::string text;
    for (const std::string& message : messages) {
        text += tstrings::unsafe_format(
            "[%04u/%02u/%02u %02u:%02u:%02u.%03u, %s (PID: %u, TID: %u), %s:%u (%s)]\n\t%s: %s\n", unsigned(time.wYear),
            unsigned(time.wMonth), unsigned(time.wDay), unsigned(time.wHour), unsigned(time.wMinute),
            unsigned(time.wSecond), unsigned(time.wMilliseconds), processName.c_str(), unsigned(GetCurrentProcessId()),
            unsigned(GetCurrentThreadId()), FileUtils::basename(file).c_str(), unsigned(line), function,
            levelName(level), message.c_str());
    }

    // A writer that finds the file held retries.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const AutoHandle log = openForAppending(filePath);
        if (log.get() != INVALID_HANDLE_VALUE) {
            if (isTheLogItself(log.get(), finalPath)) {
                const std::string lines = withCrLf(text);
                DWORD written = 0;
                WriteFile(log.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
            }
            return;
        }
        Sleep(1);
    }
}

void Logger::write(int level, const char* file, int line, const char* function, const char* message) const {
    write(level, file, line, function, std::string(message));
}

void Logger::write(int level, const char* file, int line, const char* function,
                   const tstrings::StringBuilder& message) const {
    write(level, file, line, function, message.str());
}
