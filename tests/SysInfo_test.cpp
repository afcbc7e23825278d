#include "FileUtils.h"
#include "Log.h"
#include "SysInfo.h"
#include "TestSupport.h"
#include "WinErrorHandling.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

using testsupport::ScopedEnv;
using testsupport::TempDir;

TEST(SysInfo, ProcessModulePath) {
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    EXPECT_EQ(std::wstring(buffer, n), SysInfo::getProcessModulePath());
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
std::wstring modulePath;

// What GetModuleFileNameW does: a path that does not fit is cut, and the size is returned.
DWORD WINAPI fakeModuleFileName(HMODULE, LPWSTR buffer, DWORD size) {
    moduleQuerySizes.push_back(size);
    const std::size_t n = std::min<std::size_t>(modulePath.size(), size - 1);
    std::memcpy(buffer, modulePath.data(), n * sizeof(wchar_t));
    buffer[n] = L'\0';
    return modulePath.size() < size ? static_cast<DWORD>(n) : size;
}

} // namespace

TEST(SysInfo, LongProcessModulePathsDoubleTheBuffer) {
    const struct {
        std::size_t length;
        std::vector<DWORD> sizes;
    } cases[] = {
        {259, {260}}, {260, {260, 520}}, {519, {260, 520}}, {520, {260, 520, 1040}}, {1500, {260, 520, 1040, 2080}},
    };
    for (const auto& c : cases) {
        moduleQuerySizes.clear();
        modulePath = L"C:\\" + std::wstring(c.length - 3, L'p');
        EXPECT_TRUE(modulePath == SysInfo::getProcessModulePath(fakeModuleFileName)) << c.length;
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
    EXPECT_EQ(temp.path(), tstrings::toUtf8(SysInfo::getTempDir()));
    const ScopedEnv tmp("TMP", temp.path() + "\\\\/");
    EXPECT_EQ(temp.path(), tstrings::toUtf8(SysInfo::getTempDir()));
}

TEST(SysInfo, TempDirLongerThanTheFirstBuffer) {
    TempDir temp;
    std::string dir = temp.path();
    while (dir.size() < 300) {
        dir += "\\" + std::string(60, 't');
    }
    std::filesystem::create_directories(dir);
    const ScopedEnv tmp("TMP", dir + "\\");
    if (GetTempPathW(0, nullptr) == 0) {
        GTEST_SKIP() << "this system's GetTempPathW reports no temporary path longer than MAX_PATH";
    }
    EXPECT_EQ(dir, tstrings::toUtf8(SysInfo::getTempDir()));
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
                  std::string(e.what()).find(
                      ") at SysInfo::`anonymous-namespace'::getSystemDirImpl(): Unexpected reply from Fake"))
            << e.what();
    }
    try {
        SysInfo::queryDirectory(failingQuery, "Fake");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos,
                  std::string(e.what()).find(
                      ") at SysInfo::`anonymous-namespace'::getSystemDirImpl(): Fake failed. System error [5]("))
            << e.what();
    }
}

namespace {

std::vector<DWORD> tempQuerySizes;
std::wstring tempAnswer;

// What GetTempPathW does: a path that does not fit is not written, and the size it needs,
// NUL included, is returned.
DWORD WINAPI fakeTempPath(DWORD size, LPWSTR buffer) {
    tempQuerySizes.push_back(size);
    if (tempAnswer.size() + 1 > size) {
        return static_cast<DWORD>(tempAnswer.size() + 1);
    }
    std::memcpy(buffer, tempAnswer.c_str(), (tempAnswer.size() + 1) * sizeof(wchar_t));
    return static_cast<DWORD>(tempAnswer.size());
}

DWORD WINAPI failingTempPath(DWORD size, LPWSTR) {
    tempQuerySizes.push_back(size);
    return 0;
}

} // namespace

TEST(SysInfo, TempPathQueryBufferRules) {
    const struct {
        std::string reported;
        std::string expected;
        std::vector<DWORD> sizes;
    } cases[] = {
        {"C:\\" + std::string(255, 't') + "\\", "C:\\" + std::string(255, 't'), {260}},
        {"C:\\" + std::string(256, 't') + "\\", "C:\\" + std::string(256, 't'), {260, 261}},
        {"C:\\" + std::string(400, 't') + "\\/\\", "C:\\" + std::string(400, 't'), {260, 407}},
    };
    for (const auto& c : cases) {
        tempQuerySizes.clear();
        tempAnswer = tstrings::toUtf16(c.reported);
        EXPECT_EQ(c.expected, tstrings::toUtf8(SysInfo::getTempDir(fakeTempPath))) << c.reported.size();
        EXPECT_EQ(c.sizes, tempQuerySizes) << c.reported.size();
    }
    tempQuerySizes.clear();
    EXPECT_EQ("", tstrings::toUtf8(SysInfo::getTempDir(failingTempPath)));
    EXPECT_EQ(std::vector<DWORD>{260}, tempQuerySizes);
}

TEST(SysInfo, TempDirPrefersTheBoundFunctionWhereItExists) {
    TempDir temp;
    char cwd[MAX_PATH];
    const DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
    ASSERT_GT(n, 0u);
    const struct {
        const char* library;
        const char* function;
        std::string expected;
    } cases[] = {
        // A function of the same shape stands in for GetTempPath2W, which this system may lack.
        {"Kernel32", "GetCurrentDirectoryW", FileUtils::removeTrailingSlashes(std::string(cwd, n))},
        {"Kernel32", "W4wNoSuchExport", temp.path()},
        // A library that cannot be bound counts as one without the function: no raise.
        {"w4w-no-such-library", "GetTempPath2W", temp.path()},
        // For an ordinary account both functions report the same directory.
        {"Kernel32", "GetTempPath2W", temp.path()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, tstrings::toUtf8(SysInfo::getTempDir(c.library, c.function)))
            << c.library << " " << c.function;
    }
    EXPECT_EQ(temp.path(), tstrings::toUtf8(SysInfo::getTempDir()));
}

namespace {

OSVERSIONINFOEXW fromRtlGetVersion() {
    OSVERSIONINFOEXW record{};
    record.dwOSVersionInfoSize = sizeof record;
    const auto rtlGetVersion = reinterpret_cast<SysInfo::RtlGetVersionFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll"), "RtlGetVersion")));
    EXPECT_EQ(0, rtlGetVersion(&record));
    return record;
}

OSVERSIONINFOEXW fromGetVersionEx() {
    OSVERSIONINFOEXW record{};
    record.dwOSVersionInfoSize = sizeof record;
    const auto getVersionEx = reinterpret_cast<SysInfo::GetVersionExWFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32"), "GetVersionExW")));
    EXPECT_TRUE(getVersionEx(&record));
    return record;
}

// Filled with a byte that no source writes, so that a record left alone shows.
OSVERSIONINFOEXW garbage() {
    OSVERSIONINFOEXW record;
    std::memset(&record, 0xA5, sizeof record);
    return record;
}

OSVERSIONINFOEXW sizedRecord(DWORD major, DWORD minor) {
    OSVERSIONINFOEXW record{};
    record.dwOSVersionInfoSize = 284;
    record.dwMajorVersion = major;
    record.dwMinorVersion = minor;
    return record;
}

bool sameRecord(const OSVERSIONINFOEXW& a, const OSVERSIONINFOEXW& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class VersionTest : public ::testing::Test {
protected:
    // "function: message" of each record so far, all of them ERROR records of SysInfo.cpp;
    // the log starts anew.
    std::vector<std::string> takeRecords() {
        std::vector<std::string> texts;
        for (const auto& r : capture.take()) {
            EXPECT_EQ("ERROR", r.level);
            EXPECT_EQ("SysInfo.cpp", r.sourceFile);
            texts.push_back(r.function + ": " + r.message);
        }
        return texts;
    }

    TempDir temp;
    testsupport::LogCapture capture{temp};
};

const std::string rtlMissing = "`anonymous-namespace'::initWithRtlGetVersion: RtlGetVersion is not available";
const std::string exMissing = "`anonymous-namespace'::initWithGetVersionEx: GetVersionExW is not available";

} // namespace

TEST_F(VersionTest, ReadAtStartUpFromRtlGetVersion) {
    EXPECT_EQ(284u, SysInfo::osVersionInfo.dwOSVersionInfoSize);
    EXPECT_TRUE(sameRecord(fromRtlGetVersion(), SysInfo::osVersionInfo));
}

TEST_F(VersionTest, BoundFromTheNamedSystemLibraries) {
    OSVERSIONINFOEXW record = garbage();
    // Binding a library that does not exist would raise: GetVersionExW is never looked up.
    SysInfo::detectOsVersion(record, "ntdll", "w4w-no-such-library");
    EXPECT_TRUE(sameRecord(fromRtlGetVersion(), record));
    EXPECT_TRUE(takeRecords().empty());

    // Kernel32 does not export RtlGetVersion.
    record = garbage();
    SysInfo::detectOsVersion(record, "Kernel32", "Kernel32");
    EXPECT_TRUE(sameRecord(fromGetVersionEx(), record));
    EXPECT_EQ(std::vector<std::string>{rtlMissing}, takeRecords());
}

namespace {

int rtlCalls;
int exCalls;
const OSVERSIONINFOEXW* called;

LONG WINAPI rtlSucceeds(OSVERSIONINFOEXW* record) {
    ++rtlCalls;
    record->dwMajorVersion = 10;
    return 0;
}

// Writes before it fails, so that the fallback shows it gets the same record.
LONG WINAPI rtlFails(OSVERSIONINFOEXW* record) {
    ++rtlCalls;
    called = record;
    record->dwMajorVersion = 99;
    return static_cast<LONG>(0xC0000001);
}

BOOL WINAPI exSucceeds(OSVERSIONINFOEXW* record) {
    ++exCalls;
    EXPECT_TRUE(called == nullptr || called == record);
    record->dwMinorVersion = 7;
    return TRUE;
}

BOOL WINAPI exFails(OSVERSIONINFOEXW*) {
    ++exCalls;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

} // namespace

TEST_F(VersionTest, FallsBackOnlyWhenRtlGetVersionFails) {
    const std::string rtlFailed = "`anonymous-namespace'::initWithRtlGetVersion: RtlGetVersion() failed: -1073741823";
    const std::string exFailed = "`anonymous-namespace'::initWithGetVersionEx: GetVersionExW() failed with " +
                                 systemErrorText(ERROR_ACCESS_DENIED, nullptr);
    const struct {
        SysInfo::RtlGetVersionFn rtl;
        SysInfo::GetVersionExWFn ex;
        int rtlCalled;
        int exCalled;
        OSVERSIONINFOEXW expected;
        std::vector<std::string> records;
    } cases[] = {
        {rtlSucceeds, exSucceeds, 1, 0, sizedRecord(10, 0), {}},
        {rtlFails, exSucceeds, 1, 1, sizedRecord(99, 7), {rtlFailed}},
        {nullptr, exSucceeds, 0, 1, sizedRecord(0, 7), {rtlMissing}},
        {rtlFails, exFails, 1, 1, sizedRecord(99, 0), {rtlFailed, exFailed}},
        {nullptr, nullptr, 0, 0, sizedRecord(0, 0), {rtlMissing, exMissing}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        rtlCalls = exCalls = 0;
        called = nullptr;
        OSVERSIONINFOEXW record = garbage();
        SysInfo::detectOsVersion(record, c.rtl, c.ex);
        EXPECT_EQ(c.rtlCalled, rtlCalls) << i;
        EXPECT_EQ(c.exCalled, exCalls) << i;
        EXPECT_TRUE(sameRecord(c.expected, record)) << i;
        EXPECT_EQ(c.records, takeRecords()) << i;
    }
}

TEST_F(VersionTest, RecordsBeforeTheLogPathIsSetAreDropped) {
    logger.setFile(std::wstring());
    OSVERSIONINFOEXW record = garbage();
    SysInfo::detectOsVersion(record, rtlFails, exFails);
    EXPECT_TRUE(sameRecord(sizedRecord(99, 0), record));
    EXPECT_TRUE(testsupport::listDir(temp.path()).empty());

    // A real start-up: the child's log holds only what its main wrote.
    const ScopedEnv message("W4W_PROBE_LOG", "only this");
    ASSERT_EQ(0u, testsupport::runProcess(testsupport::programPath("probe.exe"), "probe"));
    const auto logged = testsupport::readLog(temp.file("vextrel.log"));
    ASSERT_EQ(1u, logged.size());
    EXPECT_EQ("only this", logged[0].message);
}
