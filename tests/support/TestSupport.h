#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory of the test's own under the system's temporary directory, removed with
// everything in it when the test ends. While it exists, TMP and TEMP of this process (and so
// of every child it starts) point at it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "\\" + name; }

private:
    std::string dir;
    std::string savedTmp;
    std::string savedTemp;
};

// Sets an environment variable of this process, which children inherit, until destroyed.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name;
    std::string saved;
    bool existed;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);
// Names of the entries directly inside dir, sorted.
std::vector<std::string> listDir(const std::string& dir);

// A program built beside the running test program.
std::string programPath(const std::string& fileName);

// Starts the program, waits for it and returns its 32-bit exit code.
DWORD runProcess(const std::string& application, const std::string& commandLine,
                 const std::string& workingDir = std::string());

// What the probe program wrote about its start (W4W_PROBE_OUT).
struct ProbeReport {
    std::string module;
    std::string cwd;
    int argc = 0;
    std::vector<std::string> args; // after the program name
};
ProbeReport readProbeReport(const std::string& path);

// One record of vextrel.log.
struct LogRecord {
    std::string header; // the text between the square brackets
    std::string processName;
    std::string sourceFile;
    unsigned line = 0;
    std::string function;
    std::string level;
    std::string message;
};
// Parses a whole log file; fails the calling test where a record does not have the format.
std::vector<LogRecord> readLog(const std::string& path);

} // namespace testsupport
