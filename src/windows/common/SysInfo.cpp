#include "SysInfo.h"

#include "Dll.h"
#include "FileUtils.h"
#include "Log.h"
#include "WinErrorHandling.h"

#include <cstring>
#include <cwchar>
#include <exception>
#include <vector>

// Outside namespace SysInfo: the steps' records carry the function texts that readers of the
// log know, "`anonymous-namespace'::initWithRtlGetVersion" and its fallback's.
namespace {

using SysInfo::GetVersionExWFn;
using SysInfo::RtlGetVersionFn;

static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the version record of the system's own headers");

// Zero before any code runs and given no initialiser here, so start-up code of another file
// may fill it before this file's own start-up code has run.
OSVERSIONINFOEXW versionRecord;

bool initWithRtlGetVersion(OSVERSIONINFOEXW& record, RtlGetVersionFn rtlGetVersion) {
    if (rtlGetVersion == nullptr) {
        ORV_LOG(LogLevel::Error, "RtlGetVersion is not available");
        return false;
    }
    const LONG status = rtlGetVersion(&record);
    if (status == 0) {
        return true;
    }
    ORV_LOG(LogLevel::Error, tstrings::StringBuilder("RtlGetVersion() failed: ") << status);
    return false;
}

bool initWithGetVersionEx(OSVERSIONINFOEXW& record, GetVersionExWFn getVersionEx) {
    if (getVersionEx == nullptr) {
        ORV_LOG(LogLevel::Error, "GetVersionExW is not available");
        return false;
    }
    if (getVersionEx(&record)) {
        return true;
    }
    const DWORD error = GetLastError();
    ORV_LOG(LogLevel::Error,
            tstrings::unsafe_format("%s failed with %s", "GetVersionExW()", systemErrorText(error, nullptr).c_str()));
    return false;
}

// Bound by name, so that neither function is linked; the binding keeps its library loaded
// for the call and releases it on return.
bool initWithRtlGetVersion(OSVERSIONINFOEXW& record, const char* library) {
    const DllFunction<RtlGetVersionFn> rtlGetVersion(Dll(library), "RtlGetVersion");
    return initWithRtlGetVersion(record, rtlGetVersion.isAvailable() ? RtlGetVersionFn(rtlGetVersion) : nullptr);
}

bool initWithGetVersionEx(OSVERSIONINFOEXW& record, const char* library) {
    const DllFunction<GetVersionExWFn> getVersionEx(Dll(library), "GetVersionExW");
    return initWithGetVersionEx(record, getVersionEx.isAvailable() ? GetVersionExWFn(getVersionEx) : nullptr);
}

// The fallback is bound only when the first source fails.
template <class RtlSource, class ExSource>
void readOsVersion(OSVERSIONINFOEXW& record, RtlSource rtlGetVersion, ExSource getVersionEx) {
    record = OSVERSIONINFOEXW{};
    record.dwOSVersionInfoSize = sizeof record;
    if (!initWithRtlGetVersion(record, rtlGetVersion)) {
        initWithGetVersionEx(record, getVersionEx);
    }
}

} // namespace

namespace SysInfo {

namespace {

constexpr std::size_t initialBufferSize = MAX_PATH;

// The text up to the first NUL, never past the buffer.
std::string textOf(const std::vector<char>& buffer) {
    return FileUtils::removeTrailingSlashes(std::string(buffer.data(), strnlen(buffer.data(), buffer.size())));
}

std::wstring textOf(const std::vector<wchar_t>& buffer) {
    std::wstring text(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
    while (!text.empty() && (text.back() == L'\\' || text.back() == L'/')) {
        text.pop_back();
    }
    return text;
}

std::string getSystemDirImpl(DirectoryQuery query, const char* name) {
    std::vector<char> buffer(initialBufferSize);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const UINT size = static_cast<UINT>(buffer.size());
        const UINT reply = query(buffer.data(), size);
        if (reply == 0) {
            ORV_THROW_LAST_ERROR(tstrings::StringBuilder(name) << " failed", query);
        }
        if (reply < size) {
            return textOf(buffer);
        }
        buffer.resize(std::size_t(reply) + 1);
    }
    ORV_THROW_RUNTIME(tstrings::StringBuilder("Unexpected reply from") << " " << name);
}

} // namespace

const OSVERSIONINFOEXW& osVersionInfo = versionRecord;

std::wstring getProcessModulePath() {
    return getProcessModulePath(GetModuleFileNameW);
}

std::wstring getProcessModulePath(ModuleFileNameQuery query) {
    std::vector<wchar_t> buffer(initialBufferSize);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD n = query(nullptr, buffer.data(), size);
        if (n < size) {
            if (n == 0) {
                ORV_THROW_RUNTIME("GetModuleFileName(NULL) failed");
            }
            return std::wstring(buffer.data(), n);
        }
        // Cut to the buffer: the path is longer.
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring getTempDir() {
    return getTempDir("Kernel32", "GetTempPath2W");
}

std::wstring getTempDir(const char* library, const char* preferred) {
    try {
        const DllFunction<TempPathQuery> query(Dll(library), preferred);
        if (query.isAvailable()) {
            return getTempDir(query);
        }
    } catch (const std::exception&) {
        // A library that cannot be bound counts as one without the function.
    }
    return getTempDir(GetTempPathW);
}

std::wstring getTempDir(TempPathQuery query) {
    std::vector<wchar_t> buffer(initialBufferSize);
    const DWORD reply = query(static_cast<DWORD>(buffer.size()), buffer.data());
    if (reply > buffer.size()) {
        buffer.resize(reply);
        query(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    return textOf(buffer);
}

std::string getSystemDir() {
    return getSystemDirImpl(GetSystemDirectoryA, "GetSystemDirectory");
}

std::string queryDirectory(DirectoryQuery query, const char* name) {
    return getSystemDirImpl(query, name);
}

void detectOsVersion() {
    readOsVersion(versionRecord, "ntdll", "Kernel32");
}

void detectOsVersion(OSVERSIONINFOEXW& record, const char* ntdll, const char* kernel32) {
    readOsVersion(record, ntdll, kernel32);
}

void detectOsVersion(OSVERSIONINFOEXW& record, RtlGetVersionFn rtlGetVersion, GetVersionExWFn getVersionEx) {
    readOsVersion(record, rtlGetVersion, getVersionEx);
}

} // namespace SysInfo
