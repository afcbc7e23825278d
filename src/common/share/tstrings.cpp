#include "tstrings.h"

#include "OrvError.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <locale>
#include <stdexcept>

namespace tstrings {

namespace {

// Wine's and Windows' vsnprintf_s fill the buffer up to its last character when they
// truncate; any other failure (an unconvertible wide argument) stops short of that.
bool truncated(const std::string& buffer) {
    return std::strlen(buffer.c_str()) == buffer.size() - 1;
}

std::wstring toUtf16(const char* text, std::size_t size, UINT codePage) {
    std::wstring result;
    const int length = static_cast<int>(size);
    const int needed = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (needed < 0) {
        ORV_THROW_RUNTIME("Unexpected reply from MultiByteToWideChar()");
    }
    if (needed == 0) {
        return result;
    }
    result.resize(needed);
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, &result[0], needed) != needed) {
        ORV_THROW_RUNTIME("Unexpected reply from MultiByteToWideChar()");
    }
    return result;
}

} // namespace

std::string unsafe_format(const char* format, ...) {
    if (format == nullptr) {
        ORV_THROW(std::invalid_argument("Destination buffer can't be NULL"));
    }
    std::string result;
    int count = -1;
    while (count < 0) {
        result.resize(result.size() + 256);
        va_list args;
        va_start(args, format);
        count = vsnprintf_s(&result[0], result.size(), _TRUNCATE, format, args);
        va_end(args);
        if (count < 0 && !truncated(result)) {
            ORV_THROW_RUNTIME(StringBuilder("Cannot format \"") << format << "\"");
        }
    }
    result.resize(count);
    return result;
}

std::string toUtf8(const std::wstring& utf16) {
    std::string result;
    const int length = static_cast<int>(utf16.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed < 0) {
        ORV_THROW_RUNTIME("Unexpected reply from WideCharToMultiByte()");
    }
    if (needed == 0) {
        return result;
    }
    result.resize(needed);
    if (WideCharToMultiByte(CP_UTF8, 0, utf16.data(), length, &result[0], needed, nullptr, nullptr) != needed) {
        ORV_THROW_RUNTIME("Unexpected reply from WideCharToMultiByte()");
    }
    return result;
}

std::wstring toUtf16(const std::string& utf8) {
    return toUtf16(utf8.data(), utf8.size(), CP_UTF8);
}

std::wstring ansiToUtf16(const std::string& ansi) {
    return toUtf16(ansi.data(), ansi.size(), CP_ACP);
}

namespace {

template <class Integer>
std::string decimal(Integer value) {
    std::ostringstream stream;
    stream.exceptions(std::ios::failbit | std::ios::badbit);
    stream.imbue(std::locale::classic());
    stream << value;
    return stream.str();
}

} // namespace

std::string toDecimal(std::int32_t value) {
    return decimal(value);
}

std::string toDecimal(std::uint64_t value) {
    return decimal(value);
}

std::string toLower(const std::string& s) {
    std::string result(s);
    const std::locale& classic = std::locale::classic();
    std::transform(result.begin(), result.end(), result.begin(),
                   [&classic](char c) { return std::tolower(c, classic); });
    return result;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    return toLower(a) == toLower(b);
}

StringBuilder::StringBuilder() {
    stream.imbue(std::locale::classic());
}

StringBuilder::StringBuilder(const char* text) : StringBuilder() {
    stream << text;
}

StringBuilder::StringBuilder(const std::string& text) : StringBuilder() {
    stream << text;
}

StringBuilder& StringBuilder::operator<<(const char* text) {
    stream << text;
    return *this;
}

StringBuilder& StringBuilder::operator<<(const std::string& text) {
    stream << text;
    return *this;
}

StringBuilder& StringBuilder::operator<<(const std::wstring& text) {
    stream << toUtf8(text);
    return *this;
}

StringBuilder& StringBuilder::operator<<(const void* pointer) {
    // The form of "%p" on 64-bit Windows; libstdc++ would print 0x1a4.
    const std::ios::fmtflags flags = stream.flags();
    const char fill = stream.fill();
    stream << std::hex << std::uppercase << std::setfill('0') << std::setw(2 * sizeof(pointer))
           << reinterpret_cast<std::uintptr_t>(pointer);
    stream.flags(flags);
    stream.fill(fill);
    return *this;
}

std::string StringBuilder::str() const {
    return stream.str();
}

} // namespace tstrings
