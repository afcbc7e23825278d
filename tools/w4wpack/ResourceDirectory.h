#pragma once

#include "Files.h"
#include "PeImage.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The resources of an image: read from its resource directory, and laid out as a new one.
namespace resources {

constexpr std::uint16_t typeIcon = 3;
constexpr std::uint16_t typeRcdata = 10;
constexpr std::uint16_t typeGroupIcon = 14;
constexpr std::uint16_t typeVersion = 16;
constexpr std::uint16_t typeManifest = 24;

// A type or a name: a string when text is not empty, else an identifier.
struct Name {
    std::uint16_t id = 0;
    // Shared by every resource that bears it, so that a name is held once however many
    // resources a directory gives it.
    std::shared_ptr<const std::u16string> string;

    const std::u16string& text() const;
    bool operator==(const Name& other) const {
        return id == other.id && (string == other.string || text() == other.text());
    }
    bool operator!=(const Name& other) const { return !(*this == other); }
    // "100", or the string with any character beyond ASCII as '?', cut after 64 characters.
    std::string describe() const;
};
Name id(std::uint16_t value);
Name named(std::u16string text);
// The directory's order, which the system's lookup relies on: strings before identifiers,
// strings ignoring ASCII case (the lookup upper-cases the name it is given), each ascending.
bool before(const Name& a, const Name& b);

struct Resource {
    Name type;
    Name name;
    std::uint16_t language = 0;
    std::uint32_t codePage = 0;
    // The bytes are held here, unless file is set: then they are size bytes at offset in it.
    std::string bytes;
    const files::InputFile* file = nullptr;
    std::uint64_t offset = 0;
    std::uint32_t size = 0;

    static Resource held(Name type, Name name, std::uint16_t language, std::string bytes);
    std::string read() const;
};

// Every resource of the image, in the order of its directory; none when it has no directory.
// Refuses a directory that is corrupt, one whose tables are shared or visited more than a
// bounded number of times in all, and one that has two resources of the same type, name and
// language.
std::vector<Resource> read(const pe::Image& image, const files::InputFile& file);

// A resource section at rva: the directory, then the bytes of each resource at its offset.
struct Section {
    std::string directory;
    std::vector<std::uint64_t> offsets; // of resources[i], from the section's start
    std::uint64_t size = 0;
};
// Refuses: the resources make an image of imageSize bytes, more than limit. Names the input
// that most of their bytes come from.
[[noreturn]] void refuseTooLarge(const std::vector<Resource>& resources, std::uint64_t imageSize, std::uint64_t limit);

// Puts the resources in the directory's order first. Fails for two of the same type, name
// and language. Refuses, naming the input whose resources are the largest part, when the
// section would end beyond limit.
Section lay(std::vector<Resource>& resources, std::uint32_t rva, std::uint64_t limit);

} // namespace resources
