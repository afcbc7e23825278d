#include "Bundle.h"
#include "Command.h"
#include "PackError.h"
#include "PackTestSupport.h"
#include "Packer.h"
#include "Sha256.h"
#include "Tree.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <sstream>

using namespace packtest;

namespace {

// Path and bytes of every regular file under dir.
std::map<std::string, std::string> treeOf(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files[entry.path().lexically_relative(dir).generic_string()] = readFile(entry.path());
        }
    }
    return files;
}

std::string randomBytes(std::size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

std::string bundleOf(bool compress) {
    pack::BundleWriter writer(compress, bundle::minChunkSize);
    writer.add("app.exe", std::string(10000, 'x'), true);
    writer.add("lib\\data.bin", randomBytes(5000), false);
    return writer.finish();
}

} // namespace

TEST(Tree, NamesThatCouldEscapeOrThatWindowsRefusesAreRefused) {
    const struct {
        const char* name;
        const char* why;
    } refused[] = {
        {"", "is empty"},
        {"\\windows\\evil.dll", "is absolute"},
        {"C:\\evil.dll", "a drive or a colon"},
        {"C:evil.dll", "a drive or a colon"},
        {"app.exe:stream", "a drive or a colon"},
        {"..\\evil.dll", "a .. component"},
        {"a\\..\\..\\evil.dll", "a .. component"},
        {"a\\.\\b", "a . component"},
        {"a\\\\b", "an empty component"},
        {"a\\", "an empty component"},
        {"a/b", "the character /"},
        {"a*b", "the character *"},
        {"a\"b", "the character \""},
        {"a\x01", "a control character"},
        {"bin.", "ends in a dot or a space"},
        {"bin \\a", "ends in a dot or a space"},
        {"CON", "reserved device name"},
        {"sub\\nul.txt", "reserved device name"},
        {"Com1.tar.gz", "reserved device name"},
        {"lpt9", "reserved device name"},
        {"LPT\xC2\xB9.log", "reserved device name"},
        {"aux .txt", "reserved device name"},
        {"bad\xC0\xAF", "is not UTF-8"},
        {"bad\xED\xA0\x80", "is not UTF-8"},
        {"trunc\xE2\x82", "is not UTF-8"},
    };
    for (const auto& c : refused) {
        const bundle::Error error = bundle::checkName(c.name);
        EXPECT_NE(error.message.find(c.why), std::string::npos) << c.name << ": " << error.message;
    }
    const std::string deep = [] {
        std::string name = "a";
        for (std::size_t i = 1; i < bundle::maxDepth; ++i) {
            name += "\\a";
        }
        return name;
    }();
    for (const std::string& name :
         {std::string("app.exe"), std::string("lib\\zlib1.dll"), std::string("COM10"), std::string("console.log"),
          std::string(".config"), std::string("\xC3\xA9t\xC3\xA9"), std::string(bundle::maxComponentLength, 'a'),
          deep}) {
        EXPECT_FALSE(bundle::checkName(name)) << name << ": " << bundle::checkName(name).message;
    }
    EXPECT_TRUE(bundle::checkName(deep + "\\a"));
    EXPECT_TRUE(bundle::checkName(std::string(bundle::maxComponentLength + 1, 'a')));

    EXPECT_NE(bundle::checkNames({"lib\\Zlib1.dll", "LIB\\zlib1.DLL"}).message.find("same when case is ignored"),
              std::string::npos);
    EXPECT_NE(bundle::checkNames({"Lib", "lib\\a.dll"}).message.find("needs it as a directory"), std::string::npos);
    EXPECT_FALSE(bundle::checkNames({"lib\\a.dll", "lib\\b.dll", "libs"}));
}

TEST(Tree, ADirectoryComesBackByteForByteStoredAndCompressed) {
    TempDir temp;
    const fs::path dir = temp.file("program");
    fs::create_directories(dir / "lib" / "deep");
    Image tool;
    tool.subsystem = 3;
    tool.resources = {resource(resources::typeVersion, resources::id(1), 0x409, "tool's version")};
    writeFile(dir / "tool.exe", tool.bytes());
    writeFile(dir / "lib" / "zlib1.dll", randomBytes(3 * bundle::defaultChunkSize + 17));
    writeFile(dir / "lib" / "deep" / "text.txt", std::string(2 * bundle::defaultChunkSize, 'w'));
    writeFile(dir / "lib" / "empty", "");
    writeFile(dir / "\xC3\xA9t\xC3\xA9.dat", "accents");
    writeFile(temp.file("template.exe"), launcherTemplate().bytes());
    std::uint64_t sizes[2] = {};
    for (const bool compress : {false, true}) {
        const std::string out = temp.file(compress ? "c.exe" : "s.exe").string();
        std::vector<std::string> args = {temp.file("template.exe").string(), dir.string(), out};
        if (compress) {
            args.insert(args.begin(), "--compress");
        }
        const Outcome packed = runW4wpack(args);
        ASSERT_EQ(packed.code, 0) << packed.err;
        sizes[compress] = fs::file_size(out);
        const Outcome shown = runW4wpack({"--show", out});
        ASSERT_EQ(shown.code, 0) << shown.err;
        EXPECT_NE(shown.out.find("5 files, the program tool.exe"), std::string::npos) << shown.out;
        // The launcher looks as the entry does.
        EXPECT_NE(shown.out.find("launcher image  console"), std::string::npos) << shown.out;
        EXPECT_NE(shown.out.find("version record from the payload"), std::string::npos) << shown.out;
        // Of the bytes extracted, not of those stored.
        pack::Sha256 sha;
        const std::string text = readFile(dir / "lib" / "deep" / "text.txt");
        sha.add(text.data(), text.size());
        EXPECT_NE(shown.out.find("lib\\deep\\text.txt: 2097152 bytes, stored in " +
                                 std::string(compress ? "" : "2097152") + ""),
                  std::string::npos)
            << shown.out;
        EXPECT_NE(shown.out.find(sha.hex()), std::string::npos) << shown.out;
        EXPECT_NE(shown.out.find("lib\\empty: 0 bytes, stored in 0"), std::string::npos) << shown.out;
        const fs::path back = temp.file(compress ? "back-c" : "back-s");
        const Outcome extracted = runW4wpack({"--extract", out, back.string()});
        ASSERT_EQ(extracted.code, 0) << extracted.err;
        EXPECT_EQ(treeOf(back), treeOf(dir));
        EXPECT_EQ(runW4wpack({"--extract", out, back.string()}).code, 1) << "an existing directory is written into";
    }
    // The random bytes do not shrink; the rest does.
    EXPECT_LT(sizes[1] + 2 * bundle::defaultChunkSize - 64 * 1024, sizes[0]);
    EXPECT_EQ(listDir(temp.path()),
              (std::vector<std::string>{"back-c", "back-s", "c.exe", "program", "s.exe", "template.exe"}));
}

TEST(Tree, WhatADirectoryCannotCarryIsRefusedNamingIt) {
    TempDir temp;
    pack::Options options;
    options.templatePath = temp.file("template.exe");
    options.payloadPath = temp.file("dir");
    options.outputPath = temp.file("out.exe");
    writeFile(options.templatePath, launcherTemplate().bytes());
    fs::create_directories(temp.file("dir") / "sub");
    writeFile(temp.file("dir") / "sub" / "tool.exe", Image().bytes());
    const auto refusal = [&options] {
        try {
            pack::pack(options);
        } catch (const pack::Error& e) {
            return std::string(e.what());
        }
        return std::string("packed");
    };
    EXPECT_NE(refusal().find("0 .exe files at its top level: give --entry"), std::string::npos) << refusal();
    options.entry = "sub/tool.exe";
    EXPECT_EQ(refusal(), "packed");
    writeFile(temp.file("dir") / "sub" / "a\\b", "");
    EXPECT_NE(refusal().find("a\\b has a \\ in its name"), std::string::npos) << refusal();
    fs::remove(temp.file("dir") / "sub" / "a\\b");
    fs::create_directory(temp.file("dir") / "Sub");
    writeFile(temp.file("dir") / "Sub" / "Tool.exe", "");
    EXPECT_NE(refusal().find("same when case is ignored"), std::string::npos) << refusal();
    fs::remove_all(temp.file("dir") / "Sub");
    fs::create_symlink(options.templatePath, temp.file("dir") / "link.dll");
    EXPECT_NE(refusal().find("link.dll is a link"), std::string::npos) << refusal();
}

TEST(Tree, AMalformedTableIsRefusedWithoutReadingPastIt) {
    for (const bool compress : {false, true}) {
        const std::string good = bundleOf(compress);
        bundle::Bundle tree;
        ASSERT_FALSE(bundle::read(good.data(), good.size(), tree));
        // Every cut: a table that claims more than there is. The sanitizers' build sees any
        // read past the copy.
        for (std::size_t size = 0; size < good.size(); ++size) {
            const std::unique_ptr<char[]> cut(new char[size + 1]);
            std::copy(good.begin(), good.begin() + size, cut.get());
            EXPECT_TRUE(bundle::read(cut.get(), size, tree)) << size;
        }
        std::string moved = good;
        moved[bundle::headerSize + 24] = 1; // the first entry's data offset
        EXPECT_NE(bundle::read(moved.data(), moved.size(), tree).message.find("out of place"), std::string::npos);
        std::string huge = good;
        huge[bundle::headerSize + 8 + 7] = '\x7F'; // the first entry's size
        EXPECT_TRUE(bundle::read(huge.data(), huge.size(), tree));
        // A changed byte of data, stored or deflated (the end of app.exe's), is caught by its
        // chunk's check.
        for (const std::size_t at : {good.size() - 1, good.size() - 5001}) {
            std::string flipped = good;
            flipped[at] ^= 1;
            ASSERT_FALSE(bundle::read(flipped.data(), flipped.size(), tree));
            std::string buffer(bundle::minChunkSize, '\0');
            bool caught = false;
            for (const bundle::Entry& entry : tree.entries) {
                for (std::size_t i = 0; i < entry.chunks.size(); ++i) {
                    caught = caught || bundle::unpackChunk(flipped.data(), entry, i,
                                                           reinterpret_cast<unsigned char*>(&buffer[0]));
                }
            }
            EXPECT_TRUE(caught) << compress << " " << at;
        }
    }
}

// The chunks' check is zlib's CRC-32, as the format gives it, at lengths around the
// four-byte steps and from every alignment.
TEST(Tree, TheChunkCheckIsZlibsCrc32) {
    const std::string bytes = randomBytes(4096 + 3);
    for (std::size_t start = 0; start < 4; ++start) {
        for (const std::size_t size : {0, 1, 2, 3, 4, 5, 7, 8, 9, 4096}) {
            const char* piece = bytes.data() + start;
            EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(piece), static_cast<uInt>(size)),
                      bundle::crc32Of(piece, size))
                << start << " " << size;
        }
    }
}

// A deflated chunk that holds one byte more or less than its record says is refused, and
// nothing is written past the size the record gives.
TEST(Tree, ADeflatedChunkOfAnotherSizeIsRefused) {
    const std::string good = bundleOf(true);
    bundle::Bundle tree;
    ASSERT_FALSE(bundle::read(good.data(), good.size(), tree));
    const auto app = std::find_if(tree.entries.begin(), tree.entries.end(),
                                  [](const bundle::Entry& entry) { return entry.name == "app.exe"; });
    ASSERT_NE(tree.entries.end(), app);
    ASSERT_TRUE(app->chunks[0].deflated());
    for (const std::uint32_t size : {app->chunks[0].size - 1, app->chunks[0].size + 1}) {
        bundle::Entry changed = *app;
        changed.chunks[0].size = size;
        std::string buffer(size + 1, '\xAB');
        const bundle::Error error =
            bundle::unpackChunk(good.data(), changed, 0, reinterpret_cast<unsigned char*>(&buffer[0]));
        EXPECT_NE(std::string::npos, error.message.find("does not decompress to its")) << size;
        EXPECT_EQ('\xAB', buffer[size]) << size;
    }
}
