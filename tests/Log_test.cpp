#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

using testsupport::readFile;
using testsupport::readLog;
using testsupport::TempDir;

namespace {

class LogTest : public ::testing::Test {
protected:
    std::string log() const { return readFile(capture.path()); }

    TempDir temp;
    testsupport::LogCapture capture{temp};
};

} // namespace

TEST_F(LogTest, RecordFormatByteForByte) {
    logger.write(LogLevel::Error, "C:\\src\\windows/wrapper4wrapper.cpp", 122, "`anonymous-namespace'::run",
                 "Secure directory is tempered, exiting...");
    const std::string pid = std::to_string(GetCurrentProcessId());
    const std::string tid = std::to_string(GetCurrentThreadId());
    const std::regex expected(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}, Log_test\.exe \(PID: )" + pid +
                              ", TID: " + tid +
                              R"(\), wrapper4wrapper\.cpp:122 \(`anonymous-namespace'::run\)\]\r\n)"
                              R"(\tERROR: Secure directory is tempered, exiting\.\.\.\r\n)");
    const std::string text = log();
    EXPECT_TRUE(std::regex_match(text, expected)) << text;

    SYSTEMTIME now;
    GetLocalTime(&now);
    char year[8];
    snprintf(year, sizeof year, "[%04u/", unsigned(now.wYear));
    EXPECT_EQ(0u, text.find(year)) << text;
}

TEST_F(LogTest, LevelNames) {
    const int levels[] = {LogLevel::Trace, LogLevel::Info, LogLevel::Warning, LogLevel::Error, 7, -1, 4};
    for (const int level : levels) {
        logger.write(level, "f.cpp", 1, "f", "m");
    }
    const auto records = capture.records();
    ASSERT_EQ(7u, records.size());
    const char* names[] = {"TRACE", "INFO", "WARNING", "ERROR", "UNKNOWN", "UNKNOWN", "UNKNOWN"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(names[i], records[i].level) << i;
    }
}

TEST_F(LogTest, SourceFileBaseName) {
    logger.write(LogLevel::Trace, "plain.cpp", 1, "f", "a");
    logger.write(LogLevel::Trace, "C:\\a/b\\c.cpp", 2, "f", "b");
    logger.write(LogLevel::Trace, "C:\\a\\b/d.cpp", 3, "f", "c");
    const auto records = capture.records();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("plain.cpp", records[0].sourceFile);
    EXPECT_EQ("c.cpp", records[1].sourceFile);
    EXPECT_EQ("d.cpp", records[2].sourceFile);
    EXPECT_EQ(3u, records[2].line);
}

TEST_F(LogTest, MessageIsWrittenUnchanged) {
    logger.write(LogLevel::Trace, "f.cpp", 1, "f", "100% %s %d %n done");
    logger.write(LogLevel::Warning, "f.cpp", 2, "f", std::string("line one\nline two"));
    logger.write(LogLevel::Info, "f.cpp", 3, "f", tstrings::StringBuilder("built ") << 42);
    logger.write(LogLevel::Trace, "f.cpp", 4, "f", std::string(5000, 'y'));
    const auto records = capture.records();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ("100% %s %d %n done", records[0].message);
    // Each line feed of a message is stored as CR LF as well.
    EXPECT_EQ("line one\r\nline two", records[1].message);
    EXPECT_EQ("built 42", records[2].message);
    EXPECT_EQ(std::string(5000, 'y'), records[3].message);
}

TEST_F(LogTest, AppendsAndNeverTruncates) {
    testsupport::writeFile(capture.path(), "earlier\r\n");
    logger.write(LogLevel::Trace, "f.cpp", 1, "f", "first");
    logger.write(LogLevel::Trace, "f.cpp", 2, "f", "second");
    const std::string text = log();
    EXPECT_EQ(0u, text.find("earlier\r\n["));
    EXPECT_LT(text.find("\tTRACE: first\r\n["), text.find("\tTRACE: second\r\n"));
}

TEST_F(LogTest, MacroComposesOnlyAdmittedRecords) {
    int composed = 0;
    const auto compose = [&composed] {
        ++composed;
        return std::string("composed");
    };
    logger.minLevel = LogLevel::Error;
    ORV_LOG(LogLevel::Trace, compose());
    logger.minLevel = LogLevel::Trace;
    EXPECT_EQ(0, composed);
    EXPECT_FALSE(testsupport::exists(capture.path()));
    ORV_LOG(LogLevel::Trace, compose());
    EXPECT_EQ(1, composed);
    const auto records = capture.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("LogTest_MacroComposesOnlyAdmittedRecords_Test::TestBody", records[0].function);
}

TEST_F(LogTest, NothingIsWrittenWithoutAPath) {
    logger.setFile(std::wstring());
    logger.write(LogLevel::Error, "f.cpp", 1, "f", "dropped");
    EXPECT_TRUE(testsupport::listDir(temp.path()).empty());
}

TEST_F(LogTest, FileHeldWithWritingDeniedDropsTheRecordAfterTenAttempts) {
    logger.write(LogLevel::Trace, "f.cpp", 1, "f", "before");
    const HANDLE holder = CreateFileW(logger.file().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    // A fine clock: the tick count moves in steps of up to 16 ms, under Wine too.
    const auto start = std::chrono::steady_clock::now();
    logger.write(LogLevel::Trace, "f.cpp", 2, "f", "dropped");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    CloseHandle(holder);
    // Ten attempts, each followed by a sleep of at least one millisecond.
    EXPECT_GE(elapsed, std::chrono::milliseconds(10));
    logger.write(LogLevel::Trace, "f.cpp", 3, "f", "after");
    const auto records = capture.records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("before", records[0].message);
    EXPECT_EQ("after", records[1].message);
}

// A record goes into the log file itself or nowhere: never into a file of which the log is a
// second name, nor through a link to another file, which the log must not create either.
TEST_F(LogTest, NoRecordGoesAnywhereElse) {
    logger.write(LogLevel::Trace, "f.cpp", 1, "f", "into the log itself");
    ASSERT_EQ(1u, capture.take().size());
    const TempDir other;
    const std::string theirs = other.file("theirs.txt");
    testsupport::writeFile(theirs, "theirs");
    ASSERT_TRUE(CreateHardLinkA(capture.path().c_str(), theirs.c_str(), nullptr));
    logger.write(LogLevel::Trace, "f.cpp", 2, "f", "into a second name");
    EXPECT_EQ("theirs", readFile(theirs));
    ASSERT_TRUE(DeleteFileA(capture.path().c_str()));
    for (const std::string& target : {theirs, other.file("missing.txt")}) {
        const testsupport::Link link(target, capture.path());
        if (!link.made() && target == theirs) {
            GTEST_SKIP() << "no link can be made here";
        }
        logger.write(LogLevel::Trace, "f.cpp", 3, "f", "through a link");
    }
    EXPECT_EQ("theirs", readFile(theirs));
    EXPECT_FALSE(testsupport::exists(other.file("missing.txt")));
}

TEST(LogStartUp, PathAndProcessNameComeFromTheStartingProcess) {
    TempDir temp;
    // A process name with percent signs must not be taken for a format.
    const std::string program = temp.file("100%s%n.exe");
    ASSERT_TRUE(CopyFileA(testsupport::programPath("probe.exe").c_str(), program.c_str(), TRUE));
    const testsupport::ScopedEnv message("W4W_PROBE_LOG", "hello from main");
    ASSERT_EQ(0u, testsupport::runProcess(program, "probe"));
    const auto records = readLog(temp.file("vextrel.log"));
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("100%s%n.exe", records[0].processName);
    EXPECT_EQ("probe.cpp", records[0].sourceFile);
    EXPECT_EQ("main", records[0].function);
    EXPECT_EQ("TRACE", records[0].level);
    EXPECT_EQ("hello from main", records[0].message);
}
