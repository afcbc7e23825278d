// w4wbench [--repetitions N] WORKDIR SIZE...
// w4wbench [--repetitions N] --tree WORKDIR
// w4wbench [--repetitions N] --compress WORKDIR
// For each SIZE (MiB) and each kind of payload, gui and console, WORKDIR holds
// payload-KIND-SIZE.exe, the probe of that subsystem padded to that size, and
// launcher-KIND-SIZE.exe, the launcher that the packer made for it. With WORKDIR\temp as TEMP
// it times, in turns, the launcher end to end, the payload started directly as the launcher
// starts it, and a copy of the payload into TEMP, and reads the launcher's private memory. TEMP is removed at the end;
// anything a run leaves there stops the benchmark.
// --tree: WORKDIR\tree is a program directory whose entry is the console probe, and
// launcher-tree.exe carries it; the copy is of the tree, file by file.
// --compress: launcher-stored.exe and launcher-compressed.exe carry the same directory, the
// second with --compress; each is timed on every CPU this program may use and on one.
#include "FileUtils.h"
#include "SysInfo.h"
#include "WinAutoHandle.h"
#include "tstrings.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char* const arguments = "\"hello world\" plain";
const DWORD payloadExitCode = 42;
const char* const holdMilliseconds = "300";
const int warmUpRounds = 3;

[[noreturn]] void fail(const std::string& what, DWORD error = 0) {
    if (error != 0) {
        std::fprintf(stderr, "w4wbench: %s (error %lu)\n", what.c_str(), error);
    } else {
        std::fprintf(stderr, "w4wbench: %s\n", what.c_str());
    }
    std::exit(1);
}

double nowMs() {
    static const double ticksPerMs = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    return static_cast<double>(ticks.QuadPart) / ticksPerMs;
}

PROCESS_INFORMATION start(const std::string& program, const std::string& commandLine, DWORD flags) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                        &started)) {
        const DWORD error = GetLastError();
        fail("cannot start " + program, error);
    }
    return started;
}

// A started program; its handles are closed when it goes.
class Child {
public:
    // A non-zero affinity is set before the program runs its first instruction.
    Child(const std::string& program, const std::string& commandLine, DWORD flags, DWORD_PTR affinity = 0)
        : program(program), started(start(program, commandLine, flags | (affinity != 0 ? CREATE_SUSPENDED : 0))) {
        if (affinity != 0) {
            if (!SetProcessAffinityMask(started.process(), affinity)) {
                const DWORD error = GetLastError();
                TerminateProcess(started.process(), 1);
                fail("cannot set the CPUs of " + program, error);
            }
            ResumeThread(started.thread());
        }
    }

    HANDLE handle() const { return started.process(); }
    DWORD id() const { return started.id(); }

    // The payload's exit code comes back whichever way it was started.
    void expectPayloadExitCode() const {
        DWORD code = 0;
        if (!GetExitCodeProcess(started.process(), &code)) {
            const DWORD error = GetLastError();
            fail("cannot read the exit code of " + program, error);
        }
        if (code != payloadExitCode) {
            fail(program + " ended with " + std::to_string(code) + ", not with the payload's " +
                 std::to_string(payloadExitCode));
        }
    }

private:
    const std::string program;
    const AutoProcess started;
};

std::string commandLineOf(const std::string& program) {
    return "\"" + program + "\" " + arguments;
}

constexpr double mib = 1024.0 * 1024.0;

struct Memory {
    double peakPagefile = -1; // PeakPagefileUsage; -1 where the system gave none
    double pagefile = -1;     // PagefileUsage
};

Memory memoryOf(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) {
        return {};
    }
    return {static_cast<double>(counters.PeakPagefileUsage) / mib, static_cast<double>(counters.PagefileUsage) / mib};
}

// A moment of the clock that the log's timestamps come from, in ms.
double clockMs(const SYSTEMTIME& time) {
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    return static_cast<double>((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000.0;
}

double clockNowMs() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return clockMs(now);
}

struct Timed {
    double ms;
    Memory atEnd;        // read after the end, before the handle is closed
    double startedClock; // clockNowMs() as it was started
    DWORD id;
};

// Start to end, as the user who starts the program waits for it.
Timed timeProgram(const std::string& program, DWORD flags, DWORD_PTR affinity = 0) {
    const double clock = clockNowMs();
    const double begin = nowMs();
    const Child child(program, commandLineOf(program), flags, affinity);
    WaitForSingleObject(child.handle(), INFINITE);
    const double ms = nowMs() - begin;
    const Memory atEnd = memoryOf(child.handle());
    child.expectPayloadExitCode();
    return {ms, atEnd, clock, child.id()};
}

// The moments of a launcher's run that its log records tell, in order. The first record comes
// once the payload, or the whole tree, is written and checked.
enum Phase { Checked, ChildStarted, ChildEnded, DirectoryRemoved, phaseCount };
const char* const phaseNames[phaseCount] = {"checked", "started", "ended", "removed"};

bool isPhase(Phase phase, const std::string& message) {
    const auto starts = [&message](const char* text) {
        return message.compare(0, std::strlen(text), text) == 0;
    };
    const auto ends = [&message](const std::string& text) {
        return message.size() >= text.size() && message.compare(message.size() - text.size(), text.size(), text) == 0;
    };
    switch (phase) {
    case Checked:
        return starts("Checked [");
    case ChildStarted:
        return starts("Started [");
    case ChildEnded:
        return starts("Ended [");
    default:
        return starts("Deleted [") && ends("] directory");
    }
}

// Reads the records appended to the log since offset, and where they are those of the
// launcher with that process ID, when each phase came, in ms from startedClock. False when a
// phase has no record.
bool readPhases(const std::string& log, std::streamoff& offset, const Timed& run, double (&phases)[phaseCount]) {
    std::ifstream in(log, std::ios::binary);
    in.seekg(offset);
    std::string header;
    std::string message;
    int found = 0;
    const std::string pid = "(PID: " + std::to_string(run.id) + ",";
    while (std::getline(in, header) && std::getline(in, message)) {
        // The log is written in text mode.
        if (!message.empty() && message.back() == '\r') {
            message.pop_back();
        }
        SYSTEMTIME time = {};
        unsigned year, month, day, hour, minute, second, ms;
        if (std::sscanf(header.c_str(), "[%u/%u/%u %u:%u:%u.%u,", &year, &month, &day, &hour, &minute, &second, &ms) !=
                7 ||
            header.find(pid) == std::string::npos) {
            continue;
        }
        time.wYear = static_cast<WORD>(year);
        time.wMonth = static_cast<WORD>(month);
        time.wDay = static_cast<WORD>(day);
        time.wHour = static_cast<WORD>(hour);
        time.wMinute = static_cast<WORD>(minute);
        time.wSecond = static_cast<WORD>(second);
        time.wMilliseconds = static_cast<WORD>(ms);
        const std::string::size_type colon = message.find(": ");
        const std::string text = colon == std::string::npos ? message : message.substr(colon + 2);
        for (int p = 0; p < phaseCount; ++p) {
            if (isPhase(static_cast<Phase>(p), text)) {
                phases[p] = clockMs(time) - run.startedClock;
                found |= 1 << p;
            }
        }
    }
    in.clear();
    in.seekg(0, std::ios::end);
    offset = in.tellg();
    return found == (1 << phaseCount) - 1;
}

std::streamoff endOf(const std::string& log) {
    return static_cast<std::streamoff>(std::ifstream(log, std::ios::binary | std::ios::ate).tellg());
}

// Adds when each phase of the launcher's run came to phases.
void addPhases(const std::string& log, std::streamoff& offset, const std::string& launcher, const Timed& run,
               std::vector<double> (&phases)[phaseCount]) {
    double moments[phaseCount] = {};
    if (!readPhases(log, offset, run, moments)) {
        fail(launcher + " left no record of some phase of its run in " + log);
    }
    for (int p = 0; p < phaseCount; ++p) {
        phases[p].push_back(moments[p]);
    }
}

double timeCopy(const std::string& from, const std::string& to) {
    const double begin = nowMs();
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
        const DWORD error = GetLastError();
        fail("cannot copy " + from + " to " + to, error);
    }
    const double ms = nowMs() - begin;
    if (!DeleteFileA(to.c_str())) {
        const DWORD error = GetLastError();
        fail("cannot delete " + to, error);
    }
    return ms;
}

// The largest PagefileUsage seen while the launcher runs, read every 2 ms. The payload stays
// a while, so the launcher is also seen after it has written the payload.
double largestPagefileWhileRunning(const std::string& launcher) {
    SetEnvironmentVariableA("W4W_PROBE_HOLD", holdMilliseconds);
    const Child child(launcher, commandLineOf(launcher), 0);
    SetEnvironmentVariableA("W4W_PROBE_HOLD", nullptr);
    double largest = -1;
    while (WaitForSingleObject(child.handle(), 2) == WAIT_TIMEOUT) {
        largest = std::max(largest, memoryOf(child.handle()).pagefile);
    }
    child.expectPayloadExitCode();
    return largest;
}

const char* const logName = "vextrel.log";

void expectOnlyTheLog(const std::string& temp) {
    std::vector<std::string> left;
    FileUtils::DirectoryIterator(false, true, true, temp).findItems(left);
    for (const std::string& path : left) {
        if (FileUtils::basename(path) != logName) {
            fail("a run left " + path + " behind");
        }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The nearest-rank percentile: the smallest value that at least that share of the runs reached.
double percentile(std::vector<double> values, int percent) {
    std::sort(values.begin(), values.end());
    const std::size_t rank = (values.size() * static_cast<std::size_t>(percent) + 99) / 100;
    return values[std::max<std::size_t>(rank, 1) - 1];
}

int cpuCount(DWORD_PTR mask) {
    int count = 0;
    for (; mask != 0; mask &= mask - 1) {
        ++count;
    }
    return count;
}

double minimum(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

double maximum(const std::vector<double>& values) {
    return *std::max_element(values.begin(), values.end());
}

std::string ownDir() {
    return FileUtils::dirname(tstrings::toUtf8(SysInfo::getProcessModulePath()));
}

// Windows always has a desktop; Wine closes its own whenever no GUI program runs, and the next
// one that needs it waits for it to come back. The helper keeps it up until this process ends.
DWORD keepDesktop() {
    const std::string helper = ownDir() + "\\w4wdesktop.exe";
    const Child child(helper, "\"" + helper + "\" " + std::to_string(GetCurrentProcessId()), 0);
    if (WaitForInputIdle(child.handle(), 10000) != 0) {
        fail(helper + " did not come up");
    }
    return child.id();
}

ULONGLONG fileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        fail("cannot read " + path, error);
    }
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

struct Size {
    int mib = 0;
    const char* kind = "";
    // How the launcher starts this kind of payload, and so how it is started directly: a
    // windowed one away from any console, a console one in the console of whoever started it.
    DWORD startFlags = 0;
    std::string payload;
    std::string launcher;
    ULONGLONG payloadBytes = 0;
    std::vector<double> launcherMs, directMs, copyMs;
    std::vector<double> phases[phaseCount];
    std::vector<double> peakAtEnd; // MiB, one per timed launcher run
    double largestWhileRunning = -1;
};

std::string mibText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value < 0 ? "none" : "%.1f MiB", value);
    return text;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: w4wbench [--repetitions N] WORKDIR SIZE...\n"
                         "       w4wbench [--repetitions N] --tree WORKDIR\n"
                         "       w4wbench [--repetitions N] --compress WORKDIR\n");
    std::exit(2);
}

// WORKDIR\temp, made the TEMP of every program started, which the probe tells its exit code.
std::string makeTemp(const std::string& work) {
    const std::string temp = work + "\\temp";
    if (!CreateDirectoryA(temp.c_str(), nullptr)) {
        const DWORD error = GetLastError();
        fail("cannot create " + temp, error);
    }
    SetEnvironmentVariableA("TMP", temp.c_str());
    SetEnvironmentVariableA("TEMP", temp.c_str());
    SetEnvironmentVariableA("W4W_PROBE_EXIT", std::to_string(payloadExitCode).c_str());
    std::printf("TEMP       %s\n", temp.c_str());
    return temp;
}

void removeTemp(const std::string& temp) {
    const std::string log = temp + "\\" + logName;
    if (!DeleteFileA(log.c_str())) {
        const DWORD error = GetLastError();
        fail("cannot delete " + log, error);
    }
    expectOnlyTheLog(temp);
    if (!RemoveDirectoryA(temp.c_str())) {
        const DWORD error = GetLastError();
        fail("cannot remove " + temp, error);
    }
}

void printCpus() {
    DWORD_PTR processCpus = 0;
    DWORD_PTR systemCpus = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &processCpus, &systemCpus)) {
        std::printf("CPUs       may run on %d of the %d the system has (affinity mask 0x%llx)\n", cpuCount(processCpus),
                    cpuCount(systemCpus), static_cast<unsigned long long>(processCpus));
    }
}

struct Case {
    std::string name;
    std::vector<double> ms;
    std::vector<double> phases[phaseCount]; // a launcher's, from its log
};

// Start to end, and for a launcher the median ms from its start to each moment its log records.
void printCases(const std::string& label, const std::vector<Case>& cases) {
    std::printf("%-18s %-18s %9s %10s %9s %9s  median ms to", label.c_str(), "case", "min ms", "median ms", "p90 ms",
                "max ms");
    for (const char* name : phaseNames) {
        std::printf(" %8s", name);
    }
    std::printf("\n");
    for (const Case& c : cases) {
        std::printf("%-18s %-18s %9.1f %10.1f %9.1f %9.1f", "", c.name.c_str(), minimum(c.ms), median(c.ms),
                    percentile(c.ms, 90), maximum(c.ms));
        for (std::size_t p = 0; !c.phases[0].empty() && p < phaseCount; ++p) {
            std::printf("%s %8.1f", p == 0 ? "              " : "", median(c.phases[p]));
        }
        std::printf("\n");
    }
}

// Makes each directory (parents first, as they were listed), then copies each file, as an
// installer or an unzip would; the copy is removed again, untimed.
double timeTreeCopy(const std::string& from, const std::vector<std::string>& dirs,
                    const std::vector<std::string>& files, const std::string& to) {
    const double begin = nowMs();
    if (!CreateDirectoryA(to.c_str(), nullptr)) {
        const DWORD error = GetLastError();
        fail("cannot create " + to, error);
    }
    for (const std::string& dir : dirs) {
        const std::string target = to + dir.substr(from.size());
        if (!CreateDirectoryA(target.c_str(), nullptr)) {
            const DWORD error = GetLastError();
            fail("cannot create " + target, error);
        }
    }
    for (const std::string& file : files) {
        const std::string target = to + file.substr(from.size());
        if (!CopyFileA(file.c_str(), target.c_str(), TRUE)) {
            const DWORD error = GetLastError();
            fail("cannot copy " + file + " to " + target, error);
        }
    }
    const double ms = nowMs() - begin;
    // Plain calls: the project's deletion would log each file.
    for (const std::string& file : files) {
        if (!DeleteFileA((to + file.substr(from.size())).c_str())) {
            const DWORD error = GetLastError();
            fail("cannot delete the copy of " + file, error);
        }
    }
    for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir) {
        if (!RemoveDirectoryA((to + dir->substr(from.size())).c_str())) {
            const DWORD error = GetLastError();
            fail("cannot remove the copy of " + *dir, error);
        }
    }
    if (!RemoveDirectoryA(to.c_str())) {
        const DWORD error = GetLastError();
        fail("cannot remove " + to, error);
    }
    return ms;
}

// A program directory of many files against copying it.
void benchTree(const std::string& work, int repetitions) {
    const std::string tree = work + "\\tree";
    const std::string launcher = work + "\\launcher-tree.exe";
    const std::string entry = tree + "\\probe.exe";
    std::vector<std::string> dirs;
    std::vector<std::string> files;
    FileUtils::DirectoryIterator(true, false, true, tree).findItems(dirs);
    FileUtils::DirectoryIterator(true, true, false, tree).findItems(files);
    ULONGLONG bytes = 0;
    for (const std::string& file : files) {
        bytes += fileSize(file);
    }
    fileSize(launcher);
    const std::string temp = makeTemp(work);
    std::printf("Tree       %s: %zu files in %zu directories below it, %llu bytes; the entry, the console\n"
                "           probe, is one of them\n",
                tree.c_str(), files.size(), dirs.size(), bytes);
    std::printf("Cases      launcher  launcher-tree.exe, which carries the tree stored, start to end\n"
                "           direct    the entry started from the tree as the launcher starts it\n"
                "           copy      CreateDirectoryA and CopyFileA of each directory and file of the tree\n"
                "                     into TEMP\n");
    std::printf("Runs       %d rounds of launcher, direct, copy to warm up, then %d timed\n", warmUpRounds,
                repetitions);
    printCpus();
    std::printf("\n");

    std::vector<Case> cases(3);
    cases[0].name = "launcher";
    cases[1].name = "direct";
    cases[2].name = "copy";
    const std::string log = temp + "\\" + logName;
    std::streamoff logOffset = 0;
    for (int round = 0; round < warmUpRounds + repetitions; ++round) {
        if (round == warmUpRounds) {
            logOffset = endOf(log);
        }
        const Timed run = timeProgram(launcher, 0);
        const double ms[] = {run.ms, timeProgram(entry, 0).ms, timeTreeCopy(tree, dirs, files, temp + "\\copy")};
        expectOnlyTheLog(temp);
        if (round >= warmUpRounds) {
            addPhases(log, logOffset, launcher, run, cases[0].phases);
            for (std::size_t i = 0; i < cases.size(); ++i) {
                cases[i].ms.push_back(ms[i]);
            }
        }
    }
    printCases(std::to_string(files.size()) + " files", cases);
    const double launcherMs = median(cases[0].ms);
    const double direct = median(cases[1].ms);
    const double copy = median(cases[2].ms);
    std::printf("\nbench case=tree files=%zu bytes=%llu launcher_ms=%.1f launcher_p90_ms=%.1f direct_ms=%.1f "
                "copy_ms=%.1f overhead_ratio=%.2f\n",
                files.size(), bytes, launcherMs, percentile(cases[0].ms, 90), direct, copy,
                (launcherMs - direct) / (direct + copy));
    removeTemp(temp);
}

// The most threads the program had at once, looked at every millisecond while it ran.
int largestThreadCount(const std::string& program, DWORD_PTR affinity) {
    const Child child(program, commandLineOf(program), 0, affinity);
    int largest = 0;
    while (WaitForSingleObject(child.handle(), 1) == WAIT_TIMEOUT) {
        const HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        if (taken == INVALID_HANDLE_VALUE) {
            continue;
        }
        const AutoHandle snapshot(taken);
        THREADENTRY32 thread = {};
        thread.dwSize = sizeof thread;
        int count = 0;
        for (BOOL more = Thread32First(snapshot.get(), &thread); more; more = Thread32Next(snapshot.get(), &thread)) {
            count += thread.th32OwnerProcessID == child.id() ? 1 : 0;
        }
        largest = std::max(largest, count);
    }
    child.expectPayloadExitCode();
    return largest;
}

// The same program directory carried compressed and stored, each run on every CPU this
// program may use and on one: what the decompression costs, and what the CPUs give back.
void benchCompress(const std::string& work, int repetitions) {
    const std::string stored = work + "\\launcher-stored.exe";
    const std::string compressed = work + "\\launcher-compressed.exe";
    const ULONGLONG payloadBytes = fileSize(work + "\\packed\\probe.exe");
    const ULONGLONG storedBytes = fileSize(stored);
    const ULONGLONG compressedBytes = fileSize(compressed);
    DWORD_PTR all = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &all, &system)) {
        const DWORD error = GetLastError();
        fail("cannot read this program's CPUs", error);
    }
    const DWORD_PTR one = all & (~all + 1);
    const std::string temp = makeTemp(work);
    std::printf("Payload    %s\\packed: the console probe, padded with the MinGW runtime DLLs and the\n"
                "           project's programs, stripped, over and over: %llu bytes\n"
                "Launchers  launcher-stored.exe %llu bytes, launcher-compressed.exe (--compress) %llu bytes\n",
                work.c_str(), payloadBytes, storedBytes, compressedBytes);
    std::printf("Cases      each launcher start to end, on all the CPUs below and on the first of them only\n"
                "           (its affinity set before it runs); decompression is the difference between the\n"
                "           compressed and the stored launcher's median ms to its first record, which it writes\n"
                "           once the tree is written and checked\n");
    std::printf("Runs       %d rounds of every case to warm up, then %d timed\n", warmUpRounds, repetitions);
    printCpus();
    std::printf("\n");

    const struct {
        const std::string& launcher;
        DWORD_PTR affinity;
    } runs[] = {{stored, all}, {compressed, all}, {stored, one}, {compressed, one}};
    std::vector<Case> cases(4);
    cases[0].name = "stored";
    cases[1].name = "compressed";
    cases[2].name = "stored, 1 CPU";
    cases[3].name = "compressed, 1 CPU";
    const std::string log = temp + "\\" + logName;
    std::streamoff logOffset = 0;
    for (int round = 0; round < warmUpRounds + repetitions; ++round) {
        if (round == warmUpRounds) {
            logOffset = endOf(log);
        }
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Timed run = timeProgram(runs[i].launcher, 0, runs[i].affinity);
            expectOnlyTheLog(temp);
            if (round >= warmUpRounds) {
                cases[i].ms.push_back(run.ms);
                addPhases(log, logOffset, runs[i].launcher, run, cases[i].phases);
            }
        }
    }
    const int threads = largestThreadCount(compressed, all);
    const int threadsOnOne = largestThreadCount(compressed, one);
    expectOnlyTheLog(temp);
    printCases(std::to_string(payloadBytes >> 20) + " MiB", cases);
    const auto checked = [&cases](std::size_t i) {
        return median(cases[i].phases[Checked]);
    };
    const double decompression = checked(1) - checked(0);
    const double decompressionOnOne = checked(3) - checked(2);
    std::printf("\nThe compressed launcher's threads, the most seen at once while it ran (looked at every ms,\n"
                "its main thread included): %d on %d CPUs, %d on one\n",
                threads, cpuCount(all), threadsOnOne);
    std::printf("\nbench case=compress payload_bytes=%llu stored_launcher_bytes=%llu compressed_launcher_bytes=%llu "
                "cpus=%d threads=%d threads_one_cpu=%d stored_ms=%.1f compressed_ms=%.1f decompression_ms=%.1f "
                "stored_one_cpu_ms=%.1f compressed_one_cpu_ms=%.1f decompression_one_cpu_ms=%.1f speedup=%.2f\n",
                payloadBytes, storedBytes, compressedBytes, cpuCount(all), threads, threadsOnOne, median(cases[0].ms),
                median(cases[1].ms), decompression, median(cases[2].ms), median(cases[3].ms), decompressionOnOne,
                decompressionOnOne / decompression);
    removeTemp(temp);
}

} // namespace

int main(int argc, char** argv) {
    int repetitions = 15;
    int at = 1;
    if (at < argc && std::string(argv[at]) == "--repetitions") {
        if (at + 1 >= argc || (repetitions = std::atoi(argv[at + 1])) < 1) {
            usage();
        }
        at += 2;
    }
    if (argc - at == 2 && (std::string(argv[at]) == "--tree" || std::string(argv[at]) == "--compress")) {
        (std::string(argv[at]) == "--tree" ? benchTree : benchCompress)(argv[at + 1], repetitions);
        return 0;
    }
    if (argc - at < 2) {
        usage();
    }
    const std::string work = argv[at++];
    std::vector<Size> sizes;
    for (; at < argc; ++at) {
        for (const char* kind : {"gui", "console"}) {
            Size size;
            size.mib = std::atoi(argv[at]);
            size.kind = kind;
            size.startFlags = std::string(kind) == "gui" ? CREATE_NO_WINDOW : 0;
            const std::string name = std::string(kind) + "-" + argv[at] + ".exe";
            size.payload = work + "\\payload-" + name;
            size.launcher = work + "\\launcher-" + name;
            size.payloadBytes = fileSize(size.payload);
            fileSize(size.launcher);
            sizes.push_back(size);
        }
    }

    const std::string temp = makeTemp(work);
    const std::string copyTarget = temp + "\\copy.exe";

    std::printf("Desktop    kept up for the whole run by a hidden GUI helper, w4wdesktop.exe (PID %lu),\n"
                "           as Windows always has one\n",
                keepDesktop());
    std::printf("Kinds      gui       the probe built as a windowed program, in the launcher the packer makes\n"
                "                     for it, which starts it with CREATE_NO_WINDOW\n"
                "           console   the probe as a console program, in the console launcher, which starts\n"
                "                     it in its own console; this program is a console program too\n"
                "Cases      launcher  the wrapped payload, start to end (extraction, run, removal)\n"
                "           direct    the padded payload started by this program as the launcher starts it\n"
                "                     (the same flags, the same arguments)\n"
                "           copy      CopyFileA of the padded payload into TEMP\n");
    std::printf("Runs       per size and kind, %d rounds of launcher, direct, copy to warm up, then %d timed\n",
                warmUpRounds, repetitions);
    printCpus();
    std::printf("\n");

    const std::string log = temp + "\\" + logName;
    for (Size& size : sizes) {
        // Right before the timed rounds: the first size pays for Wine's first process starts,
        // and every size is timed with the file cache and the memory as its own runs leave
        // them. A virtual machine may give memory that the guest has left free back to its
        // host, and the next writer of hundreds of MiB then waits for the host to give it again.
        for (int round = 0; round < warmUpRounds; ++round) {
            timeProgram(size.launcher, 0);
            timeProgram(size.payload, size.startFlags);
            timeCopy(size.payload, copyTarget);
            expectOnlyTheLog(temp);
        }
        std::streamoff logOffset = endOf(log);
        for (int i = 0; i < repetitions; ++i) {
            const Timed launcher = timeProgram(size.launcher, 0);
            expectOnlyTheLog(temp);
            addPhases(log, logOffset, size.launcher, launcher, size.phases);
            size.launcherMs.push_back(launcher.ms);
            size.peakAtEnd.push_back(launcher.atEnd.peakPagefile);
            size.directMs.push_back(timeProgram(size.payload, size.startFlags).ms);
            size.copyMs.push_back(timeCopy(size.payload, copyTarget));
        }
        size.largestWhileRunning = largestPagefileWhileRunning(size.launcher);
        expectOnlyTheLog(temp);
    }

    std::printf("%-14s %14s  %-9s %9s %10s %9s %9s\n", "size", "payload bytes", "case", "min ms", "median ms", "p90 ms",
                "max ms");
    for (const Size& size : sizes) {
        const std::string label = std::to_string(size.mib) + " MiB " + size.kind;
        const std::string bytes = std::to_string(size.payloadBytes);
        const struct {
            const char* name;
            const std::vector<double>& ms;
        } cases[] = {{"launcher", size.launcherMs}, {"direct", size.directMs}, {"copy", size.copyMs}};
        for (const auto& c : cases) {
            const bool first = &c == cases;
            std::printf("%-14s %14s  %-9s %9.1f %10.1f %9.1f %9.1f\n", first ? label.c_str() : "",
                        first ? bytes.c_str() : "", c.name, minimum(c.ms), median(c.ms), percentile(c.ms, 90),
                        maximum(c.ms));
        }
    }

    std::printf("\nWhere the launcher's time goes: the median ms from its start to each moment its log records\n"
                "(timestamps of 1 ms), and to its end as this program saw it; then the same moments of its\n"
                "slowest run, so that a tail shows where it is\n");
    std::printf("%-14s %-7s", "size", "run");
    for (const char* name : phaseNames) {
        std::printf(" %9s", name);
    }
    std::printf(" %9s\n", "end");
    for (const Size& size : sizes) {
        const std::string label = std::to_string(size.mib) + " MiB " + size.kind;
        std::printf("%-14s %-7s", label.c_str(), "median");
        for (const std::vector<double>& phase : size.phases) {
            std::printf(" %9.1f", median(phase));
        }
        std::printf(" %9.1f\n", median(size.launcherMs));
        const auto slowest = static_cast<std::size_t>(std::max_element(size.launcherMs.begin(), size.launcherMs.end()) -
                                                      size.launcherMs.begin());
        std::printf("%-14s %-7s", "", "slowest");
        for (const std::vector<double>& phase : size.phases) {
            std::printf(" %9.1f", phase[slowest]);
        }
        std::printf(" %9.1f\n", size.launcherMs[slowest]);
    }

    std::printf("\nLauncher's private memory (pagefile-backed commit)\n");
    std::printf("%-14s %32s %28s\n", "size", "PeakPagefileUsage at end", "largest PagefileUsage seen");
    for (const Size& size : sizes) {
        const std::string label = std::to_string(size.mib) + " MiB " + size.kind;
        const auto given = std::count_if(size.peakAtEnd.begin(), size.peakAtEnd.end(), [](double v) { return v > 0; });
        const std::string atEnd = mibText(maximum(size.peakAtEnd)) + " (" + std::to_string(given) + " of " +
                                  std::to_string(size.peakAtEnd.size()) + " > 0)";
        std::printf("%-14s %32s %28s\n", label.c_str(), atEnd.c_str(), mibText(size.largestWhileRunning).c_str());
    }
    std::printf("The first is read after the launcher ended, before its handle is closed: the largest of\n"
                "the timed runs, and how many gave more than nothing. The second is read every 2 ms while\n"
                "it runs, its payload told to stay %s ms. Under Wine both are the anonymous memory resident\n"
                "when read, not a peak, and once the process has ended often nothing: there the second is\n"
                "the one to go by.\n\n",
                holdMilliseconds);

    for (const Size& size : sizes) {
        const double launcher = median(size.launcherMs);
        const double direct = median(size.directMs);
        const double copy = median(size.copyMs);
        std::printf("bench kind=%s size_mib=%d launcher_ms=%.1f launcher_p90_ms=%.1f launcher_max_ms=%.1f "
                    "direct_ms=%.1f copy_ms=%.1f copy_p90_ms=%.1f overhead_ratio=%.2f",
                    size.kind, size.mib, launcher, percentile(size.launcherMs, 90), maximum(size.launcherMs), direct,
                    copy, percentile(size.copyMs, 90), (launcher - direct) / (direct + copy));
        for (int p = 0; p < phaseCount; ++p) {
            std::printf(" %s_ms=%.1f", phaseNames[p], median(size.phases[p]));
        }
        std::printf("\n");
    }
    for (const Size& size : sizes) {
        std::printf("memory kind=%s size_mib=%d peak_pagefile_at_end_mib=%.1f largest_pagefile_seen_mib=%.1f\n",
                    size.kind, size.mib, maximum(size.peakAtEnd), size.largestWhileRunning);
    }

    removeTemp(temp);
    return 0;
}
