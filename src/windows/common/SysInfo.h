#pragma once

#include <windows.h>

#include <string>

namespace SysInfo {

// The running executable's full path. Wide, as every name that reaches a file: no code page
// can turn it into another.
std::wstring getProcessModulePath();
// The user's temporary directory without trailing separators; empty when it cannot be read.
// Where the system offers GetTempPath2W, it is asked instead of GetTempPathW: for SYSTEM it
// gives a directory that only SYSTEM and administrators may write, not C:\Windows\Temp.
std::wstring getTempDir();
// The Windows system directory without trailing separators.
std::string getSystemDir();

// Test seams: the module path's growing buffer applied to any query of the shape of
// GetModuleFileNameA, and the system directory's retry rule applied to any query of the shape of
// GetSystemDirectoryA; name appears in the error texts.
using DirectoryQuery = UINT(WINAPI*)(LPSTR buffer, UINT size);
std::string queryDirectory(DirectoryQuery query, const char* name);
using ModuleFileNameQuery = DWORD(WINAPI*)(HMODULE module, LPWSTR buffer, DWORD size);
std::wstring getProcessModulePath(ModuleFileNameQuery query);

// The operating-system version, read once by start-up before anything else; its size field is
// set even when neither source could be read.
extern const OSVERSIONINFOEXW& osVersionInfo;
void detectOsVersion();

// Test seams of getTempDir: the directory that query reports, by getTempDir's buffer rules;
// and getTempDir preferring the function of that name in that system library.
using TempPathQuery = DWORD(WINAPI*)(DWORD size, LPWSTR buffer);
std::wstring getTempDir(TempPathQuery query);
std::wstring getTempDir(const char* library, const char* preferred);

// Test seams of the version detection: the record filled as detectOsVersion fills
// osVersionInfo, with RtlGetVersion and GetVersionExW bound from the system libraries of these
// names, or with the functions given (null: not exported).
using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW* record);
using GetVersionExWFn = BOOL(WINAPI*)(OSVERSIONINFOEXW* record);
void detectOsVersion(OSVERSIONINFOEXW& record, const char* ntdll, const char* kernel32);
void detectOsVersion(OSVERSIONINFOEXW& record, RtlGetVersionFn rtlGetVersion, GetVersionExWFn getVersionEx);

} // namespace SysInfo
