// A real installer, which parses its own command line, run through the launcher as it runs
// when started directly.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::TempDir;

namespace {

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(INSTALLER_TEST_SETUP).empty()) {
            GTEST_SKIP() << "makensis was not found when the build was configured: no installer to run";
        }
        testsupport::wrap(INSTALLER_TEST_SETUP, launcher);
    }

    struct Outcome {
        DWORD exitCode = 0;
        std::string installedAt; // what the installer recorded, empty when it installed nothing there
    };

    Outcome install(const std::string& program, const std::string& arguments, const std::string& dir) {
        Outcome outcome;
        outcome.exitCode = testsupport::runProcess(program, "\"" + program + "\" " + arguments);
        const std::string record = dir + "\\installed.txt";
        if (testsupport::exists(record)) {
            outcome.installedAt = testsupport::readFile(record);
        }
        DeleteFileA(record.c_str());
        RemoveDirectoryA(dir.c_str());
        return outcome;
    }

    // Directly, then through the launcher: the same directory and the same exit code.
    void expectTheSameInstall(const std::string& arguments, const std::string& dir) {
        const Outcome direct = install(INSTALLER_TEST_SETUP, arguments, dir);
        EXPECT_EQ(3u, direct.exitCode) << arguments;
        EXPECT_EQ(dir, direct.installedAt) << arguments;
        const Outcome wrapped = install(launcher, arguments, dir);
        EXPECT_EQ(direct.exitCode, wrapped.exitCode) << arguments;
        EXPECT_EQ(direct.installedAt, wrapped.installedAt) << arguments;
        EXPECT_TRUE(testsupport::leftovers(temp.path()).empty());
    }

    TempDir bin;
    TempDir temp;
    const std::string launcher = bin.file("w4wtest-app.exe");
};

} // namespace

TEST_F(InstallerTest, SilentInstallIntoTheDefaultDirectory) {
    expectTheSameInstall("/S", temp.file("W4W Test App"));
}

TEST_F(InstallerTest, SilentInstallIntoADirectoryWithSpaces) {
    const std::string dir = bin.file("Program Files\\My App");
    expectTheSameInstall("/S /D=" + dir, dir);
}
