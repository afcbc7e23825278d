#include "Resources.h"

#include "Bundle.h"
#include "FileUtils.h"
#include "WinErrorHandling.h"

#include <algorithm>
#include <cstdint>

namespace {

std::string printable(ULONG_PTR number) {
    return "#" + tstrings::toDecimal(static_cast<std::uint64_t>(number));
}

ULONG_PTR numberOf(LPCSTR intResource) {
    return reinterpret_cast<ULONG_PTR>(intResource);
}

using tstrings::StringBuilder;

std::int64_t idOf(HANDLE file, const std::wstring& name) {
    const std::int64_t id = FileUtils::fileIdOf(file);
    if (id == -1) {
        ORV_THROW_LAST_ERROR(StringBuilder("NtQueryInformationFile(") << name << ") failed",
                             GetFileInformationByHandleEx);
    }
    return id;
}

// A large payload written in one call, or in pieces of several MiB, now and then took half as
// long again as usual; in pieces of 1 MiB it did not.
constexpr DWORD writePiece = 1u << 20;

// Opens name in the held directory dir, or throws.
AutoHandle openOrThrow(const FileUtils::HeldDirectory& dir, const std::wstring& name, FileUtils::OpenIn how,
                       DWORD access, DWORD share) {
    AutoHandle file = FileUtils::openIn(dir.handle.get(), name, how, access, share);
    if (file.get() == INVALID_HANDLE_VALUE) {
        ORV_THROW_LAST_ERROR(StringBuilder("CreateFile(") << dir.path << "\\" << name << ") failed", CreateFileW);
    }
    return file;
}

// Writes size bytes to file, named path in the errors.
void writeAll(HANDLE file, const std::wstring& path, const char* data, std::uint64_t size) {
    for (std::uint64_t done = 0; done < size;) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(size - done, writePiece));
        if (!WriteFile(file, data + done, piece, &written, nullptr)) {
            ORV_THROW_LAST_ERROR(StringBuilder("WriteFile(") << path << ") failed", WriteFile);
        }
        // A full disk can show as a success that wrote nothing.
        if (written == 0) {
            ORV_THROW_RUNTIME(StringBuilder("WriteFile(")
                              << path << ") wrote nothing after " << done << " of " << size << " bytes");
        }
        done += written;
    }
}

// Writes into a new file name in dir and returns its file ID.
std::int64_t writeFile(const FileUtils::HeldDirectory& dir, const std::wstring& name, const char* data, DWORD size) {
    const std::wstring path = dir.path + L"\\" + name;
    const AutoHandle file = openOrThrow(dir, name, FileUtils::OpenIn::NewFile, GENERIC_WRITE, 0);
    writeAll(file.get(), path, data, size);
    return idOf(file.get(), path);
}

} // namespace

Resource::Resource(unsigned id, LPCSTR type, HMODULE module)
    : nameText(printable(id)), name(MAKEINTRESOURCEA(id)), typeText(printable(numberOf(type))), type(type),
      module(module) {}

std::string Resource::description() const {
    return " (name='" + nameText + "', type='" + typeText + "')";
}

LPCVOID Resource::getPtr(DWORD& size) const {
    const bool stringTable = type == RT_STRING;
    const ULONG_PTR id = numberOf(name);
    // Strings are stored in blocks of 16, and a block is found by its number.
    const LPCSTR lookup = stringTable ? MAKEINTRESOURCEA(static_cast<WORD>((id >> 4) + 1)) : name;

    const HRSRC found = FindResourceA(module, lookup, type);
    if (found == nullptr) {
        ORV_THROW_LAST_ERROR(tstrings::StringBuilder("cannot find resource") << description(), FindResourceA);
    }
    const HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) {
        ORV_THROW_LAST_ERROR(tstrings::StringBuilder("cannot load resource") << description(), LoadResource);
    }
    const void* data = LockResource(loaded);
    if (data == nullptr) {
        ORV_THROW_RUNTIME(tstrings::StringBuilder("cannot lock resource") << description());
    }
    if (!stringTable) {
        size = SizeofResource(module, found);
        return data;
    }
    // Each string is its length in UTF-16 units followed by the units.
    auto unit = static_cast<const WCHAR*>(data);
    for (ULONG_PTR skip = id & 15; skip > 0; --skip) {
        unit += 1 + *unit;
    }
    size = static_cast<DWORD>(*unit) * sizeof(WCHAR);
    return unit + 1;
}

Resource::Saved Resource::saveIn(const FileUtils::HeldDirectory& dir, const std::wstring& name) const {
    DWORD size = 0;
    const LPCVOID data = getPtr(size);
    // Straight from the mapped image: the payload is never copied in memory.
    const std::int64_t written = writeFile(dir, name, static_cast<const char*>(data), size);
    // The writing handle would keep the system from running the file, so it is closed and the
    // file opened again for reading, sharing only reading: whatever took its place meanwhile
    // is not handed on.
    AutoHandle held = openOrThrow(dir, name, FileUtils::OpenIn::Existing, GENERIC_READ, FILE_SHARE_READ);
    if (idOf(held.get(), name) != written) {
        ORV_THROW_RUNTIME(StringBuilder("[") << dir.path << "\\" << name << "] was replaced after it was written");
    }
    return Saved{std::move(held), written};
}

namespace {

// How many processors this process may run on: the decompressing threads.
unsigned usableProcessors() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    unsigned count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        for (; process != 0; process &= process - 1) {
            ++count;
        }
    }
    return count == 0 ? 1 : count;
}

// The compressed chunks of a whole tree, in table order, decompressed by threads of their own
// and handed to the writer in order: a directory of small files keeps every processor busy
// as one large file does, and the threads start once. At most window chunks are in memory at
// once, each in a slot of its own: chunk i uses slot i % window, which its thread fills while
// the writer is on an earlier one.
class ChunkPipeline {
public:
    ChunkPipeline(const void* data, const bundle::Bundle& tree, unsigned threads) : data(data) {
        std::uint32_t largest = 0;
        for (const bundle::Entry& entry : tree.entries) {
            if (entry.compressed) {
                for (std::size_t index = 0; index < entry.chunks.size(); ++index) {
                    chunks.push_back({&entry, index});
                }
                largest = std::max(largest, entry.chunkSize);
            }
        }
        window = std::min<std::size_t>(chunks.size(), 2 * std::size_t(threads));
        slots.assign(window, std::vector<unsigned char>(largest));
        ready.assign(window, false);
        for (unsigned i = 0; i < threads && i < chunks.size(); ++i) {
            const HANDLE thread = CreateThread(nullptr, 0, work, this, 0, nullptr);
            if (thread == nullptr) {
                const DWORD error = GetLastError();
                stop();
                ORV_THROW_WIN32("CreateThread failed", CreateThread, error);
            }
            workers.emplace_back(thread);
        }
    }
    ~ChunkPipeline() { stop(); }
    ChunkPipeline(const ChunkPipeline&) = delete;
    ChunkPipeline& operator=(const ChunkPipeline&) = delete;

    // Writes every chunk of entry, the next compressed entry of the tree, in order into file;
    // throws when one of the tree's chunks does not decompress.
    void writeTo(HANDLE file, const std::wstring& path, const bundle::Entry& entry) {
        for (std::size_t index = 0; index < entry.chunks.size(); ++index) {
            const std::size_t slot = written % window;
            AcquireSRWLockExclusive(&lock);
            while (!ready[slot] && failure.empty()) {
                SleepConditionVariableSRW(&changed, &lock, INFINITE, 0);
            }
            const std::string failed = failure;
            ReleaseSRWLockExclusive(&lock);
            if (!failed.empty()) {
                ORV_THROW_RUNTIME(failed);
            }
            writeAll(file, path, reinterpret_cast<const char*>(slots[slot].data()), entry.chunks[index].size);
            AcquireSRWLockExclusive(&lock);
            ready[slot] = false;
            ++written;
            WakeAllConditionVariable(&changed);
            ReleaseSRWLockExclusive(&lock);
        }
    }

private:
    struct Chunk {
        const bundle::Entry* entry;
        std::size_t index;
    };

    static DWORD WINAPI work(void* self) {
        static_cast<ChunkPipeline*>(self)->decompress();
        return 0;
    }

    void decompress() {
        for (;;) {
            AcquireSRWLockExclusive(&lock);
            while (!stopping && next < chunks.size() && next >= written + window) {
                SleepConditionVariableSRW(&changed, &lock, INFINITE, 0);
            }
            if (stopping || next >= chunks.size()) {
                ReleaseSRWLockExclusive(&lock);
                return;
            }
            const std::size_t position = next++;
            ReleaseSRWLockExclusive(&lock);
            const Chunk& chunk = chunks[position];
            const bundle::Error error =
                bundle::unpackChunk(data, *chunk.entry, chunk.index, slots[position % window].data());
            AcquireSRWLockExclusive(&lock);
            if (error) {
                failure = error.message;
                stopping = true;
            } else {
                ready[position % window] = true;
            }
            WakeAllConditionVariable(&changed);
            ReleaseSRWLockExclusive(&lock);
        }
    }

    void stop() {
        AcquireSRWLockExclusive(&lock);
        stopping = true;
        WakeAllConditionVariable(&changed);
        ReleaseSRWLockExclusive(&lock);
        for (const AutoHandle& worker : workers) {
            WaitForSingleObject(worker.get(), INFINITE);
        }
        workers.clear();
    }

    const void* data;
    std::vector<Chunk> chunks;
    std::size_t window = 0;
    std::vector<std::vector<unsigned char>> slots;
    std::vector<bool> ready;
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    std::size_t next = 0;
    std::size_t written = 0;
    bool stopping = false;
    std::string failure;
    std::vector<AutoHandle> workers;
};

// The components of a carried name, which the reader has checked.
std::vector<std::wstring> componentsOf(const std::string& name) {
    std::vector<std::wstring> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = name.find('\\', start);
        parts.push_back(tstrings::toUtf16(name.substr(start, end - start)));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

} // namespace

ExtractedTree extractTree(const FileUtils::HeldDirectory& root, const bundle::Bundle& tree, const void* data) {
    ExtractedTree out;
    out.listings.push_back({root.handle.get(), {}});
    // Relative directory path (as carried) to its listing.
    std::vector<std::pair<std::wstring, std::size_t>> made;
    ChunkPipeline chunks(data, tree, usableProcessors());
    for (const bundle::Entry& entry : tree.entries) {
        const std::vector<std::wstring> parts = componentsOf(entry.name);
        std::size_t listing = 0;
        std::wstring relative;
        std::wstring path = root.path;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            relative += (i == 0 ? L"" : L"\\") + parts[i];
            path += L"\\" + parts[i];
            const auto known =
                std::find_if(made.begin(), made.end(), [&](const auto& d) { return d.first == relative; });
            if (known != made.end()) {
                listing = known->second;
                continue;
            }
            // Inherits the protected access list of the directory that holds it.
            AutoHandle held =
                FileUtils::openIn(out.listings[listing].dir, parts[i], FileUtils::OpenIn::NewDirectory,
                                  FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
            if (held.get() == INVALID_HANDLE_VALUE) {
                ORV_THROW_LAST_ERROR(StringBuilder("CreateDirectory(") << path << ") failed", CreateDirectoryW);
            }
            out.listings[listing].entries.emplace_back(parts[i], idOf(held.get(), path));
            const HANDLE handle = held.get();
            out.directories.push_back({std::move(held), path, std::wstring()});
            out.listings.push_back({handle, {}});
            listing = out.listings.size() - 1;
            made.emplace_back(relative, listing);
        }
        const std::wstring& leaf = parts.back();
        path += L"\\" + leaf;
        const HANDLE dir = out.listings[listing].dir;
        std::int64_t written = 0;
        {
            AutoHandle file = FileUtils::openIn(dir, leaf, FileUtils::OpenIn::NewFile, GENERIC_WRITE, 0);
            if (file.get() == INVALID_HANDLE_VALUE) {
                ORV_THROW_LAST_ERROR(StringBuilder("CreateFile(") << path << ") failed", CreateFileW);
            }
            if (entry.compressed) {
                chunks.writeTo(file.get(), path, entry);
            } else {
                // Straight from the mapped image, as a single payload is.
                writeAll(file.get(), path, static_cast<const char*>(data) + entry.offset, entry.size);
            }
            written = idOf(file.get(), path);
        }
        // A file put under the name between the two opens would be held in place of this one,
        // and could not leave the name while held: the tamper check, which lists each name with
        // its file ID, refuses it. So the ID is read once, from the handle that wrote the file.
        AutoHandle held = FileUtils::openIn(dir, leaf, FileUtils::OpenIn::Existing, GENERIC_READ, FILE_SHARE_READ);
        if (held.get() == INVALID_HANDLE_VALUE) {
            ORV_THROW_LAST_ERROR(StringBuilder("CreateFile(") << path << ") failed", CreateFileW);
        }
        out.listings[listing].entries.emplace_back(leaf, written);
        out.files.push_back(std::move(held));
    }
    out.program = tstrings::toUtf16(tree.entries[tree.program].name);
    return out;
}
