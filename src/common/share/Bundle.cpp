#include "Bundle.h"

#include <zlib.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <new>

namespace bundle {

namespace {

std::uint64_t get(const unsigned char* p, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | p[i];
    }
    return value;
}

// Names come from the bundle: control characters are shown as escapes, not written out.
std::string quoted(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string text = "\"";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            text += std::string("\\x") + hex[byte >> 4] + hex[byte & 15];
        } else {
            text += c;
        }
    }
    return text + "\"";
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string folded(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        c = lowerAscii(c);
    }
    return result;
}

bool validUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

// Windows opens the device, not a file, for these names whatever follows the first dot and
// however many spaces precede it.
bool reservedDevice(const std::string& component) {
    std::string base = folded(component.substr(0, component.find('.')));
    base.erase(base.find_last_not_of(' ') + 1);
    static const char* const devices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* device : devices) {
        if (base == device) {
            return true;
        }
    }
    if (base.compare(0, 3, "com") != 0 && base.compare(0, 3, "lpt") != 0) {
        return false;
    }
    const std::string digit = base.substr(3);
    // ¹ ² ³ in UTF-8: Windows takes them for the digits.
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
           digit == "\xC2\xB3";
}

std::string checkComponent(const std::string& component) {
    if (component.empty()) {
        return "has an empty component";
    }
    if (component == "." || component == "..") {
        return "has a " + component + " component";
    }
    if (component.size() > maxComponentLength) {
        return "has a component longer than " + std::to_string(maxComponentLength) + " bytes";
    }
    for (const char c : component) {
        if (c == ':') {
            return "has a drive or a colon";
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            return "has a control character";
        }
        if (std::strchr("<>\"/|?*", c) != nullptr) {
            return std::string("has the character ") + c + ", which Windows does not allow";
        }
    }
    if (component.back() == '.' || component.back() == ' ') {
        return "has a component that ends in a dot or a space";
    }
    if (reservedDevice(component)) {
        return "has the reserved device name " + component;
    }
    return {};
}

std::string checkWhole(const std::string& name) {
    if (name.empty()) {
        return "is empty";
    }
    if (name.size() > maxNameLength) {
        return "is longer than " + std::to_string(maxNameLength) + " bytes";
    }
    if (!validUtf8(name)) {
        return "is not UTF-8";
    }
    if (name[0] == '\\') {
        return "is absolute";
    }
    std::size_t depth = 0;
    for (std::size_t begin = 0;; ++depth) {
        const std::size_t end = name.find('\\', begin);
        const std::string why = checkComponent(name.substr(begin, end - begin));
        if (!why.empty()) {
            return why;
        }
        if (end == std::string::npos) {
            break;
        }
        begin = end + 1;
    }
    if (depth >= maxDepth) {
        return "has more than " + std::to_string(maxDepth) + " components";
    }
    return {};
}

// Built only when an entry is refused: the launcher reads tables of many entries.
Error fault(std::size_t index, const Entry& entry, const std::string& why) {
    return {"entry " + std::to_string(index) + " of the table" +
            (entry.name.empty() ? "" : " (" + quoted(entry.name) + ")") + " " + why};
}

// Where the reading of a table has got to; every field is checked to lie within it before
// it is read.
struct Cursor {
    const unsigned char* bytes;
    std::uint64_t size;
    std::uint64_t tableEnd;
    std::uint64_t position;     // in the table
    std::uint64_t dataPosition; // where the next entry's data must begin
};

// Reads one entry and its chunks at the cursor.
Error readEntry(Cursor& at, std::size_t index, Entry& entry, bool& program) {
    const unsigned char* const bytes = at.bytes;
    const std::uint64_t size = at.size;
    const std::uint64_t tableEnd = at.tableEnd;
    std::uint64_t& position = at.position;
    std::uint64_t& dataPosition = at.dataPosition;
    if (tableEnd - position < entryFixedSize) {
        return fault(index, entry, "goes past the end of the table");
    }
    const unsigned char* fixed = bytes + position;
    const auto flags = static_cast<std::uint16_t>(get(fixed, 2));
    const auto nameLength = static_cast<std::size_t>(get(fixed + 2, 2));
    entry.chunkSize = static_cast<std::uint32_t>(get(fixed + 4, 4));
    entry.size = get(fixed + 8, 8);
    entry.storedSize = get(fixed + 16, 8);
    const std::uint64_t offset = get(fixed + 24, 8);
    position += entryFixedSize;
    if ((flags & ~(flagCompressed | flagProgram)) != 0) {
        return fault(index, entry, "has unknown flags");
    }
    entry.compressed = (flags & flagCompressed) != 0;
    program = (flags & flagProgram) != 0;
    if (nameLength > maxNameLength || tableEnd - position < nameLength) {
        return fault(index, entry, "has a name that goes past the end of the table or the limit");
    }
    entry.name.assign(reinterpret_cast<const char*>(bytes + position), nameLength);
    position += nameLength;
    if (entry.chunkSize < minChunkSize || entry.chunkSize > maxChunkSize ||
        (entry.chunkSize & (entry.chunkSize - 1)) != 0) {
        return fault(index, entry,
                     "has a chunk size that is not a power of two from " + std::to_string(minChunkSize) + " to " +
                         std::to_string(maxChunkSize));
    }
    const std::uint64_t count = entry.size == 0 ? 0 : (entry.size - 1) / entry.chunkSize + 1;
    if (count > (tableEnd - position) / chunkRecordSize) {
        return fault(index, entry, "has more chunks than the table holds");
    }
    // Data lies end to end in table order: nothing overlaps, nothing is skipped.
    if (offset != dataPosition - tableEnd) {
        return fault(index, entry, "has data out of place");
    }
    entry.offset = dataPosition;
    entry.chunks.resize(static_cast<std::size_t>(count));
    std::uint64_t stored = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        Chunk& chunk = entry.chunks[static_cast<std::size_t>(i)];
        chunk.offset = dataPosition;
        chunk.size = static_cast<std::uint32_t>(i + 1 < count ? entry.chunkSize : entry.size - i * entry.chunkSize);
        chunk.storedSize = static_cast<std::uint32_t>(get(bytes + position, 4));
        chunk.crc32 = static_cast<std::uint32_t>(get(bytes + position + 4, 4));
        position += chunkRecordSize;
        if (chunk.storedSize == 0 || chunk.storedSize > chunk.size || (!entry.compressed && chunk.deflated())) {
            return fault(index, entry, "has chunk " + std::to_string(i) + " of a stored size that cannot be");
        }
        if (chunk.storedSize > size - dataPosition) {
            return fault(index, entry, "has data past the end of the bundle");
        }
        dataPosition += chunk.storedSize;
        stored += chunk.storedSize;
    }
    if (stored != entry.storedSize) {
        return fault(index, entry, "records a stored size other than its chunks'");
    }
    return {};
}

} // namespace

bool isBundle(const void* data, std::uint64_t size) {
    return size >= sizeof magic && std::memcmp(data, magic, sizeof magic) == 0;
}

Error read(const void* data, std::uint64_t size, Bundle& out) {
    out = Bundle();
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (size < headerSize || !isBundle(data, size)) {
        return {"it does not begin with a bundle's header"};
    }
    const std::uint64_t found = get(bytes + 8, 4);
    const std::uint64_t count = get(bytes + 12, 4);
    const std::uint64_t tableSize = get(bytes + 16, 8);
    const std::uint64_t dataSize = get(bytes + 24, 8);
    if (found != version) {
        return {"its format version is " + std::to_string(found) + ", this reader knows " + std::to_string(version)};
    }
    if (count == 0 || count > maxEntries) {
        return {"it has " + std::to_string(count) + " entries, not 1 to " + std::to_string(maxEntries)};
    }
    if (tableSize > size - headerSize || dataSize != size - headerSize - tableSize) {
        return {"its table and data sizes do not add up to its " + std::to_string(size) + " bytes"};
    }
    Cursor at{bytes, size, headerSize + tableSize, headerSize, headerSize + tableSize};
    std::size_t programs = 0;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) {
        Entry entry;
        bool program = false;
        if (Error error = readEntry(at, i, entry, program)) {
            return error;
        }
        if (program) {
            out.program = i;
            ++programs;
        }
        names.push_back(entry.name);
        out.entries.push_back(std::move(entry));
    }
    if (at.position != at.tableEnd) {
        return {"its table has " + std::to_string(at.tableEnd - at.position) + " bytes after its last entry"};
    }
    if (at.dataPosition != size) {
        return {"it has " + std::to_string(size - at.dataPosition) + " bytes of data that no entry owns"};
    }
    if (programs != 1) {
        return {"it names " + std::to_string(programs) + " programs to start, not one"};
    }
    return checkNames(names);
}

std::size_t utf8SequenceLength(const std::string& text, std::size_t i) {
    const auto at = [&text, i](std::size_t k) {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
    };
    const unsigned char lead = at(0);
    if (i < text.size() && lead < 0x80) {
        return 1;
    }
    std::size_t length = 4;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at(1) < low || at(1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (at(k) < 0x80 || at(k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

Error checkName(const std::string& name) {
    const std::string why = checkWhole(name);
    return why.empty() ? Error() : Error{"the name " + quoted(name) + " " + why};
}

Error checkNames(const std::vector<std::string>& names) {
    if (names.size() > maxEntries) {
        return {std::to_string(names.size()) + " files are more than the " + std::to_string(maxEntries) +
                " that a tree may hold"};
    }
    std::map<std::string, const std::string*> files;
    std::map<std::string, const std::string*> directories;
    for (const std::string& name : names) {
        if (Error error = checkName(name)) {
            return error;
        }
        const std::string key = folded(name);
        const auto added = files.emplace(key, &name);
        if (!added.second) {
            return {"the names " + quoted(*added.first->second) + " and " + quoted(name) +
                    " are the same when case is ignored"};
        }
        for (std::size_t end = key.find('\\'); end != std::string::npos; end = key.find('\\', end + 1)) {
            directories.emplace(key.substr(0, end), &name);
        }
    }
    for (const auto& file : files) {
        const auto directory = directories.find(file.first);
        if (directory != directories.end()) {
            return {"the name " + quoted(*file.second) + " is a file, and " + quoted(*directory->second) +
                    " needs it as a directory"};
        }
    }
    return {};
}

namespace {

// Four bytes a step: a third of the time of one byte a step, in 4 KiB of tables; zlib's
// faster CRC-32 brings 12 KB of them into every launcher.
constexpr std::size_t crcBytesPerStep = 4;
using CrcTables = std::array<std::array<std::uint32_t, 256>, crcBytesPerStep>;

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t crc = n;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
        tables[0][n] = crc;
    }
    for (std::size_t t = 1; t < crcBytesPerStep; ++t) {
        for (std::uint32_t n = 0; n < 256; ++n) {
            tables[t][n] = (tables[t - 1][n] >> 8) ^ tables[0][tables[t - 1][n] & 0xFF];
        }
    }
    return tables;
}

constexpr CrcTables crcTables = makeCrcTables();

// Where inflateBack's output goes, and how much more may.
struct Output {
    unsigned char* at;
    std::size_t left;
};

// All the input is in the stream from the start.
unsigned noMoreInput(void*, z_const unsigned char**) {
    return 0;
}

int copyOut(void* output, unsigned char* data, unsigned length) {
    Output& out = *static_cast<Output*>(output);
    if (length > out.left) {
        return 1;
    }
    std::memcpy(out.at, data, length);
    out.at += length;
    out.left -= length;
    return 0;
}

} // namespace

std::uint32_t crc32Of(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t crc = 0xFFFFFFFFu;
    for (; size >= 4; size -= 4, p += 4) {
        crc ^= std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
        crc = crcTables[3][crc & 0xFF] ^ crcTables[2][(crc >> 8) & 0xFF] ^ crcTables[1][(crc >> 16) & 0xFF] ^
              crcTables[0][crc >> 24];
    }
    for (; size > 0; --size, ++p) {
        crc = crcTables[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

Error unpackChunk(const void* data, const Entry& entry, std::size_t index, unsigned char* out) {
    const auto what = [&] {
        return "chunk " + std::to_string(index) + " of " + quoted(entry.name);
    };
    if (index >= entry.chunks.size()) {
        return {what() + " does not exist"};
    }
    const Chunk& chunk = entry.chunks[index];
    const auto* in = static_cast<const unsigned char*>(data) + chunk.offset;
    if (!chunk.deflated()) {
        std::memcpy(out, in, chunk.size);
    } else {
        // inflateBack, unlike inflate, reads no zlib or gzip wrapper, so the launcher carries
        // neither their checksums nor zlib's CRC-32 tables. It inflates into the window, and
        // copyOut takes each window full.
        const std::unique_ptr<unsigned char[]> window(new (std::nothrow) unsigned char[1u << MAX_WBITS]);
        z_stream stream{};
        if (!window || inflateBackInit(&stream, MAX_WBITS, window.get()) != Z_OK) {
            return {"cannot start to decompress " + what()};
        }
        // zlib does not write through next_in.
        stream.next_in = const_cast<unsigned char*>(in);
        stream.avail_in = chunk.storedSize;
        Output output{out, chunk.size};
        const int result = inflateBack(&stream, noMoreInput, nullptr, copyOut, &output);
        const bool whole = result == Z_STREAM_END && stream.avail_in == 0 && output.left == 0;
        inflateBackEnd(&stream);
        if (!whole) {
            return {what() + " does not decompress to its " + std::to_string(chunk.size) + " bytes"};
        }
    }
    if (crc32Of(out, chunk.size) != chunk.crc32) {
        return {what() + " does not match its CRC-32"};
    }
    return {};
}

} // namespace bundle
