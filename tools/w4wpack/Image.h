#pragma once

#include "Dll.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// Windows executable images as files and as resource containers.
namespace image {

// Why the bytes are no PE executable image (a DLL is none either); empty when they are one.
std::string whyNotExecutable(const std::string& bytes);
// Whether the file header of the image (an executable one) points to a COFF symbol table.
bool hasSymbolTable(const std::string& bytes);

// The image mapped as data, for reading its resources; null when the system refuses it.
AutoModule loadAsData(const std::string& path);

// The languages under which the image holds the resource.
std::vector<WORD> resourceLanguages(HMODULE module, LPCSTR type, LPCSTR name);
// The resource's bytes, valid while the module stays loaded. Raises when it is missing.
std::string_view resourceBytes(HMODULE module, LPCSTR type, LPCSTR name, WORD language);
// A resource name, an identifier or a string, as the resource functions take it.
struct ResourceName {
    WORD id = 0;
    std::string text;
    LPCSTR get() const { return id != 0 ? MAKEINTRESOURCEA(id) : text.c_str(); }
    bool empty() const { return id == 0 && text.empty(); }
};
// The name of the image's first resource of the type; empty when it has none.
ResourceName firstResourceName(HMODULE module, LPCSTR type);

// A string of the version record in the language it gives first; empty when absent.
std::string versionString(const std::string& path, const std::string& key);

} // namespace image
