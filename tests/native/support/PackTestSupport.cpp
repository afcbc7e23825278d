#include "PackTestSupport.h"

#include "Command.h"

#include "LittleEndian.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace packtest {

namespace {

std::uint32_t alignUp(std::uint64_t value, std::uint32_t alignment) {
    return static_cast<std::uint32_t>((value + alignment - 1) / alignment * alignment);
}

struct Section {
    const char* name;
    std::string bytes;
    std::uint32_t characteristics;
};

fs::path freshDirectory() {
    std::random_device random;
    const fs::path dir = fs::temp_directory_path() / ("w4wpack-test-" + std::to_string(random()));
    fs::create_directory(dir);
    return dir;
}

} // namespace

TempDir::TempDir() : dir(freshDirectory()) {}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::vector<std::string> listDir(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

resources::Resource resource(std::uint16_t type, const resources::Name& name, std::uint16_t language,
                             const std::string& bytes) {
    return resources::Resource::held(resources::id(type), name, language, bytes);
}

resources::Name named(const std::u16string& text) {
    return resources::named(text);
}

std::string Image::bytes() const {
    const std::uint32_t sectionAlignment = 0x1000;
    const std::size_t optionalSize = pe32Plus ? 240 : 224;
    std::vector<Section> sections = {{".text", std::string(0x40, '\xC3'), 0x60000020}};
    std::vector<resources::Resource> list = resources;
    const resources::Section laid = resources::lay(list, resourceSectionAddress, 0xFFFFFFFF);
    std::string rsrc = laid.directory;
    for (std::size_t i = 0; i < list.size(); ++i) {
        rsrc.resize(static_cast<std::size_t>(laid.offsets[i]), '\0');
        rsrc += list[i].bytes;
    }
    if (!rawResources.empty()) {
        rsrc = rawResources;
    }
    sections.push_back({".rsrc", rsrc, 0x40000040});
    if (relocations) {
        // One block: a 64-bit address at .text+0x10.
        std::string block(12, '\0');
        le::put32(block, 0, sectionAlignment);
        le::put32(block, 4, 12);
        le::put16(block, 8, 0xA010);
        sections.push_back({".reloc", block, 0x42000040});
    }

    const std::size_t tableAt = optionalOffset + optionalSize;
    const std::uint32_t headersSize = alignUp(tableAt + 40 * sections.size(), fileAlignment);
    std::string image(headersSize, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    le::put32(image, 0x3C, peOffset);
    image.replace(peOffset, 4, std::string("PE\0\0", 4));
    le::put16(image, peOffset + 4, machine);
    le::put16(image, peOffset + 6, static_cast<std::uint32_t>(sections.size()));
    le::put16(image, peOffset + 20, static_cast<std::uint32_t>(optionalSize));
    le::put16(image, characteristicsOffset, characteristics);
    le::put16(image, optionalOffset, pe32Plus ? 0x20B : 0x10B);
    le::put32(image, optionalOffset + 16, sectionAlignment); // entry point
    le::put32(image, optionalOffset + 32, sectionAlignment);
    le::put32(image, optionalOffset + 36, fileAlignment);
    le::put32(image, optionalOffset + 60, headersSize);
    le::put16(image, optionalOffset + 68, subsystem);
    const std::size_t directories = optionalOffset + (pe32Plus ? 112 : 96);
    le::put32(image, directories - 4, 16);

    std::uint32_t address = sectionAlignment;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = sections[i];
        const std::size_t at = tableAt + 40 * i;
        image.replace(at, std::char_traits<char>::length(s.name), s.name);
        le::put32(image, at + 8, static_cast<std::uint32_t>(s.bytes.size()));
        le::put32(image, at + 12, address);
        le::put32(image, at + 16, alignUp(s.bytes.size(), fileAlignment));
        le::put32(image, at + 20, static_cast<std::uint32_t>(image.size()));
        le::put32(image, at + 36, s.characteristics);
        if (std::string(s.name) == ".rsrc") {
            le::put32(image, directories + 8 * 2, address);
            le::put32(image, directories + 8 * 2 + 4, static_cast<std::uint32_t>(s.bytes.size()));
        } else if (std::string(s.name) == ".reloc") {
            le::put32(image, directories + 8 * 5, address);
            le::put32(image, directories + 8 * 5 + 4, static_cast<std::uint32_t>(s.bytes.size()));
        }
        image += s.bytes;
        image.resize(alignUp(image.size(), fileAlignment), '\0');
        address = alignUp(address + s.bytes.size(), sectionAlignment);
    }
    le::put32(image, optionalOffset + 56, address);
    if (!certificate.empty()) {
        le::put32(image, directories + 8 * 4, static_cast<std::uint32_t>(image.size()));
        le::put32(image, directories + 8 * 4 + 4, static_cast<std::uint32_t>(certificate.size()));
        image += certificate;
    }
    return image;
}

std::string manifestAsking(const std::string& element) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
           "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\n" +
           element + "\n</requestedPrivileges></security></trustInfo>\n</assembly>\n";
}

std::string iconGroup(const std::vector<std::uint16_t>& icons) {
    std::string group(6 + 14 * icons.size(), '\0');
    le::put16(group, 2, 1);
    le::put16(group, 4, static_cast<std::uint32_t>(icons.size()));
    for (std::size_t i = 0; i < icons.size(); ++i) {
        const std::size_t at = 6 + 14 * i;
        group[at] = group[at + 1] = 16;
        le::put16(group, at + 4, 1);
        le::put16(group, at + 6, 32);
        le::put32(group, at + 8, 40);
        le::put16(group, at + 12, icons[i]);
    }
    return group;
}

Image launcherTemplate() {
    Image image;
    image.resources = {
        resource(resources::typeRcdata, named(u"W4W_LAUNCHER"), 0, "wrapper4wrapper launcher"),
        resource(resources::typeManifest, resources::id(1), 0,
                 manifestAsking("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>")),
        resource(resources::typeVersion, resources::id(1), 0, "template version"),
        resource(resources::typeGroupIcon, resources::id(101), 0, iconGroup({1, 2})),
        resource(resources::typeIcon, resources::id(1), 0, std::string(40, '\x01')),
        resource(resources::typeIcon, resources::id(2), 0, std::string(40, '\x02')),
    };
    return image;
}

namespace hostile {

std::uint32_t RawDirectory::table(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries,
                                  std::size_t named) {
    const auto at = static_cast<std::uint32_t>(bytes.size());
    bytes.resize(bytes.size() + 16 + 8 * entries.size(), '\0');
    le::put16(bytes, at + 12, static_cast<std::uint32_t>(named));
    le::put16(bytes, at + 14, static_cast<std::uint32_t>(entries.size() - named));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        le::put32(bytes, at + 16 + 8 * i, entries[i].first);
        le::put32(bytes, at + 16 + 8 * i + 4, entries[i].second);
    }
    return at;
}

std::uint32_t RawDirectory::reserve(std::size_t size) {
    const auto at = static_cast<std::uint32_t>(bytes.size());
    bytes.resize(bytes.size() + size, '\0');
    return at;
}

void RawDirectory::dataEntry(std::uint32_t at, std::uint32_t offset, std::uint32_t size) {
    le::put32(bytes, at, resourceSectionAddress + offset);
    le::put32(bytes, at + 4, size);
}

std::string RawDirectory::image() const {
    Image image;
    image.rawResources = bytes;
    return image.bytes();
}

std::string iconNamingOneImage(std::size_t count, std::uint32_t size) {
    std::string ico(6 + 16 * count, '\0');
    le::put16(ico, 2, 1);
    le::put16(ico, 4, static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        ico[6 + 16 * i] = ico[7 + 16 * i] = 32;
        le::put32(ico, 6 + 16 * i + 8, size);
        le::put32(ico, 6 + 16 * i + 12, static_cast<std::uint32_t>(6 + 16 * count));
    }
    return ico + std::string(size, 'i');
}

std::string payloadWithSharedTables(std::size_t types) {
    RawDirectory d;
    const std::uint32_t root = d.reserve(16 + 8 * types);
    const std::uint32_t names = d.table({{1, 0}});
    const std::uint32_t languages = d.table({{0, 0}});
    const std::uint32_t data = d.reserve(16 + 4);
    d.dataEntry(data, data + 16, 4);
    le::put32(d.bytes, names + 16 + 4, subdirectory | languages);
    le::put32(d.bytes, languages + 16 + 4, data);
    le::put16(d.bytes, root + 14, static_cast<std::uint32_t>(types));
    for (std::size_t i = 0; i < types; ++i) {
        le::put32(d.bytes, root + 16 + 8 * i, static_cast<std::uint32_t>(i + 1));
        le::put32(d.bytes, root + 16 + 8 * i + 4, subdirectory | names);
    }
    return d.image();
}

std::string payloadWithLongNames(std::size_t names, bool overlapping) {
    RawDirectory d;
    const std::uint32_t root = d.reserve(16 + 8);
    const std::uint32_t type = d.reserve(16 + 8 * names);
    const std::uint32_t string = d.reserve(2 + 2 * (0xFFFF + names));
    le::put16(d.bytes, string, 0xFFFF);
    for (std::size_t k = 0; k < 0xFFFF + names; ++k) {
        le::put16(d.bytes, string + 2 + 2 * k, overlapping ? 0xFFFF : u'A');
    }
    const std::uint32_t data = d.reserve(16 + 4);
    d.dataEntry(data, data + 16, 4);
    le::put16(d.bytes, root + 14, 1);
    le::put32(d.bytes, root + 16, resources::typeRcdata);
    le::put32(d.bytes, root + 20, subdirectory | type);
    le::put16(d.bytes, type + 12, static_cast<std::uint32_t>(names));
    for (std::size_t i = 0; i < names; ++i) {
        const std::uint32_t languages = d.table({{0, data}});
        le::put32(d.bytes, type + 16 + 8 * i,
                  namedEntry | (string + (overlapping ? 2 * static_cast<std::uint32_t>(i) : 0)));
        le::put32(d.bytes, type + 16 + 8 * i + 4, subdirectory | languages);
    }
    return d.image();
}

std::string payloadWithIconsSharingData(std::size_t count, std::uint32_t size) {
    RawDirectory d;
    const std::uint32_t root = d.reserve(16 + 16);
    const std::uint32_t icons = d.reserve(16 + 8 * count);
    const std::uint32_t image = d.reserve(16 + size);
    d.dataEntry(image, image + 16, size);
    const std::string groupBytes = iconGroup([count] {
        std::vector<std::uint16_t> ids;
        for (std::size_t i = 1; i <= count; ++i) {
            ids.push_back(static_cast<std::uint16_t>(i));
        }
        return ids;
    }());
    const std::uint32_t group = d.reserve(16 + groupBytes.size());
    d.dataEntry(group, group + 16, static_cast<std::uint32_t>(groupBytes.size()));
    d.bytes.replace(group + 16, groupBytes.size(), groupBytes);
    const std::uint32_t groupLanguages = d.table({{0, group}});
    const std::uint32_t groups = d.table({{1, subdirectory | groupLanguages}});
    le::put16(d.bytes, root + 14, 2);
    le::put32(d.bytes, root + 16, resources::typeIcon);
    le::put32(d.bytes, root + 20, subdirectory | icons);
    le::put32(d.bytes, root + 24, resources::typeGroupIcon);
    le::put32(d.bytes, root + 28, subdirectory | groups);
    le::put16(d.bytes, icons + 14, static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t languages = d.table({{0, image}});
        le::put32(d.bytes, icons + 16 + 8 * i, static_cast<std::uint32_t>(i + 1));
        le::put32(d.bytes, icons + 16 + 8 * i + 4, subdirectory | languages);
    }
    return d.image();
}

Image payloadWithIcons(std::size_t count) {
    Image image;
    std::vector<std::uint16_t> ids;
    for (std::size_t i = 1; i <= count; ++i) {
        ids.push_back(static_cast<std::uint16_t>(i));
        image.resources.push_back(resource(resources::typeIcon, resources::id(ids.back()), 0, std::string(40, 'c')));
    }
    image.resources.push_back(resource(resources::typeGroupIcon, resources::id(1), 0, iconGroup(ids)));
    return image;
}

} // namespace hostile

Outcome runW4wpack(std::vector<std::string> args) {
    args.insert(args.begin(), "w4wpack");
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    std::ostringstream out;
    std::ostringstream err;
    const int code = pack::run(static_cast<int>(argv.size()), argv.data(), out, err);
    return {code, out.str(), err.str()};
}

} // namespace packtest
