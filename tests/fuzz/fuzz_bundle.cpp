// A carried tree's table as the launcher reads it: refused, or describing exactly the bytes it
// came with, each chunk unpacked from within them, and written anew to the same files.
#include "Bundle.h"
#include "PackError.h"
#include "Tree.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "fuzz_bundle: %s\n", why.c_str());
    std::abort();
}

// What a table the reader accepted must hold, checked apart from the reader's own checks.
void checkLayout(const bundle::Bundle& tree, std::size_t size) {
    if (tree.program >= tree.entries.size()) {
        fail("the program is not an entry");
    }
    std::uint64_t next = tree.entries.front().offset;
    std::vector<std::string> names;
    for (const bundle::Entry& entry : tree.entries) {
        if (entry.offset != next || bundle::checkName(entry.name)) {
            fail("entry " + entry.name + " is out of place or badly named");
        }
        std::uint64_t total = 0;
        for (const bundle::Chunk& chunk : entry.chunks) {
            if (chunk.offset != next || chunk.storedSize > size || chunk.offset > size - chunk.storedSize ||
                chunk.size > entry.chunkSize || chunk.storedSize > chunk.size) {
                fail("a chunk of " + entry.name + " lies outside the bundle or is larger than it may be");
            }
            next += chunk.storedSize;
            total += chunk.size;
        }
        if (total != entry.size) {
            fail("the chunks of " + entry.name + " do not add up to its size");
        }
        names.push_back(entry.name);
    }
    if (next != size || bundle::checkNames(names)) {
        fail("the data does not end the bundle, or two names collide");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bundle::Bundle tree;
    if (bundle::read(data, size, tree)) {
        return 0;
    }
    checkLayout(tree, size);
    pack::BundleWriter writer(false);
    std::vector<std::string> contents;
    for (std::size_t e = 0; e < tree.entries.size(); ++e) {
        const bundle::Entry& entry = tree.entries[e];
        std::string bytes;
        std::vector<unsigned char> buffer(entry.chunkSize);
        for (std::size_t i = 0; i < entry.chunks.size(); ++i) {
            if (bundle::unpackChunk(data, entry, i, buffer.data())) {
                return 0;
            }
            bytes.append(reinterpret_cast<const char*>(buffer.data()), entry.chunks[i].size);
        }
        writer.add(entry.name, bytes, e == tree.program);
        contents.push_back(bytes);
    }
    std::string again;
    try {
        again = writer.finish();
    } catch (const pack::Error& e) {
        fail(std::string("the writer refuses what the reader took: ") + e.what());
    }
    bundle::Bundle reread;
    if (const bundle::Error error = bundle::read(again.data(), again.size(), reread)) {
        fail("the reader refuses what the writer wrote: " + error.message);
    }
    for (std::size_t e = 0; e < reread.entries.size(); ++e) {
        std::string bytes;
        std::vector<unsigned char> buffer(reread.entries[e].chunkSize);
        for (std::size_t i = 0; i < reread.entries[e].chunks.size(); ++i) {
            if (bundle::unpackChunk(again.data(), reread.entries[e], i, buffer.data())) {
                fail("a chunk that the writer wrote does not unpack");
            }
            bytes.append(reinterpret_cast<const char*>(buffer.data()), reread.entries[e].chunks[i].size);
        }
        if (reread.entries[e].name != tree.entries[e].name || bytes != contents[e] || reread.program != tree.program) {
            fail("written anew, entry " + tree.entries[e].name + " comes back changed");
        }
    }
    return 0;
}
