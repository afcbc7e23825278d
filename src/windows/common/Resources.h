#pragma once

#include "FileUtils.h"
#include "WinAutoHandle.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

namespace bundle {
struct Bundle;
}

// A carried tree written into a held directory: every directory and file made, held until
// this goes, and what each held directory must list for the tamper check.
struct ExtractedTree {
    struct Listing {
        HANDLE dir;                                                 // held here or by the caller
        std::vector<std::pair<std::wstring, std::int64_t>> entries; // name and file ID
    };
    std::vector<Listing> listings;
    std::vector<FileUtils::HeldDirectory> directories;
    std::vector<AutoHandle> files;
    std::wstring program; // the entry to start, relative to the root
};

// Writes the tree that the bundle at data describes (as bundle::read accepted it) into the
// directory root holds, each name created anew relative to the held directory that holds it,
// and each file held once written, with writing, renaming and deletion denied to others. That
// each hold is on the file that was written is for the tamper check to show, by the listings.
// Compressed chunks are decompressed on every processor the process may use, and written in
// order. Throws on the first failure; what was made goes with the directory.
ExtractedTree extractTree(const FileUtils::HeldDirectory& root, const bundle::Bundle& tree, const void* data);
