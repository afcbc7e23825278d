#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

namespace tstrings {

// printf-style formatting into a string. Throws on a null format.
std::string unsafe_format(const char* format, ...);

// UTF-16 <-> UTF-8. Text that the system refuses to convert comes back empty.
std::string toUtf8(const std::wstring& utf16);
std::wstring toUtf16(const std::string& utf8);
// Text of the narrow Win32 functions, in the process's ANSI code page, as UTF-16.
std::wstring ansiToUtf16(const std::string& ansi);

std::string toDecimal(std::int32_t value);
std::string toDecimal(std::uint64_t value);

// Lower-cases only the ASCII letters A to Z.
std::string toLower(const std::string& s);
bool equalsIgnoreCase(const std::string& a, const std::string& b);

// Composes messages and names. Integers are written in decimal, pointers and handles as
// 16 upper-case hex digits, wide strings as UTF-8.
class StringBuilder {
public:
    StringBuilder();
    StringBuilder(const char* text);
    StringBuilder(const std::string& text);
    StringBuilder(const StringBuilder&) = delete;
    StringBuilder& operator=(const StringBuilder&) = delete;

    StringBuilder& operator<<(const char* text);
    StringBuilder& operator<<(const std::string& text);
    StringBuilder& operator<<(const std::wstring& text);
    StringBuilder& operator<<(const void* pointer);

    // As an output stream writes them: a character type as the character, bool as 0 or 1.
    template <class Integer, class = std::enable_if_t<std::is_integral_v<Integer>>>
    StringBuilder& operator<<(Integer value) {
        if constexpr (std::is_same_v<Integer, char> || std::is_same_v<Integer, signed char> ||
                      std::is_same_v<Integer, unsigned char>) {
            text += static_cast<char>(value);
        } else if constexpr (std::is_signed_v<Integer>) {
            appendDecimal(static_cast<std::int64_t>(value));
        } else {
            appendDecimal(static_cast<std::uint64_t>(value));
        }
        return *this;
    }

    std::string str() const;

private:
    void appendDecimal(std::int64_t value);
    void appendDecimal(std::uint64_t value);

    // A plain string, not a stream: the streams bring the locales with them, most of a
    // launcher's size.
    std::string text;
};

} // namespace tstrings
