#pragma once

#include "Files.h"

#include <ostream>

// What a launcher written by w4wpack carries, shown and given back without running it.
namespace pack {

enum class ShowFormat { Text, Json };

// Prints the payload's size and SHA-256, its machine and subsystem, the launcher's subsystem
// and execution level, how w4wpack made it, and whether it is signed: as lines for people, or
// as one JSON object for scripts. Refuses any file that is not a launcher written by w4wpack.
void show(const files::Path& launcher, std::ostream& out, ShowFormat format = ShowFormat::Text);

// Writes the payload that the launcher carries to output, byte for byte, as pack writes its
// output: whole or not at all. Refuses as show does.
void extract(const files::Path& launcher, const files::Path& output);

} // namespace pack
