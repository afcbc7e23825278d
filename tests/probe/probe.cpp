// A payload for the tests and the demo. It does what its environment asks:
//   W4W_PROBE_OUT=FILE   write what it was started with to FILE
//   W4W_PROBE_LOG=TEXT   write TEXT as one TRACE record to the log
//   W4W_PROBE_EXIT=CODE  end with CODE (decimal, or hex with 0x)
// FILE holds "key=value" lines: module, cwd, argc, and one "arg=" line per argument
// after the program name, each value as its length, a colon and its bytes, so any text survives.
#include "Log.h"
#include "SysInfo.h"

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
    out << key << '=' << value.size() << ':' << value << '\n';
}

} // namespace

int main(int argc, char** argv) {
    const std::string outPath = env("W4W_PROBE_OUT");
    if (!outPath.empty()) {
        std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
        char cwd[MAX_PATH * 4];
        const DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
        put(out, "module", SysInfo::getProcessModulePath());
        put(out, "cwd", std::string(cwd, n));
        put(out, "argc", std::to_string(argc));
        for (int i = 1; i < argc; ++i) {
            put(out, "arg", argv[i]);
        }
    }
    const std::string message = env("W4W_PROBE_LOG");
    if (!message.empty()) {
        ORV_LOG(LogLevel::Trace, message);
    }
    const std::string code = env("W4W_PROBE_EXIT");
    ExitProcess(code.empty() ? 0 : static_cast<UINT>(std::strtoul(code.c_str(), nullptr, 0)));
}
