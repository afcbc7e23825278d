#include "Log.h"
#include "OrvError.h"
#include "TestSupport.h"
#include "WinErrorHandling.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using testsupport::TempDir;

namespace {

struct NameCase {
    const char* raw;
    const char* expected;
};

template <std::size_t N>
std::string nameOf(const char (&raw)[N]) {
    return orv::makeFunctionName(raw).text;
}

} // namespace

TEST(FunctionName, RawTextsOfEveryCompilerGiveOneName) {
    const NameCase cases[] = {
        // GCC
        {"int {anonymous}::run()", "`anonymous-namespace'::run"},
        {"bool FileUtils::{anonymous}::createNewFile(const string&)",
         "FileUtils::`anonymous-namespace'::createNewFile"},
        {"bool FileUtils::{anonymous}::BatchDeleter::execute()",
         "FileUtils::`anonymous-namespace'::BatchDeleter::execute"},
        {"std::string tstrings::toUtf8(const std::wstring&)", "tstrings::toUtf8"},
        {"Dll::Dll(const Dll&)", "Dll::Dll"},
        {"const char* {anonymous}::S<T>::f() const [with T = int]", "`anonymous-namespace'::S::f"},
        {"std::vector<std::__cxx11::basic_string<char> > FileUtils::list(int (*)(int))", "FileUtils::list"},
        // clang
        {"int (anonymous namespace)::run()", "`anonymous-namespace'::run"},
        {"const char *(anonymous namespace)::S<int>::f() const [T = int]", "`anonymous-namespace'::S::f"},
        {"bool FileUtils::(anonymous namespace)::B::execute() const", "FileUtils::`anonymous-namespace'::B::execute"},
        {"std::string &SysInfo::(anonymous namespace)::getSystemDirImpl(UINT (*)(LPSTR, UINT), const char *)",
         "SysInfo::`anonymous-namespace'::getSystemDirImpl"},
        // MSVC's __FUNCTION__ already has the form
        {"FileUtils::`anonymous-namespace'::createNewFile", "FileUtils::`anonymous-namespace'::createNewFile"},
        {"`anonymous-namespace'::S<int>::f", "`anonymous-namespace'::S::f"},
        {"main", "main"},
    };
    for (const NameCase& c : cases) {
        char raw[256] = {};
        std::copy(c.raw, c.raw + std::char_traits<char>::length(c.raw), raw);
        EXPECT_EQ(c.expected, nameOf(raw)) << c.raw;
    }
}

namespace FileUtils {
namespace {
int failHere(int line) {
    (void)line;
    ORV_THROW_RUNTIME("inside");
}
} // namespace
} // namespace FileUtils

namespace {
struct Widget {
    Widget() { ORV_THROW(std::invalid_argument("ctor")); }
};
} // namespace

TEST(OrvError, CarriesTheRaisePositionInFrontOfTheText) {
    try {
        FileUtils::failHere(0);
        FAIL();
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_EQ(0u, what.find("WinErrorHandling_test.cpp(")) << what;
        EXPECT_NE(std::string::npos, what.find(") at FileUtils::`anonymous-namespace'::failHere(): inside")) << what;
    }
    try {
        Widget w;
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find(" at `anonymous-namespace'::Widget::Widget(): ctor"))
            << e.what();
    }
}

TEST(OrvError, ComposedTextAndBaseObject) {
    const OrvError<std::runtime_error> e(std::runtime_error("__targv is NULL"),
                                         CodePosition{"c:\\x\\y/z", "`anonymous-namespace'::getCommandLine", -7});
    EXPECT_STREQ("z(-7) at `anonymous-namespace'::getCommandLine(): __targv is NULL", e.what());
    // The base keeps its own text, and a copy keeps both.
    const std::runtime_error& base = e;
    EXPECT_STREQ("__targv is NULL", base.std::runtime_error::what());
    const OrvError<std::runtime_error> copy(e);
    EXPECT_STREQ(e.what(), copy.what());
    EXPECT_STREQ("f(1) at g(): t", makeOrvError(std::runtime_error("t"), CodePosition{"f", "g", 1}).what());
}

TEST(MergeMessageParts, Table) {
    const struct {
        const char* first;
        const char* second;
        const char* merged;
    } cases[] = {
        {"Failed", "X", "Failed. X"},
        {"Failed:", "X", "Failed: X"},
        {"Failed.", "X", "Failed. X"},
        {"Failed?", "X", "Failed? X"},
        {"Failed)", "X", "Failed). X"},
        {"Failed   ", "  X  ", "Failed. X"},
        {"", "X", "X"},
        {"   ", "X", "X"},
        {"Failed", "", "Failed"},
        {"Failed", "   ", "Failed"},
        {"Failed;\t", "", "Failed;"},
        {"", "", ""},
        {"a,", "\r\nb\n", "a, b"},
        {"!", "x", "! x"},
        {"caf\xC3\xA9", "x", "caf\xC3\xA9. x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.merged, mergeMessageParts(c.first, c.second)) << '[' << c.first << "] [" << c.second << ']';
    }
}

TEST(ErrorDescription, EndingsAreTrimmed) {
    const HMODULE self = GetModuleHandleA(nullptr);
    EXPECT_EQ("Ends with a full stop", getErrorDescription(0x2001, self));
    EXPECT_EQ("Three dots", getErrorDescription(0x2002, self));
    // CR and LF become a space each.
    EXPECT_EQ("First line  second line", getErrorDescription(0x2003, self));
    EXPECT_EQ(" ", getErrorDescription(0x2004, self));
    EXPECT_EQ("No description available", getErrorDescription(0x2005, self));
    EXPECT_EQ("system error 8193 (Ends with a full stop)", systemErrorText(0x2001, self));
    // Without a module the system's own table answers.
    const std::string description = getErrorDescription(ERROR_FILE_NOT_FOUND, nullptr);
    EXPECT_FALSE(description.empty());
    EXPECT_NE('.', description.back());
    EXPECT_NE(' ', description.back());
    EXPECT_EQ("No description available", getErrorDescription(0xFFFFFFFF, nullptr));
}

TEST(SysError, RealFailingCall) {
    const HANDLE file = CreateFileA("Z:\\no\\such\\dir\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    // cppcheck-suppress resourceLeak ; the call must fail and return no handle
    ASSERT_EQ(INVALID_HANDLE_VALUE, file);
    const DWORD code = GetLastError();
    try {
        ORV_THROW_WIN32(tstrings::StringBuilder("CreateFile(") << "Z:\\no\\such\\dir\\file"
                                                               << ") failed",
                        CreateFileA, code);
    } catch (const SysError& e) {
        HMODULE module = nullptr;
        ASSERT_TRUE(
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCSTR>(&CreateFileA), &module));
        const std::string expected = "CreateFile(Z:\\no\\such\\dir\\file) failed. System error [" +
                                     std::to_string(code) + "](" + systemErrorText(code, module) + ")";
        EXPECT_NE(std::string::npos,
                  std::string(e.what()).find(") at SysError_RealFailingCall_Test::TestBody(): " + expected))
            << e.what();
    }
}

TEST(SysError, TextsWithoutFunctionAndWithLargeCodes) {
    EXPECT_EQ("Failed. System error [2](" + systemErrorText(2, nullptr) + ")",
              std::string(SysError("Failed", nullptr, 2).what()));
    EXPECT_EQ("Failed: System error [4294967295](system error 4294967295 (No description available))",
              std::string(SysError("Failed:", nullptr, 0xFFFFFFFF).what()));
}

TEST(SysError, AddressOutsideAnyModuleGivesAWarningAndNoDescription) {
    TempDir temp;
    testsupport::LogCapture capture(temp);
    std::vector<char> heap(16);
    const SysError e("CreateProcess failed", heap.data(), 2);
    EXPECT_STREQ("CreateProcess failed. System error [2]", e.what());
    const auto records = capture.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("WARNING", records[0].level);
    EXPECT_EQ("`anonymous-namespace'::makeMessage", records[0].function);
    EXPECT_EQ("GetModuleHandleEx() failed for " +
                  (tstrings::StringBuilder() << static_cast<const void*>(heap.data())).str() + " address.",
              records[0].message);
}

TEST(Report, CaughtExceptionsBecomeOneErrorRecordEach) {
    TempDir temp;
    testsupport::LogCapture capture(temp);
    try {
        throw std::logic_error("plain");
    } catch (const std::exception& e) {
        ORV_REPORT_EXCEPTION(e);
    }
    try {
        throw 42;
    } catch (...) {
        ORV_REPORT_UNKNOWN_EXCEPTION();
    }
    const auto records = capture.records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("ERROR", records[0].level);
    EXPECT_EQ("Exception with message 'plain' caught", records[0].message);
    EXPECT_EQ("Report_CaughtExceptionsBecomeOneErrorRecordEach_Test::TestBody", records[0].function);
    EXPECT_EQ("WinErrorHandling_test.cpp", records[0].sourceFile);
    EXPECT_EQ("ERROR", records[1].level);
    EXPECT_EQ("Unknown exception caught", records[1].message);
}
