#include "Resources.h"

#include "FileUtils.h"
#include "WinErrorHandling.h"

#include <algorithm>
#include <cstdint>

namespace {

std::string printable(ULONG_PTR number) {
    return "#" + tstrings::toDecimal(static_cast<std::uint64_t>(number));
}

ULONG_PTR numberOf(LPCSTR intResource) {
    return reinterpret_cast<ULONG_PTR>(intResource);
}

using tstrings::StringBuilder;

// Other openers may read the file, as the system does to run it, but neither write, rename
// nor delete it.
AutoHandle openFile(const std::string& path, DWORD access) {
    AutoHandle file(
        CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        ORV_THROW_LAST_ERROR(StringBuilder("CreateFile(") << path << ") failed", CreateFileA);
    }
    return file;
}

struct FileId {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

bool sameFile(const FileId& a, const FileId& b) {
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

FileId idOf(HANDLE file, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) {
        ORV_THROW_LAST_ERROR(StringBuilder("GetFileInformationByHandle(") << path << ") failed",
                             GetFileInformationByHandle);
    }
    return FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// A large payload written in one call, or in pieces of several MiB, now and then took half as
// long again as usual; in pieces of 1 MiB it did not.
constexpr DWORD writePiece = 1u << 20;

// Writes into the empty file at path and returns its identity.
FileId writeFile(const std::string& path, const char* data, DWORD size) {
    const AutoHandle file = openFile(path, GENERIC_WRITE);
    // Opened, not truncated, and found empty: truncating even an empty file makes ext4 flush
    // all that is written to it when it is closed, and its deletion slow.
    LARGE_INTEGER existing = {};
    if (!GetFileSizeEx(file.get(), &existing)) {
        ORV_THROW_LAST_ERROR(StringBuilder("GetFileSizeEx(") << path << ") failed", GetFileSizeEx);
    }
    if (existing.QuadPart != 0) {
        ORV_THROW_RUNTIME(StringBuilder("[") << path << "] is not empty");
    }
    for (DWORD done = 0; done < size;) {
        DWORD written = 0;
        if (!WriteFile(file.get(), data + done, std::min(size - done, writePiece), &written, nullptr)) {
            ORV_THROW_LAST_ERROR(StringBuilder("WriteFile(") << path << ") failed", WriteFile);
        }
        // A full disk can show as a success that wrote nothing.
        if (written == 0) {
            ORV_THROW_RUNTIME(StringBuilder("WriteFile(")
                              << path << ") wrote nothing after " << done << " of " << size << " bytes");
        }
        done += written;
    }
    return idOf(file.get(), path);
}

} // namespace

Resource::Resource(unsigned id, LPCSTR type, HMODULE module)
    : nameText(printable(id)), name(MAKEINTRESOURCEA(id)), typeText(printable(numberOf(type))), type(type),
      module(module) {}

std::string Resource::description() const {
    return " (name='" + nameText + "', type='" + typeText + "')";
}

LPCVOID Resource::getPtr(DWORD& size) const {
    const bool stringTable = type == RT_STRING;
    const ULONG_PTR id = numberOf(name);
    // Strings are stored in blocks of 16, and a block is found by its number.
    const LPCSTR lookup = stringTable ? MAKEINTRESOURCEA(static_cast<WORD>((id >> 4) + 1)) : name;

    const HRSRC found = FindResourceA(module, lookup, type);
    if (found == nullptr) {
        ORV_THROW_LAST_ERROR(tstrings::StringBuilder("cannot find resource") << description(), FindResourceA);
    }
    const HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) {
        ORV_THROW_LAST_ERROR(tstrings::StringBuilder("cannot load resource") << description(), LoadResource);
    }
    const void* data = LockResource(loaded);
    if (data == nullptr) {
        ORV_THROW_RUNTIME(tstrings::StringBuilder("cannot lock resource") << description());
    }
    if (!stringTable) {
        size = SizeofResource(module, found);
        return data;
    }
    // Each string is its length in UTF-16 units followed by the units.
    auto unit = static_cast<const WCHAR*>(data);
    for (ULONG_PTR skip = id & 15; skip > 0; --skip) {
        unit += 1 + *unit;
    }
    size = static_cast<DWORD>(*unit) * sizeof(WCHAR);
    return unit + 1;
}

AutoHandle Resource::saveToFile(const std::string& path) const {
    DWORD size = 0;
    const LPCVOID data = getPtr(size);
    const std::string tempFile = FileUtils::createTempFile("orv", ".tmp", FileUtils::dirname(path));
    FileUtils::Deleter cleanup(false);
    cleanup.appendFile(tempFile);
    // Straight from the mapped image: the payload is never copied in memory.
    const FileId written = writeFile(tempFile, static_cast<const char*>(data), size);
    FileUtils::moveFile(tempFile, path);
    cleanup.cancel();
    // The writing handle would keep the system from running the file, so it is closed and the
    // file opened again for reading: whatever took its place meanwhile is not handed on.
    AutoHandle held = openFile(path, GENERIC_READ);
    if (!sameFile(idOf(held.get(), path), written)) {
        ORV_THROW_RUNTIME(StringBuilder("[") << path << "] was replaced after it was written");
    }
    return held;
}
