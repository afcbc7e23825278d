#pragma once

#include "Bundle.h"
#include "Files.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// A program directory carried as a bundle (src/common/share/Bundle.h): written from a
// directory, shown, and extracted again.
namespace pack {

// Builds a bundle in memory, file by file, in the order given.
class BundleWriter {
public:
    explicit BundleWriter(bool compress, std::uint32_t chunkSize = bundle::defaultChunkSize);

    // name is relative, its components separated by '\\'.
    void add(const std::string& name, const std::string& bytes, bool program);
    // Refuses names and counts that bundle::checkNames refuses, and a count of programs other
    // than one.
    std::string finish() const;

private:
    bool compress;
    std::uint32_t chunkSize;
    std::vector<bundle::Entry> entries;
    std::vector<std::string> names;
    std::size_t programs = 0;
    std::size_t program = 0;
    std::string data;
};

struct Tree {
    std::string bytes; // the bundle
    files::Path entry; // the program to start, in the directory
    std::size_t files = 0;
};

// Every regular file under directory, in the order of their names; refuses links and other
// files that are not regular, naming them. entry names the program (components separated by
// '\\' or '/'); empty: the only .exe at the directory's top level.
Tree bundleDirectory(const files::Path& directory, const std::string& entry, bool compress);

// Whether a launcher's payload is a bundle rather than one executable.
bool isTree(const files::InputFile& carried);
// What --show says of a bundle: each file with its size, stored size and SHA-256.
struct TreeFile {
    std::string name;
    std::uint64_t size = 0;
    std::uint64_t storedSize = 0;
    bool compressed = false;
    std::string sha256;
};
struct TreeFacts {
    std::string program;
    std::vector<TreeFile> files;
};
TreeFacts treeFacts(const files::InputFile& carried);
// Writes the tree into output, which must not exist yet: whole or not at all.
void extractTree(const files::InputFile& carried, const files::Path& output);

} // namespace pack
