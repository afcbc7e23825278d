#include "PeImage.h"

#include "LittleEndian.h"
#include "PackError.h"

#include <algorithm>

namespace pe {

namespace {

constexpr std::uint16_t pe32Magic = 0x10B;
constexpr std::uint16_t pe32PlusMagic = 0x20B;
constexpr std::uint16_t executableImage = 0x0002;
constexpr std::size_t fileHeaderSize = 20;
// More than the format allows: a header that asks for them is corrupt.
constexpr std::size_t maxSections = 96;
constexpr std::size_t maxDirectories = 16;

[[noreturn]] void refuse(const files::InputFile& file, const std::string& why) {
    W4W_REFUSE(file.name() + " is not a Windows executable: " + why);
}

// The bytes at offset, or a refusal when the file ends before them.
std::string readHeader(const files::InputFile& file, std::uint64_t offset, std::size_t size, const char* what) {
    if (offset > file.size() || file.size() - offset < size) {
        refuse(file, std::string("it ends inside its ") + what);
    }
    return file.read(offset, size);
}

} // namespace

Image Image::read(const files::InputFile& file) {
    if (file.size() == 0) {
        refuse(file, "it is empty");
    }
    if (file.size() < 64 || file.read(0, 2) != "MZ") {
        refuse(file, "it does not start with an MZ header");
    }
    const std::uint32_t peOffset = le::get32(file.read(0x3C, 4), 0);
    if (peOffset > file.size() || file.size() - peOffset < 4 + fileHeaderSize + 2 ||
        file.read(peOffset, 4) != std::string("PE\0\0", 4)) {
        refuse(file, "it has no PE header");
    }
    Image image;
    const std::string fileHeader = file.read(peOffset + 4, fileHeaderSize);
    image.machine = le::get16(fileHeader, 0);
    const std::size_t sectionCount = le::get16(fileHeader, 2);
    image.hasSymbolTable = le::get32(fileHeader, 8) != 0;
    const std::uint16_t optionalSize = le::get16(fileHeader, 16);
    image.characteristics = le::get16(fileHeader, 18);
    image.optionalHeaderOffset = peOffset + 4 + fileHeaderSize;

    const std::string optional = readHeader(file, image.optionalHeaderOffset, optionalSize, "optional header");
    const std::uint16_t magic = optionalSize >= 2 ? le::get16(optional, 0) : 0;
    if (magic != pe32Magic && magic != pe32PlusMagic) {
        refuse(file, "its PE header has an unknown optional header");
    }
    image.pe32Plus = magic == pe32PlusMagic;
    const std::size_t directoriesAt = image.pe32Plus ? 112 : 96;
    if (optionalSize < directoriesAt) {
        refuse(file, "its optional header is too short");
    }
    if ((image.characteristics & fileIsDll) != 0) {
        refuse(file, "it is a DLL");
    }
    if ((image.characteristics & executableImage) == 0) {
        refuse(file, "it is not marked as an executable image");
    }
    image.sectionAlignment = le::get32(optional, 32);
    image.fileAlignment = le::get32(optional, 36);
    image.sizeOfHeaders = le::get32(optional, 60);
    image.subsystem = le::get16(optional, field::subsystem);
    const std::size_t directoryCount = le::get32(optional, directoriesAt - 4);
    if (sectionCount > maxSections || directoryCount > maxDirectories ||
        optionalSize < directoriesAt + 8 * directoryCount) {
        refuse(file, "its PE header is corrupt");
    }
    image.directoryTableOffset = image.optionalHeaderOffset + static_cast<std::uint32_t>(directoriesAt);
    for (std::size_t i = 0; i < directoryCount; ++i) {
        image.directories.push_back(
            {le::get32(optional, directoriesAt + 8 * i), le::get32(optional, directoriesAt + 8 * i + 4)});
    }

    image.sectionTableOffset = image.optionalHeaderOffset + optionalSize;
    const std::string table =
        readHeader(file, image.sectionTableOffset, sectionCount * sectionHeaderSize, "section table");
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::size_t at = i * sectionHeaderSize;
        Section section;
        section.name = table.substr(at, 8);
        section.name.resize(std::min(section.name.find('\0'), section.name.size()));
        section.virtualSize = le::get32(table, at + sectionField::virtualSize);
        section.virtualAddress = le::get32(table, at + sectionField::virtualAddress);
        section.rawSize = le::get32(table, at + sectionField::rawSize);
        section.rawOffset = le::get32(table, at + sectionField::rawOffset);
        section.characteristics = le::get32(table, at + sectionField::characteristics);
        image.sections.push_back(section);
    }
    if (image.endOfSections() > file.size()) {
        refuse(file, "it is truncated: its sections end at byte " + std::to_string(image.endOfSections()) +
                         ", the file at " + std::to_string(file.size()));
    }
    return image;
}

std::uint64_t Image::endOfSections() const {
    std::uint64_t end = 0;
    for (const Section& section : sections) {
        if (section.rawSize != 0) {
            end = std::max<std::uint64_t>(end, std::uint64_t(section.rawOffset) + section.rawSize);
        }
    }
    return end;
}

std::optional<std::uint64_t> Image::fileOffset(std::uint32_t rva, std::uint32_t size) const {
    for (const Section& section : sections) {
        if (section.holds(rva)) {
            const std::uint32_t into = rva - section.virtualAddress;
            if (into > section.rawSize || section.rawSize - into < size) {
                return std::nullopt;
            }
            return std::uint64_t(section.rawOffset) + into;
        }
    }
    return std::nullopt;
}

} // namespace pe
