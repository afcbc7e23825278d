#pragma once

#include "CodePosition.h"
#include "tstrings.h"

#include <stdexcept>
#include <string>

// "file(line) at function(): " + what(): where a failure was raised, then what it was.
std::string composeErrorMessage(const CodePosition& position, const char* what);

// Every exception the system raises: the base exception, with the raise position in front
// of its text.
template <class Base>
class OrvError : public Base {
public:
    OrvError(const Base& error, const CodePosition& position)
        : Base(error), message(composeErrorMessage(position, error.what())) {}

    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

template <class Base>
OrvError<Base> makeOrvError(const Base& error, const CodePosition& position) {
    return OrvError<Base>(error, position);
}

inline std::string errorText(const tstrings::StringBuilder& text) {
    return text.str();
}

#define ORV_THROW(error)                                  \
    do {                                                  \
        ORV_DECLARE_FUNCTION_NAME;                        \
        throw ::makeOrvError((error), ORV_CODE_POSITION); \
    } while (false)

// For the raise sites whose function the compilers name in ways CodePosition.h cannot mend
// (conversion operators of class templates): function is the literal text to print.
#define ORV_THROW_IN(function, error)                                                  \
    do {                                                                               \
        throw ::makeOrvError((error), ::CodePosition{__FILE__, (function), __LINE__}); \
    } while (false)

// text: a literal, a std::string or a tstrings::StringBuilder expression.
#define ORV_THROW_RUNTIME(text) ORV_THROW(std::runtime_error(::errorText(text)))
