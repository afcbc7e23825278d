#include "ResourceDirectory.h"

#include "LittleEndian.h"
#include "PackError.h"

#include <algorithm>
#include <map>
#include <set>

namespace resources {

namespace {

constexpr std::uint32_t highBit = 0x80000000;
constexpr std::size_t tableSize = 16;
constexpr std::size_t entrySize = 8;
constexpr std::size_t dataEntrySize = 16;
// Far more than any program has; a directory whose tables name each other more often is
// corrupt, and would take for ever to read.
constexpr std::size_t maxResources = 100000;
// Tables, entries and strings read in all: a valid directory with the most resources needs
// fewer. Tables that overlap, each read once, could otherwise make a small file cost as
// much as its size squared.
constexpr std::size_t maxVisits = 4 * maxResources;

char16_t upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// Reads the directory within the bytes of the section that holds it.
class Reader {
public:
    Reader(const pe::Image& image, const files::InputFile& file, std::uint64_t start, std::uint64_t size)
        : image(image), file(file), start(start), size(size) {}

    void table(std::uint32_t offset, int level, Resource& path, std::vector<Resource>& all) {
        // A table is part of one path only: one reached twice (a cycle, or a table shared by
        // several) would be read once per path.
        if (!tables.insert(offset).second) {
            corrupt("a table is reached twice");
        }
        const std::string header = at(offset, tableSize);
        const std::size_t count = std::size_t(le::get16(header, 12)) + le::get16(header, 14);
        visit(1 + count);
        const std::string entries = at(offset + tableSize, count * entrySize);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t nameField = le::get32(entries, i * entrySize);
            const std::uint32_t dataField = le::get32(entries, i * entrySize + 4);
            Name name;
            if ((nameField & highBit) != 0) {
                name.string = string(nameField & ~highBit);
            } else {
                name.id = static_cast<std::uint16_t>(nameField);
            }
            const bool subdirectory = (dataField & highBit) != 0;
            if (subdirectory != (level < 2) || (level == 2 && name.string)) {
                corrupt("its tree is not three levels of type, name and language");
            }
            if (level == 0) {
                path.type = name;
            } else if (level == 1) {
                path.name = name;
            } else {
                path.language = name.id;
            }
            if (subdirectory) {
                table(dataField & ~highBit, level + 1, path, all);
            } else if (all.size() == maxResources) {
                corrupt("it has more than " + std::to_string(maxResources) + " resources");
            } else {
                all.push_back(leaf(dataField, path));
            }
        }
    }

private:
    std::string at(std::uint64_t offset, std::size_t length) {
        if (offset > size || size - offset < length) {
            corrupt("it points beyond its section");
        }
        return file.read(start + offset, length);
    }

    // Each string once, however many entries name it.
    std::shared_ptr<const std::u16string> string(std::uint32_t offset) {
        std::shared_ptr<const std::u16string>& known = strings[offset];
        if (known) {
            return known;
        }
        visit(1);
        const std::size_t length = le::get16(at(offset, 2), 0);
        // Strings that do not overlap fit in the section; ones that do would make the names
        // held, and the time to sort them, grow with the square of the file's size.
        stringBytes += 2 + 2 * length;
        if (stringBytes > size) {
            corrupt("its names take more room than its section has");
        }
        const std::string units = at(offset + 2, 2 * length);
        std::u16string text;
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(static_cast<char16_t>(le::get16(units, 2 * i)));
        }
        if (text.empty()) {
            corrupt("it has an empty name");
        }
        known = std::make_shared<const std::u16string>(std::move(text));
        return known;
    }

    void visit(std::size_t items) {
        visits += items;
        if (visits > maxVisits) {
            corrupt("it has more than " + std::to_string(maxVisits) + " tables, entries and names");
        }
    }

    Resource leaf(std::uint32_t offset, const Resource& path) {
        const std::string entry = at(offset, dataEntrySize);
        Resource resource = path;
        resource.size = le::get32(entry, 4);
        resource.codePage = le::get32(entry, 8);
        const auto found = image.fileOffset(le::get32(entry, 0), resource.size);
        if (!found) {
            corrupt("the bytes of resource " + path.type.describe() + "/" + path.name.describe() +
                    " are not in the file");
        }
        resource.file = &file;
        resource.offset = *found;
        return resource;
    }

    [[noreturn]] void corrupt(const std::string& why) {
        W4W_REFUSE(file.name() + " has a corrupt resource directory: " + why);
    }

    const pe::Image& image;
    const files::InputFile& file;
    std::uint64_t start;
    std::uint64_t size;
    std::set<std::uint32_t> tables;
    std::map<std::uint32_t, std::shared_ptr<const std::u16string>> strings;
    std::size_t visits = 0;
    std::uint64_t stringBytes = 0;
};

// The directory's order of resources, which the system's lookup relies on.
bool inOrder(const Resource& a, const Resource& b) {
    if (a.type != b.type) {
        return before(a.type, b.type);
    }
    if (a.name != b.name) {
        return before(a.name, b.name);
    }
    return a.language < b.language;
}

std::string describe(const Resource& resource) {
    return resource.type.describe() + "/" + resource.name.describe() + " of language " +
           std::to_string(resource.language);
}

struct Writer {
    std::string bytes;

    void table(std::size_t at, std::size_t named, std::size_t ids) {
        le::put16(bytes, at + 12, static_cast<std::uint32_t>(named));
        le::put16(bytes, at + 14, static_cast<std::uint32_t>(ids));
    }
    void entry(std::size_t at, std::uint32_t nameField, std::uint32_t dataField) {
        le::put32(bytes, at, nameField);
        le::put32(bytes, at + 4, dataField);
    }
};

// Where a resource's type and name begin a new table in the sorted list.
bool sameType(const Resource& a, const Resource& b) {
    return a.type == b.type;
}
bool sameName(const Resource& a, const Resource& b) {
    return a.type == b.type && a.name == b.name;
}

} // namespace

void refuseTooLarge(const std::vector<Resource>& resources, std::uint64_t imageSize, std::uint64_t limit) {
    // Named by the input that most of the resources' bytes come from.
    std::map<const files::InputFile*, std::uint64_t> bytesOf;
    for (const Resource& resource : resources) {
        bytesOf[resource.file] += resource.size;
    }
    const auto largest = std::max_element(bytesOf.begin(), bytesOf.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
    const std::string who =
        largest == bytesOf.end() || largest->first == nullptr ? "the launcher's own resources" : largest->first->name();
    W4W_REFUSE(who + " is too large: " + std::to_string(largest == bytesOf.end() ? 0 : largest->second) +
               " bytes of it make a launcher of " + std::to_string(imageSize) + " bytes, more than the " +
               std::to_string(limit) + " that an image can have");
}

const std::u16string& Name::text() const {
    static const std::u16string none;
    return string ? *string : none;
}

std::string Name::describe() const {
    if (text().empty()) {
        return std::to_string(id);
    }
    // Long enough to tell which; a message is no place for 65,535 characters.
    constexpr std::size_t shown = 64;
    std::string ascii;
    for (std::size_t i = 0; i < text().size() && i < shown; ++i) {
        ascii.push_back(text()[i] < 0x80 ? static_cast<char>(text()[i]) : '?');
    }
    if (text().size() > shown) {
        ascii += "... (" + std::to_string(text().size()) + " characters)";
    }
    return ascii;
}

Name id(std::uint16_t value) {
    Name name;
    name.id = value;
    return name;
}

Name named(std::u16string text) {
    Name name;
    name.string = std::make_shared<const std::u16string>(std::move(text));
    return name;
}

bool before(const Name& a, const Name& b) {
    if (a.string == b.string && a.id == b.id) {
        return false;
    }
    const std::u16string& x = a.text();
    const std::u16string& y = b.text();
    if (x.empty() || y.empty()) {
        return x.empty() ? y.empty() && a.id < b.id : true;
    }
    const auto byUpper = [](char16_t p, char16_t q) {
        return upper(p) < upper(q);
    };
    if (std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), byUpper)) {
        return true;
    }
    return !std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end(), byUpper) && x < y;
}

Resource Resource::held(Name type, Name name, std::uint16_t language, std::string bytes) {
    Resource resource;
    resource.type = std::move(type);
    resource.name = std::move(name);
    resource.language = language;
    resource.size = static_cast<std::uint32_t>(bytes.size());
    resource.bytes = std::move(bytes);
    return resource;
}

std::string Resource::read() const {
    return file != nullptr ? file->read(offset, size) : bytes;
}

std::vector<Resource> read(const pe::Image& image, const files::InputFile& file) {
    std::vector<Resource> all;
    const pe::Directory directory = image.directory(pe::resourceDirectory);
    if (directory.rva == 0 || directory.size == 0) {
        return all;
    }
    for (const pe::Section& section : image.sections) {
        if (section.holds(directory.rva)) {
            const std::uint32_t into = directory.rva - section.virtualAddress;
            const std::uint64_t size = section.rawSize > into ? section.rawSize - into : 0;
            Resource path;
            Reader(image, file, std::uint64_t(section.rawOffset) + into, size).table(0, 0, path, all);
            std::vector<const Resource*> sorted;
            for (const Resource& resource : all) {
                sorted.push_back(&resource);
            }
            std::sort(sorted.begin(), sorted.end(),
                      [](const Resource* a, const Resource* b) { return inOrder(*a, *b); });
            for (std::size_t i = 1; i < sorted.size(); ++i) {
                if (!inOrder(*sorted[i - 1], *sorted[i])) {
                    W4W_REFUSE(file.name() + " has a corrupt resource directory: it has two resources " +
                               describe(*sorted[i]));
                }
            }
            return all;
        }
    }
    W4W_REFUSE(file.name() + " has a corrupt resource directory: it is in none of its sections");
}

Section lay(std::vector<Resource>& resources, std::uint32_t rva, std::uint64_t limit) {
    std::stable_sort(resources.begin(), resources.end(), inOrder);
    for (std::size_t i = 1; i < resources.size(); ++i) {
        if (!inOrder(resources[i - 1], resources[i])) {
            W4W_FAIL("two resources " + describe(resources[i]));
        }
    }

    // Tables first: the root, one per type, one per name; then the data entries, then the
    // strings, then the bytes.
    std::size_t types = 0;
    std::size_t names = 0;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        types += i == 0 || !sameType(resources[i - 1], resources[i]);
        names += i == 0 || !sameName(resources[i - 1], resources[i]);
    }
    const std::size_t typeTables = tableSize + types * entrySize;
    const std::size_t nameTables = typeTables + types * tableSize + names * entrySize;
    const std::size_t dataEntries = nameTables + names * tableSize + resources.size() * entrySize;
    std::size_t strings = dataEntries + resources.size() * dataEntrySize;
    std::size_t stringsEnd = strings;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        if (i == 0 || !sameType(resources[i - 1], resources[i])) {
            stringsEnd += resources[i].type.text().empty() ? 0 : 2 + 2 * resources[i].type.text().size();
        }
        if (i == 0 || !sameName(resources[i - 1], resources[i])) {
            stringsEnd += resources[i].name.text().empty() ? 0 : 2 + 2 * resources[i].name.text().size();
        }
    }

    Section section;
    section.size = pe::alignUp(stringsEnd, 8);
    for (const Resource& resource : resources) {
        section.offsets.push_back(pe::alignUp(section.size, 8));
        section.size = section.offsets.back() + resource.size;
    }
    // Checked before any address is cut to the 32 bits of its field.
    if (rva + section.size > limit) {
        refuseTooLarge(resources, rva + section.size, limit);
    }
    Writer out;
    out.bytes.assign(static_cast<std::size_t>(pe::alignUp(stringsEnd, 8)), '\0');
    const auto nameField = [&](const Name& name) {
        const std::u16string& text = name.text();
        if (text.empty()) {
            return std::uint32_t(name.id);
        }
        const std::size_t at = strings;
        le::put16(out.bytes, at, static_cast<std::uint32_t>(text.size()));
        for (std::size_t k = 0; k < text.size(); ++k) {
            le::put16(out.bytes, at + 2 + 2 * k, text[k]);
        }
        strings += 2 + 2 * text.size();
        return static_cast<std::uint32_t>(at) | highBit;
    };

    std::size_t rootEntry = tableSize;
    std::size_t typeTable = typeTables;
    std::size_t typeEntry = 0;
    std::size_t nameTable = nameTables;
    std::size_t nameEntry = 0;
    std::size_t rootNamed = 0;
    std::size_t typeNamed = 0;
    std::size_t typeCount = 0;
    std::size_t nameCount = 0;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        const Resource& resource = resources[i];
        if (i == 0 || !sameType(resources[i - 1], resource)) {
            if (i != 0) {
                out.table(typeTable, typeNamed, typeCount - typeNamed);
                typeTable = typeEntry;
            }
            rootNamed += !resource.type.text().empty();
            out.entry(rootEntry, nameField(resource.type), static_cast<std::uint32_t>(typeTable) | highBit);
            rootEntry += entrySize;
            typeEntry = typeTable + tableSize;
            typeNamed = typeCount = 0;
        }
        if (i == 0 || !sameName(resources[i - 1], resource)) {
            if (i != 0) {
                out.table(nameTable, 0, nameCount);
                nameTable = nameEntry;
            }
            typeNamed += !resource.name.text().empty();
            ++typeCount;
            out.entry(typeEntry, nameField(resource.name), static_cast<std::uint32_t>(nameTable) | highBit);
            typeEntry += entrySize;
            nameEntry = nameTable + tableSize;
            nameCount = 0;
        }
        ++nameCount;
        const std::size_t dataEntry = dataEntries + i * dataEntrySize;
        out.entry(nameEntry, resource.language, static_cast<std::uint32_t>(dataEntry));
        nameEntry += entrySize;
        le::put32(out.bytes, dataEntry, static_cast<std::uint32_t>(rva + section.offsets[i]));
        le::put32(out.bytes, dataEntry + 4, resource.size);
        le::put32(out.bytes, dataEntry + 8, resource.codePage);
    }
    if (!resources.empty()) {
        out.table(typeTable, typeNamed, typeCount - typeNamed);
        out.table(nameTable, 0, nameCount);
    }
    out.table(0, rootNamed, types - rootNamed);
    section.directory = std::move(out.bytes);
    return section;
}

} // namespace resources
