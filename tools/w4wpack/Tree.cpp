#include "Tree.h"

#include "PackError.h"
#include "Packer.h"
#include "Sha256.h"

#include <zlib.h>

#include <algorithm>
#include <random>

namespace pack {

namespace {

namespace fs = std::filesystem;

void put(std::string& bytes, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes += static_cast<char>(value >> (8 * i) & 0xFF);
    }
}

// Raw deflate (RFC 1951), no zlib or gzip wrapper: each chunk stands alone. Empty when it
// would not shrink.
std::string deflated(const char* data, std::uint32_t size) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        W4W_FAIL("cannot start to compress");
    }
    std::string out(deflateBound(&stream, size), '\0');
    // zlib does not write through next_in.
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = size;
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const uLong written = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        W4W_FAIL("cannot compress a chunk: zlib error " + std::to_string(result));
    }
    if (written >= size) {
        return {};
    }
    out.resize(written);
    return out;
}

bool endsWithExe(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    std::string end = name.substr(name.size() - 4);
    std::transform(end.begin(), end.end(), end.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return end == ".exe";
}

// The relative name of path under directory, its components joined by '\\'.
std::string relativeName(const fs::path& path, const fs::path& directory) {
    std::string name;
    for (const fs::path& component : path.lexically_relative(directory)) {
        const std::string text = files::toUtf8(component);
        if (text.find('\\') != std::string::npos) {
            W4W_REFUSE("the file " + files::toUtf8(path) + " has a \\ in its name, which Windows does not allow");
        }
        name += (name.empty() ? "" : "\\") + text;
    }
    return name;
}

std::string chooseEntry(const std::vector<std::string>& names, const std::string& given, const files::Path& directory) {
    const std::string where = files::toUtf8(directory);
    if (!given.empty()) {
        std::string wanted = given;
        std::replace(wanted.begin(), wanted.end(), '/', '\\');
        if (std::find(names.begin(), names.end(), wanted) == names.end()) {
            W4W_REFUSE("--entry " + given + " is not a regular file in " + where);
        }
        return wanted;
    }
    std::vector<std::string> found;
    std::copy_if(names.begin(), names.end(), std::back_inserter(found),
                 [](const std::string& n) { return n.find('\\') == std::string::npos && endsWithExe(n); });
    if (found.size() != 1) {
        std::string list;
        for (const std::string& n : found) {
            list += (list.empty() ? " (" : ", ") + n;
        }
        W4W_REFUSE(where + " has " + std::to_string(found.size()) + " .exe files at its top level" +
                   (list.empty() ? "" : list + ")") + ": give --entry RELATIVE\\PATH.exe");
    }
    return found[0];
}

bundle::Bundle readTree(const files::InputFile& carried, std::string& bytes) {
    bytes = carried.read(0, static_cast<std::size_t>(carried.size()));
    bundle::Bundle tree;
    if (const bundle::Error error = bundle::read(bytes.data(), bytes.size(), tree)) {
        W4W_REFUSE(carried.name() + " is a malformed tree: " + error.message);
    }
    return tree;
}

// Each chunk of the entry, checked, handed to sink in order.
template <typename Sink>
void unpack(const std::string& bytes, const bundle::Entry& entry, const std::string& from, Sink sink) {
    std::string buffer(entry.chunkSize, '\0');
    for (std::size_t i = 0; i < entry.chunks.size(); ++i) {
        auto* out = reinterpret_cast<unsigned char*>(&buffer[0]);
        if (const bundle::Error error = bundle::unpackChunk(bytes.data(), entry, i, out)) {
            W4W_REFUSE(from + ": " + error.message);
        }
        sink(buffer.data(), entry.chunks[i].size);
    }
}

// A directory of w4wpack's own beside the output, removed with its contents unless it was
// moved into place.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const fs::path& target) {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            const fs::path candidate =
                target.parent_path() /
                files::fromUtf8(files::toUtf8(target.filename()) + ".w4wpack-" + std::to_string(random()) + ".tmp");
            std::error_code error;
            if (fs::create_directory(candidate, error)) {
                path = candidate;
            } else if (error) {
                W4W_REFUSE("cannot create a directory in " + files::toUtf8(target.parent_path()) + ": " +
                           error.message());
            }
        }
        if (path.empty()) {
            W4W_FAIL("no free temporary name in " + files::toUtf8(target.parent_path()));
        }
    }
    ~TemporaryDirectory() {
        if (!path.empty()) {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    void commit(const fs::path& target) {
        std::error_code error;
        fs::rename(path, target, error);
        if (error) {
            W4W_FAIL("cannot move " + files::toUtf8(path) + " onto " + files::toUtf8(target) + ": " + error.message());
        }
        path.clear();
    }

    fs::path path;
};

} // namespace

BundleWriter::BundleWriter(bool compress, std::uint32_t chunkSize) : compress(compress), chunkSize(chunkSize) {}

void BundleWriter::add(const std::string& name, const std::string& bytes, bool isProgram) {
    bundle::Entry entry;
    entry.name = name;
    entry.size = bytes.size();
    entry.offset = data.size();
    entry.chunkSize = chunkSize;
    entry.compressed = compress;
    for (std::uint64_t at = 0; at < bytes.size(); at += chunkSize) {
        bundle::Chunk chunk;
        chunk.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunkSize, bytes.size() - at));
        const char* piece = bytes.data() + at;
        chunk.crc32 = bundle::crc32Of(piece, chunk.size);
        const std::string packed = compress ? deflated(piece, chunk.size) : std::string();
        if (packed.empty()) {
            data.append(piece, chunk.size);
            chunk.storedSize = chunk.size;
        } else {
            data += packed;
            chunk.storedSize = static_cast<std::uint32_t>(packed.size());
        }
        entry.storedSize += chunk.storedSize;
        entry.chunks.push_back(chunk);
    }
    if (isProgram) {
        program = entries.size();
        ++programs;
    }
    names.push_back(name);
    entries.push_back(std::move(entry));
}

std::string BundleWriter::finish() const {
    if (const bundle::Error error = bundle::checkNames(names)) {
        W4W_REFUSE(error.message);
    }
    if (programs != 1) {
        W4W_REFUSE("a tree must name one program to start, not " + std::to_string(programs));
    }
    std::string table;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bundle::Entry& entry = entries[i];
        const std::uint16_t flags =
            (entry.compressed ? bundle::flagCompressed : 0) | (i == program ? bundle::flagProgram : 0);
        put(table, flags, 2);
        put(table, entry.name.size(), 2);
        put(table, entry.chunkSize, 4);
        put(table, entry.size, 8);
        put(table, entry.storedSize, 8);
        put(table, entry.offset, 8);
        table += entry.name;
        for (const bundle::Chunk& chunk : entry.chunks) {
            put(table, chunk.storedSize, 4);
            put(table, chunk.crc32, 4);
        }
    }
    std::string out(bundle::magic, sizeof bundle::magic);
    put(out, bundle::version, 4);
    put(out, entries.size(), 4);
    put(out, table.size(), 8);
    put(out, data.size(), 8);
    out.reserve(out.size() + table.size() + data.size());
    return out + table + data;
}

Tree bundleDirectory(const files::Path& directory, const std::string& entry, bool compress) {
    const std::string where = files::toUtf8(directory);
    std::vector<std::pair<std::string, fs::path>> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; it != end; it.increment(error)) {
        if (error) {
            break;
        }
        const std::string name = files::toUtf8(it->path());
        // Before the iterator goes on into a linked directory.
        if (files::isLink(it->path())) {
            W4W_REFUSE("the file " + name + " is a link: only regular files and directories are carried");
        }
        const fs::file_status status = it->symlink_status(error);
        if (error) {
            W4W_FAIL("cannot read what " + name + " is: " + error.message());
        }
        if (fs::is_regular_file(status)) {
            found.emplace_back(relativeName(it->path(), directory), it->path());
        } else if (!fs::is_directory(status)) {
            W4W_REFUSE("the file " + name + " is not a regular file: only regular files and directories are carried");
        }
    }
    if (error) {
        W4W_REFUSE("cannot list " + where + ": " + error.message());
    }
    if (found.empty()) {
        W4W_REFUSE("the directory " + where + " holds no file");
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (const auto& file : found) {
        names.push_back(file.first);
    }
    if (const bundle::Error refused = bundle::checkNames(names)) {
        W4W_REFUSE("in " + where + ", " + refused.message);
    }
    const std::string program = chooseEntry(names, entry, directory);
    BundleWriter writer(compress);
    Tree tree;
    std::uint64_t total = 0;
    for (const auto& file : found) {
        const files::InputFile input(file.second, "file");
        total += input.size();
        if (total > maxImageSize) {
            W4W_REFUSE("the files of " + where + " add up to more than the " + std::to_string(maxImageSize) +
                       " bytes that a launcher can carry");
        }
        writer.add(file.first, input.read(0, static_cast<std::size_t>(input.size())), file.first == program);
        if (file.first == program) {
            tree.entry = file.second;
        }
    }
    tree.bytes = writer.finish();
    tree.files = found.size();
    return tree;
}

bool isTree(const files::InputFile& carried) {
    const std::string start =
        carried.read(0, static_cast<std::size_t>(std::min<std::uint64_t>(carried.size(), sizeof bundle::magic)));
    return bundle::isBundle(start.data(), start.size());
}

TreeFacts treeFacts(const files::InputFile& carried) {
    std::string bytes;
    const bundle::Bundle tree = readTree(carried, bytes);
    TreeFacts facts;
    facts.program = tree.entries[tree.program].name;
    for (const bundle::Entry& entry : tree.entries) {
        Sha256 sha;
        unpack(bytes, entry, carried.name(), [&sha](const char* data, std::size_t size) { sha.add(data, size); });
        facts.files.push_back({entry.name, entry.size, entry.storedSize, entry.compressed, sha.hex()});
    }
    return facts;
}

void extractTree(const files::InputFile& carried, const files::Path& output) {
    const fs::path target = fs::absolute(output);
    std::error_code error;
    if (fs::exists(fs::symlink_status(target, error))) {
        W4W_REFUSE("the output " + files::toUtf8(target) + " exists: a tree is extracted into a new directory");
    }
    if (!fs::is_directory(target.parent_path(), error)) {
        W4W_REFUSE("the output's directory " + files::toUtf8(target.parent_path()) + " does not exist");
    }
    std::string bytes;
    const bundle::Bundle tree = readTree(carried, bytes);
    TemporaryDirectory temporary(target);
    for (const bundle::Entry& entry : tree.entries) {
        // The reader refused every name that could leave the directory.
        fs::path path = temporary.path;
        for (std::size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
            end = entry.name.find('\\', begin);
            path /= files::fromUtf8(entry.name.substr(begin, end - begin));
        }
        fs::create_directories(path.parent_path(), error);
        if (error) {
            W4W_FAIL("cannot create " + files::toUtf8(path.parent_path()) + ": " + error.message());
        }
        files::OutputFile file(path);
        unpack(bytes, entry, carried.name(), [&file](const char* data, std::size_t size) { file.write(data, size); });
        file.commit();
    }
    temporary.commit(target);
}

} // namespace pack
