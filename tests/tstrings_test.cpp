#include "tstrings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace tstrings;

TEST(UnsafeFormat, BufferBoundaryAt256) {
    // 255 characters fit the first 256-character buffer; 256 need the second one.
    for (const int size : {0, 1, 255, 256, 257, 511, 512, 1000}) {
        const std::string text = unsafe_format("%s", std::string(size, 'x').c_str());
        EXPECT_EQ(std::string(size, 'x'), text) << size;
        EXPECT_EQ(static_cast<std::string::size_type>(size), text.size()) << size;
    }
    EXPECT_EQ("", unsafe_format(""));
    EXPECT_EQ("a-12-ff-%", unsafe_format("a-%d-%x-%%", 12, 255));
}

TEST(UnsafeFormat, NullFormatIsRefused) {
    try {
        unsafe_format(nullptr);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        const std::string what = e.what();
        EXPECT_NE(std::string::npos, what.find("tstrings::unsafe_format(): Destination buffer can't be NULL")) << what;
    }
}

TEST(UnsafeFormat, FailureOtherThanTruncationEndsWithAnError) {
    // The code page cannot represent these characters; retrying would never end.
    EXPECT_THROW(unsafe_format("%ls", L"\x4E00\x4E01"), std::runtime_error);
}

TEST(Utf, EmptyAndInvalidInputGiveEmptyResults) {
    EXPECT_EQ("", toUtf8(L""));
    EXPECT_EQ(L"", toUtf16(""));
    EXPECT_EQ(L"", toUtf16("\xFF"));
    EXPECT_EQ(L"", toUtf16("ok\xC3"));
}

TEST(Utf, RoundTrip) {
    const std::string samples[] = {"plain",
                                   "Gr\xC3\xBC\xC3\x9F"
                                   "e",
                                   "\xE4\xB8\x80\xF0\x9F\x98\x80 mixed", std::string(70000, 'a')};
    for (const std::string& s : samples) {
        EXPECT_EQ(s, toUtf8(toUtf16(s)));
    }
    EXPECT_EQ(L"\x00FC\x4E00", toUtf16("\xC3\xBC\xE4\xB8\x80"));
    EXPECT_EQ("\xF0\x9F\x98\x80", toUtf8(L"\xD83D\xDE00"));
    // An embedded NUL is part of the text.
    EXPECT_EQ(std::string("a\0b", 3), toUtf8(toUtf16(std::string("a\0b", 3))));
}

TEST(StringBuilder, Insertions) {
    StringBuilder b("start:");
    b << std::string("s") << " " << std::wstring(L"C:\\Gr\x00FC\x00DF") << " " << -1073741823 << " " << 5u << " "
      << 4294967295u << " " << static_cast<unsigned long>(7);
    EXPECT_EQ("start:s C:\\Gr\xC3\xBC\xC3\x9F -1073741823 5 4294967295 7", b.str());
    // str() leaves the builder usable.
    b << "!";
    EXPECT_EQ("start:s C:\\Gr\xC3\xBC\xC3\x9F -1073741823 5 4294967295 7!", b.str());
    EXPECT_EQ(std::string("a\0b", 3), StringBuilder(std::string("a\0b", 3)).str());
}

TEST(StringBuilder, PointersAsSixteenUpperCaseHexDigits) {
    StringBuilder b;
    b << reinterpret_cast<void*>(0x1a4) << " " << static_cast<const void*>(nullptr) << " "
      << reinterpret_cast<HANDLE>(~std::uintptr_t(0)) << " " << 10;
    // The stream's own state is restored: the integer after the pointers is decimal.
    EXPECT_EQ("00000000000001A4 0000000000000000 FFFFFFFFFFFFFFFF 10", b.str());
}

TEST(ToDecimal, SignedAndUnsigned) {
    EXPECT_EQ("0", toDecimal(std::int32_t(0)));
    EXPECT_EQ("-1", toDecimal(std::int32_t(-1)));
    EXPECT_EQ("-2147483648", toDecimal(std::int32_t(INT32_MIN)));
    EXPECT_EQ("2147483647", toDecimal(std::int32_t(INT32_MAX)));
    EXPECT_EQ("18446744073709551615", toDecimal(std::uint64_t(UINT64_MAX)));
    EXPECT_EQ("100", toDecimal(std::uint64_t(100)));
}

TEST(CaseInsensitive, OnlyAsciiLettersFold) {
    EXPECT_EQ("abc-xyz@[`{\xC4\xD6", toLower("ABC-xYz@[`{\xC4\xD6"));
    EXPECT_TRUE(equalsIgnoreCase("C:\\Temp\\A.EXE", "c:\\temp\\a.exe"));
    EXPECT_FALSE(equalsIgnoreCase("c:\\temp\\a.exe", "c:\\temp\\a.exe "));
    EXPECT_FALSE(equalsIgnoreCase("", "a"));
    // Latin-1 and UTF-8 letters outside ASCII keep their case.
    EXPECT_FALSE(equalsIgnoreCase("\xC4", "\xE4"));
    EXPECT_FALSE(equalsIgnoreCase("\xC3\x84", "\xC3\xA4"));
    EXPECT_TRUE(equalsIgnoreCase("", ""));
}
