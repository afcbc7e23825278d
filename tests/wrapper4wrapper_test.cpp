// The launcher's operations live in its unnamed namespace; the test is compiled with them.
#include "wrapper4wrapper.cpp"

#include "TestSupport.h"

#include <sddl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

const wchar_t* const extracted = L"C:\\T\\orv1.tmp\\setup.exe";
const LaunchOptions windowed = launchOptionsFor(IMAGE_SUBSYSTEM_WINDOWS_GUI);

// Runs a copy of the probe through the launcher's own launch, and returns what it received.
class ChildTest : public ::testing::Test {
protected:
    void SetUp() override {
        program = temp.file("setup.exe");
        ASSERT_TRUE(CopyFileA(testsupport::programPath("probe.exe").c_str(), program.c_str(), FALSE));
    }

    // ownCommandLine: the launcher's, program name first.
    testsupport::ProbeReport launch(const std::wstring& ownCommandLine) {
        const ScopedEnv out("W4W_PROBE_OUT", temp.file("report"));
        EXPECT_EQ(
            0, execProcessWaitForFinish(wide(), getCommandLine(wide(), ownCommandLine), AutoHandle(nullptr), windowed));
        return testsupport::readProbeReport(temp.file("report"));
    }

    // What the probe receives when started directly with that command line.
    testsupport::ProbeReport launchDirectly(const std::wstring& commandLine) {
        const ScopedEnv out("W4W_PROBE_OUT", temp.file("report"));
        EXPECT_EQ(0u, testsupport::Process(tstrings::toUtf16(program), commandLine).wait());
        return testsupport::readProbeReport(temp.file("report"));
    }

    std::wstring wide() const { return tstrings::toUtf16(program); }

    TempDir temp;
    std::string program;
};

} // namespace

TEST(CommandLine, TheRestOfTheLaunchersOwnGoesOnAsTyped) {
    const struct {
        const wchar_t* own;
        const wchar_t* tail; // after the quoted path
    } cases[] = {
        {L"setup.exe", L""},
        {L"\"C:\\Users\\u\\Downloads\\setup.exe\"", L""},
        // Spaces and tabs after the name are not arguments, those after the arguments are theirs.
        {L"setup.exe \t ", L""},
        {L"setup.exe\t/S  ", L" /S  "},
        {L"\"C:\\My Downloads\\setup.exe\" /S /D=C:\\Program Files\\My App", L" /S /D=C:\\Program Files\\My App"},
        {L"setup.exe \"/S\"  INSTALLDIR=\"C:\\x y\" /LOG=\"a\"\"b\\\"",
         L" \"/S\"  INSTALLDIR=\"C:\\x y\" /LOG=\"a\"\"b\\\""},
        {L"setup.exe \"\"", L" \"\""},
        // A quote inside the name toggles quoting, as the C runtime reads it.
        {L"C:\\\"My Downloads\"\\setup.exe x", L" x"},
        {L"\"C:\\My Downloads\\setup.exe /S", L""},
        // A full-width quotation mark is no quote, and is passed on as it is.
        {L"setup.exe \xFF02"
         L"a b\xFF02 \x65E5\x672C",
         L" \xFF02"
         L"a b\xFF02 \x65E5\x672C"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::wstring(L"\"C:\\T\\orv1.tmp\\setup.exe\"") + c.tail, getCommandLine(extracted, c.own))
            << tstrings::toUtf8(c.own);
    }
}

TEST_F(ChildTest, WorksInTheDirectoryOfTheExecutable) {
    char own[MAX_PATH];
    GetCurrentDirectoryA(sizeof own, own);
    ASSERT_NE(temp.path(), std::string(own));
    const testsupport::ProbeReport report = launch(L"setup.exe");
    EXPECT_EQ(temp.path(), report.cwd);
    EXPECT_EQ(program, report.module);
}

TEST_F(ChildTest, ExitCodeKeepsAll32Bits) {
    // 259 is the value that means "still active"; the wait has shown that the child ended.
    for (const DWORD code : {0u, 1u, 259u, 0xC0000005u, 0xFFFFFFFFu, 0x80000000u}) {
        const ScopedEnv exit("W4W_PROBE_EXIT", std::to_string(code));
        EXPECT_EQ(code, static_cast<DWORD>(execProcessWaitForFinish(wide(), getCommandLine(wide(), L"setup.exe"),
                                                                    AutoHandle(nullptr), windowed)));
    }
}

TEST_F(ChildTest, NotARunnableProgram) {
    const std::wstring text = tstrings::toUtf16(temp.file("notes.exe"));
    testsupport::writeFile(temp.file("notes.exe"), "just text");
    try {
        execProcessWaitForFinish(text, getCommandLine(text, L"notes.exe"), AutoHandle(nullptr), windowed);
        FAIL();
    } catch (const SysError& e) {
        const std::string what = e.what();
        EXPECT_NE(
            std::string::npos,
            what.find(") at `anonymous-namespace'::execProcessWaitForFinish(): CreateProcess failed. System error ["))
            << what;
    }
}

TEST(TamperCheck, OnlyTheWrittenFileMayBeThere) {
    TempDir temp;
    const std::string dir = temp.file("orv1.tmp");
    const struct {
        const char* name;
        std::vector<std::string> files; // the first is the one written
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
        {
            const FileUtils::HeldDirectory held = FileUtils::holdDirectoryAt(tstrings::toUtf16(dir));
            const AutoHandle written(CreateFileA((dir + "\\setup.exe").c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
            const std::int64_t id = FileUtils::fileIdOf(written.get());
            EXPECT_EQ(c.passes, holdsOnly(held.handle.get(), L"setup.exe", id)) << c.name;
            // Another file under the name is not the one written.
            EXPECT_FALSE(holdsOnly(held.handle.get(), L"setup.exe", id + 1)) << c.name;
        }
        std::filesystem::remove_all(dir);
    }
}

namespace {

int collisions = 0;
int collisionLimit = 0;

// Another party takes the released name before the directory is made.
void takeTheName(const std::wstring& path) {
    if (collisions < collisionLimit) {
        ++collisions;
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        testsupport::writeFile(tstrings::toUtf8(path) + "\\theirs.txt", "not ours");
    }
}

FileUtils::HeldDirectory heldTemp() {
    return FileUtils::holdDirectoryAt(SysInfo::getTempDir());
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

// Each file of a tree is held only after the handle that wrote it is closed; the check alone
// shows that the hold is on the file written.
TEST(TamperCheck, ACarriedTreeMustListWhatWasWrittenFileForFile) {
    TempDir temp;
    const std::string bytes = "ab";
    bundle::Bundle carried;
    carried.entries.resize(2);
    carried.entries[0].name = "setup.exe";
    carried.entries[1].name = "lib\\a.dll";
    for (std::size_t i = 0; i < carried.entries.size(); ++i) {
        carried.entries[i].offset = i;
        carried.entries[i].size = carried.entries[i].storedSize = 1;
    }
    const struct {
        const char* name;
        const char* replaced; // put under its name between the write and the hold
        const char* planted;  // into a directory of the tree
        bool passes;
    } cases[] = {
        {"as written", nullptr, nullptr, true},
        {"a file replaced before it was held", "lib\\a.dll", nullptr, false},
        {"a file planted in a directory of the tree", nullptr, "lib\\b.dll", false},
    };
    for (const auto& c : cases) {
        SecureDirectory own = createSecureDirectory(heldTemp());
        const std::string dir = tstrings::toUtf8(own.held.path);
        {
            ExtractedTree tree = extractTree(own.held, carried, bytes.data());
            if (c.replaced != nullptr) {
                // Made while the written file still has its name, so that it cannot get its ID.
                const std::string path = dir + "\\" + c.replaced;
                testsupport::writeFile(path + ".new", "b");
                tree.files[1].reset();
                ASSERT_TRUE(MoveFileExA((path + ".new").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
                tree.files[1] = AutoHandle(
                    CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
                ASSERT_NE(INVALID_HANDLE_VALUE, tree.files[1].get());
            }
            if (c.planted != nullptr) {
                testsupport::writeFile(dir + "\\" + c.planted, "x");
            }
            EXPECT_EQ(c.passes, holdsExactly(tree)) << c.name;
        }
        own.held.handle.reset();
        std::filesystem::remove_all(dir);
    }
}

TEST(SecureDirectory, IsMadeUnderAFreshNameInTheTemporaryDirectory) {
    TempDir temp;
    const SecureDirectory made = createSecureDirectory(heldTemp());
    const std::string dir = tstrings::toUtf8(made.held.path);
    EXPECT_EQ(temp.path(), FileUtils::dirname(dir));
    EXPECT_TRUE(std::regex_match(FileUtils::basename(dir), std::regex(R"(orv-?\d+\.tmp)"))) << dir;
    EXPECT_TRUE(FileUtils::isDirectory(dir));
    EXPECT_EQ(std::vector<std::string>{FileUtils::basename(dir)}, orvEntries(temp.path()));
}

TEST(SecureDirectory, ANameTakenMeanwhileIsLeftAloneAndAnotherTried) {
    TempDir temp;
    collisions = 0;
    collisionLimit = 3;
    const SecureDirectory made = createSecureDirectory(heldTemp(), takeTheName);
    const std::string dir = tstrings::toUtf8(made.held.path);
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
        createSecureDirectory(heldTemp(), takeTheName);
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

// The descriptor's text as the system writes it back.
std::string sddlOf(const std::string& sddl) {
    security::SecurityDescriptor descriptor{tstrings::StringBuilder(sddl)};
    LPSTR text = nullptr;
    const SECURITY_INFORMATION everything =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.get(), SDDL_REVISION_1, everything, &text,
                                                              nullptr)) {
        return "conversion failed";
    }
    const std::string back(text);
    LocalFree(text);
    return back;
}

} // namespace

TEST(SecureDirectory, AccessListForEachKindOfRun) {
    const std::string user = "S-1-5-21-1004336348-1177238915-682003330-1001";
    // Protected, inherited by files and folders inside; 0x1200a9 is read and execute.
    const std::string common = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
    const struct {
        const char* kind;
        const char* sid;
        bool elevated;
        bool system;
        std::string expected;
    } cases[] = {
        {"not elevated", user.c_str(), false, false, common + "(A;OICI;FA;;;" + user + ")"},
        {"elevated", user.c_str(), true, false, common + "(A;OICI;0x1200a9;;;" + user + ")"},
        {"SYSTEM", "S-1-5-18", true, true, common},
    };
    for (const auto& c : cases) {
        security::TokenFacts token;
        token.userSid = c.sid;
        token.elevated = c.elevated;
        token.system = c.system;
        EXPECT_EQ(c.expected, sddlOf(secureDirectorySddl(token))) << c.kind;
    }
    // Only a directory made as a launcher of this kind makes its own counts as one; Wine keeps
    // no access lists, so there nothing does.
    const TempDir temp;
    const SecureDirectory made = createSecureDirectory(heldTemp());
    ASSERT_TRUE(CreateDirectoryA(temp.file("orv1.tmp").c_str(), nullptr));
    const bool underWine = !testsupport::unixPath("C:\\").empty();
    for (const std::wstring& dir : {made.held.path, tstrings::toUtf16(temp.file("orv1.tmp"))}) {
        const AutoHandle opened(CreateFileW(dir.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        EXPECT_EQ(dir == made.held.path && !underWine, madeByThisKind(opened.get())) << tstrings::toUtf8(dir);
    }
    // This process's own token, whose user's SID is one the system knows.
    const security::TokenFacts own = security::currentTokenFacts();
    EXPECT_EQ(common + "(A;OICI;" + (own.elevated ? "0x1200a9" : "FA") + ";;;" + own.userSid + ")",
              sddlOf(secureDirectorySddl(own)));
}

namespace {

// Under Wine, which keeps no access lists, a stand-in for the check that a leftover was made
// by a launcher of this kind.
bool anyTree(HANDLE) {
    return true;
}

DWORD writeError = 0;
DWORD renameError = 0;
DWORD deleteError = 0;
DWORD dirRenameError = 0;

// Another program tries to change the extracted file after the tamper check, and to rename its
// directory away (and so put another in its place).
void tryToChange(const std::wstring& wideTarget) {
    const std::string target = tstrings::toUtf8(wideTarget);
    const AutoHandle file(CreateFileA(target.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    writeError = file.get() == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    renameError = MoveFileA(target.c_str(), (target + ".old").c_str()) ? 0 : GetLastError();
    deleteError = DeleteFileA(target.c_str()) ? 0 : GetLastError();
    const std::string dir = FileUtils::dirname(target);
    dirRenameError = MoveFileA(dir.c_str(), (dir + ".old").c_str()) ? 0 : GetLastError();
}

} // namespace

// This program carries the probe as its payload, so the whole run happens here.
TEST(Run, TheExtractedFileCannotBeChangedBeforeItRuns) {
    const TempDir reports;
    const TempDir temp;
    const testsupport::LogCapture log(temp);
    const ScopedEnv out("W4W_PROBE_OUT", reports.file("report"));
    const ScopedEnv exit("W4W_PROBE_EXIT", "7");
    EXPECT_EQ(7, run(tryToChange, windowed, abandonedAfterMs, madeByThisKind));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), writeError);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), renameError);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), deleteError);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), dirRenameError);
    const testsupport::ProbeReport report = testsupport::readProbeReport(reports.file("report"));
    EXPECT_EQ(temp.path(), FileUtils::dirname(FileUtils::dirname(report.module)));
    EXPECT_TRUE(testsupport::failuresIn(log.records()).empty());
    EXPECT_TRUE(testsupport::leftovers(temp.path()).empty());
}

namespace {

// Random command lines made of what command-line parsing trips over, behind a program name
// that every parser delimits alike.
class CommandLineGenerator {
public:
    explicit CommandLineGenerator(unsigned seed) : random(seed) {}

    std::wstring commandLine() {
        std::string line = pick(0, 1) == 0 ? "\"C:\\My Downloads\\setup.exe\"" : "setup.exe";
        std::string tail;
        for (int n = pick(0, 40) == 0 ? pick(200, 2000) : pick(0, 30); n > 0; --n) {
            tail += piece();
        }
        if (!tail.empty() || pick(0, 1) == 0) {
            line += std::string(pick(1, 3), pick(0, 1) == 0 ? ' ' : '\t');
        }
        return tstrings::toUtf16(line + tail);
    }

private:
    std::string piece() {
        static const char* const utf8[] = {"\xC3\xA4", "\xE2\x82\xAC", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80",
                                           "\xEF\xBC\x82"};
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
            return utf8[pick(0, 4)];
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

std::vector<std::wstring> argvOf(const std::wstring& commandLine) {
    int count = 0;
    LPWSTR* parsed = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> args(parsed, parsed == nullptr ? parsed : parsed + count);
    LocalFree(parsed);
    return args;
}

} // namespace

// Whatever the launcher was given, the child parses the same arguments from its own command
// line, with CommandLineToArgvW and with its C runtime.
TEST_F(ChildTest, RandomCommandLinesGiveTheChildTheLaunchersArguments) {
    ASSERT_EQ(65001u, GetACP());
    const unsigned seed = fuzzSeed();
    std::cout << "seed " << seed << " (W4W_FUZZ_SEED=" << seed << " replays it)\n";
    CommandLineGenerator generate(seed);
    for (int round = 0; round < 5000; ++round) {
        const std::wstring own = generate.commandLine();
        const std::string described = "round " + std::to_string(round) + ": [" + tstrings::toUtf8(own) + "]";
        std::vector<std::wstring> expected = argvOf(own);
        std::vector<std::wstring> passed = argvOf(getCommandLine(extracted, own));
        ASSERT_FALSE(expected.empty()) << described;
        ASSERT_FALSE(passed.empty()) << described;
        ASSERT_EQ(L"C:\\T\\orv1.tmp\\setup.exe", passed.front()) << described;
        expected.erase(expected.begin());
        passed.erase(passed.begin());
        ASSERT_EQ(expected, passed) << described;
        if (round < 30) {
            ASSERT_EQ(launchDirectly(own).args, launch(own).args) << described;
        }
    }
}

// A launcher of a windowed payload, ended from outside while the payload runs, leaves its
// directory. Later runs leave it alone while the payload runs from it and while it is younger
// than a minute; then the first run removes it.
TEST(Run, RemovesWhatAnEndedLauncherLeftOnceNothingUsesIt) {
    const TempDir bin;
    const TempDir temp;
    const testsupport::LogCapture log(temp);
    const std::string launcher = bin.file("setup.exe");
    testsupport::wrap(testsupport::programPath("probegui.exe"), launcher);
    testsupport::ProbeReport started;
    {
        const ScopedEnv out("W4W_PROBE_OUT", bin.file("report"));
        const ScopedEnv sleep("W4W_PROBE_SLEEP", "60000");
        testsupport::Process ended(tstrings::toUtf16(launcher), L"\"" + tstrings::toUtf16(launcher) + L"\"");
        for (int i = 0; i < 1000 && !testsupport::exists(bin.file("report")); ++i) {
            Sleep(10);
        }
        ASSERT_TRUE(testsupport::exists(bin.file("report")));
        ASSERT_TRUE(TerminateProcess(ended.handle(), 1));
        ended.wait();
        started = testsupport::readProbeReport(bin.file("report"));
    }
    const AutoHandle payload(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, started.pid));
    ASSERT_NE(nullptr, payload.get());
    const std::string left = FileUtils::dirname(started.module);
    const ScopedEnv out("W4W_PROBE_OUT", bin.file("later"));

    EXPECT_EQ(0, run(nullptr, windowed, 0, anyTree));
    EXPECT_EQ(std::vector<std::string>{"setup.exe"}, testsupport::listDir(left));
    ASSERT_TRUE(TerminateProcess(payload.get(), 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(payload.get(), 10000));
    EXPECT_EQ(0, run(nullptr, windowed, abandonedAfterMs, anyTree));
    EXPECT_EQ(std::vector<std::string>{"setup.exe"}, testsupport::listDir(left));
    // The system may hold an ended program's file for a moment.
    for (int i = 0; i < 20 && testsupport::exists(left); ++i) {
        EXPECT_EQ(0, run(nullptr, windowed, 0, anyTree));
    }
    EXPECT_FALSE(testsupport::exists(left));
    EXPECT_TRUE(testsupport::leftovers(temp.path()).empty());
    const std::vector<testsupport::LogRecord> records = log.records();
    EXPECT_TRUE(testsupport::failuresIn(records).empty());
    EXPECT_EQ(1, std::count_if(records.begin(), records.end(), [&](const testsupport::LogRecord& r) {
                  return r.message.find("Deleted [" + left + "] directory") == 0;
              }));
}

// Log-off and shut-down reach a service's processes whenever any user logs off: they are left
// to the payload, which gets them too. Only a closing console ends it.
TEST(ConsoleEvents, OnlyAClosingConsoleEndsThePayload) {
    const TempDir temp;
    const ScopedEnv sleep("W4W_PROBE_SLEEP", "20000");
    const std::wstring probe = tstrings::toUtf16(testsupport::programPath("probe.exe"));
    testsupport::Process payload(probe, L"probe");
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), payload.handle(), GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    const AutoHandle owned(duplicate);
    payloadForConsoleClose.store(duplicate);
    EXPECT_FALSE(onConsoleEvent(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(onConsoleEvent(CTRL_SHUTDOWN_EVENT));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(payload.handle(), 0));
    EXPECT_FALSE(consoleClosing.load());
    EXPECT_TRUE(onConsoleEvent(CTRL_CLOSE_EVENT));
    EXPECT_EQ(static_cast<DWORD>(CONTROL_C_EXIT), payload.wait());
    EXPECT_TRUE(consoleClosing.load());
    payloadForConsoleClose.store(nullptr);
    consoleClosing.store(false);
}

namespace {

std::vector<std::unique_ptr<testsupport::Link>> links;
std::string outsideDir;

// What the user's unelevated programs may do to an elevated launcher's directory: link from
// it, or, once it is not held, rename it away and put a link to elsewhere under its name.
void linkFromIt(const std::wstring& target) {
    const std::string dir = FileUtils::dirname(tstrings::toUtf8(target));
    links.push_back(std::make_unique<testsupport::Link>(outsideDir + "\\keep", dir + "\\doc"));
    links.push_back(std::make_unique<testsupport::Link>(outsideDir + "\\sub", dir + "\\sub"));
}

void replaceIt(const std::wstring& dir) {
    links.push_back(testsupport::replaceWithLink(tstrings::toUtf8(dir), outsideDir));
}

} // namespace

// Whatever is linked from the launcher's directory, or takes its place once the payload has
// ended, nothing outside goes, and the payload's exit code comes back.
TEST(Run, TheOwnDirectoryIsRemovedThroughNothingButItself) {
    if (testsupport::unixPath("C:\\").empty()) {
        GTEST_SKIP() << "the links are made from the Unix side";
    }
    const TempDir other;
    outsideDir = other.file("outside");
    ASSERT_TRUE(CreateDirectoryA(outsideDir.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((outsideDir + "\\sub").c_str(), nullptr));
    testsupport::writeFile(outsideDir + "\\keep", "theirs");
    testsupport::writeFile(outsideDir + "\\sub\\keep", "theirs");
    const ScopedEnv exit("W4W_PROBE_EXIT", "7");
    for (const bool replace : {false, true}) {
        const TempDir temp;
        beforeOwnRemovalForTesting = replace ? replaceIt : nullptr;
        EXPECT_EQ(7, run(replace ? nullptr : linkFromIt, windowed, abandonedAfterMs, anyTree)) << replace;
        beforeOwnRemovalForTesting = nullptr;
        EXPECT_EQ("theirs", testsupport::readFile(outsideDir + "\\keep")) << replace;
        EXPECT_EQ("theirs", testsupport::readFile(outsideDir + "\\sub\\keep")) << replace;
        links.clear();
    }
}

// A program that the payload leaves running from its directory keeps every file of it, and a
// later run removes the directory once that program has ended.
TEST(Run, AProgramLeftRunningKeepsTheWholeDirectoryForALaterRun) {
    const TempDir temp;
    const testsupport::LogCapture log(temp);
    {
        const ScopedEnv write("W4W_PROBE_WRITE", "data.txt");
        // Well past the two seconds for which a run tries to remove its directory.
        const ScopedEnv spawn("W4W_PROBE_SPAWN", "6000");
        EXPECT_EQ(0, run(nullptr, windowed, abandonedAfterMs, anyTree));
    }
    const std::vector<std::string> left = testsupport::leftovers(temp.path());
    ASSERT_EQ(1u, left.size());
    const std::string self = FileUtils::basename(tstrings::toUtf8(SysInfo::getProcessModulePath()));
    EXPECT_EQ((std::vector<std::string>{"data.txt", self}), testsupport::listDir(temp.file(left[0])));
    for (int i = 0; i < 150 && testsupport::exists(temp.file(left[0])); ++i) {
        Sleep(100);
        EXPECT_EQ(0, run(nullptr, windowed, 0, anyTree));
    }
    EXPECT_TRUE(testsupport::leftovers(temp.path()).empty());
    EXPECT_TRUE(testsupport::failuresIn(log.records()).empty());
}
