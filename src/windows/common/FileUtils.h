#pragma once

#include "WinAutoHandle.h"

#include <windows.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace FileUtils {

// Both '\' and '/' separate; one '\' is written when a path is put together.
std::string dirname(const std::string& path);
std::string basename(const std::string& path);
std::string removeTrailingSlashes(const std::string& path);
std::string combinePath(const std::string& dir, const std::string& name);
bool isDirectory(const std::string& path);

// Characters refused in the name parts of temporary files, NUL included.
const std::string& invalidFileNameChars();

// Creates a new, empty file <prefix><number><suffix> in dir and returns its path. The number
// is the tick count plus the attempt, 0 to 99, as a signed 32-bit decimal.
std::string createTempFile(const std::string& prefix, const std::string& suffix, const std::string& dir);
// The same with a given tick count, so that tests can reach the wrap-around.
std::string createTempFile(const std::string& prefix, const std::string& suffix, const std::string& dir,
                           std::uint32_t tickCount);

// Creates every missing directory along the path.
void createDirectories(const std::string& path);

// Receives the entries of a directory walk; returning false ends the walk.
class DirectoryCallback {
public:
    virtual ~DirectoryCallback() = default;
    virtual bool onFile(const std::string& path);
    // Also called for a directory link (a reparse point), which callers must not descend into.
    virtual bool onDirectory(const std::string& path);
};

// Calls the callback with the full path of each entry of dir, "." and ".." left out; with a
// pattern, of the entries that the system matches to it (by their long or their short name),
// which spares a walk of a large directory the entries it is not after. A directory without
// such entries is empty; any other failure to list it throws.
void iterateDirectory(const std::string& dir, DirectoryCallback& callback, const char* pattern = "*");

// Lists the entries below root in depth-first pre-order: a directory comes directly before
// its contents. Directory links are listed but never entered.
class DirectoryIterator : public DirectoryCallback {
public:
    DirectoryIterator(bool recurse, bool withFiles, bool withFolders, const std::string& root);

    // Appends the entries to out; appends nothing when root is not a directory.
    void findItems(std::vector<std::string>& out);

    bool onFile(const std::string& path) override;
    bool onDirectory(const std::string& path) override;

private:
    const bool recurse;
    const bool withFiles;
    const bool withFolders;
    const std::string root;
    std::vector<std::string> items;
};

// Every deletion has a throwing form and a non-throwing one, chosen with std::nothrow, that
// returns true when the path is gone; a path that was already absent counts as gone.
// A read-only file loses its read-only attribute when that alone stops the deletion.
void deleteFile(const std::string& path);
bool deleteFile(const std::string& path, std::nothrow_t);
// An empty directory only.
void deleteDirectory(const std::string& path);
bool deleteDirectory(const std::string& path, std::nothrow_t);
// The files directly inside dir; subdirectories stay.
bool deleteFilesInDirectory(const std::string& dir);
// dir with everything in it. A directory link inside is removed itself, never entered.
// The throwing form stops at the first failure, the other goes on and deletes what it can.
void deleteDirectoryRecursive(const std::string& dir);
bool deleteDirectoryRecursive(const std::string& dir, std::nothrow_t);

// Trees that others may touch are reached through handles only: each entry is opened by one
// name component inside the directory handle that holds it, never through a path resolved
// again, and never through a link.

// One path component: not empty, not "." or "..", without a separator.
bool isPlainName(const std::wstring& name);

// The path the system gives for an open handle ("\\?\C:\..."); empty when it gives none.
std::wstring finalPathOf(HANDLE handle);

// A directory opened once and held, with the path it was reached by and the one the system
// gives for it.
struct HeldDirectory {
    AutoHandle handle;
    std::wstring path;
    std::wstring finalPath;
};

// Opens the directory at path for listing, sharing everything, as itself if it is a link.
// Throws when it cannot.
HeldDirectory holdDirectoryAt(const std::wstring& path);

// How an entry is reached inside a held directory.
enum class OpenIn {
    Existing,     // a file or directory that is there, never followed if it is a link
    NewFile,      // a file that must not exist yet
    NewDirectory, // a directory that must not exist yet
};

// Opens or creates name inside the directory that dir holds. A name that is not one plain
// component is refused (ERROR_INVALID_NAME). On failure the owner holds INVALID_HANDLE_VALUE
// and the thread's last error says why.
AutoHandle openIn(HANDLE dir, const std::wstring& name, OpenIn how, DWORD access, DWORD share,
                  PSECURITY_DESCRIPTOR descriptor = nullptr);

// An entry of a directory listed through its handle.
struct Listed {
    std::wstring name;
    DWORD attributes;
    std::int64_t fileId;
};

// Lists the directory that dir holds ("." and ".." left out); false when it cannot, or when it
// holds more than limit entries (the listing stops there).
bool listIn(HANDLE dir, std::vector<Listed>& out, std::size_t limit);

// The file ID of an open handle, or -1.
std::int64_t fileIdOf(HANDLE handle);

// Opens the file with that ID on the volume of volumeHint, as itself if it is a link; on
// failure the owner holds INVALID_HANDLE_VALUE.
AutoHandle openById(HANDLE volumeHint, std::int64_t fileId, DWORD access, DWORD share);
// The same for removal: DELETE, sharing nothing.
AutoHandle openByIdForRemoval(HANDLE volumeHint, std::int64_t fileId);

// Removes the tree whose root the handle holds, opened for removal (DELETE, sharing nothing,
// as itself) and reached as path, whose final path must be expectedFinalPath. All or nothing:
// every entry is opened relative to its held parent and checked to be where its name says,
// every file is marked, the held directories are listed again, and only when nothing is in
// use and nothing changed does anything go; otherwise every mark is undone and why says why
// the tree stays. eachRecord: one "Deleted" record for each entry, else one for the tree.
enum class Removal {
    Removed,
    InUse, // something of it is open, or was at that moment: a later try may remove it
    Kept,  // it is not what it was, or not all of it can go
};
Removal removeHeldTree(AutoHandle root, const std::wstring& path, const std::wstring& expectedFinalPath,
                       bool eachRecord, std::string& why);

// Whether something created then is less than ageMs old; a creation time in the future is young.
bool isYoungerThan(const FILETIME& created, std::uint32_t ageMs);

// Accepts a tree's root before anything of it is listed: whether it was made by the caller's
// kind of program.
using RootCheck = bool (*)(HANDLE root);

// The tree named name in the held directory parent, removed as removeHeldTree removes it, and
// only when it is a plain directory created at least minAgeMs ago that accept takes. Never
// throws; true when it removed the tree. A tree that stays gets one TRACE record saying why.
bool deleteTreeIfUnused(const HeldDirectory& parent, const std::wstring& name, std::uint32_t minAgeMs,
                        RootCheck accept);

// Creates the directories of to, then moves from onto to, replacing a file there.
void moveFile(const std::string& from, const std::string& to);

// The value is also the order of deletion; an odd value asks that whatever is left be
// deleted at the next restart.
enum class DeleteKind : std::int32_t {
    File = 0,
    FileOrOnReboot = 1,
    FilesInDirectory = 2,
    FilesInDirectoryOrOnReboot = 3,
    DirectoryTree = 4,
    DirectoryTreeOrOnReboot = 5,
    EmptyDirectory = 6,
    EmptyDirectoryOrOnReboot = 7,
};

// Paths to delete when executed or destroyed; cancel() forgets them. Deletion is best effort
// and never throws: what cannot be deleted stays, and every error raised on the way is logged.
class Deleter {
public:
    struct Entry {
        std::string path;
        DeleteKind kind;
    };

    explicit Deleter(bool rebootFallback);
    ~Deleter();
    Deleter(const Deleter&) = delete;
    Deleter& operator=(const Deleter&) = delete;

    // A file, to be deleted at the next restart as well when rebootFallback is set.
    void appendFile(const std::string& path);
    void append(const std::string& path, DeleteKind kind);
    void cancel();
    // Files first, then directory contents, trees and empty directories, each kind in the
    // order added. Leaves the list empty.
    void execute();

private:
    const bool rebootFallback;
    std::vector<Entry> entries;
};

// Test seam: called in a removal right after a directory of the tree was listed, before
// anything in it is opened, with the directory's path.
extern void (*afterListingForTesting)(const std::wstring& dir);

} // namespace FileUtils
