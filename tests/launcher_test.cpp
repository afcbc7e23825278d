// The launcher end to end: the probe payload wrapped with w4wpack, run as a real process
// under its own temporary directory.
#include "FileUtils.h"
#include "TestSupport.h"
#include "tstrings.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

using testsupport::LogRecord;
using testsupport::programPath;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

const std::regex secureDirName(R"(orv-?\d+\.tmp)");

class LauncherTest : public ::testing::Test {
protected:
    // Launchers and reports stay apart from the temporary directory the launchers use.
    TempDir bin;
    TempDir temp;

    std::string wrap(const std::string& payload, const std::string& name) {
        const std::string output = bin.file(name);
        testsupport::wrap(payload, output);
        return output;
    }

    std::string wrapProbe(const std::string& name = "setup.exe") { return wrap(programPath("probe.exe"), name); }

    // arguments: the rest of the launcher's command line.
    DWORD launch(const std::string& launcher, const std::string& arguments = std::string()) {
        DeleteFileA(reportPath().c_str());
        const ScopedEnv out("W4W_PROBE_OUT", reportPath());
        return testsupport::runProcess(launcher, "\"" + launcher + "\"" + (arguments.empty() ? "" : " " + arguments));
    }

    std::string reportPath() const { return bin.file("report"); }
    bool childRan() const { return testsupport::exists(reportPath()); }
    testsupport::ProbeReport report() const { return testsupport::readProbeReport(reportPath()); }

    std::vector<std::string> leftovers() const { return testsupport::leftovers(temp.path()); }

    std::vector<LogRecord> records() const { return testsupport::readLogIfAny(temp.file("vextrel.log")); }
    std::vector<LogRecord> errors() const { return testsupport::failuresIn(records()); }

    // The payload ran in a directory of its own right inside the temporary directory.
    void expectRanInSecureDirectory(const std::string& launcherName) {
        const testsupport::ProbeReport r = report();
        const std::string dir = FileUtils::dirname(r.module);
        EXPECT_EQ(launcherName, FileUtils::basename(r.module));
        EXPECT_EQ(temp.path(), FileUtils::dirname(dir));
        EXPECT_TRUE(std::regex_match(FileUtils::basename(dir), secureDirName)) << dir;
    }
};

} // namespace

TEST_F(LauncherTest, PassesArgumentsAndTheWholeExitCode) {
    const std::string launcher = wrapProbe();
    const struct {
        const char* commandLine;
        std::vector<std::string> args;
    } cases[] = {
        {"", {}},
        {"plain \"with space\"", {"plain", "with space"}},
        {"\"\" x", {"", "x"}},
        {"\"say \\\"hi\\\"\" \"end\\\\\" \\\\server\\share\\", {"say \"hi\"", "end\\", "\\\\server\\share\\"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(0u, launch(launcher, c.commandLine)) << c.commandLine;
        EXPECT_EQ(c.args, report().args) << c.commandLine;
        expectRanInSecureDirectory("setup.exe");
        EXPECT_TRUE(leftovers().empty());
    }
    for (const DWORD code : {1u, 259u, 0xC0000005u, 0xFFFFFFFFu}) {
        const ScopedEnv exit("W4W_PROBE_EXIT", std::to_string(code));
        EXPECT_EQ(code, launch(launcher, "a"));
        EXPECT_TRUE(childRan());
    }
    EXPECT_TRUE(errors().empty());
    EXPECT_TRUE(leftovers().empty());
}

// Started as a build system starts a tool, from a directory of the user's: a console payload
// works there with the launcher's handles, a windowed one in its own directory. (That the
// windowed one gets no usable handles only Windows shows: Wine gives every child it starts
// without inheritance its parent's standard handles.)
TEST_F(LauncherTest, WhatEachKindOfPayloadSees) {
    const std::string user = bin.file("user");
    ASSERT_TRUE(CreateDirectoryA(user.c_str(), nullptr));
    const struct {
        const char* payload;
        bool console;
    } cases[] = {{"probe.exe", true}, {"probegui.exe", false}};
    for (const auto& c : cases) {
        const std::string launcher = wrap(programPath(c.payload), "tool.exe");
        const ScopedEnv out("W4W_PROBE_OUT", reportPath());
        const ScopedEnv exit("W4W_PROBE_EXIT", "5");
        EXPECT_EQ(5u, testsupport::runPiped(tstrings::toUtf16(launcher), tstrings::toUtf16("\"" + launcher + "\" x"),
                                            "", user)
                          .exitCode);
        const testsupport::ProbeReport r = report();
        expectRanInSecureDirectory("tool.exe");
        EXPECT_EQ(c.console ? user : FileUtils::dirname(r.module), r.cwd) << c.payload;
        if (c.console) {
            EXPECT_EQ(std::vector<std::string>(3, "pipe"), r.standardHandles);
        }
        EXPECT_TRUE(leftovers().empty());
    }
}

TEST_F(LauncherTest, ThePayloadBearsTheLaunchersCurrentName) {
    const std::string renamed = bin.file("Tool Setup 2.exe");
    ASSERT_TRUE(MoveFileA(wrapProbe().c_str(), renamed.c_str()));
    EXPECT_EQ(0u, launch(renamed));
    expectRanInSecureDirectory("Tool Setup 2.exe");
    EXPECT_EQ("Tool Setup 2.exe", records().at(0).processName);
}

TEST_F(LauncherTest, RecordsOfARun) {
    EXPECT_EQ(0u, launch(wrapProbe()));
    const std::string dir = FileUtils::dirname(report().module);
    const std::vector<LogRecord> log = records();
    const std::string dirPattern = std::regex_replace(dir, std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)");
    const struct {
        std::string message;
        const char* function;
    } expected[] = {
        {R"(Checked \[)" + dirPattern + R"(\]: it holds \[)" + dirPattern + R"(\\setup\.exe\] alone)",
         "`anonymous-namespace'::run"},
        {R"(Started \[)" + dirPattern + R"(\\setup\.exe\] process \d+)",
         "`anonymous-namespace'::execProcessWaitForFinish"},
        {R"(Ended \[)" + dirPattern + R"(\\setup\.exe\] process \d+ with exit code 0)",
         "`anonymous-namespace'::execProcessWaitForFinish"},
        {R"(Deleted \[)" + dirPattern + R"(\\setup\.exe\] file)", "FileUtils::`anonymous-namespace'::removeTree"},
        {R"(Deleted \[)" + dirPattern + R"(\] directory)", "FileUtils::`anonymous-namespace'::removeTree"},
    };
    ASSERT_EQ(std::size(expected), log.size());
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ("TRACE", log[i].level);
        EXPECT_EQ("setup.exe", log[i].processName);
        EXPECT_EQ(expected[i].function, log[i].function) << i;
        EXPECT_TRUE(std::regex_match(log[i].message, std::regex(expected[i].message))) << log[i].message;
    }
}

TEST_F(LauncherTest, TemplateWithoutPayload) {
    const std::string bare = bin.file("setup.exe");
    ASSERT_TRUE(CopyFileA(programPath("wrapper4wrapper.exe").c_str(), bare.c_str(), FALSE));
    EXPECT_EQ(0xFFFFFFFFu, launch(bare));
    const std::vector<LogRecord> log = records();
    const std::vector<LogRecord> failures = errors();
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("ERROR", failures[0].level);
    EXPECT_EQ("`anonymous-namespace'::run", failures[0].function);
    EXPECT_TRUE(std::regex_match(
        failures[0].message, std::regex(R"(Exception with message '.*\) at Resource::getPtr\(\): cannot find resource )"
                                        R"(\(name='#100', type='#10'\)\. System error \[\d+\].*' caught)")))
        << failures[0].message;
    // The directory is gone before the failure is reported.
    ASSERT_GE(log.size(), 2u);
    EXPECT_NE(std::string::npos, log[log.size() - 2].message.find("] directory"));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LauncherTest, PayloadThatIsNotRunnable) {
    // A program for a machine this system does not run.
    const std::string foreign = bin.file("foreign.exe");
    std::string image = testsupport::readFile(programPath("probe.exe"));
    const auto peOffset = *reinterpret_cast<const LONG*>(image.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew));
    const WORD armnt = IMAGE_FILE_MACHINE_ARMNT;
    image.replace(peOffset + 4, sizeof armnt, reinterpret_cast<const char*>(&armnt), sizeof armnt);
    testsupport::writeFile(foreign, image);
    EXPECT_EQ(0xFFFFFFFFu, launch(wrap(foreign, "setup.exe")));
    const std::vector<LogRecord> failures = errors();
    ASSERT_EQ(1u, failures.size());
    EXPECT_NE(std::string::npos,
              failures[0].message.find(
                  ") at `anonymous-namespace'::execProcessWaitForFinish(): CreateProcess failed. System error ["))
        << failures[0].message;
    EXPECT_FALSE(childRan());
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LauncherTest, DirectoryHeldForAMomentIsStillRemoved) {
    // The payload leaves a program that keeps the extracted file open for half a second.
    const ScopedEnv spawn("W4W_PROBE_SPAWN", "500");
    const ScopedEnv exit("W4W_PROBE_EXIT", "7");
    EXPECT_EQ(7u, launch(wrapProbe()));
    EXPECT_TRUE(leftovers().empty());
    EXPECT_TRUE(errors().empty());
}

TEST_F(LauncherTest, ProgramLeftRunningDoesNotChangeTheExitCode) {
    const ScopedEnv spawn("W4W_PROBE_SPAWN", "4000");
    const ScopedEnv exit("W4W_PROBE_EXIT", "7");
    EXPECT_EQ(7u, launch(wrapProbe()));
    // Removal is best effort: the directory may stay while that program runs.
    EXPECT_TRUE(errors().empty());
    for (int i = 0; i < 100 && !leftovers().empty(); ++i) {
        std::error_code ignored;
        for (const std::string& name : leftovers()) {
            std::filesystem::remove_all(temp.file(name), ignored);
        }
        Sleep(100);
    }
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LauncherTest, LaunchersStartedTogetherEachGetTheirOwnDirectory) {
    const std::string launcher = wrapProbe();
    const int count = 12;
    std::vector<std::unique_ptr<testsupport::Process>> processes;
    for (int i = 0; i < count; ++i) {
        const ScopedEnv out("W4W_PROBE_OUT", bin.file("report" + std::to_string(i)));
        const ScopedEnv exit("W4W_PROBE_EXIT", std::to_string(100 + i));
        const std::wstring path(launcher.begin(), launcher.end());
        processes.push_back(std::make_unique<testsupport::Process>(path, L"\"" + path + L"\"", true));
    }
    // Resumed together, they read the same tick count and race for the same names.
    for (auto& p : processes) {
        p->resume();
    }
    std::set<std::string> dirs;
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(static_cast<DWORD>(100 + i), processes[i]->wait()) << i;
        dirs.insert(FileUtils::dirname(testsupport::readProbeReport(bin.file("report" + std::to_string(i))).module));
    }
    EXPECT_EQ(static_cast<std::size_t>(count), dirs.size());
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LauncherTest, PrivateMemoryDoesNotGrowWithThePayload) {
    // Bytes after the image leave the probe runnable.
    std::string payload = testsupport::readFile(programPath("probe.exe"));
    payload.append(48u << 20, '\x5A');
    testsupport::writeFile(bin.file("big.exe"), payload);
    payload.clear();
    const std::wstring launcher = std::filesystem::path(wrap(bin.file("big.exe"), "setup.exe")).wstring();
    // The launcher is watched while it waits for the payload, long after it wrote it.
    const ScopedEnv hold("W4W_PROBE_HOLD", "500");
    testsupport::Process process(launcher, L"\"" + launcher + L"\"");
    SIZE_T most = 0;
    while (WaitForSingleObject(process.handle(), 5) == WAIT_TIMEOUT) {
        PROCESS_MEMORY_COUNTERS counters = {};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(process.handle(), &counters, sizeof counters)) {
            most = std::max(most, counters.PagefileUsage);
        }
    }
    EXPECT_EQ(0u, process.wait());
    // An image whose resources are read into memory rather than mapped from the file (as Wine
    // does for sections at unaligned file offsets) would show the whole payload here.
    EXPECT_GT(most, 0u);
    EXPECT_LT(most, SIZE_T(16) << 20);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LauncherTest, TextOutsideTheLegacyCodePage) {
    // A temporary directory and an argument that code page 1252 cannot hold.
    const std::wstring tempW = std::filesystem::path(temp.path()).wstring() + L"\\Gr\x00FC\x00DF"
                                                                              L"e-\x65E5\x672C";
    ASSERT_TRUE(CreateDirectoryW(tempW.c_str(), nullptr));
    SetEnvironmentVariableW(L"TMP", tempW.c_str());
    SetEnvironmentVariableW(L"TEMP", tempW.c_str());
    const std::wstring launcher = std::filesystem::path(wrapProbe()).wstring();
    const ScopedEnv out("W4W_PROBE_OUT", reportPath());
    testsupport::Process process(launcher, L"\"" + launcher + L"\" \"Z\x00FCrich \x20AC \x65E5\x672C\"");
    const DWORD code = process.wait();
    SetEnvironmentVariableA("TMP", temp.path().c_str());
    SetEnvironmentVariableA("TEMP", temp.path().c_str());
    EXPECT_EQ(0u, code);
    const testsupport::ProbeReport r = report();
    EXPECT_EQ(std::vector<std::string>{"Z\xC3\xBCrich \xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC"}, r.args);
    EXPECT_NE(std::string::npos, r.module.find("\\Gr\xC3\xBC\xC3\x9F"
                                               "e-\xE6\x97\xA5\xE6\x9C\xAC\\orv"))
        << r.module;
    // Only the log is left there.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(tempW)) {
        names.push_back(entry.path().filename().u8string());
    }
    EXPECT_EQ(std::vector<std::string>{"vextrel.log"}, names);
}

TEST(Launcher, IsAGuiSubsystemImage) {
    const HMODULE image = LoadLibraryExA(programPath("wrapper4wrapper.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, image);
    // The low bits mark a data-file mapping; the headers start at the aligned base.
    const auto base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image) & ~ULONG_PTR(3));
    const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, nt->FileHeader.Machine);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, nt->OptionalHeader.Subsystem);
    FreeLibrary(image);
}
