#include "FileUtils.h"

#include "Log.h"
#include "OrvError.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"
#include "tstrings.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

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

// NtCreateFile's dispositions and options, which the headers for programs leave out.
constexpr ULONG ntOpen = 1;
constexpr ULONG ntCreate = 2;
constexpr ULONG ntDirectoryFile = 0x1;
constexpr ULONG ntSynchronousIo = 0x20;
constexpr ULONG ntNonDirectoryFile = 0x40;
constexpr ULONG ntOpenForBackupIntent = 0x4000;
constexpr ULONG ntOpenReparsePoint = 0x200000;
constexpr ULONG ntCaseInsensitive = 0x40;

// NtQueryInformationFile's class for the file ID alone.
constexpr ULONG ntFileInternalInformation = 6;

using NtCreateFileFn = LONG(WINAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                     ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryInformationFileFn = LONG(WINAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(LONG);

// The only way to open a name relative to a directory handle, and to read a file ID without
// the volume's facts; ntdll is in every process, so it is looked up, never loaded.
struct Ntdll {
    NtCreateFileFn createFile = nullptr;
    NtQueryInformationFileFn queryInformationFile = nullptr;
    RtlNtStatusToDosErrorFn toWin32 = nullptr;
};

const Ntdll& ntdll() {
    static const Ntdll bound = [] {
        Ntdll functions;
        const HMODULE module = GetModuleHandleW(L"ntdll.dll");
        if (module != nullptr) {
            functions.createFile =
                reinterpret_cast<NtCreateFileFn>(reinterpret_cast<void (*)()>(GetProcAddress(module, "NtCreateFile")));
            functions.queryInformationFile = reinterpret_cast<NtQueryInformationFileFn>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, "NtQueryInformationFile")));
            functions.toWin32 = reinterpret_cast<RtlNtStatusToDosErrorFn>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, "RtlNtStatusToDosError")));
        }
        return functions;
    }();
    return bound;
}

AutoHandle noHandle() {
    return AutoHandle(INVALID_HANDLE_VALUE);
}

// What a removal asks of each entry: to delete it, to list it if it is a directory, to read
// its facts and to clear a read-only attribute that would keep it.
constexpr DWORD removalAccess =
    DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

bool isPlainDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !isReparsePoint(attributes);
}

bool setDeletion(HANDLE handle, bool deleteOnClose) {
    FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(deleteOnClose)};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

bool setAttributes(HANDLE handle, DWORD attributes) {
    // Only these can be set; zero times are left as they are.
    const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (attributes & settable) == 0 ? FILE_ATTRIBUTE_NORMAL : attributes & settable;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

std::string errorText(DWORD error) {
    return systemErrorText(error, nullptr);
}

struct HeldEntry {
    std::wstring path;      // for the records
    std::wstring finalPath; // where the system says it is
    AutoHandle handle;
    DWORD attributes;
    bool directory;                              // a plain one, entered; a link is not
    std::vector<std::wstring> names;             // what it held when listed
    std::pair<std::int64_t, std::int64_t> times; // last write and change when listed
};

// A name added to a directory or removed from it moves these. Wine lists a directory again
// from what it read the first time, so under Wine they are what shows a name added since.
std::pair<std::int64_t, std::int64_t> timesOf(HANDLE dir) {
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(dir, FileBasicInfo, &basic, sizeof basic)) {
        return {-1, -1};
    }
    return {basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart};
}

// Opens everything below the directory at entries[0], each entry relative to the held
// directory that lists it.
Removal holdTree(std::vector<HeldEntry>& entries, std::string& why) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].directory) {
            continue;
        }
        std::vector<Listed> listed;
        entries[i].times = timesOf(entries[i].handle.get());
        if (!listIn(entries[i].handle.get(), listed, maxHeldEntries - entries.size())) {
            const DWORD error = GetLastError();
            why = (StringBuilder("[") << entries[i].path << "] cannot be listed: " << errorText(error)).str();
            return Removal::InUse;
        }
        if (afterListingForTesting != nullptr) {
            afterListingForTesting(entries[i].path);
        }
        if (entries.size() + listed.size() > maxHeldEntries) {
            why = (StringBuilder("it holds more than ") << maxHeldEntries << " entries").str();
            return Removal::Kept;
        }
        for (const Listed& entry : listed) {
            const std::wstring path = entries[i].path + L"\\" + entry.name;
            if (!isPlainName(entry.name)) {
                why = (StringBuilder("[") << path << "] is not a plain name").str();
                return Removal::Kept;
            }
            AutoHandle handle = openIn(entries[i].handle.get(), entry.name, OpenIn::Existing, removalAccess, 0);
            if (handle.get() == INVALID_HANDLE_VALUE) {
                const DWORD error = GetLastError();
                why = (StringBuilder("[") << path << "] is in use or cannot be opened: " << errorText(error)).str();
                return Removal::InUse;
            }
            // Where the system follows a link even when asked not to (Wine does, for a Unix
            // symbolic link), the handle is the link's target, somewhere else. The attributes
            // are read from the open file alone: GetFileInformationByHandle also asks for the
            // volume, which Wine answers through another process.
            const std::wstring finalPath = finalPathOf(handle.get());
            FILE_BASIC_INFO basic;
            if (finalPath != entries[i].finalPath + L"\\" + entry.name ||
                !GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
                why = (StringBuilder("[") << path << "] does not lead where its name says").str();
                return Removal::Kept;
            }
            entries[i].names.push_back(entry.name);
            const DWORD attributes = basic.FileAttributes;
            entries.push_back({path, finalPath, std::move(handle), attributes, isPlainDirectory(attributes), {}, {}});
        }
    }
    return Removal::Removed;
}

// The marks set on a held tree's files, undone when it goes unless kept.
class Marks {
public:
    Marks() = default;
    ~Marks() {
        if (kept) {
            return;
        }
        for (const HANDLE handle : marked) {
            setDeletion(handle, false);
        }
        for (const auto& [handle, attributes] : readOnly) {
            setAttributes(handle, attributes);
        }
    }
    Marks(const Marks&) = delete;
    Marks& operator=(const Marks&) = delete;

    bool mark(const HeldEntry& entry) {
        if ((entry.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            // Cleared by handle: the flag would keep the tree for ever.
            if (!setAttributes(entry.handle.get(), entry.attributes & ~FILE_ATTRIBUTE_READONLY)) {
                return false;
            }
            readOnly.emplace_back(entry.handle.get(), entry.attributes);
        }
        if (!setDeletion(entry.handle.get(), true)) {
            return false;
        }
        marked.push_back(entry.handle.get());
        return true;
    }

    void keep() { kept = true; }

private:
    std::vector<HANDLE> marked;
    std::vector<std::pair<HANDLE, DWORD>> readOnly;
    bool kept = false;
};

std::vector<std::wstring> sortedNames(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// Whether every held directory still lists exactly what it listed when it was held.
bool unchanged(const std::vector<HeldEntry>& entries, std::string& why) {
    for (const HeldEntry& entry : entries) {
        if (!entry.directory) {
            continue;
        }
        std::vector<Listed> now;
        std::vector<std::wstring> names;
        if (listIn(entry.handle.get(), now, entry.names.size())) {
            for (const Listed& listed : now) {
                names.push_back(listed.name);
            }
        }
        if (now.size() != entry.names.size() || sortedNames(names) != sortedNames(entry.names) ||
            timesOf(entry.handle.get()) != entry.times) {
            why = (StringBuilder("[") << entry.path << "] changed while it was being removed").str();
            return false;
        }
    }
    return true;
}

Removal removeTree(std::vector<HeldEntry>& entries, bool eachRecord, std::string& why) {
    const Removal held = holdTree(entries, why);
    if (held != Removal::Removed) {
        return held;
    }
    // A directory can be marked only once it is empty, so its files are marked first, all of
    // them: a file that cannot go (a program still runs from it) keeps every other one too.
    {
        Marks marks;
        for (const HeldEntry& entry : entries) {
            if (!entry.directory && !marks.mark(entry)) {
                const DWORD error = GetLastError();
                why = (StringBuilder("[") << entry.path << "] is in use: " << errorText(error)).str();
                return Removal::InUse;
            }
        }
        // A name created meanwhile would keep its directory once the files are gone.
        if (!unchanged(entries, why)) {
            return Removal::InUse;
        }
        marks.keep();
    }
    // Each directory comes after its contents.
    std::vector<std::string> deleted;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->directory && !setDeletion(entry->handle.get(), true)) {
            const DWORD error = GetLastError();
            why = (StringBuilder("[") << entry->path << "] could not be removed: " << errorText(error)).str();
            ORV_LOG(LogLevel::Trace, deleted);
            return Removal::Kept;
        }
        entry->handle.reset();
        deleted.push_back(
            (StringBuilder("Deleted [") << entry->path << "] " << (entry->directory ? "directory" : "file")).str());
    }
    if (eachRecord) {
        ORV_LOG(LogLevel::Trace, deleted);
    } else {
        ORV_LOG(LogLevel::Trace, StringBuilder("Deleted [")
                                     << entries[0].path << "] directory with " << entries.size() - 1
                                     << " files and directories in it, all unused");
    }
    return Removal::Removed;
}

} // namespace

void (*afterListingForTesting)(const std::wstring& dir) = nullptr;

bool isPlainName(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/:", 0, 3) == std::wstring::npos &&
           name.find(L'\0') == std::wstring::npos;
}

std::wstring finalPathOf(HANDLE handle) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), size, FILE_NAME_NORMALIZED);
        if (length == 0) {
            return std::wstring();
        }
        if (length < size) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(std::size_t(length) + 1);
    }
    return std::wstring();
}

HeldDirectory holdDirectoryAt(const std::wstring& path) {
    AutoHandle handle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
        ORV_THROW_LAST_ERROR(StringBuilder("CreateFile(") << path << ") failed", CreateFileW);
    }
    std::wstring finalPath = finalPathOf(handle.get());
    if (finalPath.empty()) {
        ORV_THROW_LAST_ERROR(StringBuilder("GetFinalPathNameByHandle(") << path << ") failed",
                             GetFinalPathNameByHandleW);
    }
    return HeldDirectory{std::move(handle), path, std::move(finalPath)};
}

AutoHandle openIn(HANDLE dir, const std::wstring& name, OpenIn how, DWORD access, DWORD share,
                  PSECURITY_DESCRIPTOR descriptor) {
    const Ntdll& nt = ntdll();
    if (!isPlainName(name) || name.size() > 32767) {
        SetLastError(ERROR_INVALID_NAME);
        return noHandle();
    }
    if (nt.createFile == nullptr || nt.toWin32 == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return noHandle();
    }
    UNICODE_STRING text;
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = dir;
    attributes.ObjectName = &text;
    attributes.Attributes = ntCaseInsensitive;
    attributes.SecurityDescriptor = descriptor;
    ULONG disposition = ntOpen;
    ULONG options = ntSynchronousIo;
    switch (how) {
    case OpenIn::Existing:
        options |= ntOpenReparsePoint | ntOpenForBackupIntent;
        break;
    case OpenIn::NewFile:
        disposition = ntCreate;
        options |= ntNonDirectoryFile;
        break;
    case OpenIn::NewDirectory:
        disposition = ntCreate;
        options |= ntDirectoryFile;
        break;
    }
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io = {};
    const LONG status = nt.createFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                      share, disposition, options, nullptr, 0);
    if (status < 0) {
        SetLastError(nt.toWin32(status));
        return noHandle();
    }
    return AutoHandle(handle);
}

bool listIn(HANDLE dir, std::vector<Listed>& out, std::size_t limit) {
    std::vector<std::uint64_t> buffer(8192);
    for (bool first = true;; first = false) {
        if (!GetFileInformationByHandleEx(dir, first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                                          buffer.data(), static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
            return GetLastError() == ERROR_NO_MORE_FILES;
        }
        const auto* at = reinterpret_cast<const BYTE*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                out.push_back({std::move(name), entry->FileAttributes, entry->FileId.QuadPart});
                // Stops here: a huge directory costs no more than the limit.
                if (out.size() > limit) {
                    return true;
                }
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
}

std::int64_t fileIdOf(HANDLE handle) {
    // The ID that GetFileInformationByHandle and a listing give, read alone: that call also
    // asks for the volume's serial number, which Wine answers through another process, in
    // some twenty server requests.
    const Ntdll& nt = ntdll();
    if (nt.queryInformationFile == nullptr || nt.toWin32 == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return -1;
    }
    LARGE_INTEGER id = {};
    IO_STATUS_BLOCK io = {};
    const LONG status = nt.queryInformationFile(handle, &io, &id, sizeof id, ntFileInternalInformation);
    if (status < 0) {
        SetLastError(nt.toWin32(status));
        return -1;
    }
    return id.QuadPart;
}

AutoHandle openById(HANDLE volumeHint, std::int64_t fileId, DWORD access, DWORD share) {
    FILE_ID_DESCRIPTOR id = {};
    id.dwSize = sizeof id;
    id.Type = FileIdType;
    id.FileId.QuadPart = fileId;
    return AutoHandle(OpenFileById(volumeHint, &id, access | SYNCHRONIZE, share, nullptr,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
}

AutoHandle openByIdForRemoval(HANDLE volumeHint, std::int64_t fileId) {
    return openById(volumeHint, fileId, removalAccess, 0);
}

Removal removeHeldTree(AutoHandle root, const std::wstring& path, const std::wstring& expectedFinalPath,
                       bool eachRecord, std::string& why) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(root.get(), FileBasicInfo, &basic, sizeof basic) ||
        !isPlainDirectory(basic.FileAttributes)) {
        why = "it is not a plain directory";
        return Removal::Kept;
    }
    std::wstring finalPath = finalPathOf(root.get());
    if (finalPath.empty() || finalPath != expectedFinalPath) {
        why = "it is no longer where it was made";
        return Removal::Kept;
    }
    std::vector<HeldEntry> entries;
    entries.push_back({path, std::move(finalPath), std::move(root), basic.FileAttributes, true, {}, {}});
    return removeTree(entries, eachRecord, why);
}

bool isYoungerThan(const FILETIME& created, std::uint32_t ageMs) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    // In 100 ns units; a creation time in the future is young too.
    return ticks(now) < ticks(created) || ticks(now) - ticks(created) < std::uint64_t(ageMs) * 10000;
}

bool deleteTreeIfUnused(const HeldDirectory& parent, const std::wstring& name, std::uint32_t minAgeMs,
                        RootCheck accept) {
    const std::wstring path = parent.path + L"\\" + name;
    std::string why;
    const Removal result = [&] {
        AutoHandle root = openIn(parent.handle.get(), name, OpenIn::Existing, removalAccess | READ_CONTROL, 0);
        if (root.get() == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // Gone since it was listed: nothing stays to say anything of.
            why = isAbsent(error) ? std::string() : "it is in use or cannot be opened: " + errorText(error);
            return Removal::InUse;
        }
        FILE_BASIC_INFO basic;
        if (!GetFileInformationByHandleEx(root.get(), FileBasicInfo, &basic, sizeof basic) ||
            !isPlainDirectory(basic.FileAttributes)) {
            why = "it is not a plain directory";
            return Removal::Kept;
        }
        const FILETIME created = {basic.CreationTime.LowPart, static_cast<DWORD>(basic.CreationTime.HighPart)};
        if (isYoungerThan(created, minAgeMs)) {
            why = (StringBuilder("it was made less than ") << minAgeMs << " ms ago").str();
            return Removal::Kept;
        }
        // Decided before anything of it is listed: a tree that a less privileged program built
        // is never walked by a more privileged one.
        if (!accept(root.get())) {
            why = "its owner or access list is not the one its kind of launcher gives";
            return Removal::Kept;
        }
        std::vector<HeldEntry> entries;
        entries.push_back({path, finalPathOf(root.get()), std::move(root), basic.FileAttributes, true, {}, {}});
        if (entries[0].finalPath != parent.finalPath + L"\\" + name) {
            why = "it does not lead where its name says";
            return Removal::Kept;
        }
        return removeTree(entries, false, why);
    }();
    if (result != Removal::Removed && !why.empty()) {
        ORV_LOG(LogLevel::Trace, StringBuilder("Kept [") << path << "]: " << why);
    }
    return result == Removal::Removed;
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
