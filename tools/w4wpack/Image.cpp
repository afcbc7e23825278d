#include "Image.h"

#include "WinErrorHandling.h"

#include <cstring>

namespace image {

namespace {

// Reads a header at an offset that the file gives, without trusting it.
template <class Header>
bool readAt(const std::string& bytes, std::size_t offset, Header& header) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof header) {
        return false;
    }
    std::memcpy(&header, bytes.data() + offset, sizeof header);
    return true;
}

BOOL CALLBACK addLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR context) {
    reinterpret_cast<std::vector<WORD>*>(context)->push_back(language);
    return TRUE;
}

BOOL CALLBACK takeFirstName(HMODULE, LPCSTR, LPSTR name, LONG_PTR context) {
    ResourceName& first = *reinterpret_cast<ResourceName*>(context);
    if (IS_INTRESOURCE(name)) {
        first.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    } else {
        first.text = name;
    }
    return FALSE;
}

// The file header and the optional header's magic number of a PE image.
struct Headers {
    IMAGE_FILE_HEADER file = {};
    WORD magic = 0;
};

// Empty when the headers were read, else what is missing.
std::string readHeaders(const std::string& bytes, Headers& headers) {
    IMAGE_DOS_HEADER dos = {};
    if (!readAt(bytes, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) {
        return "it does not start with an MZ header";
    }
    DWORD signature = 0;
    const std::size_t at = static_cast<std::size_t>(static_cast<DWORD>(dos.e_lfanew));
    if (dos.e_lfanew < 0 || !readAt(bytes, at, signature) || signature != IMAGE_NT_SIGNATURE ||
        !readAt(bytes, at + sizeof signature, headers.file) ||
        !readAt(bytes, at + sizeof signature + sizeof headers.file, headers.magic)) {
        return "it has no PE header";
    }
    return std::string();
}

} // namespace

std::string whyNotExecutable(const std::string& bytes) {
    Headers headers;
    const std::string missing = readHeaders(bytes, headers);
    if (!missing.empty()) {
        return missing;
    }
    if (headers.magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC && headers.magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return "its PE header has an unknown optional header";
    }
    if ((headers.file.Characteristics & IMAGE_FILE_DLL) != 0) {
        return "it is a DLL";
    }
    if ((headers.file.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) == 0) {
        return "it is not marked as an executable image";
    }
    return std::string();
}

bool hasSymbolTable(const std::string& bytes) {
    Headers headers;
    return readHeaders(bytes, headers).empty() && headers.file.PointerToSymbolTable != 0;
}

AutoModule loadAsData(const std::string& path) {
    return AutoModule(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
}

std::vector<WORD> resourceLanguages(HMODULE module, LPCSTR type, LPCSTR name) {
    std::vector<WORD> languages;
    // Fails with ERROR_RESOURCE_TYPE_NOT_FOUND or ERROR_RESOURCE_NAME_NOT_FOUND: none.
    EnumResourceLanguagesA(module, type, name, addLanguage, reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

std::string_view resourceBytes(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
    const HRSRC found = FindResourceExA(module, type, name, language);
    if (found == nullptr) {
        ORV_THROW_LAST_ERROR("cannot find resource", FindResourceExA);
    }
    const HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) {
        ORV_THROW_LAST_ERROR("cannot load resource", LoadResource);
    }
    const char* data = static_cast<const char*>(LockResource(loaded));
    return std::string_view(data, data == nullptr ? 0 : SizeofResource(module, found));
}

ResourceName firstResourceName(HMODULE module, LPCSTR type) {
    ResourceName name;
    EnumResourceNamesA(module, type, takeFirstName, reinterpret_cast<LONG_PTR>(&name));
    return name;
}

std::string versionString(const std::string& path, const std::string& key) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) {
        return std::string();
    }
    std::vector<char> record(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, record.data())) {
        return std::string();
    }
    LPVOID found = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(record.data(), "\\VarFileInfo\\Translation", &found, &length) || length < 2 * sizeof(WORD)) {
        return std::string();
    }
    const WORD* translation = static_cast<const WORD*>(found);
    const std::string query =
        tstrings::unsafe_format("\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], key.c_str());
    if (!VerQueryValueA(record.data(), query.c_str(), &found, &length) || length == 0) {
        return std::string();
    }
    const char* value = static_cast<const char*>(found);
    return std::string(value, strnlen(value, length));
}

} // namespace image
