#include "Resources.h"

#include "FileUtils.h"
#include "WinErrorHandling.h"

#include <cstdint>
#include <fstream>

namespace {

std::string printable(ULONG_PTR number) {
    return "#" + tstrings::toDecimal(static_cast<std::uint64_t>(number));
}

ULONG_PTR numberOf(LPCSTR intResource) {
    return reinterpret_cast<ULONG_PTR>(intResource);
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

void Resource::saveToFile(const std::string& path) const {
    DWORD size = 0;
    const LPCVOID data = getPtr(size);
    const std::string tempFile = FileUtils::createTempFile("orv", ".tmp", FileUtils::dirname(path));
    FileUtils::Deleter cleanup(false);
    cleanup.appendFile(tempFile);
    {
        std::ofstream out;
        out.exceptions(std::ios::failbit | std::ios::badbit);
        // Not truncated but found empty: truncating even an empty file makes ext4 flush all
        // that is written to it when it is closed, and its deletion slow.
        out.open(tempFile, std::ios::binary | std::ios::in | std::ios::out);
        if (out.seekp(0, std::ios::end).tellp() != std::streampos(0)) {
            ORV_THROW_RUNTIME(tstrings::StringBuilder("[") << tempFile << "] is not empty");
        }
        // Straight from the mapped image: the payload is never copied in memory.
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
    }
    FileUtils::moveFile(tempFile, path);
    cleanup.cancel();
}
