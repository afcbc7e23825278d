// A real console tool through the launcher, started as build systems and scripts start it: it
// prints, reads and exits as when it is run directly, where its user stands.
#include "TestSupport.h"
#include "tstrings.h"

#include <gtest/gtest.h>

#include <string>

using testsupport::Captured;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

class ConsoleToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (tool.empty()) {
            GTEST_SKIP() << "7za.exe (npm package 7zip-bin) was not found when the build was configured";
        }
        testsupport::wrap(tool, launcher);
    }

    // From the user's directory, with pipes for its standard handles.
    Captured run(const std::string& program, const std::string& arguments, const std::string& input = "") {
        return testsupport::runPiped(tstrings::toUtf16(program), tstrings::toUtf16("\"" + program + "\" " + arguments),
                                     input, user.path());
    }

    void expectTheSame(const Captured& direct, const Captured& wrapped, const std::string& what) {
        EXPECT_EQ(direct.exitCode, wrapped.exitCode) << what;
        EXPECT_EQ(direct.out, wrapped.out) << what;
        EXPECT_EQ(direct.err, wrapped.err) << what;
    }

    const std::string tool = CONSOLE_TEST_7ZA;
    TempDir bin;
    TempDir user;
    TempDir temp;
    const std::string launcher = bin.file("7za.exe");
};

// Bytes that text handling would change: every byte value, CR LF, a lone LF, Ctrl+Z.
std::string binaryData() {
    std::string data;
    for (int i = 0; i < 40000; ++i) {
        data += static_cast<char>((i * 7919) & 0xFF);
        if (i % 1000 == 0) {
            data += "\r\n\n\x1A";
        }
    }
    return data;
}

} // namespace

TEST_F(ConsoleToolTest, PrintsReadsAndExitsAsRunDirectly) {
    const Captured listed = run(tool, "i");
    EXPECT_EQ(0u, listed.exitCode);
    EXPECT_GT(listed.out.size(), 1000u);
    expectTheSame(listed, run(launcher, "i"), "7za i");

    // Data from standard input, into an archive at a path relative to the user's directory,
    // and back out through standard output.
    const std::string data = binaryData();
    const Captured added = run(launcher, "a -sidata.bin rel.7z", data);
    EXPECT_EQ(0u, added.exitCode) << added.err;
    EXPECT_TRUE(testsupport::exists(user.file("rel.7z")));
    const Captured extracted = run(launcher, "x -so rel.7z");
    EXPECT_EQ(0u, extracted.exitCode) << extracted.err;
    EXPECT_TRUE(extracted.out == data) << extracted.out.size() << " bytes, not " << data.size();

    // A fatal error: its message on standard error and its exit code.
    const Captured missing = run(tool, "x missing.7z");
    EXPECT_EQ(2u, missing.exitCode);
    EXPECT_FALSE(missing.err.empty());
    expectTheSame(missing, run(launcher, "x missing.7z"), "7za x missing.7z");
    EXPECT_TRUE(testsupport::leftovers(temp.path()).empty());
}

TEST_F(ConsoleToolTest, FromABatchFile) {
    // What it prints, redirected to files by the batch file, and the exit code the batch file
    // sees and returns.
    testsupport::writeFile(user.file("run.bat"), "@\"" + launcher + "\" i > listed.txt\r\n@\"" + launcher +
                                                     "\" x missing.7z 2> failed.txt\r\n@exit /b %errorlevel%\r\n");
    char system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryA(system, MAX_PATH));
    const std::string cmd = std::string(system) + "\\cmd.exe";
    EXPECT_EQ(2u, testsupport::runPiped(tstrings::toUtf16(cmd), L"cmd /c run.bat", "", user.path()).exitCode);
    EXPECT_EQ(run(tool, "i").out, testsupport::readFile(user.file("listed.txt")));
    EXPECT_EQ(run(tool, "x missing.7z").err, testsupport::readFile(user.file("failed.txt")));
    EXPECT_TRUE(testsupport::leftovers(temp.path()).empty());
}

TEST(ConsoleLauncher, EndedFromOutsideItTakesItsPayloadWithIt) {
    const TempDir bin;
    const TempDir temp;
    const std::string launcher = bin.file("tool.exe");
    testsupport::wrap(testsupport::programPath("probe.exe"), launcher);
    const ScopedEnv out("W4W_PROBE_OUT", bin.file("report"));
    const ScopedEnv sleep("W4W_PROBE_SLEEP", "20000");
    testsupport::PipedProcess process(tstrings::toUtf16(launcher), tstrings::toUtf16("\"" + launcher + "\""));
    // The payload writes its report as it starts.
    for (int i = 0; i < 1000 && !testsupport::exists(bin.file("report")); ++i) {
        Sleep(10);
    }
    ASSERT_TRUE(testsupport::exists(bin.file("report")));
    ASSERT_TRUE(TerminateProcess(process.handle(), 9));
    // The pipes close once every process that had them has ended, the payload too.
    EXPECT_TRUE(process.outputClosed(10000));
    EXPECT_EQ(9u, process.wait());
}
