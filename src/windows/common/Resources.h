#pragma once

#include "WinAutoHandle.h"

#include <windows.h>

#include <string>

// One resource embedded in a loaded image, read in place.
class Resource {
public:
    // type: an integer resource type such as RT_RCDATA.
    Resource(unsigned id, LPCSTR type, HMODULE module);

    // Points into the loaded image, valid as long as the module stays loaded.
    LPCVOID getPtr(DWORD& size) const;

    // Writes the resource to path through a temporary file beside it, replacing an existing
    // file; on failure neither the temporary file nor a partial file at path remains. Returns
    // the written file open for reading, with writing, renaming and deletion denied to every
    // other opener for as long as the handle stays open.
    AutoHandle saveToFile(const std::string& path) const;

private:
    std::string description() const;

    std::string nameText;
    LPCSTR name;
    std::string typeText;
    LPCSTR type;
    HMODULE module;
};
