#pragma once

#include "ResourceDirectory.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Native tests of w4wpack: directories, files, and executable images made to measure.
namespace packtest {

namespace fs = std::filesystem;

// A fresh directory of the test's own, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return dir; }
    fs::path file(const std::string& name) const { return dir / name; }

private:
    fs::path dir;
};

std::string readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& bytes);
// Names of the entries directly inside dir, sorted.
std::vector<std::string> listDir(const fs::path& dir);

resources::Resource resource(std::uint16_t type, const resources::Name& name, std::uint16_t language,
                             const std::string& bytes);
resources::Name named(const std::u16string& text);

// An executable image of three sections, .text, .rsrc and .reloc (or two without
// relocations), with these resources; a certificate table after them when one is given.
struct Image {
    bool pe32Plus = true;
    std::uint16_t machine = 0x8664;
    std::uint16_t characteristics = 0x0022; // executable, large address aware
    std::uint16_t subsystem = 2;            // windowed
    std::uint32_t fileAlignment = 0x200;
    std::vector<resources::Resource> resources;
    bool relocations = true;
    std::string certificate;
    // When set, the resource section's bytes as they are, in place of resources laid out.
    std::string rawResources;

    std::string bytes() const;
};

// Where such an image's resource section begins.
constexpr std::uint32_t resourceSectionAddress = 0x2000;

// Inputs shaped as faults that random mutation does not find: large, regular structures.
namespace hostile {
// A resource section written by hand, table by table, for a payload of that section.
struct RawDirectory {
    std::string bytes;

    // A table of entries (name field, data field), the first named ones strings; returns its
    // offset.
    std::uint32_t table(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries, std::size_t named = 0);
    // Reserves size bytes at the end; returns their offset.
    std::uint32_t reserve(std::size_t size);
    // A data entry at at for size bytes at offset in the section.
    void dataEntry(std::uint32_t at, std::uint32_t offset, std::uint32_t size);
    // The payload whose resource section this is.
    std::string image() const;
};
constexpr std::uint32_t subdirectory = 0x80000000;
constexpr std::uint32_t namedEntry = 0x80000000;

// An .ico file of count entries that all name the same size bytes of image.
std::string iconNamingOneImage(std::size_t count, std::uint32_t size);
// A payload whose resource types all lead to one shared table of names.
std::string payloadWithSharedTables(std::size_t types);
// A payload with names resources of one type, each in a table of its own, sharing one data
// entry, all named by the same string of 65,535 characters; or, overlapping, each by a string
// of that length that begins one character after the one before.
std::string payloadWithLongNames(std::size_t names, bool overlapping);
// A payload whose first icon group names icons 1 to count, whose data entries all name the
// same size bytes.
std::string payloadWithIconsSharingData(std::size_t count, std::uint32_t size);
// A payload whose first icon group names icons 1 to count, each of its own.
Image payloadWithIcons(std::size_t count);
} // namespace hostile

// What the launcher template has: its mark, a manifest asking for asInvoker, a version
// record and an icon group of two icons.
Image launcherTemplate();
std::string manifestAsking(const std::string& element);
// An icon group naming these icons, each described as 16 pixels square of 32 bits.
std::string iconGroup(const std::vector<std::uint16_t>& icons);

// Offsets of fields in such an image's headers.
constexpr std::size_t peOffset = 0x40;
constexpr std::size_t characteristicsOffset = peOffset + 4 + 18;
constexpr std::size_t symbolTableOffset = peOffset + 4 + 8;
constexpr std::size_t optionalOffset = peOffset + 24;

// w4wpack run in this process with these arguments: its exit code and what it printed.
struct Outcome {
    int code;
    std::string out;
    std::string err;
};
Outcome runW4wpack(std::vector<std::string> args);

} // namespace packtest
