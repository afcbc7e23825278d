#include "Files.h"

#include "PackError.h"

#include <cerrno>
#include <iostream>
#include <random>
#include <system_error>

#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace files {

namespace fs = std::filesystem;

namespace {

std::string reason(int error) {
    // A full disk under Wine comes back from the C library as a short write without errno.
    return error == 0 ? "the write came up short (is the disk full?)" : std::generic_category().message(error);
}

// The only code that differs between systems: how a file is opened and where a read starts.
#ifdef _WIN32
using NativeChar = wchar_t;

// The narrow C functions take the ANSI code page, which need not hold the path; and the
// C library's fopen knows neither exclusive creation nor sharing modes.
std::FILE* open(const Path& path, bool create) {
    int fd = -1;
    if (create) {
        // Others may only delete it: so may this program's own Ctrl+C handler, which runs on
        // a thread of its own while the file is open.
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
            return nullptr;
        }
        fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
        if (fd == -1) {
            CloseHandle(handle);
            return nullptr;
        }
    } else {
        const errno_t error = _wsopen_s(&fd, path.c_str(), _O_BINARY | _O_NOINHERIT | _O_RDONLY, _SH_DENYWR, 0);
        if (error != 0) {
            errno = error;
            return nullptr;
        }
    }
    std::FILE* file = _fdopen(fd, create ? "wb" : "rb");
    if (file == nullptr) {
        const int saved = errno;
        _close(fd);
        errno = saved;
    }
    return file;
}

bool seek(std::FILE* file, std::uint64_t offset) {
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
}

void removeNow(const NativeChar* path) {
    DeleteFileW(path);
}

bool linkAt(const Path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
#else
using NativeChar = char;
static_assert(sizeof(long) >= 8, "std::fseek must reach every offset");

// "x": created, never opened, so a file that someone put there first is not taken over.
std::FILE* open(const Path& path, bool create) {
    return std::fopen(path.c_str(), create ? "wbx" : "rb");
}

bool seek(std::FILE* file, std::uint64_t offset) {
    return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
}

void removeNow(const NativeChar* path) {
    unlink(path);
}

bool linkAt(const Path& path) {
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(path, error));
}
#endif

// The temporary output, for the signal handler: set before the file exists, cleared once it
// is gone or has its final name. One output at a time.
NativeChar pendingOutput[4096];
volatile std::sig_atomic_t outputPending = 0;

// Ctrl+C or a request to end: the temporary output goes before the program does.
extern "C" void removePendingOutput(int signal) {
    if (outputPending != 0) {
        removeNow(pendingOutput);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

const int endingSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGBREAK
    SIGBREAK,
#endif
#ifdef SIGHUP
    SIGHUP,
#endif
};

void watchSignals(const Path& temp) {
    const auto& native = temp.native();
    if (native.size() >= sizeof pendingOutput / sizeof pendingOutput[0]) {
        return;
    }
    std::memcpy(pendingOutput, native.c_str(), (native.size() + 1) * sizeof(NativeChar));
    outputPending = 1;
    for (const int signal : endingSignals) {
        std::signal(signal, removePendingOutput);
    }
}

void unwatchSignals() {
    outputPending = 0;
    for (const int signal : endingSignals) {
        std::signal(signal, SIG_DFL);
    }
}

} // namespace

Path fromUtf8(const std::string& text) {
    return fs::u8path(text);
}

std::string toUtf8(const Path& path) {
    return path.u8string();
}

bool isLink(const Path& path) {
    return linkAt(path);
}

InputFile::InputFile(const Path& path, const std::string& role)
    : filePath(path), fileName("the " + role + " " + toUtf8(path)) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status)) {
        W4W_REFUSE(fileName + " is a directory");
    }
    // A pipe or a device would block the read, or never end.
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        W4W_REFUSE(fileName + " is not a regular file");
    }
    file.reset(open(path, false), CloseFile());
    if (!file) {
        W4W_REFUSE("cannot open " + fileName + ": " + reason(errno));
    }
    fileSize = fs::file_size(path, error);
    if (error) {
        W4W_FAIL("cannot read the size of " + fileName + ": " + error.message());
    }
}

InputFile InputFile::part(std::uint64_t offset, std::uint64_t size, const std::string& name) const {
    InputFile part;
    part.filePath = filePath;
    part.fileName = name;
    part.base = base + offset;
    part.fileSize = size;
    part.file = file;
    return part;
}

std::size_t InputFile::readInto(std::uint64_t offset, char* data, std::size_t size) const {
    if (!seek(file.get(), base + offset)) {
        W4W_FAIL("cannot read " + fileName + ": " + reason(errno));
    }
    const std::size_t got = std::fread(data, 1, size, file.get());
    if (got == 0 && size != 0) {
        if (std::ferror(file.get())) {
            W4W_FAIL("cannot read " + fileName + ": " + reason(errno));
        }
        W4W_REFUSE(fileName + " became shorter while it was read");
    }
    return got;
}

std::string InputFile::read(std::uint64_t offset, std::size_t size) const {
    std::string bytes(size, '\0');
    for (std::size_t done = 0; done < size;) {
        done += readInto(offset + done, &bytes[done], size - done);
    }
    return bytes;
}

void InputFile::stream(std::uint64_t offset, std::uint64_t size, char* buffer, std::size_t capacity,
                       const std::function<void(const char*, std::size_t)>& sink) const {
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, capacity));
        const std::size_t got = readInto(offset + done, buffer, piece);
        sink(buffer, got);
        done += got;
    }
}

OutputFile::OutputFile(const Path& target) : target(target) {
    std::random_device random;
    const Path dir = target.parent_path();
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        temp = dir / fromUtf8(toUtf8(target.filename()) + ".w4wpack-" + std::to_string(random()) + ".tmp");
        watchSignals(temp);
        file.reset(open(temp, true));
        if (!file && errno != EEXIST) {
            const int saved = errno;
            unwatchSignals();
            W4W_REFUSE("cannot create a file in " + toUtf8(dir) + ": " + reason(saved));
        }
    }
    if (!file) {
        unwatchSignals();
        W4W_FAIL("no free temporary name in " + toUtf8(dir));
    }
}

OutputFile::~OutputFile() {
    if (committed) {
        return;
    }
    file.reset();
    std::error_code error;
    if (!fs::remove(temp, error) && error) {
        std::cerr << "w4wpack: cannot remove the temporary file " << toUtf8(temp) << ": " << error.message() << '\n';
    }
    unwatchSignals();
}

void OutputFile::fail(const std::string& doing) const {
    W4W_FAIL("cannot " + doing + " " + toUtf8(temp) + ": " + reason(errno));
}

void OutputFile::write(const char* data, std::size_t size) {
    // One call: a short count is an error, never a reason to try again.
    errno = 0;
    if (std::fwrite(data, 1, size, file.get()) != size) {
        fail("write");
    }
}

void OutputFile::overwrite(std::uint64_t offset, const std::string& bytes) {
    if (!seek(file.get(), offset)) {
        fail("seek in");
    }
    write(bytes.data(), bytes.size());
}

void OutputFile::commit() {
    errno = 0;
    if (std::fflush(file.get()) != 0) {
        fail("write");
    }
    if (std::fclose(file.release()) != 0) {
        fail("close");
    }
    std::error_code error;
    // Within one directory a rename: the target is the old file or the new one, never a part.
    fs::rename(temp, target, error);
    if (error) {
        W4W_FAIL("cannot move " + toUtf8(temp) + " onto " + toUtf8(target) + ": " + error.message());
    }
    committed = true;
    unwatchSignals();
}

} // namespace files
