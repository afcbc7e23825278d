#pragma once

#include <windows.h>

#include <string>

namespace SysInfo {

// The running executable's full path.
std::string getProcessModulePath();
// The user's temporary directory without trailing separators; empty when it cannot be read.
std::string getTempDir();
// The Windows system directory without trailing separators.
std::string getSystemDir();

// Test seams: the module path's growing buffer applied to any query of the shape of
// GetModuleFileNameA, and the system directory's retry rule applied to any query of the shape of
// GetSystemDirectoryA; name appears in the error texts.
using DirectoryQuery = UINT(WINAPI*)(LPSTR buffer, UINT size);
std::string queryDirectory(DirectoryQuery query, const char* name);
using ModuleFileNameQuery = DWORD(WINAPI*)(HMODULE module, LPSTR buffer, DWORD size);
std::string getProcessModulePath(ModuleFileNameQuery query);

} // namespace SysInfo
