#include "FileUtils.h"

#include "Log.h"
#include "OrvError.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"
#include "tstrings.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <memory>

namespace FileUtils {

namespace {

const char* const separators = "\\/";

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

} // namespace

std::string dirname(const std::string& path) {
    const std::string::size_type last = path.find_last_of(separators);
    if (last == std::string::npos) {
        return std::string();
    }
    const std::string::size_type end = path.find_last_not_of(separators, last);
    if (end == std::string::npos) {
        return std::string();
    }
    return path.substr(0, end + 1);
}

std::string basename(const std::string& path) {
    const std::string::size_type last = path.find_last_of(separators);
    if (last == std::string::npos) {
        return path;
    }
    return path.substr(last + 1);
}

std::string removeTrailingSlashes(const std::string& path) {
    std::string::size_type end = path.size();
    while (end > 0 && isSeparator(path[end - 1])) {
        --end;
    }
    return path.substr(0, end);
}

std::string combinePath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    if (name.empty()) {
        return dir;
    }
    const std::string::size_type skip = isSeparator(name[0]) ? 1 : 0;
    return removeTrailingSlashes(dir) + '\\' + name.substr(skip);
}

bool isDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

const std::string& invalidFileNameChars() {
    static const std::string chars = [] {
        std::string s;
        for (char c = 0; c < 32; ++c) {
            s += c;
        }
        return s + "<>:\"|?*/\\";
    }();
    return chars;
}

namespace {

using tstrings::StringBuilder;

bool isAbsent(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A junction or a symbolic link. Walks never pass through one, so they stay inside the
// tree they were handed and end even when a link points back up.
bool isReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool createNewFile(const std::string& path) {
    // CREATE_NEW: the file is ours, never one that another process put there first.
    AutoHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    file.reset();
    ORV_LOG(LogLevel::Trace, StringBuilder("Created [") << path << "] file");
    return true;
}

void createDir(const std::string& path) {
    if (CreateDirectoryA(path.c_str(), nullptr)) {
        ORV_LOG(LogLevel::Trace, StringBuilder("Created [") << path << "] directory");
        return;
    }
    const DWORD error = GetLastError();
    if (isDirectory(path)) {
        return;
    }
    ORV_THROW_WIN32(StringBuilder("CreateDirectory(") << path << ") failed", CreateDirectoryA, error);
}

} // namespace

std::string createTempFile(const std::string& prefix, const std::string& suffix, const std::string& dir) {
    return createTempFile(prefix, suffix, dir, GetTickCount());
}

std::string createTempFile(const std::string& prefix, const std::string& suffix, const std::string& dir,
                           std::uint32_t tickCount) {
    if (prefix.find_first_of(invalidFileNameChars()) != std::string::npos) {
        ORV_THROW_RUNTIME(StringBuilder("Illegal characters in prefix=") << prefix);
    }
    if (suffix.find_first_of(invalidFileNameChars()) != std::string::npos) {
        ORV_THROW_RUNTIME(StringBuilder("Illegal characters in suffix=") << suffix);
    }
    for (std::uint32_t attempt = 0; attempt < 100; ++attempt) {
        const std::int32_t number = static_cast<std::int32_t>(tickCount + attempt);
        const std::string path = combinePath(dir, prefix + tstrings::toDecimal(number) + suffix);
        if (createNewFile(path)) {
            return path;
        }
    }
    ORV_THROW_RUNTIME(StringBuilder("createTempFile(") << prefix << ", " << suffix << ", " << dir << ") failed");
}

void createDirectories(const std::string& path) {
    const std::string p = removeTrailingSlashes(path) + '\\';
    for (std::string::size_type k = 0; k < p.size(); ++k) {
        if (isSeparator(p[k])) {
            createDir(p.substr(0, k + 1));
        }
    }
}

bool DirectoryCallback::onFile(const std::string&) {
    return true;
}

bool DirectoryCallback::onDirectory(const std::string&) {
    return true;
}

namespace {

void closeFindHandle(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        FindClose(handle);
    }
}

using AutoFindHandle = AutoOwner<HANDLE, closeFindHandle>;

} // namespace

void iterateDirectory(const std::string& dir, DirectoryCallback& callback, const char* pattern) {
    WIN32_FIND_DATAA entry;
    const AutoFindHandle find(FindFirstFileA(combinePath(dir, pattern).c_str(), &entry));
    if (find.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return;
        }
        ORV_THROW_WIN32(StringBuilder("FindFirstFile(") << dir << ") failed", FindFirstFileA, error);
    }
    for (;;) {
        const std::string name = entry.cFileName;
        const std::string path = combinePath(dir, name);
        bool goOn = true;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (name != "." && name != "..") {
                goOn = callback.onDirectory(path);
            }
        } else {
            goOn = callback.onFile(path);
        }
        if (!goOn) {
            return;
        }
        if (!FindNextFileA(find.get(), &entry)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_FILES) {
                return;
            }
            ORV_THROW_WIN32(StringBuilder("FindNextFile(") << dir << ") failed", FindNextFileA, error);
        }
    }
}

DirectoryIterator::DirectoryIterator(bool recurse, bool withFiles, bool withFolders, const std::string& root)
    : recurse(recurse), withFiles(withFiles), withFolders(withFolders), root(root) {}

void DirectoryIterator::findItems(std::vector<std::string>& out) {
    if (!isDirectory(root)) {
        return;
    }
    // Left over when an earlier listing failed.
    items.clear();
    iterateDirectory(root, *this);
    out.insert(out.end(), items.begin(), items.end());
    items.clear();
}

bool DirectoryIterator::onFile(const std::string& path) {
    if (withFiles) {
        items.push_back(path);
    }
    return true;
}

bool DirectoryIterator::onDirectory(const std::string& path) {
    if (withFolders) {
        items.push_back(path);
    }
    if (recurse && !isReparsePoint(GetFileAttributesA(path.c_str()))) {
        DirectoryIterator(recurse, withFiles, withFolders, path).findItems(items);
    }
    return true;
}

namespace {

bool deleteFileImpl(const std::string& path) {
    if (DeleteFileA(path.c_str())) {
        ORV_LOG(LogLevel::Trace, StringBuilder("Deleted [") << path << "] file");
        return true;
    }
    return isAbsent(GetLastError());
}

} // namespace

bool deleteFile(const std::string& path, std::nothrow_t) {
    if (deleteFileImpl(path)) {
        return true;
    }
    if (GetLastError() == ERROR_ACCESS_DENIED) {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        SetLastError(ERROR_ACCESS_DENIED);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return false;
        }
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            if (SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
                ORV_LOG(LogLevel::Trace, StringBuilder("Discarded R/O attribute from [") << path << "] file");
                if (deleteFileImpl(path)) {
                    return true;
                }
            } else {
                const DWORD error = GetLastError();
                ORV_LOG(LogLevel::Warning, SysError(StringBuilder("Failed to discard R/O attribute from [")
                                                        << path << "] file. File will not be deleted",
                                                    apiAddress(SetFileAttributesA), error)
                                               .what());
                SetLastError(ERROR_ACCESS_DENIED);
            }
        }
    }
    return isAbsent(GetLastError());
}

void deleteFile(const std::string& path) {
    if (!deleteFile(path, std::nothrow)) {
        ORV_THROW_LAST_ERROR(StringBuilder("DeleteFile(") << path << ") failed", DeleteFileA);
    }
}

bool deleteDirectory(const std::string& path, std::nothrow_t) {
    if (RemoveDirectoryA(path.c_str())) {
        ORV_LOG(LogLevel::Trace, StringBuilder("Deleted [") << path << "] directory");
        return true;
    }
    return isAbsent(GetLastError());
}

void deleteDirectory(const std::string& path) {
    if (!deleteDirectory(path, std::nothrow)) {
        ORV_THROW_LAST_ERROR(StringBuilder("RemoveDirectory(") << path << ") failed", RemoveDirectoryA);
    }
}

namespace {

class DeleteFilesCallback : public DirectoryCallback {
public:
    explicit DeleteFilesCallback(bool strict) : strict(strict) {}

    bool onFile(const std::string& path) override {
        if (strict) {
            deleteFile(path);
        } else if (!deleteFile(path, std::nothrow)) {
            failed = true;
        }
        return true;
    }

    const bool strict;
    bool failed = false;
};

class DeleteAllCallback : public DeleteFilesCallback {
public:
    using DeleteFilesCallback::DeleteFilesCallback;

    bool onDirectory(const std::string& path) override {
        if (strict) {
            deleteDirectoryRecursive(path);
        } else if (!deleteDirectoryRecursive(path, std::nothrow)) {
            failed = true;
        }
        return true;
    }
};

class BatchDeleter {
public:
    BatchDeleter(const std::string& dir, bool recursive) : dir(dir), recursive(recursive) {}

    bool execute() const {
        try {
            const DWORD attributes = GetFileAttributesA(dir.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                // Only a path that is gone has nothing left to delete.
                return isAbsent(GetLastError());
            }
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                return false;
            }
            if (isReparsePoint(attributes)) {
                // The link goes, never what it points to.
                return recursive && deleteDirectory(dir, std::nothrow);
            }
            const std::unique_ptr<DeleteFilesCallback> callback =
                recursive ? std::make_unique<DeleteAllCallback>(false) : std::make_unique<DeleteFilesCallback>(false);
            iterateDirectory(dir, *callback);
            if (callback->failed) {
                return false;
            }
            return !recursive || deleteDirectory(dir, std::nothrow);
        } catch (const std::exception& e) {
            ORV_REPORT_EXCEPTION(e);
        } catch (...) {
            ORV_REPORT_UNKNOWN_EXCEPTION();
        }
        return false;
    }

private:
    const std::string dir;
    const bool recursive;
};

} // namespace

bool deleteFilesInDirectory(const std::string& dir) {
    return BatchDeleter(dir, false).execute();
}

bool deleteDirectoryRecursive(const std::string& dir, std::nothrow_t) {
    return BatchDeleter(dir, true).execute();
}

void deleteDirectoryRecursive(const std::string& dir) {
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && isAbsent(GetLastError())) {
        return;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && !isReparsePoint(attributes)) {
        DeleteAllCallback callback(true);
        iterateDirectory(dir, callback);
    }
    // Also raises the failure of a path whose attributes could not be read.
    deleteDirectory(dir);
}

namespace {

// More than any payload's directory holds; a tree larger than that is left alone rather than
// held with that many handles.
constexpr std::size_t maxHeldEntries = 4096;

struct HeldEntry {
    std::wstring path;
    AutoHandle handle;
    bool directory;
};

// Opened for deletion, sharing nothing: any other open handle, whatever it is for, makes
// this fail. A link is opened as itself, never followed.
AutoHandle openUnused(const std::wstring& path) {
    return AutoHandle(CreateFileW(path.c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
}

bool readInformation(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) {
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &information);
}

bool isPlainDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !isReparsePoint(attributes);
}

struct Listed {
    std::wstring name;
    DWORD attributes;
};

// The entries of a directory, read through its handle: one opened sharing nothing may list as
// empty through its path.
bool listThroughHandle(HANDLE dir, std::vector<Listed>& listed) {
    std::vector<std::uint64_t> buffer(8192);
    for (bool first = true;; first = false) {
        if (!GetFileInformationByHandleEx(dir, first ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo,
                                          buffer.data(), static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
            return GetLastError() == ERROR_NO_MORE_FILES;
        }
        const auto* at = reinterpret_cast<const BYTE*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                listed.push_back({name, entry->FileAttributes});
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
}

bool setDeletion(HANDLE handle, bool deleteOnClose) {
    FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(deleteOnClose)};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

// Opens everything below the directory at entries[0], each entry after the directory that
// holds it; false when anything cannot be opened or listed.
bool holdTree(std::vector<HeldEntry>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].directory) {
            continue;
        }
        std::vector<Listed> listed;
        if (!listThroughHandle(entries[i].handle.get(), listed) || entries.size() + listed.size() > maxHeldEntries) {
            return false;
        }
        for (const Listed& entry : listed) {
            const std::wstring path = entries[i].path + L"\\" + entry.name;
            AutoHandle handle = openUnused(path);
            BY_HANDLE_FILE_INFORMATION information;
            if (!readInformation(handle.get(), information) ||
                (isReparsePoint(entry.attributes) && !isReparsePoint(information.dwFileAttributes))) {
                // Where the system follows a link even when asked not to (Wine does, for a Unix
                // symbolic link), the handle is the link's target: nothing of the tree goes.
                return false;
            }
            entries.push_back({path, std::move(handle), isPlainDirectory(information.dwFileAttributes)});
        }
    }
    return true;
}

} // namespace

bool deleteTreeIfUnused(const std::string& dir, std::uint32_t minAgeMs) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const auto oldEnough = [&now, minAgeMs](const FILETIME& created) {
        const auto ticks = [](const FILETIME& time) {
            return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
        };
        // In 100 ns units; a creation time in the future is young too.
        return ticks(now) >= ticks(created) && ticks(now) - ticks(created) >= std::uint64_t(minAgeMs) * 10000;
    };
    std::vector<HeldEntry> entries;
    entries.push_back({tstrings::ansiToUtf16(dir), AutoHandle(INVALID_HANDLE_VALUE), true});
    // Through the path first: a directory that a launcher has just created, and not yet had
    // time to hold, is never opened, as that open would keep the launcher from its own. The
    // path also shows a link that the handle may not (see holdTree).
    WIN32_FILE_ATTRIBUTE_DATA byPath;
    if (!GetFileAttributesExW(entries[0].path.c_str(), GetFileExInfoStandard, &byPath) ||
        !isPlainDirectory(byPath.dwFileAttributes) || !oldEnough(byPath.ftCreationTime)) {
        return false;
    }
    entries[0].handle = openUnused(entries[0].path);
    BY_HANDLE_FILE_INFORMATION information;
    if (!readInformation(entries[0].handle.get(), information) || !isPlainDirectory(information.dwFileAttributes) ||
        !oldEnough(information.ftCreationTime)) {
        return false;
    }
    if (!holdTree(entries)) {
        return false;
    }
    // Marked first, all of them: a file that cannot go (a program still runs from it) keeps
    // every other one too. A mark takes effect when its handle closes.
    std::vector<HANDLE> marked;
    for (const HeldEntry& entry : entries) {
        if (!entry.directory) {
            if (!setDeletion(entry.handle.get(), true)) {
                for (const HANDLE handle : marked) {
                    setDeletion(handle, false);
                }
                return false;
            }
            marked.push_back(entry.handle.get());
        }
    }
    // Each directory comes after its contents.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->directory && !setDeletion(entry->handle.get(), true)) {
            return false;
        }
        entry->handle.reset();
    }
    ORV_LOG(LogLevel::Trace, StringBuilder("Deleted [") << dir << "] directory with " << entries.size() - 1
                                                        << " files and directories in it, all unused");
    return true;
}

namespace {

void moveFileImpl(const std::string& from, const std::string& to, DWORD flags) {
    const bool folder = isDirectory(from);
    if (!MoveFileExA(from.c_str(), to.empty() ? nullptr : to.c_str(), flags)) {
        ORV_THROW_LAST_ERROR(StringBuilder("MoveFileEx(") << from << ", " << to << ", " << flags << ") failed",
                             MoveFileExA);
    }
    const bool delayed = (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
    const char* const noun = folder ? "folder" : "file";
    const char* const onReboot = delayed ? " on reboot" : "";
    if (to.empty()) {
        ORV_LOG(LogLevel::Trace, StringBuilder(delayed ? "Delete" : "Deleted")
                                     << " '" << from << "' " << noun << onReboot);
    } else {
        ORV_LOG(LogLevel::Trace, StringBuilder(delayed ? "Move" : "Moved")
                                     << " '" << from << "' " << noun << " to '" << to << "'" << onReboot);
    }
}

void deleteOnReboot(const std::string& path) {
    try {
        moveFileImpl(path, std::string(), MOVEFILE_DELAY_UNTIL_REBOOT);
    } catch (const std::exception& e) {
        ORV_REPORT_EXCEPTION(e);
    } catch (...) {
        ORV_REPORT_UNKNOWN_EXCEPTION();
    }
}

// Registers what is left of the entry, contents before the directory that holds them.
void scheduleOnReboot(const Deleter::Entry& entry) {
    const DWORD attributes = GetFileAttributesA(entry.path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (entry.kind == DeleteKind::FileOrOnReboot) {
        deleteOnReboot(entry.path);
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return;
    }
    // A link is registered itself, never what it points to.
    const bool link = isReparsePoint(attributes);
    std::vector<std::string> paths;
    switch (entry.kind) {
    case DeleteKind::FilesInDirectoryOrOnReboot:
        if (!link) {
            DirectoryIterator(false, true, false, entry.path).findItems(paths);
        }
        break;
    case DeleteKind::DirectoryTreeOrOnReboot:
        paths.push_back(entry.path);
        if (!link) {
            DirectoryIterator(true, true, true, entry.path).findItems(paths);
        }
        break;
    case DeleteKind::EmptyDirectoryOrOnReboot:
        paths.push_back(entry.path);
        break;
    default:
        break;
    }
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        deleteOnReboot(*it);
    }
}

bool isKnown(DeleteKind kind) {
    return kind >= DeleteKind::File && kind <= DeleteKind::EmptyDirectoryOrOnReboot;
}

bool asksForReboot(DeleteKind kind) {
    return (static_cast<std::int32_t>(kind) & 1) != 0;
}

void deleteNow(const Deleter::Entry& entry) {
    switch (entry.kind) {
    case DeleteKind::File:
    case DeleteKind::FileOrOnReboot:
        deleteFile(entry.path, std::nothrow);
        break;
    case DeleteKind::FilesInDirectory:
    case DeleteKind::FilesInDirectoryOrOnReboot:
        deleteFilesInDirectory(entry.path);
        break;
    case DeleteKind::DirectoryTree:
    case DeleteKind::DirectoryTreeOrOnReboot:
        deleteDirectoryRecursive(entry.path, std::nothrow);
        break;
    case DeleteKind::EmptyDirectory:
    case DeleteKind::EmptyDirectoryOrOnReboot:
        deleteDirectory(entry.path, std::nothrow);
        break;
    }
}

} // namespace

void moveFile(const std::string& from, const std::string& to) {
    createDirectories(dirname(to));
    moveFileImpl(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
}

Deleter::Deleter(bool rebootFallback) : rebootFallback(rebootFallback) {}

Deleter::~Deleter() {
    execute();
}

void Deleter::appendFile(const std::string& path) {
    append(path, rebootFallback ? DeleteKind::FileOrOnReboot : DeleteKind::File);
}

void Deleter::append(const std::string& path, DeleteKind kind) {
    entries.push_back(Entry{path, kind});
}

void Deleter::cancel() {
    entries.clear();
}

void Deleter::execute() {
    std::vector<Entry> local;
    local.swap(entries);
    std::stable_sort(local.begin(), local.end(), [](const Entry& a, const Entry& b) { return a.kind < b.kind; });
    for (const Entry& entry : local) {
        if (!isKnown(entry.kind)) {
            continue;
        }
        // One entry that fails must not keep the others from being carried out, and nothing
        // may leave the destructor.
        try {
            deleteNow(entry);
            if (asksForReboot(entry.kind)) {
                scheduleOnReboot(entry);
            }
        } catch (const std::exception& e) {
            ORV_REPORT_EXCEPTION(e);
        } catch (...) {
            ORV_REPORT_UNKNOWN_EXCEPTION();
        }
    }
}

} // namespace FileUtils
