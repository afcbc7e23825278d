#include "Dll.h"

#include "FileUtils.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"

namespace {

AutoModule loadLibrary(const std::wstring& path) {
    const HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        ORV_THROW_LAST_ERROR(tstrings::StringBuilder("LoadLibraryW(") << path << ") failed", LoadLibraryW);
    }
    return AutoModule(module);
}

// Null when the module is not loaded; GetModuleHandleExW has then set the last error.
HMODULE referenceLoadedModule(const std::wstring& path) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(0, path.c_str(), &module)) {
        return nullptr;
    }
    return module;
}

} // namespace

void freeLibrary(HMODULE module) {
    if (module != nullptr) {
        FreeLibrary(module);
    }
}

Dll::Dll(const tstrings::StringBuilder& libName)
    : path(tstrings::toUtf16(FileUtils::combinePath(SysInfo::getSystemDir(), libName.str()))),
      module(loadLibrary(path)) {}

Dll::Dll(const Dll& other) : path(other.path), module(referenceLoadedModule(path)) {
    if (module.get() == nullptr) {
        ORV_THROW_LAST_ERROR(tstrings::StringBuilder("GetModuleHandleExW(") << path << ") failed", GetModuleHandleExW);
    }
}
