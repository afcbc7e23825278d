#pragma once

#include "FileUtils.h"
#include "WinAutoHandle.h"

#include <windows.h>

#include <cstdint>
#include <string>

// One resource embedded in a loaded image, read in place.
class Resource {
public:
    // type: an integer resource type such as RT_RCDATA.
    Resource(unsigned id, LPCSTR type, HMODULE module);

    // Points into the loaded image, valid as long as the module stays loaded.
    LPCVOID getPtr(DWORD& size) const;

    // The file that saveIn wrote, open for reading, with writing, renaming and deletion denied
    // to every other opener for as long as the handle stays open; and its file ID.
    struct Saved {
        AutoHandle held;
        std::int64_t fileId;
    };

    // Writes the resource to a new file name in the directory that dir holds, never to one
    // that is there already; a failure may leave a partial file, which goes with the directory.
    Saved saveIn(const FileUtils::HeldDirectory& dir, const std::wstring& name) const;

private:
    std::string description() const;

    std::string nameText;
    LPCSTR name;
    std::string typeText;
    LPCSTR type;
    HMODULE module;
};
