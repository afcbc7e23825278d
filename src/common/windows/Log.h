#pragma once

#include "CodePosition.h"
#include "tstrings.h"

#include <string>
#include <vector>

namespace LogLevel {
constexpr int Trace = 0;
constexpr int Info = 1;
constexpr int Warning = 2;
constexpr int Error = 3;
} // namespace LogLevel

// Appends records to "vextrel.log" in the temporary directory, opening the file for each
// record so that launchers running at once can share it. A record is written only into the
// file itself: never through a link, nor into a file with another name.
class Logger {
public:
    // Where records go from now on; empty drops them. The directory's own path is read here,
    // so that each record can check where its file landed.
    void setFile(const std::wstring& path);
    const std::wstring& file() const { return filePath; }

    void write(int level, const char* file, int line, const char* function, const std::string& message) const;
    void write(int level, const char* file, int line, const char* function, const char* message) const;
    void write(int level, const char* file, int line, const char* function,
               const tstrings::StringBuilder& message) const;
    // One record for each message, appended at once: a removal of a thousand files opens the
    // log once, not a thousand times.
    void write(int level, const char* file, int line, const char* function,
               const std::vector<std::string>& messages) const;

    int minLevel = LogLevel::Trace;

private:
    // Empty until start-up has set it; records written before then are dropped.
    std::wstring filePath;
    // What the system calls the file when it is the file itself, not something a link leads to.
    std::wstring finalPath;
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
