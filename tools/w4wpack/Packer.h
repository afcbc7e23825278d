#pragma once

#include "Files.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

// Resource sizes and image offsets are 32-bit; staying within the signed range leaves every
// reader of the image room.
constexpr std::uint64_t maxImageSize = 0x7FFFFFFF;

struct Options {
    files::Path templatePath;
    files::Path payloadPath;
    files::Path outputPath;
    std::string level;           // empty: the one the payload's manifest asks for
    std::uint16_t subsystem = 0; // pe::subsystemGui or pe::subsystemConsole; 0: the payload's
    files::Path iconPath;        // empty: the payload's icon, or the template's
    bool keepTemplateIdentity = false;
};

// "console" or "gui", as the option names them.
std::string subsystemName(std::uint16_t subsystem);

struct Outcome {
    files::Path output;
    std::uint64_t payloadSize = 0;
    std::string level;
    std::string levelOrigin;
    std::uint16_t subsystem = 0;
    std::string subsystemOrigin;
    std::string identity;
    std::vector<std::string> warnings;
};

// Writes the output: a copy of the launcher template that carries the payload as resource
// RT_RCDATA 100. Raises pack::Error when it refuses an input or fails; the output is then as
// it was, and no temporary file is left.
Outcome pack(const Options& options);

} // namespace pack
