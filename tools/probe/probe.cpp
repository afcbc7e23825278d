// A payload for the tests and the demo. It does what its environment asks:
//   W4W_PROBE_OUT=FILE   write what it was started with to FILE
//   W4W_PROBE_LOG=TEXT   write TEXT as one TRACE record to the log
//   W4W_PROBE_HOLD=MS    keep its own file open, so that nobody can delete it, for MS ms
//   W4W_PROBE_WRITE=NAME write a file NAME into its working directory
//   W4W_PROBE_SPAWN=MS   start a copy of itself that does that, and end once the copy has it
//   W4W_PROBE_SLEEP=MS   sleep for MS ms, long enough for another process to end it
//   W4W_PROBE_CRASH=1    die of an access violation, as a faulty program does
//   W4W_PROBE_EXIT=CODE  end with CODE (decimal, or hex with 0x)
// FILE holds "key=value" lines: module, cwd, pid, argc, one "arg=" line per argument after the
// program name and one "std=" line per standard handle, each value as its length, a colon and
// its bytes, so any text survives.
#include "Log.h"
#include "ProbeReport.h"
#include "SysInfo.h"
#include "WinAutoHandle.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string env(const char* name) {
    char buffer[32768];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

void put(std::ofstream& out, const char* key, const std::string& value) {
    out << probeReportLine(key, value);
}

std::string handleKind(DWORD id) {
    const HANDLE handle = GetStdHandle(id);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return "none";
    }
    switch (GetFileType(handle)) {
    case FILE_TYPE_CHAR:
        return "char";
    case FILE_TYPE_PIPE:
        return "pipe";
    case FILE_TYPE_DISK:
        return "disk";
    default:
        return "other";
    }
}

// The parent's check for the hold opens the file for a moment too, and one of the two opens
// then fails for sharing: try again rather than hold nothing.
void holdOwnFile(const std::string& self, DWORD milliseconds) {
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 1000 && file == INVALID_HANDLE_VALUE; ++i) {
        file = CreateFileA(self.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(1);
        }
    }
    Sleep(milliseconds);
    CloseHandle(file);
}

bool heldByAnother(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(file);
    return false;
}

// The copy outlives this process and keeps the directory from being removed at once, as a
// program that an installer leaves running would.
void spawnHolder(const std::string& self, const std::string& milliseconds) {
    SetEnvironmentVariableA("W4W_PROBE_SPAWN", nullptr);
    SetEnvironmentVariableA("W4W_PROBE_OUT", nullptr);
    SetEnvironmentVariableA("W4W_PROBE_LOG", nullptr);
    SetEnvironmentVariableA("W4W_PROBE_SLEEP", nullptr);
    SetEnvironmentVariableA("W4W_PROBE_WRITE", nullptr);
    SetEnvironmentVariableA("W4W_PROBE_CRASH", nullptr);
    SetEnvironmentVariableA("W4W_PROBE_HOLD", milliseconds.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + self + "\"";
    if (!CreateProcessA(self.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return;
    }
    const AutoProcess copy(process);
    for (int i = 0; i < 1000 && !heldByAnother(self) && WaitForSingleObject(copy.process(), 0) == WAIT_TIMEOUT; ++i) {
        Sleep(5);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string outPath = env("W4W_PROBE_OUT");
    if (!outPath.empty()) {
        std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
        char cwd[MAX_PATH * 4];
        const DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
        put(out, "module", tstrings::toUtf8(SysInfo::getProcessModulePath()));
        put(out, "cwd", std::string(cwd, n));
        put(out, "pid", std::to_string(GetCurrentProcessId()));
        put(out, "argc", std::to_string(argc));
        for (int i = 1; i < argc; ++i) {
            put(out, "arg", argv[i]);
        }
        for (const DWORD id : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
            put(out, "std", handleKind(id));
        }
    }
    const std::string message = env("W4W_PROBE_LOG");
    if (!message.empty()) {
        ORV_LOG(LogLevel::Trace, message);
    }
    const std::string self = tstrings::toUtf8(SysInfo::getProcessModulePath());
    const std::string hold = env("W4W_PROBE_HOLD");
    if (!hold.empty()) {
        holdOwnFile(self, std::strtoul(hold.c_str(), nullptr, 0));
    }
    const std::string data = env("W4W_PROBE_WRITE");
    if (!data.empty()) {
        std::ofstream(data, std::ios::binary) << "the payload's data";
    }
    const std::string spawn = env("W4W_PROBE_SPAWN");
    if (!spawn.empty()) {
        spawnHolder(self, spawn);
    }
    const std::string sleep = env("W4W_PROBE_SLEEP");
    if (!sleep.empty()) {
        Sleep(std::strtoul(sleep.c_str(), nullptr, 0));
    }
    if (!env("W4W_PROBE_CRASH").empty()) {
        // No error dialog and no debugger: the process ends with the exception's code.
        SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; });
        // Read through a volatile, so the compiler cannot turn the store into a trap of its own.
        int* volatile target = nullptr;
        // cppcheck-suppress nullPointer ; the crash this mode is for
        *target = 0;
    }
    const std::string code = env("W4W_PROBE_EXIT");
    ExitProcess(code.empty() ? 0 : static_cast<UINT>(std::strtoul(code.c_str(), nullptr, 0)));
}
