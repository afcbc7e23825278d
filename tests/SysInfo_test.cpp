#include "SysInfo.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

using testsupport::ScopedEnv;
using testsupport::TempDir;

TEST(SysInfo, ProcessModulePath) {
    char buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n), SysInfo::getProcessModulePath());
}

TEST(SysInfo, ProcessModulePathThatFillsTheFirstBuffer) {
    TempDir temp;
    // 259 characters and the NUL fill the 260-byte buffer; Wine starts no program from a
    // longer path, so longer ones are covered through the seam below.
    const std::string name = "\\probe.exe";
    std::string dir = temp.file("d");
    while (dir.size() + name.size() < 259) {
        dir += "\\" + std::string(std::min<std::size_t>(259 - name.size() - dir.size() - 1, 100), 'x');
    }
    std::filesystem::create_directories(dir);
    const std::string program = dir + name;
    ASSERT_EQ(259u, program.size());
    ASSERT_TRUE(CopyFileA(testsupport::programPath("probe.exe").c_str(), program.c_str(), FALSE)) << program;
    const ScopedEnv out("W4W_PROBE_OUT", temp.file("report"));
    ASSERT_EQ(0u, testsupport::runProcess(program, "probe"));
    EXPECT_EQ(program, testsupport::readProbeReport(temp.file("report")).module);
}

namespace {

std::vector<DWORD> moduleQuerySizes;
std::string modulePath;

// What GetModuleFileNameA does: a path that does not fit is cut, and the size is returned.
DWORD WINAPI fakeModuleFileName(HMODULE, LPSTR buffer, DWORD size) {
    moduleQuerySizes.push_back(size);
    const std::size_t n = std::min<std::size_t>(modulePath.size(), size - 1);
    std::memcpy(buffer, modulePath.data(), n);
    buffer[n] = '\0';
    return modulePath.size() < size ? static_cast<DWORD>(n) : size;
}

} // namespace

TEST(SysInfo, LongProcessModulePathsDoubleTheBuffer) {
    const struct {
        std::size_t length;
        std::vector<DWORD> sizes;
    } cases[] = {
        {259, {260}},
        {260, {260, 520}},
        {519, {260, 520}},
        {520, {260, 520, 1040}},
        {1500, {260, 520, 1040, 2080}},
    };
    for (const auto& c : cases) {
        moduleQuerySizes.clear();
        modulePath = "C:\\" + std::string(c.length - 3, 'p');
        EXPECT_EQ(modulePath, SysInfo::getProcessModulePath(fakeModuleFileName)) << c.length;
        EXPECT_EQ(c.sizes, moduleQuerySizes) << c.length;
    }
    modulePath.clear();
    try {
        SysInfo::getProcessModulePath(fakeModuleFileName);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos,
                  std::string(e.what()).find(") at SysInfo::getProcessModulePath(): GetModuleFileName(NULL) failed"))
            << e.what();
    }
}

TEST(SysInfo, TempDirLosesEveryTrailingSeparator) {
    TempDir temp;
    EXPECT_EQ(temp.path(), SysInfo::getTempDir());
    const ScopedEnv tmp("TMP", temp.path() + "\\\\/");
    EXPECT_EQ(temp.path(), SysInfo::getTempDir());
}

TEST(SysInfo, TempDirLongerThanTheFirstBuffer) {
    TempDir temp;
    std::string dir = temp.path();
    while (dir.size() < 300) {
        dir += "\\" + std::string(60, 't');
    }
    std::filesystem::create_directories(dir);
    const ScopedEnv tmp("TMP", dir + "\\");
    if (GetTempPathA(0, nullptr) == 0) {
        GTEST_SKIP() << "this system's GetTempPathA reports no temporary path longer than MAX_PATH";
    }
    EXPECT_EQ(dir, SysInfo::getTempDir());
}

TEST(SysInfo, SystemDir) {
    char buffer[MAX_PATH];
    const UINT n = GetSystemDirectoryA(buffer, sizeof buffer);
    const std::string dir = SysInfo::getSystemDir();
    EXPECT_EQ(std::string(buffer, n), dir);
    EXPECT_NE('\\', dir.back());
}

namespace {

std::vector<UINT> sizesSeen;
std::string answer;

UINT WINAPI fakeQuery(LPSTR buffer, UINT size) {
    sizesSeen.push_back(size);
    if (answer.size() >= size) {
        return static_cast<UINT>(answer.size() + 1);
    }
    std::memcpy(buffer, answer.c_str(), answer.size() + 1);
    return static_cast<UINT>(answer.size());
}

UINT WINAPI failingQuery(LPSTR, UINT) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

} // namespace

TEST(SysInfo, DirectoryQueryRetriesOnceWithTheReportedSize) {
    sizesSeen.clear();
    answer = "C:\\" + std::string(400, 'w') + "\\\\";
    EXPECT_EQ("C:\\" + std::string(400, 'w'), SysInfo::queryDirectory(fakeQuery, "Fake"));
    // The second buffer is the reported size plus one.
    EXPECT_EQ((std::vector<UINT>{260, 407}), sizesSeen);

    sizesSeen.clear();
    answer = "C:\\short\\";
    EXPECT_EQ("C:\\short", SysInfo::queryDirectory(fakeQuery, "Fake"));
    EXPECT_EQ(std::vector<UINT>{260}, sizesSeen);
}

namespace {

UINT WINAPI growingQuery(LPSTR, UINT size) {
    return size + 10;
}

} // namespace

TEST(SysInfo, DirectoryQueryFailures) {
    try {
        SysInfo::queryDirectory(growingQuery, "Fake");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos,
                  std::string(e.what()).find(") at SysInfo::`anonymous-namespace'::getSystemDirImpl(): Unexpected reply from Fake"))
            << e.what();
    }
    try {
        SysInfo::queryDirectory(failingQuery, "Fake");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos,
                  std::string(e.what()).find(") at SysInfo::`anonymous-namespace'::getSystemDirImpl(): Fake failed. System error [5]("))
            << e.what();
    }
}
