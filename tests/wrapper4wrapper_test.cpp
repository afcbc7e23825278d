// The launcher's operations live in its unnamed namespace; the test is compiled with them.
#include "wrapper4wrapper.cpp"

#include "TestSupport.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <regex>
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
        EXPECT_NE(
            std::string::npos,
            what.find(") at `anonymous-namespace'::execProcessWaitForFinish(): CreateProcess failed. System error ["))
            << what;
    }
}

TEST(TamperCheck, OnlyTheTargetMayBeThere) {
    TempDir temp;
    const std::string dir = temp.file("orv1.tmp");
    const std::string target = dir + "\\setup.exe";
    const struct {
        const char* name;
        std::vector<std::string> files;
        std::vector<std::string> folders;
        bool passes;
    } cases[] = {
        {"the target alone", {"setup.exe"}, {}, true},
        {"the target in other letter case", {"SETUP.Exe"}, {}, true},
        {"a second file", {"setup.exe", "version.dll"}, {}, false},
        {"an empty folder", {"setup.exe"}, {"sub"}, false},
        {"a file in a folder only", {"sub\\setup.exe"}, {"sub"}, false},
        {"another file alone", {"setup.exe.bak"}, {}, false},
        {"nothing", {}, {}, false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
        for (const std::string& folder : c.folders) {
            CreateDirectoryA((dir + "\\" + folder).c_str(), nullptr);
        }
        for (const std::string& file : c.files) {
            testsupport::writeFile(dir + "\\" + file, "x");
        }
        EXPECT_EQ(c.passes, holdsOnly(dir, target)) << c.name;
        std::filesystem::remove_all(dir);
    }
    // A directory that is not there holds nothing.
    EXPECT_FALSE(holdsOnly(dir, target));
}

namespace {

int collisions = 0;
int collisionLimit = 0;

// Another party takes the released name before the directory is made.
void takeTheName(const std::string& path) {
    if (collisions < collisionLimit) {
        ++collisions;
        ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
        testsupport::writeFile(path + "\\theirs.txt", "not ours");
    }
}

std::vector<std::string> orvEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const std::string& name : testsupport::listDir(dir)) {
        if (name.compare(0, 3, "orv") == 0) {
            names.push_back(name);
        }
    }
    return names;
}

} // namespace

TEST(SecureDirectory, IsMadeUnderAFreshNameInTheTemporaryDirectory) {
    TempDir temp;
    const std::string dir = createSecureDirectory();
    EXPECT_EQ(temp.path(), FileUtils::dirname(dir));
    EXPECT_TRUE(std::regex_match(FileUtils::basename(dir), std::regex(R"(orv-?\d+\.tmp)"))) << dir;
    EXPECT_TRUE(FileUtils::isDirectory(dir));
    // The reserved file is gone: the directory is the only thing of ours.
    EXPECT_EQ(std::vector<std::string>{FileUtils::basename(dir)}, orvEntries(temp.path()));
}

TEST(SecureDirectory, ANameTakenMeanwhileIsLeftAloneAndAnotherTried) {
    TempDir temp;
    collisions = 0;
    collisionLimit = 3;
    const std::string dir = createSecureDirectory(takeTheName);
    EXPECT_EQ(3, collisions);
    const std::vector<std::string> names = orvEntries(temp.path());
    ASSERT_EQ(4u, names.size());
    for (const std::string& name : names) {
        const std::string path = temp.file(name);
        if (path != dir) {
            EXPECT_EQ("not ours", testsupport::readFile(path + "\\theirs.txt")) << name;
        }
    }
    EXPECT_TRUE(testsupport::listDir(dir).empty());
}

TEST(SecureDirectory, GivesUpWhenEveryNameIsTaken) {
    TempDir temp;
    collisions = 0;
    collisionLimit = 1000;
    try {
        createSecureDirectory(takeTheName);
        FAIL();
    } catch (const SysError& e) {
        const std::string what = e.what();
        EXPECT_TRUE(std::regex_search(
            what, std::regex(R"(\) at `anonymous-namespace'::createSecureDirectory\(\): )"
                             R"(CreateDirectory\(.*\\orv-?\d+\.tmp\) failed\. System error \[183\])")))
            << what;
    }
    EXPECT_EQ(10, collisions);
    // Every one of them is still the other party's.
    EXPECT_EQ(10u, orvEntries(temp.path()).size());
}

namespace {

// Random argument vectors made of what command-line parsing trips over.
class ArgumentGenerator {
public:
    explicit ArgumentGenerator(unsigned seed) : random(seed) {}

    std::vector<std::string> vector() {
        std::vector<std::string> args(pick(0, 8));
        for (std::string& arg : args) {
            arg = argument();
        }
        return args;
    }

private:
    std::string argument() {
        if (pick(0, 9) == 0) {
            return std::string();
        }
        const int pieces = pick(0, 40) == 0 ? pick(200, 800) : pick(1, 12);
        std::string arg;
        for (int i = 0; i < pieces; ++i) {
            arg += piece();
        }
        return arg;
    }

    std::string piece() {
        static const char* const utf8[] = {"\xC3\xA4", "\xE2\x82\xAC", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80"};
        switch (pick(0, 7)) {
        case 0:
            return " ";
        case 1:
            return "\t";
        case 2:
            return "\"";
        case 3:
            return std::string(pick(1, 4), '\\');
        case 4:
            return std::string(pick(1, 4), '\\') + "\"";
        case 5:
            return utf8[pick(0, 3)];
        default:
            return std::string(1, static_cast<char>(pick('!', '~')));
        }
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

    std::mt19937 random;
};

unsigned fuzzSeed() {
    const char* given = std::getenv("W4W_FUZZ_SEED");
    return given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 0)) : 20261209u;
}

std::string describe(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) {
        text += "[" + a + "]";
    }
    return text;
}

} // namespace

TEST(CommandLineFuzz, RandomVectorsParseBackUnchanged) {
    const unsigned seed = fuzzSeed();
    std::cout << "seed " << seed << " (W4W_FUZZ_SEED=" << seed << " replays it)\n";
    ArgumentGenerator generate(seed);
    for (int round = 0; round < 5000; ++round) {
        const std::vector<std::string> args = generate.vector();
        const std::string commandLine = commandLineFor(args);
        int count = 0;
        LPWSTR* parsed = CommandLineToArgvW(tstrings::toUtf16(commandLine).c_str(), &count);
        ASSERT_NE(nullptr, parsed);
        std::vector<std::string> back;
        for (int i = 1; i < count; ++i) {
            back.push_back(tstrings::toUtf8(parsed[i]));
        }
        const std::string program = tstrings::toUtf8(parsed[0]);
        LocalFree(parsed);
        ASSERT_EQ("C:\\T\\orv1.tmp\\setup.exe", program) << "round " << round;
        ASSERT_EQ(args, back) << "round " << round << ": " << describe(args) << " as " << commandLine;
    }
}

TEST_F(ChildTest, RandomVectorsReachTheChildsRuntimeUnchanged) {
    ASSERT_EQ(65001u, GetACP());
    ArgumentGenerator generate(fuzzSeed() + 1);
    for (int round = 0; round < 40; ++round) {
        const std::vector<std::string> args = generate.vector();
        ASSERT_EQ(args, launch(args).args) << "round " << round << ": " << describe(args);
    }
}
