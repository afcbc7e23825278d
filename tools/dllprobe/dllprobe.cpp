// dllprobe: a program shipped as MinGW programs are, with its C++ runtime and zlib as DLLs
// beside it. It reads data\input.txt beside itself, sharing reading only, uses each DLL in a
// way whose result it prints, and says whether each DLL was loaded from its own directory.
// Exit code 0 when every check held; 2 when the data file cannot be read; 3 when a check failed.
#include <windows.h>

#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

std::filesystem::path modulePath(HMODULE module) {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return buffer;
}

uLong crcOf(const std::string& bytes, std::size_t begin, std::size_t end) {
    return crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data() + begin),
                 static_cast<uInt>(end - begin));
}

bool sameDirectory(const std::filesystem::path& a, const std::filesystem::path& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// As many programs read their data: sharing reading only, which fails for sharing against
// any other open that may write or delete the file. Empty when it cannot be read.
std::string readSharingReadOnly(const std::filesystem::path& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "dllprobe: cannot open %ls: error %lu\n", path.c_str(), GetLastError());
        return std::string();
    }
    std::string data;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        data.append(buffer, n);
    }
    CloseHandle(file);
    return data;
}

} // namespace

int main() {
    const std::filesystem::path self = modulePath(nullptr);
    const std::string data = readSharingReadOnly(self.parent_path() / L"data" / L"input.txt");
    if (data.empty()) {
        std::fprintf(stderr, "dllprobe: cannot read data\\input.txt beside %ls\n", self.c_str());
        return 2;
    }
    bool held = true;
    const uLong whole = crcOf(data, 0, data.size());
    std::printf("data: %zu bytes, CRC-32 %08lx\n", data.size(), whole);

    std::vector<Bytef> packed(compressBound(static_cast<uLong>(data.size())));
    uLongf packedSize = static_cast<uLongf>(packed.size());
    std::string back(data.size(), '\0');
    uLongf backSize = static_cast<uLongf>(back.size());
    const bool roundTrip =
        compress2(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(data.data()),
                  static_cast<uLong>(data.size()), 9) == Z_OK &&
        uncompress(reinterpret_cast<Bytef*>(&back[0]), &backSize, packed.data(), packedSize) == Z_OK && back == data;
    held = held && roundTrip;
    std::printf("zlib %s: compressed to %lu bytes and back %s\n", zlibVersion(), packedSize,
                roundTrip ? "unchanged" : "CHANGED");

    // On a thread of its own, so that winpthread does its part.
    const std::size_t half = data.size() / 2;
    uLong second = 0;
    std::thread worker([&] { second = crcOf(data, half, data.size()); });
    worker.join();
    const uLong joined = crc32_combine(crcOf(data, 0, half), second, static_cast<z_off_t>(data.size() - half));
    held = held && joined == whole;
    std::printf("thread: CRC-32 of the halves joined %08lx\n", joined);

    // So that libgcc's unwinder does its part.
    try {
        throw std::runtime_error("unwound");
    } catch (const std::exception& e) {
        std::printf("exception: caught \"%s\"\n", e.what());
    }

    for (const wchar_t* dll : {L"libstdc++-6.dll", L"libgcc_s_seh-1.dll", L"libwinpthread-1.dll", L"zlib1.dll"}) {
        const HMODULE module = GetModuleHandleW(dll);
        const bool beside = module != nullptr && sameDirectory(modulePath(module).parent_path(), self.parent_path());
        held = held && beside;
        std::printf("%ls: %s\n", dll, module == nullptr ? "not loaded" : beside ? "beside the program" : "elsewhere");
        if (module != nullptr && !beside) {
            std::fprintf(stderr, "dllprobe: %ls was loaded from %ls\n", dll, modulePath(module).c_str());
        }
    }
    return held ? 0 : 3;
}
