#pragma once

#include "CodePosition.h"
#include "tstrings.h"

#include <string>

namespace LogLevel {
constexpr int Trace = 0;
constexpr int Info = 1;
constexpr int Warning = 2;
constexpr int Error = 3;
} // namespace LogLevel

// Appends records to "vextrel.log" in the temporary directory, opening the file for each
// record so that launchers running at once can share it.
class Logger {
public:
    void write(int level, const char* file, int line, const char* function, const std::string& message) const;
    void write(int level, const char* file, int line, const char* function, const char* message) const;
    void write(int level, const char* file, int line, const char* function,
               const tstrings::StringBuilder& message) const;

    int minLevel = LogLevel::Trace;
    // Empty until start-up has set it; records written before then are dropped.
    std::string filePath;
};

extern Logger logger;

// The message is composed only when the record will be written.
#define ORV_LOG(level, message)                                                           \
    do {                                                                                  \
        if (::logger.minLevel <= (level)) {                                               \
            ORV_DECLARE_FUNCTION_NAME;                                                    \
            ::logger.write((level), __FILE__, __LINE__, orvFunctionName.text, (message)); \
        }                                                                                 \
    } while (false)
