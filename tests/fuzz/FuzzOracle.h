#pragma once

#include <string>

// What every fuzz target checks: w4wpack either refuses its inputs, leaving nothing behind,
// or writes a launcher that its own reader reads back as the system would.
namespace fuzz {

// Packs the inputs (no icon file when icon is empty). Ends the process with a message when
// the output is not what it must be: resource 100 holds the payload, the sections cover the
// file, the checksum is right, the subsystem is one a launcher can have, and --show and --extract
// take it and give the payload back.
void packAndCheck(const std::string& templateBytes, const std::string& payloadBytes, const std::string& icon = "");

// Inputs for the other roles: the launcher template and a payload made to measure.
const std::string& launcherTemplate();
const std::string& payload();

} // namespace fuzz
