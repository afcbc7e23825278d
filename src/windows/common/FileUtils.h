#pragma once

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

// Deletes dir with everything in it, but only when nothing of it is in use: dir is a
// directory, not a link, created at least minAgeMs ago, and it and every file and directory in
// it can be opened for deletion sharing nothing. All of them are opened before any is deleted
// and held while they are deleted; if one cannot be, nothing is deleted. Links inside are
// deleted as links, never entered. Never throws; true when it deleted dir.
bool deleteTreeIfUnused(const std::string& dir, std::uint32_t minAgeMs);

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

} // namespace FileUtils
