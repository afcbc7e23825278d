#pragma once

#include <ostream>

namespace pack {

// w4wpack's command line, given as UTF-8 with the program's name first: writes what it did
// to out and why it stopped to err. Returns the exit code: 0 when the output was written,
// 1 when an input was refused or the writing failed, 2 for a malformed command line.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

} // namespace pack
