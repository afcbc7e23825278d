#include "SysInfo.h"

#include "FileUtils.h"
#include "WinErrorHandling.h"

#include <cstring>
#include <vector>

namespace SysInfo {

namespace {

constexpr std::size_t initialBufferSize = MAX_PATH;

// The text up to the first NUL, never past the buffer.
std::string textOf(const std::vector<char>& buffer) {
    return FileUtils::removeTrailingSlashes(std::string(buffer.data(), strnlen(buffer.data(), buffer.size())));
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

std::string getProcessModulePath() {
    return getProcessModulePath(GetModuleFileNameA);
}

std::string getProcessModulePath(ModuleFileNameQuery query) {
    std::vector<char> buffer(initialBufferSize);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD n = query(nullptr, buffer.data(), size);
        if (n < size) {
            if (n == 0) {
                ORV_THROW_RUNTIME("GetModuleFileName(NULL) failed");
            }
            return std::string(buffer.data(), n);
        }
        // Cut to the buffer: the path is longer.
        buffer.resize(buffer.size() * 2);
    }
}

std::string getTempDir() {
    std::vector<char> buffer(initialBufferSize);
    const DWORD reply = GetTempPathA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (reply > buffer.size()) {
        buffer.resize(reply);
        GetTempPathA(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    return textOf(buffer);
}

std::string getSystemDir() {
    return getSystemDirImpl(GetSystemDirectoryA, "GetSystemDirectory");
}

std::string queryDirectory(DirectoryQuery query, const char* name) {
    return getSystemDirImpl(query, name);
}

} // namespace SysInfo
