#pragma once

#include "ProbeReport.h"
#include "WinAutoHandle.h"

#include <windows.h>

#include <functional>
#include <memory>
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

// Every program that these helpers start runs, from its creation, in one job of this test
// program's that ends it, and all it started, when this program ends in any way (a failed
// test, a crash, ctest's timeout): nothing a test starts outlives the test program and holds
// ctest's output open.

// How long a wait for a started program's end lasts before it fails the test: longer than the
// slowest run a test makes, shorter than any test's ctest timeout.
constexpr DWORD programEndsWithinMs = 60000;

// A started program, ended when its owner is destroyed if it still runs; what it started may
// outlive it (as a windowed payload outlives its launcher) until the test program ends. Wide
// texts reach it unchanged whatever this process's code page is.
class Process {
public:
    Process(const std::wstring& application, const std::wstring& commandLine, bool suspended = false);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void resume();
    // Waits for its end, at most programEndsWithinMs, and returns its 32-bit exit code; throws
    // when it does not end.
    DWORD wait();
    HANDLE handle() const { return child.process(); }

private:
    AutoProcess child;
};

// Writes output: the launcher template carrying payload, made with w4wpack and these options.
// Throws when it fails.
void wrap(const std::string& payload, const std::string& output, const std::string& options = std::string());
// The names in a launcher's temporary directory besides the log: what its runs left there.
std::vector<std::string> leftovers(const std::string& temp);

// Starts the program, waits for it (as Process::wait) and returns its 32-bit exit code.
DWORD runProcess(const std::string& application, const std::string& commandLine,
                 const std::string& workingDir = std::string());

// A program started as a build system starts a tool: its standard input, output and error
// are pipes of this process's, read and written on threads of their own. Wide texts reach it
// unchanged whatever this process's code page is.
class PipedProcess {
public:
    PipedProcess(const std::wstring& application, const std::wstring& commandLine,
                 const std::string& workingDir = std::string());
    ~PipedProcess();
    PipedProcess(const PipedProcess&) = delete;
    PipedProcess& operator=(const PipedProcess&) = delete;

    // Writes input to its standard input, which is then closed.
    void send(const std::string& input);
    // Waits at most ms for its standard output and error to be closed by every process that
    // had them; true when they were.
    bool outputClosed(DWORD ms);
    // What it printed so far.
    std::string out();
    std::string err();
    HANDLE handle() const { return child->process(); }
    // Closes its input if still open, waits for its end and for its output, and returns its
    // 32-bit exit code; throws when either does not come within programEndsWithinMs.
    DWORD wait();

private:
    struct Reader;
    AutoHandle input;
    std::unique_ptr<Reader> outReader;
    std::unique_ptr<Reader> errReader;
    std::unique_ptr<AutoProcess> child;
};

struct Captured {
    DWORD exitCode = 0;
    std::string out;
    std::string err;
};
// Runs the program through pipes with this input, to its end.
Captured runPiped(const std::wstring& application, const std::wstring& commandLine, const std::string& input = "",
                  const std::string& workingDir = std::string());

using ::ProbeReport;
// What the probe program wrote about its start (W4W_PROBE_OUT); fails the calling test when
// the file is not such a report.
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
// The same, and no records when there is no file.
std::vector<LogRecord> readLogIfAny(const std::string& path);
// The records above TRACE: the failures a run reported.
std::vector<LogRecord> failuresIn(const std::vector<LogRecord>& records);

// A symbolic link to a file or a directory, removed as a link. Under Wine, where
// CreateSymbolicLink reports success and makes nothing, it is made from the Unix side: Wine
// shows a link to a directory as a reparse point, and a link to a file as the file itself.
class Link {
public:
    Link(const std::string& target, const std::string& link);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    // Whether the link leads somewhere.
    bool made() const;

private:
    bool taken() const;

    const std::string link;
    std::string unixLink;
};

// Under Wine: renames dir to dir.away from the Unix side, past any hold of a Wine process, and
// puts a link to target under its name, as a mount point would on Windows.
std::unique_ptr<Link> replaceWithLink(const std::string& dir, const std::string& target);

// Wine's name for a Windows path in the Unix tree; empty outside Wine.
std::string unixPath(const std::string& path);
// Runs a Unix program under Wine, which gives no process to wait on, and waits at most five
// seconds for done() to hold; its result.
bool runUnixUntil(const std::string& program, const std::string& args, const std::function<bool()>& done);

// Points this process's log at vextrel.log in dir until destroyed.
class LogCapture {
public:
    explicit LogCapture(const TempDir& dir);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& path() const { return file; }
    // The records so far; none when nothing was written.
    std::vector<LogRecord> records() const;
    // The records so far, and a fresh start.
    std::vector<LogRecord> take();

private:
    std::string file;
    std::wstring saved;
};

} // namespace testsupport
