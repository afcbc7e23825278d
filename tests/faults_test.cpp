// The launcher end to end under faults: a temporary directory that is full, missing or a file,
// a log that cannot be written, payloads that cannot run, children that crash or are killed, a
// launcher that is killed, and objects planted into the extraction directory. Each case says
// what it did and what it found.
#include "Scenarios.h"
#include "TestSupport.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using testsupport::exists;
using testsupport::LogRecord;
using testsupport::programPath;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

// The one record of a failure that run caught.
void expectCaught(const std::vector<LogRecord>& errors, const std::regex& message) {
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ("ERROR", errors[0].level);
    EXPECT_EQ("setup.exe", errors[0].processName);
    EXPECT_EQ("wrapper4wrapper.cpp", errors[0].sourceFile);
    EXPECT_EQ("`anonymous-namespace'::run", errors[0].function);
    EXPECT_TRUE(std::regex_match(errors[0].message, message)) << errors[0].message;
}

// Whether the deletion list for the next restart names anything under dir.
bool scheduledOnReboot(const std::string& dir) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE,
                      &opened) != ERROR_SUCCESS) {
        return false;
    }
    const AutoRegHandle key(opened);
    DWORD size = 0;
    std::string value;
    if (RegQueryValueExA(key.get(), "PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        value.resize(size);
        RegQueryValueExA(key.get(), "PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(&value[0]),
                         &size);
    }
    return value.find(dir) != std::string::npos;
}

// Ends the process if it still runs, so no sleeping probe outlives its test.
void endProcess(HANDLE process) {
    if (process != nullptr) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}
using Victim = AutoOwner<HANDLE, endProcess>;

Victim openVictim(DWORD pid) {
    return Victim(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
}

bool stillRuns(const Victim& process) {
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

class FaultsTest : public ::testing::Test {
protected:
    // Launchers, reports and outside trees stay apart from the temporary directory.
    TempDir bin;
    TempDir temp;

    // payload: probe.exe, or probegui.exe for a windowed payload in its launcher.
    std::string wrapProbe(const char* payload = "probe.exe") {
        const std::string launcher = bin.file("setup.exe");
        testsupport::wrap(programPath(payload), launcher);
        return launcher;
    }

    // A launcher whose payload is these bytes, whatever they are; w4wpack takes programs only.
    std::string launcherCarrying(const std::string& bytes) {
        const std::string launcher = bin.file("setup.exe");
        EXPECT_TRUE(CopyFileA(programPath("wrapper4wrapper.exe").c_str(), launcher.c_str(), FALSE));
        const HANDLE update = BeginUpdateResourceA(launcher.c_str(), FALSE);
        EXPECT_NE(nullptr, update);
        EXPECT_TRUE(UpdateResourceA(update, RT_RCDATA, MAKEINTRESOURCEA(100), 0, const_cast<char*>(bytes.data()),
                                    static_cast<DWORD>(bytes.size())));
        EXPECT_TRUE(EndUpdateResourceA(update, FALSE));
        return launcher;
    }

    std::string reportPath() const { return bin.file("report"); }
    bool childRan() const { return exists(reportPath()); }

    DWORD launch(const std::string& launcher, const std::string& arguments = std::string()) {
        DeleteFileA(reportPath().c_str());
        const ScopedEnv out("W4W_PROBE_OUT", reportPath());
        return testsupport::runProcess(launcher, "\"" + launcher + "\"" + (arguments.empty() ? "" : " " + arguments));
    }

    std::string log() const { return temp.file("vextrel.log"); }
    std::vector<std::string> leftovers() const { return testsupport::leftovers(temp.path()); }

    // A launcher whose payload sleeps for a minute, once that payload runs; child is the
    // payload's process id, as it reported it, 0 when it did not. Not a child of the launcher
    // found in a list of processes: under Wine the console host of a new console may be one.
    struct Running {
        std::unique_ptr<testsupport::Process> launcher;
        DWORD child = 0;
    };
    Running startWithSleepingPayload(const char* payload = "probe.exe") {
        const std::string launcher = wrapProbe(payload);
        const ScopedEnv sleep("W4W_PROBE_SLEEP", "60000");
        const ScopedEnv out("W4W_PROBE_OUT", reportPath());
        Running running;
        running.launcher =
            std::make_unique<testsupport::Process>(scenarios::wide(launcher), scenarios::wide("\"" + launcher + "\""));
        // The report is whole once its last line, the third standard handle's, is there.
        const auto whole = [this] {
            const std::string text = childRan() ? testsupport::readFile(reportPath()) : std::string();
            std::size_t lines = 0;
            for (std::size_t at = text.find("\nstd="); at != std::string::npos; at = text.find("\nstd=", at + 1)) {
                ++lines;
            }
            return lines == 3 && text.back() == '\n';
        };
        for (int i = 0; i < 1000 && !whole(); ++i) {
            Sleep(10);
        }
        EXPECT_TRUE(whole()) << "the payload did not start";
        running.child = testsupport::readProbeReport(reportPath()).pid;
        return running;
    }
};

} // namespace

TEST_F(FaultsTest, TemporaryDirectoryOnAFullFilesystem) {
    ULARGE_INTEGER total = {};
    const std::size_t extra = 3 << 20;
    if (!GetDiskFreeSpaceExA(FAULTS_TEST_SMALL_FS, nullptr, &total, nullptr) || total.QuadPart >= extra) {
        GTEST_SKIP() << "no filesystem smaller than the payload is mounted at " << FAULTS_TEST_SMALL_FS;
    }
    const std::string small = std::string(FAULTS_TEST_SMALL_FS) + "\\faults";
    ASSERT_TRUE(CreateDirectoryA(small.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    const std::string smallLog = small + "\\vextrel.log";
    const std::string payload = bin.file("large.exe");
    scenarios::writeLargeProbe(payload, extra);
    const std::string launcher = bin.file("setup.exe");
    testsupport::wrap(payload, launcher);
    // Under Wine a write to a full tmpfs first succeeds with a short count, and the next fails.
    const std::regex caught(R"(Exception with message '.*\) at `anonymous-namespace'::writeAll\(\): )"
                            R"(WriteFile\(.*\\orv-?\d+\.tmp\\setup\.exe\) failed\. System error \[112\].*' caught)");

    const ScopedEnv tmp("TMP", small);
    const ScopedEnv tempEnv("TEMP", small);
    for (const bool fillFirst : {false, true}) {
        const std::string filler = small + "\\filler";
        if (fillFirst) {
            // Everything the filesystem holds, so that even the log gets no byte.
            std::ofstream out(filler, std::ios::binary);
            const std::string block(4096, 'f');
            while (out.write(block.data(), block.size()) && out.flush()) {
            }
        }
        const DWORD code = launch(launcher);
        EXPECT_EQ(0xFFFFFFFFu, code);
        EXPECT_FALSE(childRan());
        std::vector<std::string> left = testsupport::listDir(small);
        left.erase(std::remove(left.begin(), left.end(), "vextrel.log"), left.end());
        EXPECT_EQ(fillFirst ? std::vector<std::string>{"filler"} : std::vector<std::string>(), left);
        const std::vector<LogRecord> records = testsupport::readLogIfAny(smallLog);
        if (fillFirst) {
            // Records that find no space are lost, as the log loses every record it cannot write.
            EXPECT_TRUE(records.empty());
        } else {
            // The partial file is deleted before the failure is reported, which frees the space.
            expectCaught(testsupport::failuresIn(testsupport::readLogIfAny(smallLog)), caught);
        }
        std::cout << (fillFirst ? "full filesystem" : "payload larger than the free space") << ": exit code "
                  << static_cast<int>(code) << ", " << records.size()
                  << " log records, left behind: " << (left.empty() ? "nothing" : left.front()) << "\n";
        DeleteFileA(smallLog.c_str());
        DeleteFileA(filler.c_str());
    }
    RemoveDirectoryA(small.c_str());
}

TEST_F(FaultsTest, TemporaryDirectoryThatIsNoDirectory) {
    const std::string launcher = wrapProbe();
    const std::string file = temp.file("a file");
    testsupport::writeFile(file, "not a directory");
    const struct {
        const char* what;
        std::string tempDir;
    } cases[] = {
        {"missing", temp.file("missing")},
        {"a file", file},
    };
    for (const auto& c : cases) {
        const ScopedEnv tmp("TMP", c.tempDir);
        const ScopedEnv tempEnv("TEMP", c.tempDir);
        const DWORD code = launch(launcher);
        EXPECT_EQ(0xFFFFFFFFu, code) << c.what;
        EXPECT_FALSE(childRan()) << c.what;
        // Nothing is made anywhere, not even the log, whose place is that directory too.
        EXPECT_EQ(std::vector<std::string>{"a file"}, testsupport::listDir(temp.path())) << c.what;
        EXPECT_EQ("not a directory", testsupport::readFile(file));
        std::cout << "TEMP " << c.what << ": exit code " << static_cast<int>(code) << ", no log, nothing created\n";
    }
}

TEST_F(FaultsTest, LogHeldWithWritingDeniedForTheWholeRun) {
    const std::string launcher = wrapProbe();
    const std::string before = "what another program wrote\r\n";
    testsupport::writeFile(log(), before);
    AutoHandle held(CreateFileA(log().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, held.get());
    const ScopedEnv message("W4W_PROBE_LOG", "the payload's record");
    const ScopedEnv exit("W4W_PROBE_EXIT", "5");
    const DWORD start = GetTickCount();
    const DWORD code = launch(launcher, "\"one arg\" two");
    const DWORD took = GetTickCount() - start;
    held.reset();

    // Every record is dropped after its attempts; the run itself is not disturbed.
    EXPECT_EQ(5u, code);
    ASSERT_TRUE(childRan());
    EXPECT_EQ((std::vector<std::string>{"one arg", "two"}), testsupport::readProbeReport(reportPath()).args);
    EXPECT_EQ(before, testsupport::readFile(log()));
    EXPECT_TRUE(leftovers().empty());
    std::cout << "log held: exit code " << code << " in " << took << " ms, log unchanged, nothing left\n";
}

TEST_F(FaultsTest, PayloadsThatCannotRun) {
    const std::string image = testsupport::readFile(programPath("probe.exe"));
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"two bytes", "MZ"},
        {"text", "echo this is no program\r\n"},
        {"the first 4 KiB of a program", image.substr(0, 4096)},
    };
    for (const auto& c : cases) {
        const DWORD code = launch(launcherCarrying(c.bytes));
        EXPECT_EQ(0xFFFFFFFFu, code) << c.what;
        EXPECT_FALSE(childRan()) << c.what;
        const std::vector<LogRecord> errors = testsupport::failuresIn(testsupport::readLogIfAny(log()));
        std::smatch m;
        const std::regex shape(
            R"(Exception with message 'wrapper4wrapper\.cpp\(\d+\) at `anonymous-namespace'::)"
            R"(execProcessWaitForFinish\(\): (CreateProcess failed\. System error \[(\d+)\].*)' caught)");
        expectCaught(errors, shape);
        if (!errors.empty() && std::regex_match(errors[0].message, m, shape)) {
            const DWORD error = std::stoul(m[2]);
            EXPECT_EQ(SysError("CreateProcess failed", apiAddress(CreateProcessA), error).what(), m[1].str());
            std::cout << "payload of " << c.what << ": exit code " << static_cast<int>(code) << ", CreateProcess error "
                      << error << "\n";
        }
        EXPECT_TRUE(leftovers().empty()) << c.what;
        DeleteFileA(log().c_str());
    }
}

TEST_F(FaultsTest, ChildThatCrashes) {
    const ScopedEnv crash("W4W_PROBE_CRASH", "1");
    const DWORD code = launch(wrapProbe());
    EXPECT_EQ(0xC0000005u, code);
    EXPECT_TRUE(childRan());
    EXPECT_TRUE(testsupport::failuresIn(testsupport::readLogIfAny(log())).empty());
    EXPECT_TRUE(leftovers().empty());
    std::cout << "crashing child: exit code 0x" << std::hex << code << std::dec << ", nothing left\n";
}

TEST_F(FaultsTest, ChildEndedByAnotherProcess) {
    const Running running = startWithSleepingPayload();
    ASSERT_NE(0u, running.child);
    const Victim child = openVictim(running.child);
    const DWORD chosen = 0x8BADF00D;
    ASSERT_TRUE(TerminateProcess(child.get(), chosen));
    const DWORD code = running.launcher->wait();
    EXPECT_EQ(chosen, code);
    EXPECT_TRUE(testsupport::failuresIn(testsupport::readLogIfAny(log())).empty());
    EXPECT_TRUE(leftovers().empty());
    std::cout << "child ended with 0x" << std::hex << chosen << ": launcher's exit code 0x" << code << std::dec
              << ", nothing left\n";
}

// The launcher of a windowed payload, such as an installer; a console tool ends with its
// launcher.
TEST_F(FaultsTest, LauncherEndedWhileItsChildRuns) {
    const Running running = startWithSleepingPayload("probegui.exe");
    ASSERT_NE(0u, running.child);
    const Victim child = openVictim(running.child);
    ASSERT_TRUE(TerminateProcess(running.launcher->handle(), 99));
    EXPECT_EQ(99u, running.launcher->wait());

    // Nothing of the launcher runs any more, so nothing removes its directory: the payload goes
    // on, and the directory with the extracted file stays after it has ended too.
    EXPECT_TRUE(stillRuns(child));
    const std::vector<std::string> dirs = scenarios::secureDirectories(temp.path());
    ASSERT_EQ(1u, dirs.size());
    const std::string dir = temp.file(dirs[0]);
    EXPECT_EQ(std::vector<std::string>{"setup.exe"}, testsupport::listDir(dir));
    TerminateProcess(child.get(), 0);
    WaitForSingleObject(child.get(), 10000);
    Sleep(500);
    EXPECT_EQ(std::vector<std::string>{"setup.exe"}, testsupport::listDir(dir));
    EXPECT_EQ(dirs, leftovers());
    EXPECT_FALSE(scheduledOnReboot(dir));
    for (const LogRecord& r : testsupport::readLogIfAny(log())) {
        EXPECT_EQ(std::string::npos, r.message.find("Deleted [" + dir + "\\setup.exe]")) << r.message;
        EXPECT_EQ("TRACE", r.level) << r.message;
    }
    std::cout << "launcher ended while its child ran: left behind " << dirs[0] << "\\setup.exe, nothing scheduled\n";
}

TEST_F(FaultsTest, ObjectsPlantedWhileThePayloadIsWritten) {
    const std::string payload = bin.file("large.exe");
    scenarios::writeLargeProbe(payload, 64 << 20);
    const std::string launcher = bin.file("setup.exe");
    testsupport::wrap(payload, launcher);
    const scenarios::OutsideTree outside(bin.file("outside"));
    for (const scenarios::Plant kind :
         {scenarios::Plant::File, scenarios::Plant::EmptyDirectory, scenarios::Plant::DirectoryLink}) {
        SCOPED_TRACE(scenarios::nameOf(kind));
        const scenarios::HostileResult result = scenarios::runHostile(kind, launcher, temp, outside, reportPath());
        std::cout << "planted " << scenarios::nameOf(kind) << ": "
                  << (result.refused   ? "refused"
                      : result.planted ? "came too late, ran"
                                       : "not planted, ran")
                  << (kind == scenarios::Plant::DirectoryLink && result.planted && scenarios::underWine()
                          ? "; the link and its directory stayed (Wine)"
                          : "")
                  << "\n";
    }
}
