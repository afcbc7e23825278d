#pragma once

#include "Files.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace pack {

// The launcher template's mark, which its resource script gives it: the version record and
// the icons do not tell, as users edit them.
const std::u16string markerName = u"W4W_LAUNCHER";
// The payload's resource, RT_RCDATA 100.
constexpr std::uint16_t payloadId = 100;
// What a launcher written by w4wpack records of how it was made, as RT_RCDATA text.
const std::u16string recordName = u"W4W_PACKED";

// Resource sizes and image offsets are 32-bit; staying within the signed range leaves every
// reader of the image room.
constexpr std::uint64_t maxImageSize = 0x7FFFFFFF;

struct Options {
    files::Path templatePath;
    files::Path payloadPath; // an executable, or a directory to carry as a tree
    files::Path outputPath;
    std::string level;           // empty: the one the payload's manifest asks for
    std::uint16_t subsystem = 0; // pe::subsystemGui or pe::subsystemConsole; 0: the payload's
    files::Path iconPath;        // empty: the payload's icon, or the template's
    bool keepTemplateIdentity = false;
    std::string entry;     // a tree's program, relative; empty: its only top-level .exe
    bool compress = false; // a tree's files deflated
};

// Refuses an output that cannot be written, or that is one of the inputs (also through a link
// or another path); a null input is skipped.
void checkOutput(const files::Path& output, std::initializer_list<const files::InputFile*> inputs);

// "console" or "gui", as the option names them.
std::string subsystemName(std::uint16_t subsystem);

struct Outcome {
    files::Path output;
    std::uint64_t payloadSize = 0;
    std::size_t treeFiles = 0; // 0: a single executable
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
