#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

// The files w4wpack reads and writes, through the C library only.
namespace files {

using Path = std::filesystem::path;

// Paths arrive and leave as UTF-8 on every system.
Path fromUtf8(const std::string& text);
std::string toUtf8(const Path& path);

// Whether path is itself a link, not followed: on Windows any reparse point (a symbolic link,
// a junction), which the C++ library there does not tell from what it leads to.
bool isLink(const Path& path);

struct CloseFile {
    void operator()(std::FILE* file) const {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};
using FileHandle = std::unique_ptr<std::FILE, CloseFile>;

// An input, open while it is used. On Windows nobody may write it meanwhile, so that what
// was checked is what gets copied.
class InputFile {
public:
    // role names the file in messages: "payload", "template", "icon". Refuses a directory
    // and a file that cannot be opened.
    InputFile(const Path& path, const std::string& role);

    const Path& path() const { return filePath; }
    std::uint64_t size() const { return fileSize; }
    // "the payload /where/setup.exe"
    const std::string& name() const { return fileName; }

    // size bytes at offset of this file, read as a file of their own and named name: a file
    // that another one carries. The caller has checked that they lie in the file.
    InputFile part(std::uint64_t offset, std::uint64_t size, const std::string& name) const;

    // size bytes at offset, which the caller has checked lie in the file.
    std::string read(std::uint64_t offset, std::size_t size) const;
    // The bytes at offset, read into buffer in pieces of at most capacity, handed to sink
    // one by one.
    void stream(std::uint64_t offset, std::uint64_t size, char* buffer, std::size_t capacity,
                const std::function<void(const char*, std::size_t)>& sink) const;

private:
    std::size_t readInto(std::uint64_t offset, char* data, std::size_t size) const;

    InputFile() = default;

    Path filePath;
    std::string fileName;
    std::uint64_t base = 0;
    std::uint64_t fileSize = 0;
    // Shared with the parts of the file.
    std::shared_ptr<std::FILE> file;
};

// The output, written to a new file beside its final place and moved there only when
// complete: a failure leaves an existing output as it was, and no temporary file.
class OutputFile {
public:
    // Refuses when no new file can be made in the target's directory.
    explicit OutputFile(const Path& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const char* data, std::size_t size);
    void overwrite(std::uint64_t offset, const std::string& bytes);
    // Closes the file and moves it onto the target.
    void commit();

    const Path& temporaryPath() const { return temp; }

private:
    void fail(const std::string& doing) const;

    Path target;
    Path temp;
    FileHandle file;
    bool committed = false;
};

} // namespace files
