#include "Identity.h"

#include "LittleEndian.h"
#include "PackError.h"

#include <algorithm>
#include <set>

namespace identity {

namespace {

using resources::Resource;

constexpr std::size_t headerSize = 6;
constexpr std::size_t groupEntrySize = 14;
constexpr std::size_t fileEntrySize = 16;
// The part of an entry that the group and the file share: size, colours, planes, bits, bytes.
constexpr std::size_t sharedEntrySize = 12;
constexpr std::uint16_t iconKind = 1;

// The number of entries when the header is an icon header and the entries fit in size.
std::size_t entries(const std::string& header, std::size_t entrySize, std::uint64_t size) {
    if (header.size() < headerSize || le::get16(header, 0) != 0 || le::get16(header, 2) != iconKind) {
        return 0;
    }
    const std::size_t count = le::get16(header, 4);
    return headerSize + count * entrySize <= size ? count : 0;
}

} // namespace

std::vector<Resource> firstIconGroup(const std::vector<Resource>& all, const files::InputFile& file) {
    std::vector<Resource> found;
    const Resource* first = nullptr;
    for (const Resource& resource : all) {
        if (resource.type == resources::id(resources::typeGroupIcon) &&
            (first == nullptr || resources::before(resource.name, first->name))) {
            first = &resource;
        }
    }
    if (first == nullptr) {
        return found;
    }
    std::set<std::uint16_t> icons;
    for (const Resource& resource : all) {
        if (resource.type != first->type || resource.name != first->name) {
            continue;
        }
        // Read whole, so bounded by the most entries a group can have.
        const bool fits = resource.size <= headerSize + 0xFFFF * groupEntrySize;
        const std::string group = fits ? resource.read() : std::string();
        const std::size_t count = entries(group, groupEntrySize, group.size());
        if (count == 0) {
            W4W_REFUSE(file.name() + " has a malformed icon group " + first->name.describe());
        }
        for (std::size_t i = 0; i < count; ++i) {
            icons.insert(le::get16(group, headerSize + i * groupEntrySize + sharedEntrySize));
        }
        found.push_back(resource);
    }
    // One pass, however many icons the group names.
    std::set<std::uint16_t> missing = icons;
    for (const Resource& resource : all) {
        if (resource.type == resources::id(resources::typeIcon) && resource.name.text().empty() &&
            icons.count(resource.name.id) != 0) {
            found.push_back(resource);
            missing.erase(resource.name.id);
        }
    }
    if (!missing.empty()) {
        W4W_REFUSE(file.name() + "'s icon group " + first->name.describe() + " names icon " +
                   std::to_string(*missing.begin()) + ", which it does not have");
    }
    return found;
}

std::vector<Resource> iconFile(const files::InputFile& file) {
    const std::string header = file.read(0, static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), headerSize)));
    const std::size_t count = entries(header, fileEntrySize, file.size());
    if (count == 0) {
        W4W_REFUSE(file.name() + " is not an .ico file with at least one icon");
    }
    const std::string table = file.read(headerSize, count * fileEntrySize);
    std::string group = header;
    std::vector<Resource> icons;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = i * fileEntrySize;
        const std::uint32_t size = le::get32(table, at + 8);
        const std::uint32_t offset = le::get32(table, at + 12);
        if (size == 0 || offset > file.size() || file.size() - offset < size) {
            W4W_REFUSE(file.name() + " is truncated: its icon " + std::to_string(i + 1) + " is not in the file");
        }
        Resource icon;
        icon.type = resources::id(resources::typeIcon);
        icon.name = resources::id(static_cast<std::uint16_t>(i + 1));
        icon.file = &file;
        icon.offset = offset;
        icon.size = size;
        icons.push_back(icon);
        group += table.substr(at, sharedEntrySize);
        group += std::string(2, '\0');
        le::put16(group, group.size() - 2, static_cast<std::uint32_t>(i + 1));
    }
    icons.push_back(Resource::held(resources::id(resources::typeGroupIcon), resources::id(1), 0, group));
    return icons;
}

} // namespace identity
