#include "tstrings.h"

#include "OrvError.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
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

// The digits of the magnitude, in front of what the buffer's end already holds.
char* writeDigits(std::uint64_t magnitude, char* end) {
    do {
        *--end = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    return end;
}

std::string decimal(std::int64_t value) {
    char buffer[24];
    char* const end = buffer + sizeof(buffer);
    // Negated as unsigned, so that the most negative value has a magnitude too.
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char* begin = writeDigits(magnitude, end);
    if (value < 0) {
        *--begin = '-';
    }
    return std::string(begin, end);
}

std::string decimal(std::uint64_t value) {
    char buffer[24];
    char* const end = buffer + sizeof(buffer);
    return std::string(writeDigits(value, end), end);
}

} // namespace

std::string toDecimal(std::int32_t value) {
    return decimal(std::int64_t{value});
}

std::string toDecimal(std::uint64_t value) {
    return decimal(value);
}

std::string toLower(const std::string& s) {
    std::string result(s);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return result;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    return toLower(a) == toLower(b);
}

StringBuilder::StringBuilder() = default;

// A null text adds nothing, as it left a stream unchanged.
StringBuilder::StringBuilder(const char* text) : text(text != nullptr ? text : "") {}

StringBuilder::StringBuilder(const std::string& text) : text(text) {}

StringBuilder& StringBuilder::operator<<(const char* more) {
    if (more != nullptr) {
        text += more;
    }
    return *this;
}

StringBuilder& StringBuilder::operator<<(const std::string& more) {
    text += more;
    return *this;
}

StringBuilder& StringBuilder::operator<<(const std::wstring& more) {
    text += toUtf8(more);
    return *this;
}

StringBuilder& StringBuilder::operator<<(const void* pointer) {
    // The form of "%p" on 64-bit Windows.
    static const char digits[] = "0123456789ABCDEF";
    auto value = reinterpret_cast<std::uintptr_t>(pointer);
    char hex[2 * sizeof(pointer)];
    for (std::size_t i = sizeof(hex); i > 0; --i) {
        hex[i - 1] = digits[value & 0xF];
        value >>= 4;
    }
    text.append(hex, sizeof(hex));
    return *this;
}

void StringBuilder::appendDecimal(std::int64_t value) {
    text += decimal(value);
}

void StringBuilder::appendDecimal(std::uint64_t value) {
    text += decimal(value);
}

std::string StringBuilder::str() const {
    return text;
}

} // namespace tstrings
