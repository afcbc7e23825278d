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

std::int64_t idOf(HANDLE file, const std::wstring& name) {
    const std::int64_t id = FileUtils::fileIdOf(file);
    if (id == -1) {
        ORV_THROW_LAST_ERROR(StringBuilder("GetFileInformationByHandle(") << name << ") failed",
                             GetFileInformationByHandle);
    }
    return id;
}

// A large payload written in one call, or in pieces of several MiB, now and then took half as
// long again as usual; in pieces of 1 MiB it did not.
constexpr DWORD writePiece = 1u << 20;

// Opens name in the held directory dir, or throws.
AutoHandle openOrThrow(const FileUtils::HeldDirectory& dir, const std::wstring& name, FileUtils::OpenIn how,
                       DWORD access, DWORD share) {
    AutoHandle file = FileUtils::openIn(dir.handle.get(), name, how, access, share);
    if (file.get() == INVALID_HANDLE_VALUE) {
        ORV_THROW_LAST_ERROR(StringBuilder("CreateFile(") << dir.path << "\\" << name << ") failed", CreateFileW);
    }
    return file;
}

// Writes into a new file name in dir and returns its file ID.
std::int64_t writeFile(const FileUtils::HeldDirectory& dir, const std::wstring& name, const char* data, DWORD size) {
    const std::wstring path = dir.path + L"\\" + name;
    const AutoHandle file = openOrThrow(dir, name, FileUtils::OpenIn::NewFile, GENERIC_WRITE, 0);
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

Resource::Saved Resource::saveIn(const FileUtils::HeldDirectory& dir, const std::wstring& name) const {
    DWORD size = 0;
    const LPCVOID data = getPtr(size);
    // Straight from the mapped image: the payload is never copied in memory.
    const std::int64_t written = writeFile(dir, name, static_cast<const char*>(data), size);
    // The writing handle would keep the system from running the file, so it is closed and the
    // file opened again for reading, sharing only reading: whatever took its place meanwhile
    // is not handed on.
    AutoHandle held = openOrThrow(dir, name, FileUtils::OpenIn::Existing, GENERIC_READ, FILE_SHARE_READ);
    if (idOf(held.get(), name) != written) {
        ORV_THROW_RUNTIME(StringBuilder("[") << dir.path << "\\" << name << "] was replaced after it was written");
    }
    return Saved{std::move(held), written};
}
