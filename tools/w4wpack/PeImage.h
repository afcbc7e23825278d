#pragma once

#include "Files.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The headers of a Windows executable image, read from its file.
namespace pe {

constexpr std::uint16_t machineAmd64 = 0x8664;
constexpr std::uint16_t fileIsDll = 0x2000;
constexpr std::uint16_t subsystemGui = 2;
constexpr std::uint16_t subsystemConsole = 3;

enum DirectoryIndex : std::size_t { resourceDirectory = 2, securityDirectory = 4, baseRelocationDirectory = 5 };

// Where the optional header's fields are, from its start; the same in PE32 and PE32+.
namespace field {
constexpr std::size_t sizeOfInitializedData = 8;
constexpr std::size_t sizeOfImage = 56;
constexpr std::size_t checkSum = 64;
constexpr std::size_t subsystem = 68;
} // namespace field

constexpr std::size_t sectionHeaderSize = 40;
// Where a section header's fields are, from its start.
namespace sectionField {
constexpr std::size_t virtualSize = 8;
constexpr std::size_t virtualAddress = 12;
constexpr std::size_t rawSize = 16;
constexpr std::size_t rawOffset = 20;
constexpr std::size_t characteristics = 36;
} // namespace sectionField

// "windowed" or "console" for the two subsystems a launcher can have, else empty.
inline std::string subsystemKind(std::uint16_t subsystem) {
    return subsystem == subsystemGui ? "windowed" : subsystem == subsystemConsole ? "console" : "";
}

// value rounded up to a multiple of alignment, a power of two.
inline std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

struct Section {
    std::string name;
    std::uint32_t virtualSize = 0;
    std::uint32_t virtualAddress = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
    std::uint32_t characteristics = 0;

    // Some linkers leave the virtual size 0 and mean the size in the file.
    bool holds(std::uint32_t rva) const {
        return rva >= virtualAddress && rva - virtualAddress < (virtualSize != 0 ? virtualSize : rawSize);
    }
};

struct Directory {
    std::uint32_t rva = 0; // for the certificate table, a file offset
    std::uint32_t size = 0;
};

class Image {
public:
    // Reads the headers of an executable (not a DLL) whose sections all lie in the file;
    // refuses any other file, saying why.
    static Image read(const files::InputFile& file);

    bool pe32Plus = false;
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t subsystem = 0;
    bool hasSymbolTable = false;
    std::uint32_t sectionAlignment = 0;
    std::uint32_t fileAlignment = 0;
    std::uint32_t sizeOfHeaders = 0;
    std::uint32_t optionalHeaderOffset = 0;
    std::uint32_t sectionTableOffset = 0;
    std::uint32_t directoryTableOffset = 0;
    std::vector<Section> sections;
    std::vector<Directory> directories;

    Directory directory(std::size_t index) const {
        return index < directories.size() ? directories[index] : Directory();
    }
    // The end of the last section's bytes in the file.
    std::uint64_t endOfSections() const;
    // The file offset of size bytes at rva, when one section's file bytes hold them all.
    std::optional<std::uint64_t> fileOffset(std::uint32_t rva, std::uint32_t size) const;
};

} // namespace pe
