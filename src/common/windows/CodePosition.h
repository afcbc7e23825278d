#pragma once

#include <cstddef>

// Where a failure was raised or a record written.
struct CodePosition {
    const char* file;
    const char* function;
    int line;
};

namespace orv {

// The qualified name of the enclosing function, spelled the way MSVC's __FUNCTION__ spells
// it ("FileUtils::`anonymous-namespace'::createNewFile"), whatever the compiler. Log records
// and error texts carry it, and readers grep for it, so it must not depend on the compiler.
//
// The raw text is MSVC's __FUNCTION__ or GCC's and clang's __PRETTY_FUNCTION__, such as
// "bool FileUtils::{anonymous}::createNewFile(const string&)". From it the return type, the
// parameter list, the qualifiers and a trailing template clause are dropped, the unnamed
// namespace is renamed, and template argument lists are dropped (GCC prints a class template
// as S<T>, clang as S<int>). Conversion operators and lambdas are not named this way: their
// raw texts differ between compilers in ways that cannot be mended here.
template <std::size_t N>
struct FunctionName {
    char text[N] = {};

    constexpr std::size_t length() const {
        std::size_t n = 0;
        while (n < N && text[n] != '\0') {
            ++n;
        }
        return n;
    }
};

namespace detail {

constexpr bool startsWith(const char* s, std::size_t n, std::size_t at, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (at + i >= n || s[at + i] != prefix[i]) {
            return false;
        }
    }
    return true;
}

constexpr std::size_t length(const char* s) {
    std::size_t n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n;
}

} // namespace detail

template <std::size_t N>
constexpr FunctionName<2 * N> makeFunctionName(const char (&raw)[N]) {
    // "{anonymous}::" is the shortest marker and grows by 10 characters, so twice the raw
    // size always suffices.
    constexpr const char* anonymous = "`anonymous-namespace'";
    FunctionName<2 * N> renamed;
    std::size_t n = 0;
    for (std::size_t i = 0; i < N && raw[i] != '\0';) {
        const char* marker = nullptr;
        if (detail::startsWith(raw, N, i, "{anonymous}")) {
            marker = "{anonymous}";
        } else if (detail::startsWith(raw, N, i, "(anonymous namespace)")) {
            marker = "(anonymous namespace)";
        }
        if (marker != nullptr) {
            for (std::size_t k = 0; anonymous[k] != '\0'; ++k) {
                renamed.text[n++] = anonymous[k];
            }
            i += detail::length(marker);
        } else {
            renamed.text[n++] = raw[i++];
        }
    }

    // " [with T = int]" (GCC) or " [T = int]" (clang).
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (renamed.text[i] == ' ' && renamed.text[i + 1] == '[') {
            n = i;
            break;
        }
    }

    // The name ends where the parameter list begins: match the last ')' backwards.
    std::size_t end = n;
    for (std::size_t i = n; i > 0; --i) {
        if (renamed.text[i - 1] == ')') {
            int depth = 0;
            for (std::size_t k = i; k > 0; --k) {
                const char c = renamed.text[k - 1];
                if (c == ')') {
                    ++depth;
                } else if (c == '(' && --depth == 0) {
                    end = k - 1;
                    break;
                }
            }
            break;
        }
    }

    // It begins after the return type, which ends in a space, '*' or '&' outside <>.
    std::size_t begin = 0;
    int angle = 0;
    for (std::size_t i = end; i > 0; --i) {
        const char c = renamed.text[i - 1];
        if (c == '>') {
            ++angle;
        } else if (c == '<') {
            --angle;
        } else if (angle == 0 && (c == ' ' || c == '*' || c == '&')) {
            begin = i;
            break;
        }
    }

    FunctionName<2 * N> name;
    std::size_t out = 0;
    angle = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const char c = renamed.text[i];
        if (c == '<') {
            ++angle;
        } else if (c == '>') {
            --angle;
        } else if (angle == 0) {
            name.text[out++] = c;
        }
    }
    return name;
}

// The name in an array of its own size: makeFunctionName's is twice the raw text's, and each
// raise site keeps one in the image.
template <std::size_t Size, std::size_t N>
constexpr FunctionName<Size> fitFunctionName(const FunctionName<N>& name) {
    FunctionName<Size> fitted;
    for (std::size_t i = 0; i + 1 < Size; ++i) {
        fitted.text[i] = name.text[i];
    }
    return fitted;
}

} // namespace orv

#if defined(_MSC_VER) && !defined(__clang__)
#define ORV_RAW_FUNCTION __FUNCTION__
#else
#define ORV_RAW_FUNCTION __PRETTY_FUNCTION__
#endif

// A statement: names the enclosing function for ORV_CODE_POSITION in the same block.
#define ORV_DECLARE_FUNCTION_NAME                                                           \
    static constexpr auto orvFunctionNameDraft = ::orv::makeFunctionName(ORV_RAW_FUNCTION); \
    static constexpr auto orvFunctionName =                                                 \
        ::orv::fitFunctionName<orvFunctionNameDraft.length() + 1>(orvFunctionNameDraft)

#define ORV_CODE_POSITION (::CodePosition{__FILE__, orvFunctionName.text, __LINE__})
