#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A program directory as a launcher carries it: a header, a table of entries, then the data
// (docs/bundle-format.md). One reader for the launcher and for w4wpack; it returns what is
// wrong instead of throwing, as the launcher raises its own errors.
namespace bundle {

// Not "MZ": a launcher tells a carried tree from a carried executable by its first bytes.
// The line ends and ^Z catch a transfer that rewrote it as text.
constexpr char magic[8] = {'W', '4', 'W', 't', '\r', '\n', '\x1A', '\n'};
constexpr std::uint32_t version = 1;

constexpr std::size_t headerSize = 32;
// flags 2, name length 2, chunk size 4, size 8, stored size 8, data offset 8, then the name.
constexpr std::size_t entryFixedSize = 32;
// stored size 4, CRC-32 4, for each chunk.
constexpr std::size_t chunkRecordSize = 8;

constexpr std::uint16_t flagCompressed = 1;
constexpr std::uint16_t flagProgram = 2;

// Limits of names and tables, the packer's and the reader's alike.
constexpr std::size_t maxEntries = 65536;
constexpr std::size_t maxNameLength = 1024;     // bytes of UTF-8, the whole relative name
constexpr std::size_t maxComponentLength = 255; // bytes of UTF-8: never more UTF-16 units
constexpr std::size_t maxDepth = 32;            // components of a name
// Chunks are powers of two in this range: each is decompressed whole in memory.
constexpr std::uint32_t minChunkSize = 4096;
constexpr std::uint32_t maxChunkSize = 16 << 20;
constexpr std::uint32_t defaultChunkSize = 1 << 20;

// What is wrong, for a message; empty when nothing is.
struct Error {
    std::string message;
    explicit operator bool() const { return !message.empty(); }
};

struct Chunk {
    std::uint64_t offset = 0; // of its stored bytes, from the start of the bundle
    std::uint32_t size = 0;
    std::uint32_t storedSize = 0; // less than size: deflated; equal: stored as it is
    std::uint32_t crc32 = 0;      // of its size bytes as they are written
    bool deflated() const { return storedSize != size; }
};

struct Entry {
    std::string name; // relative, components separated by '\\', UTF-8
    std::uint64_t size = 0;
    std::uint64_t storedSize = 0;
    std::uint64_t offset = 0; // of its stored bytes, from the start of the bundle
    std::uint32_t chunkSize = 0;
    bool compressed = false;
    std::vector<Chunk> chunks;
};

struct Bundle {
    std::vector<Entry> entries;
    std::size_t program = 0; // the entry to start
};

// Whether the bytes begin as a bundle does; anything else is a single executable.
bool isBundle(const void* data, std::uint64_t size);

// Reads the header and table of the size bytes at data into out. Refuses, without reading
// outside them, any table that does not describe exactly these bytes: wrong magic or
// version, counts or lengths beyond the limits, a name that checkName or checkNames refuses,
// data that is not laid end to end in table order, or bytes left over.
Error read(const void* data, std::uint64_t size, Bundle& out);

// The length of the well-formed UTF-8 sequence that begins at text[i], or 0 where none does
// (an overlong form, a surrogate, beyond U+10FFFF, cut short).
std::size_t utf8SequenceLength(const std::string& text, std::size_t i);

// Refuses a relative name that could reach outside the directory it is extracted to, or
// that Windows would not create as given: see docs/bundle-format.md.
Error checkName(const std::string& name);
// Refuses more than maxEntries names, two that are the same when ASCII letters are compared
// without case, or one that names a file that another needs as a directory. Each name is
// checked as well.
Error checkNames(const std::vector<std::string>& names);

// The CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320) of size bytes at data, as each
// chunk records it.
std::uint32_t crc32Of(const void* data, std::size_t size);

// Writes chunk index of entry, from the bundle at data that read accepted, to out (its size
// bytes); refuses one that does not decompress to exactly its size and CRC-32. Chunks are
// independent: any number may be written at once.
Error unpackChunk(const void* data, const Entry& entry, std::size_t index, unsigned char* out);

} // namespace bundle
