#pragma once

#include "OrvError.h"
#include "tstrings.h"

#include <windows.h>

#include <exception>
#include <stdexcept>
#include <string>

// A failed Windows API call: the caller's phrase, the error code and the system's
// description of it, in one text.
class SysError : public std::runtime_error {
public:
    // apiFunction: the failed function, so the description can come from its module.
    SysError(const tstrings::StringBuilder& text, const void* apiFunction, DWORD errorCode);
};

// "system error " code " (" description ")"
std::string systemErrorText(DWORD errorCode, HMODULE module);

// The system's description of the code in one line, without trailing spaces or full stops.
std::string getErrorDescription(DWORD errorCode, HMODULE module);

// Joins two phrases like sentences: "Failed" and "X" give "Failed. X".
std::string mergeMessageParts(const std::string& first, const std::string& second);

// One ERROR record for an exception caught at a boundary.
void reportException(const CodePosition& position, const std::exception& e);
void reportUnknownException(const CodePosition& position);

template <class Function>
const void* apiAddress(Function* function) {
    return reinterpret_cast<const void*>(function);
}

#define ORV_THROW_WIN32(text, apiFunction, errorCode) \
    ORV_THROW(SysError((text), ::apiAddress(apiFunction), (errorCode)))

// Reads the last error first, before anything else can change it.
#define ORV_THROW_LAST_ERROR(text, apiFunction)           \
    do {                                                  \
        const DWORD orvLastError = ::GetLastError();      \
        ORV_THROW_WIN32(text, apiFunction, orvLastError); \
    } while (false)

#define ORV_REPORT_EXCEPTION(e)                    \
    do {                                           \
        ORV_DECLARE_FUNCTION_NAME;                 \
        ::reportException(ORV_CODE_POSITION, (e)); \
    } while (false)

#define ORV_REPORT_UNKNOWN_EXCEPTION()               \
    do {                                             \
        ORV_DECLARE_FUNCTION_NAME;                   \
        ::reportUnknownException(ORV_CODE_POSITION); \
    } while (false)
