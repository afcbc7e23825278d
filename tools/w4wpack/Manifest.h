#pragma once

#include <string>
#include <string_view>

// The execution level in an application manifest's text.
namespace manifest {

// The place of the value of the level attribute of the first requestedExecutionLevel
// element, whatever its namespace prefix; comments, CDATA sections and processing
// instructions are skipped.
struct LevelPlace {
    bool found = false;
    std::string::size_type begin = 0;
    std::string::size_type length = 0;
};
LevelPlace findExecutionLevel(const std::string& text);

// One of asInvoker, highestAvailable, requireAdministrator in that spelling, matched
// ignoring ASCII case; empty for any other value.
std::string canonicalLevel(const std::string& value);

// A manifest resource's text as far as its markup goes: a UTF-8 byte-order mark is dropped;
// of a UTF-16 one (with its byte-order mark) the ASCII characters are kept and every other
// becomes '?'.
std::string toText(std::string_view resource);

} // namespace manifest
