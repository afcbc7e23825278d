#pragma once

#include "Files.h"
#include "ResourceDirectory.h"

#include <vector>

// What Explorer shows of a program: its icon, from an icon group and the icons it names.
namespace identity {

// The first icon group among resources, with the icons it names (each in all its languages);
// none when there is no group. Refuses a group that is malformed or names a missing icon.
std::vector<resources::Resource> firstIconGroup(const std::vector<resources::Resource>& all,
                                                const files::InputFile& file);

// An icon group and its icons made from an .ico file. Refuses a file that is none.
std::vector<resources::Resource> iconFile(const files::InputFile& file);

} // namespace identity
