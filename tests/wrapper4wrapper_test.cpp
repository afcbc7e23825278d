// The launcher's operations live in its unnamed namespace; the test is compiled with them.
#include "wrapper4wrapper.cpp"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

// An argument vector as the runtime gives it: the program name, the arguments, a null.
class ArgumentVector {
public:
    explicit ArgumentVector(const std::vector<std::string>& args) : strings(args) {
        strings.insert(strings.begin(), "launcher.exe");
        for (std::string& s : strings) {
            pointers.push_back(&s[0]);
        }
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(strings.size()); }
    char** argv() { return pointers.data(); }

private:
    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

std::string commandLineFor(const std::vector<std::string>& args) {
    ArgumentVector vector(args);
    return getCommandLine("C:\\T\\orv1.tmp\\setup.exe", vector.argc(), vector.argv());
}

// Runs a copy of the probe through the launcher's own launch, and returns what it received.
class ChildTest : public ::testing::Test {
protected:
    void SetUp() override {
        program = temp.file("setup.exe");
        ASSERT_TRUE(CopyFileA(testsupport::programPath("probe.exe").c_str(), program.c_str(), FALSE));
    }

    testsupport::ProbeReport launch(const std::vector<std::string>& args) {
        ArgumentVector vector(args);
        const ScopedEnv out("W4W_PROBE_OUT", temp.file("report"));
        EXPECT_EQ(0, execProcessWaitForFinish(program, getCommandLine(program, vector.argc(), vector.argv())));
        return testsupport::readProbeReport(temp.file("report"));
    }

    TempDir temp;
    std::string program;
};

} // namespace

TEST(CommandLine, Quoting) {
    const struct {
        std::vector<std::string> args;
        const char* tail; // after the quoted program path
    } cases[] = {
        {{}, ""},
        {{"a"}, " \"a\""},
        {{"a", "b c"}, " \"a\" \"b c\""},
        {{""}, " \"\""},
        {{"C:\\dir\\file"}, " \"C:\\dir\\file\""},
        {{"say \"hi\""}, " \"say \\\"hi\\\"\""},
        {{"end\\"}, " \"end\\\\\""},
        {{"end\\\\\\"}, " \"end\\\\\\\\\\\\\""},
        {{"a\\\\\"b"}, " \"a\\\\\\\\\\\"b\""},
        {{"\\\\server\\share"}, " \"\\\\server\\share\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string("\"C:\\T\\orv1.tmp\\setup.exe\"") + c.tail, commandLineFor(c.args));
    }
}

TEST(CommandLine, MissingArgumentVector) {
    try {
        getCommandLine("x.exe", 0, nullptr);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos,
                  std::string(e.what()).find(") at `anonymous-namespace'::getCommandLine(): __targv is NULL"))
            << e.what();
    }
}

TEST_F(ChildTest, ArgumentsArriveAsTheLauncherReceivedThem) {
    std::vector<std::string> thirty;
    for (int i = 0; i < 30; ++i) {
        thirty.push_back("arg " + std::to_string(i));
    }
    const std::vector<std::vector<std::string>> cases = {
        {},
        {""},
        {"", "x", ""},
        {"with space", "tab\there"},
        {"say \"hi\"", "\""},
        {"one\\", "two\\\\", "three\\\\\\"},
        {"a\\\"b", "a\\\\\"b", "\\\\\""},
        {"C:\\Program Files\\x\\", "next"},
        {std::string(20000, 'L') + "\\"},
        thirty,
    };
    for (const auto& args : cases) {
        const testsupport::ProbeReport report = launch(args);
        EXPECT_EQ(args, report.args);
        EXPECT_EQ(static_cast<int>(args.size() + 1), report.argc);
    }
}

TEST_F(ChildTest, WorksInTheDirectoryOfTheExecutable) {
    char own[MAX_PATH];
    GetCurrentDirectoryA(sizeof own, own);
    ASSERT_NE(temp.path(), std::string(own));
    const testsupport::ProbeReport report = launch({});
    EXPECT_EQ(temp.path(), report.cwd);
    EXPECT_EQ(program, report.module);
}

TEST_F(ChildTest, ExitCodeKeepsAll32Bits) {
    // 259 is the value that means "still active"; the wait has shown that the child ended.
    for (const DWORD code : {0u, 1u, 259u, 0xC0000005u, 0xFFFFFFFFu, 0x80000000u}) {
        const ScopedEnv exit("W4W_PROBE_EXIT", std::to_string(code));
        EXPECT_EQ(code, static_cast<DWORD>(execProcessWaitForFinish(program, "\"" + program + "\"")));
    }
}

TEST_F(ChildTest, NotARunnableProgram) {
    const std::string text = temp.file("notes.exe");
    testsupport::writeFile(text, "just text");
    try {
        execProcessWaitForFinish(text, "\"" + text + "\"");
        FAIL();
    } catch (const SysError& e) {
        const std::string what = e.what();
        EXPECT_NE(std::string::npos, what.find(") at `anonymous-namespace'::execProcessWaitForFinish(): CreateProcess failed. System error ["))
            << what;
    }
}
