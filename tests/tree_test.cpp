// Real program directories through the launcher: dllprobe with the four DLLs it is linked to
// beside it, and an installer that reads its packages from its own directory.
#include "TestSupport.h"
#include "tstrings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using testsupport::Captured;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

const char* const dlls[] = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "zlib1.dll"};

const char* const wineOverrides = "Software\\Wine\\DllOverrides";

class TreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A program whose DLL is missing fails as it starts; Windows would ask about it in a
        // window unless told not to, and the launcher's child inherits the mode.
        SetErrorMode(SEM_FAILCRITICALERRORS);
        // Wine loads a zlib1.dll of its own in place of any other of that name, wherever found;
        // Windows loads the first one found, and Wine does too once told so. Windows ignores the key.
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetKeyValueA(HKEY_CURRENT_USER, wineOverrides, "zlib1", REG_SZ, "native,builtin", 15));
    }
    void TearDown() override { RegDeleteKeyValueA(HKEY_CURRENT_USER, wineOverrides, "zlib1"); }

    std::string wrap(const std::string& directory, const std::string& name, const std::string& options = "") {
        const std::string output = bin.file(name);
        testsupport::wrap(directory, output, options);
        return output;
    }

    static Captured run(const std::string& program) {
        return testsupport::runPiped(tstrings::toUtf16(program), tstrings::toUtf16("\"" + program + "\""));
    }

    static void copy(const std::string& from, const std::string& to) {
        ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE)) << from << " to " << to;
    }

    // Its directory as CMake assembled it, run directly.
    static Captured runDirectly() {
        const Captured direct = run(programDir + "\\dllprobe.exe");
        EXPECT_EQ(0u, direct.exitCode) << direct.err;
        return direct;
    }

    void expectNothingLeft() const { EXPECT_TRUE(testsupport::leftovers(temp.path()).empty()); }

    static const std::string programDir;
    // Launchers, and what is planted beside them.
    TempDir bin;
    // The launchers' temporary directory.
    TempDir temp;
};

const std::string TreeTest::programDir = TREE_TEST_PROGRAM_DIR;

} // namespace

// Every DLL found beside the program, stored or decompressed: the lines that say so, the
// CRCs and the round trip come out the same. The program reads its data sharing reading
// only, which a hold that may write or delete the file would refuse.
TEST_F(TreeTest, RunsWithItsDllsAsFromItsOwnDirectory) {
    const Captured direct = runDirectly();
    for (const char* options : {"", "--compress"}) {
        const Captured wrapped = run(wrap(programDir, "dllprobe.exe", options));
        EXPECT_EQ(direct.exitCode, wrapped.exitCode) << options << ": " << wrapped.err;
        EXPECT_EQ(direct.out, wrapped.out) << options;
        expectNothingLeft();
    }
}

// With its DLLs beside the launcher instead, it fails as it does directly without them: the
// working run took them from the extraction directory.
TEST_F(TreeTest, WithoutItsDllsItDoesNotStartEvenWithThemBesideTheLauncher) {
    const std::string bare = bin.file("bare");
    ASSERT_TRUE(CreateDirectoryA(bare.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((bare + "\\data").c_str(), nullptr));
    copy(programDir + "\\dllprobe.exe", bare + "\\dllprobe.exe");
    copy(programDir + "\\data\\input.txt", bare + "\\data\\input.txt");
    const Captured direct = run(bare + "\\dllprobe.exe");
    EXPECT_NE(0u, direct.exitCode);
    EXPECT_EQ("", direct.out);

    const std::string launcher = wrap(bare, "dllprobe.exe");
    for (const char* dll : dlls) {
        copy(programDir + "\\" + dll, bin.file(dll));
    }
    const Captured wrapped = run(launcher);
    EXPECT_EQ(direct.exitCode, wrapped.exitCode);
    EXPECT_EQ("", wrapped.out);
    expectNothingLeft();
}

// A DLL planted beside a compressing launcher under each name it carries is loaded neither by
// the launcher, which inflates with zlib, nor by the program.
TEST_F(TreeTest, ADllPlantedBesideTheLauncherIsNeverLoaded) {
    const Captured direct = runDirectly();
    const std::string launcher = wrap(programDir, "dllprobe.exe", "--compress");
    const std::string mark = bin.file("planted-dll-loaded");
    const ScopedEnv markEnv("W4W_PLANTED_MARK", mark);
    for (const char* dll : dlls) {
        copy(testsupport::programPath("w4wplant.dll"), bin.file(dll));
    }
    // The plant tells when it is loaded.
    const HMODULE planted = LoadLibraryA(bin.file("zlib1.dll").c_str());
    ASSERT_NE(nullptr, planted);
    FreeLibrary(planted);
    ASSERT_TRUE(RemoveDirectoryA(mark.c_str()));

    const Captured wrapped = run(launcher);
    EXPECT_EQ(direct.exitCode, wrapped.exitCode) << wrapped.err;
    EXPECT_EQ(direct.out, wrapped.out);
    EXPECT_FALSE(testsupport::exists(mark));
    expectNothingLeft();
}

// A table that names a file outside the directory, and a compressed chunk changed after
// wrapping: each ends the run with -1 and an ERROR record before the program starts, and
// leaves nothing, inside TEMP or beside it.
TEST_F(TreeTest, ADamagedTreeEndsTheRunAndLeavesNothing) {
    const std::string dir = bin.file("damaged");
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((dir + "\\zz").c_str(), nullptr));
    copy(testsupport::programPath("probe.exe"), dir + "\\app.exe");
    std::string text;
    for (int i = 0; text.size() < 300000; ++i) {
        text += "line " + std::to_string(i) + "\r\n";
    }
    testsupport::writeFile(dir + "\\zz\\escape.txt", text);
    const std::string started = bin.file("started");
    const ScopedEnv report("W4W_PROBE_OUT", started);
    const std::string log = temp.file("vextrel.log");

    const auto runDamaged = [&](const std::string& launcher, const std::string& bytes, const std::string& failure) {
        testsupport::writeFile(launcher, bytes);
        EXPECT_EQ(0xFFFFFFFFu, testsupport::runProcess(launcher, "\"" + launcher + "\"")) << failure;
        const std::vector<testsupport::LogRecord> failures = testsupport::failuresIn(testsupport::readLogIfAny(log));
        ASSERT_EQ(1u, failures.size()) << failure;
        EXPECT_EQ("ERROR", failures[0].level);
        EXPECT_NE(std::string::npos, failures[0].message.find(failure)) << failures[0].message;
        EXPECT_FALSE(testsupport::exists(started)) << failure;
        EXPECT_FALSE(testsupport::exists(temp.file("escape.txt"))) << failure;
        expectNothingLeft();
        DeleteFileA(log.c_str());
    };

    const std::string named = wrap(dir, "name.exe");
    std::string bytes = testsupport::readFile(named);
    const std::size_t name = bytes.find("zz\\escape.txt");
    ASSERT_NE(std::string::npos, name);
    bytes.replace(name, 2, "..");
    runDamaged(named, bytes, "..\\escape.txt");

    const std::string compressed = wrap(dir, "chunk.exe", "--compress");
    bytes = testsupport::readFile(compressed);
    // The template's code holds the magic too; the carried tree comes after it.
    const std::size_t start = bytes.rfind(std::string("W4Wt\r\n\x1A\n", 8));
    ASSERT_NE(std::string::npos, start);
    const auto number = [&](std::size_t at) {
        std::uint64_t value = 0;
        for (std::size_t i = 8; i-- > 0;) {
            value = value << 8 | static_cast<unsigned char>(bytes[start + at + i]);
        }
        return value;
    };
    // The stored bytes end the resource; the last of them are the last chunk's.
    const std::size_t end = start + 32 + number(16) + number(24);
    ASSERT_LE(end, bytes.size());
    bytes[end - 100] ^= 0x40;
    runDamaged(compressed, bytes, "zz\\escape.txt");
}

// The installer reads packages\data.txt from $EXEDIR: through the launcher that is the
// extraction directory, which must hold it as the installer's own directory did.
TEST_F(TreeTest, AnInstallerReadsItsPackagesFromBesideItself) {
    const std::string setup = TREE_TEST_SETUP;
    if (setup.empty()) {
        GTEST_SKIP() << "makensis was not found when the build was configured: no installer to run";
    }
    const std::string dir = bin.file("app");
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((dir + "\\packages").c_str(), nullptr));
    copy(setup, dir + "\\w4wtree-app.exe");
    const std::string data = "package 1.2.3, carried beside the installer\r\n";
    testsupport::writeFile(dir + "\\packages\\data.txt", data + "second line\r\n");
    const std::string target = bin.file("Program Files\\Tree App");
    const auto install = [&target](const std::string& program) {
        const DWORD code = testsupport::runProcess(program, "\"" + program + "\" /S /D=" + target);
        const std::string record = target + "\\installed.txt";
        const std::string installed = testsupport::exists(record) ? testsupport::readFile(record) : "";
        DeleteFileA(record.c_str());
        RemoveDirectoryA(target.c_str());
        return std::make_pair(code, installed);
    };

    const auto direct = install(dir + "\\w4wtree-app.exe");
    EXPECT_EQ(3u, direct.first);
    EXPECT_EQ(data, direct.second);
    EXPECT_EQ(direct, install(wrap(dir, "w4wtree-app.exe")));
    expectNothingLeft();
}
