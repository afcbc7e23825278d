#include "Log.h"

#include "FileUtils.h"
#include "SysInfo.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <exception>

// The objects of this file are initialised in the order they are defined, which makes the
// start-up order independent of the order in which files are linked or initialised.
Logger logger;

namespace {

std::string logFileName;
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
        return FileUtils::basename(SysInfo::getProcessModulePath());
    } catch (const std::exception&) {
        return "Unknown";
    }
}

struct StartUp {
    StartUp() {
        // First, while the log path is still empty: its records are dropped.
        SysInfo::detectOsVersion();
        logFileName = "vextrel.log";
        logger.filePath = FileUtils::combinePath(SysInfo::getTempDir(), logFileName);
        processName = readProcessName();
    }
};

const StartUp startUp;

} // namespace

void Logger::write(int level, const char* file, int line, const char* function, const std::string& message) const {
    if (filePath.empty()) {
        return;
    }
    SYSTEMTIME time;
    GetLocalTime(&time);
    const std::string text = tstrings::unsafe_format(
        "[%04u/%02u/%02u %02u:%02u:%02u.%03u, %s (PID: %u, TID: %u), %s:%u (%s)]\n\t%s: %s\n", unsigned(time.wYear),
        unsigned(time.wMonth), unsigned(time.wDay), unsigned(time.wHour), unsigned(time.wMinute),
        unsigned(time.wSecond), unsigned(time.wMilliseconds), processName.c_str(), unsigned(GetCurrentProcessId()),
        unsigned(GetCurrentThreadId()), FileUtils::basename(file).c_str(), unsigned(line), function, levelName(level),
        message.c_str());

    // Writing is denied to others while a record is appended, so records of launchers
    // running at once never interleave; a writer that finds the file held retries.
    for (int attempt = 0; attempt < 10; ++attempt) {
        int fd = -1;
        if (_sopen_s(&fd, filePath.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT, _SH_DENYWR, _S_IREAD | _S_IWRITE) == 0) {
            _write(fd, text.data(), static_cast<unsigned>(text.size()));
            _close(fd);
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
