#include "Bundle.h"
#include "FileUtils.h"
#include "Log.h"
#include "Resources.h"
#include "Security.h"
#include "SysInfo.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// Called before the directory is created under a name; a seam for tests that put a foreign
// object there.
using BeforeCreate = void (*)(const std::wstring& path);

// Launchers started together read the same tick count and may try a name that another one
// has just taken; such a collision is not an attack, so a fresh name is tried.
constexpr int secureDirectoryAttempts = 10;

// The directory's access list. It is protected, so that none of the temporary directory's
// inheritable entries (the user's full control, or the Users group's right to create files in
// C:\Windows\Temp) joins it, and its entries pass on to what is created inside. An elevated
// launcher's user may only read and run, so that the user's unelevated programs cannot plant
// anything beside a payload that runs elevated; SYSTEM needs no entry of its own.
std::string secureDirectorySddl(const security::TokenFacts& token) {
    std::string sddl = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
    if (!token.system) {
        sddl += "(A;OICI;" + std::string(token.elevated ? "FRFX" : "FA") + ";;;" + token.userSid + ")";
    }
    return sddl;
}

// The launcher's own directory, held from its creation until it is gone; it is reached again
// only through this handle or its file ID, never through its name.
struct SecureDirectory {
    FileUtils::HeldDirectory held;
    std::int64_t fileId;
};

// "orv", the tick count plus the attempt as a signed decimal, ".tmp".
std::wstring extractionDirectoryName(DWORD tickCount, int attempt) {
    return L"orv" + tstrings::toUtf16(tstrings::toDecimal(static_cast<std::int32_t>(tickCount + attempt))) + L".tmp";
}

// Created and held in one step, relative to the held temporary directory: there is no moment
// in which another program could put something else under the name. The hold shares no
// deletion, so nobody can delete or rename the directory while it lasts, and it asks for no
// deletion either, so that a payload can have it as its working directory. Not inherited.
SecureDirectory createSecureDirectory(const FileUtils::HeldDirectory& temp, BeforeCreate beforeCreate) {
    security::SecurityDescriptor descriptor{
        tstrings::StringBuilder(secureDirectorySddl(security::currentTokenFacts()))};
    const DWORD tickCount = GetTickCount();
    for (int attempt = 0;; ++attempt) {
        const std::wstring name = extractionDirectoryName(tickCount, attempt);
        const std::wstring path = temp.path + L"\\" + name;
        if (beforeCreate != nullptr) {
            beforeCreate(path);
        }
        // Fails for anything that is there under the name: it is never adopted.
        AutoHandle held = FileUtils::openIn(temp.handle.get(), name, FileUtils::OpenIn::NewDirectory,
                                            FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, descriptor.get());
        if (held.get() != INVALID_HANDLE_VALUE) {
            const std::int64_t fileId = FileUtils::fileIdOf(held.get());
            std::wstring finalPath = FileUtils::finalPathOf(held.get());
            return SecureDirectory{{std::move(held), path, std::move(finalPath)}, fileId};
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS || attempt + 1 == secureDirectoryAttempts) {
            ORV_THROW_WIN32(tstrings::StringBuilder("CreateDirectory(") << path << ") failed", CreateDirectoryW, error);
        }
    }
}

SecureDirectory createSecureDirectory(const FileUtils::HeldDirectory& temp) {
    return createSecureDirectory(temp, nullptr);
}

// Whether a tree was made by a launcher of this kind: owned by whom this launcher's own
// directory is owned, with exactly its protected access list. A standard user cannot make a
// directory owned by the administrators or SYSTEM, so an elevated or SYSTEM launcher never
// walks a tree that a less privileged program built.
bool madeByThisKind(HANDLE root) {
    try {
        const security::TokenFacts token = security::currentTokenFacts();
        security::SecurityDescriptor expected{tstrings::StringBuilder(secureDirectorySddl(token))};
        return security::hasOwnerAndAccessList(root, token.ownerSid, expected);
    } catch (const std::exception&) {
        return false;
    }
}

// How old a directory must be before it counts as left by a launcher that was ended: it has
// surely been held by then, had its launcher lived.
constexpr DWORD abandonedAfterMs = 60000;
// Enough to clear what ended launchers leave over a few runs; few enough that a temporary
// directory full of leftovers in use costs a run next to nothing.
constexpr std::size_t abandonedPerRun = 4;

// "orv", a decimal number that may carry a minus sign, ".tmp": a name that a launcher gives.
bool isExtractionDirectoryName(const std::wstring& name) {
    const std::wstring prefix = L"orv";
    const std::wstring suffix = L".tmp";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    std::wstring number = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (number[0] == L'-') {
        number.erase(0, 1);
    }
    return !number.empty() && number.find_first_not_of(L"0123456789") == std::wstring::npos;
}

void closeFind(HANDLE find) {
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
    }
}

// Set once the console is being closed: the little time left is the payload's and the own
// directory's.
std::atomic<bool> consoleClosing{false};

// The extraction directories of launchers that were ended before they could remove them, and
// whose payloads have ended too, in the temporary directory: a few of them each run, from a
// place that changes from run to run, so that leftovers still in use do not keep the others.
void removeAbandonedDirectories(const FileUtils::HeldDirectory& temp, const std::wstring& own, DWORD minAgeMs,
                                FileUtils::RootCheck accept) {
    // Only the names that may be extraction directories are listed: a temporary directory
    // often holds thousands of entries, and the user waits for the launcher's exit code. Each
    // is then opened relative to the held temporary directory, whatever the path names now.
    std::vector<std::wstring> candidates;
    WIN32_FIND_DATAW entry;
    const AutoOwner<HANDLE, closeFind> find(FindFirstFileExW((temp.path + L"\\orv*.tmp").c_str(), FindExInfoBasic,
                                                             &entry, FindExSearchNameMatch, nullptr, 0));
    if (find.get() == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        // A young one is most likely a running launcher's, which holds it: not even opened.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && isExtractionDirectoryName(entry.cFileName) &&
            temp.path + L"\\" + entry.cFileName != own && !FileUtils::isYoungerThan(entry.ftCreationTime, minAgeMs)) {
            candidates.emplace_back(entry.cFileName);
        }
    } while (FindNextFileW(find.get(), &entry));
    const std::size_t start = candidates.empty() ? 0 : GetTickCount() % candidates.size();
    for (std::size_t i = 0; i < candidates.size() && i < abandonedPerRun && !consoleClosing.load(); ++i) {
        FileUtils::deleteTreeIfUnused(temp, candidates[(start + i) % candidates.size()], minAgeMs, accept);
    }
}

// The child's command line: the quoted path, then everything that followed the program name
// on the launcher's own command line, exactly as typed. Installers parse their command lines
// themselves (NSIS's /D= takes the rest of the line, spaces and all), so nothing is parsed or
// quoted again; a child that parses with the C runtime gets the arguments that the launcher's
// C runtime parsed.
// The program name ends as the C runtime ends it: at the first space or tab outside quotes, a
// quote toggling quoting.
std::wstring getCommandLine(const std::wstring& applicationPath, const std::wstring& ownCommandLine) {
    std::wstring::size_type end = 0;
    bool quoted = false;
    for (; end < ownCommandLine.size(); ++end) {
        const wchar_t c = ownCommandLine[end];
        if (c == L'"') {
            quoted = !quoted;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            break;
        }
    }
    const std::wstring::size_type rest = ownCommandLine.find_first_not_of(L" \t", end);
    const std::wstring program = L"\"" + applicationPath + L"\"";
    return rest == std::wstring::npos ? program : program + L' ' + ownCommandLine.substr(rest);
}

// Wide, where narrow text converted by the system could turn characters outside the code
// page into others, even into a quotation mark.
std::wstring getCommandLine(const std::wstring& applicationPath) {
    return getCommandLine(applicationPath, GetCommandLineW());
}

// How the payload starts: the one thing in which the launcher for a windowed payload and the
// launcher for a console tool differ.
struct LaunchOptions {
    DWORD creationFlags = 0;
    // Else in the launcher's own, where its user typed the paths they give.
    bool inExtractionDirectory = false;
    // The launcher's console and standard handles, and Ctrl+C left to the payload.
    bool shareConsole = false;
    // Ended when the launcher is ended, by a job that closes with the launcher.
    bool endWithLauncher = false;
};

// An installer runs away from any console and in the directory nobody else can write to; a
// console tool runs as if its user had started it, and not beyond the launcher's life.
LaunchOptions launchOptionsFor(WORD subsystem) {
    LaunchOptions options;
    if (subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI) {
        options.shareConsole = true;
        options.endWithLauncher = true;
    } else {
        options.creationFlags = CREATE_NO_WINDOW;
        options.inExtractionDirectory = true;
    }
    return options;
}

// The subsystem that the packer wrote into the launcher's own image for its payload.
WORD ownSubsystem() {
    const auto base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew)->OptionalHeader.Subsystem;
}

// The payload, for a console that is being closed. A duplicate that is never closed, as the
// handler runs on a thread of its own at any moment of the run.
std::atomic<HANDLE> payloadForConsoleClose{nullptr};

// How long the payload may take to end when its console closes, and how long the run then
// has to remove its directory: together well within the five seconds the system waits.
constexpr DWORD consoleCloseGrace = 2000;
constexpr DWORD consoleCloseCleanup = 2500;

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        // The payload has it too and decides what it means; the launcher waits for its end.
        return TRUE;
    }
    if (event != CTRL_CLOSE_EVENT) {
        // Log-off and shut-down reach the payload too, and only a service's processes get them,
        // whenever any user logs off: they are the payload's to answer. The handler that
        // follows, the system's own, ends no process of a service for them.
        return FALSE;
    }
    // The console is closing: the system ends this process when the handler returns. The
    // payload gets a moment to end, and is then ended, so that the run can remove the
    // directory; the run ends the process itself once it has.
    consoleClosing.store(true);
    const HANDLE payload = payloadForConsoleClose.load();
    if (payload != nullptr && WaitForSingleObject(payload, consoleCloseGrace) == WAIT_TIMEOUT) {
        TerminateProcess(payload, CONTROL_C_EXIT);
    }
    Sleep(consoleCloseCleanup);
    return TRUE;
}

// The launcher's three standard handles for the payload, as inheritable duplicates. A
// handle that the launcher does not have stays none.
class StandardHandles {
public:
    StandardHandles() {
        const DWORD ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        for (int i = 0; i < 3; ++i) {
            const HANDLE own = GetStdHandle(ids[i]);
            if (own == nullptr || own == INVALID_HANDLE_VALUE) {
                continue;
            }
            if (isConsolePseudoHandle(own)) {
                // Such a handle (before Windows 8) names the console that the payload shares;
                // it is not a kernel handle, and the handle list refuses it.
                handles[i] = own;
                continue;
            }
            HANDLE duplicate = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &duplicate, 0, TRUE,
                                 DUPLICATE_SAME_ACCESS)) {
                // A handle the launcher was given but cannot use: the payload would get none either.
                const DWORD error = GetLastError();
                ORV_LOG(LogLevel::Warning, tstrings::StringBuilder("DuplicateHandle(standard handle ")
                                               << i << ") failed with " << systemErrorText(error, nullptr));
                continue;
            }
            owned.emplace_back(duplicate);
            handles[i] = duplicate;
            inherited.push_back(duplicate);
        }
    }

    HANDLE in() const { return handles[0]; }
    HANDLE out() const { return handles[1]; }
    HANDLE err() const { return handles[2]; }
    // Exactly what the payload inherits.
    std::vector<HANDLE>& toInherit() { return inherited; }

private:
    static bool isConsolePseudoHandle(HANDLE handle) {
        return (reinterpret_cast<ULONG_PTR>(handle) & 3) == 3 && GetFileType(handle) == FILE_TYPE_CHAR;
    }

    HANDLE handles[3] = {nullptr, nullptr, nullptr};
    std::vector<AutoHandle> owned;
    std::vector<HANDLE> inherited;
};

// Owner of a process-creation attribute list, with room for count attributes. The values it
// names must outlive it.
class AttributeList {
public:
    explicit AttributeList(DWORD count) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, count, 0, &size);
        buffer.resize(size);
        if (!InitializeProcThreadAttributeList(get(), count, 0, &size)) {
            ORV_THROW_LAST_ERROR("InitializeProcThreadAttributeList failed", InitializeProcThreadAttributeList);
        }
    }
    ~AttributeList() { DeleteProcThreadAttributeList(get()); }
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;

    // False where the system does not know the attribute.
    bool add(DWORD_PTR attribute, void* value, SIZE_T size) {
        return UpdateProcThreadAttribute(get(), 0, attribute, value, size, nullptr, nullptr) != FALSE;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data()); }

private:
    std::vector<BYTE> buffer;
};

// A job that ends what is in it when the launcher's last handle to it closes, which the system
// does when it ends the launcher. What the payload starts leaves it: a server that a tool
// starts to outlive it is not the launcher's to end.
AutoHandle createPayloadJob() {
    AutoHandle job(CreateJobObjectW(nullptr, nullptr));
    if (job.get() == nullptr) {
        ORV_THROW_LAST_ERROR("CreateJobObject failed", CreateJobObjectW);
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        ORV_THROW_LAST_ERROR("SetInformationJobObject failed", SetInformationJobObject);
    }
    return job;
}

// Windows 10's PROC_THREAD_ATTRIBUTE_JOB_LIST, which headers aimed at Windows 7 leave out.
constexpr DWORD_PTR jobListAttribute = 13 | PROC_THREAD_ATTRIBUTE_INPUT;

// How the payload is started, besides the launcher's options.
struct Start {
    std::wstring application;
    std::vector<wchar_t> commandLine; // writable: CreateProcessW may write into it
    std::wstring workingDir;          // empty: the launcher's
    StandardHandles* standard = nullptr;
    HANDLE job = nullptr;
};

// CreateProcessW for the payload, in the job if there is one: put in at creation where the
// system can (Windows 10), else created suspended, and then assignAfter is set. Its result and
// last error are CreateProcessW's.
BOOL createPayload(Start& start, const LaunchOptions& options, PROCESS_INFORMATION& processInfo, bool& assignAfter) {
    bool jobAtCreation = start.job != nullptr;
    for (;;) {
        STARTUPINFOEXW startupInfo = {};
        startupInfo.StartupInfo.cb = sizeof startupInfo.StartupInfo;
        DWORD flags = options.creationFlags;
        BOOL inherit = FALSE;
        std::optional<AttributeList> attributes;
        if (start.standard != nullptr) {
            startupInfo.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
            startupInfo.StartupInfo.hStdInput = start.standard->in();
            startupInfo.StartupInfo.hStdOutput = start.standard->out();
            startupInfo.StartupInfo.hStdError = start.standard->err();
        }
        std::vector<HANDLE>* handles = start.standard != nullptr ? &start.standard->toInherit() : nullptr;
        const bool passHandles = handles != nullptr && !handles->empty();
        if (passHandles || jobAtCreation) {
            attributes.emplace(2);
            startupInfo.StartupInfo.cb = sizeof startupInfo;
            startupInfo.lpAttributeList = attributes->get();
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        }
        if (passHandles) {
            // Exactly these: not the extracted file, nor whatever the launcher itself inherited.
            if (!attributes->add(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles->data(),
                                 handles->size() * sizeof(HANDLE))) {
                ORV_THROW_LAST_ERROR("UpdateProcThreadAttribute failed", UpdateProcThreadAttribute);
            }
            inherit = TRUE;
        }
        if (jobAtCreation) {
            jobAtCreation = attributes->add(jobListAttribute, &start.job, sizeof start.job);
        }
        assignAfter = start.job != nullptr && !jobAtCreation;
        if (assignAfter) {
            flags |= CREATE_SUSPENDED;
        }
        const BOOL created = CreateProcessW(
            start.application.c_str(), start.commandLine.data(), nullptr, nullptr, inherit, flags, nullptr,
            start.workingDir.empty() ? nullptr : start.workingDir.c_str(), &startupInfo.StartupInfo, &processInfo);
        if (created || !jobAtCreation) {
            return created;
        }
        // Perhaps only the job was refused: once more, the other way.
        jobAtCreation = false;
    }
}

// held: the extracted file, kept from being changed until the system has opened it to run it.
int execProcessWaitForFinish(const std::wstring& applicationPath, const std::wstring& commandLine, AutoHandle held,
                             const LaunchOptions& options) {
    Start start;
    start.application = applicationPath;
    start.commandLine.assign(commandLine.begin(), commandLine.end());
    start.commandLine.push_back(L'\0');
    if (options.inExtractionDirectory) {
        start.workingDir = applicationPath.substr(0, applicationPath.find_last_of(L"\\/"));
    }
    std::optional<StandardHandles> standard;
    if (options.shareConsole) {
        // Installed before the payload can have the console's Ctrl+C, and not inherited by it
        // (as ignoring them through a null handler would be).
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
        start.standard = &standard.emplace();
    }
    std::optional<AutoHandle> job;
    if (options.endWithLauncher) {
        start.job = job.emplace(createPayloadJob()).get();
    }

    PROCESS_INFORMATION processInfo = {};
    bool assignAfter = false;
    if (!createPayload(start, options, processInfo, assignAfter)) {
        ORV_THROW_LAST_ERROR("CreateProcess failed", CreateProcessW);
    }
    const AutoProcess child(processInfo);
    standard.reset();
    if (assignAfter) {
        if (!AssignProcessToJobObject(start.job, child.process())) {
            // The launcher runs in a job that allows no other; the payload runs all the same.
            const DWORD error = GetLastError();
            ORV_LOG(LogLevel::Warning, tstrings::StringBuilder("AssignProcessToJobObject failed with ")
                                           << systemErrorText(error, nullptr)
                                           << "; the payload will not end with the launcher");
        }
        if (ResumeThread(child.thread()) == static_cast<DWORD>(-1)) {
            const DWORD error = GetLastError();
            // Never left suspended.
            TerminateProcess(child.process(), static_cast<UINT>(-1));
            ORV_THROW_WIN32("ResumeThread failed", ResumeThread, error);
        }
    }
    if (options.shareConsole) {
        HANDLE duplicate = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), child.process(), GetCurrentProcess(), &duplicate,
                            SYNCHRONIZE | PROCESS_TERMINATE, FALSE, 0)) {
            payloadForConsoleClose.store(duplicate);
        }
    }
    // The child and the removal of the directory must not meet this handle.
    held.reset();
    ORV_LOG(LogLevel::Trace, tstrings::StringBuilder("Started [") << applicationPath << "] process " << child.id());

    if (WaitForSingleObject(child.process(), INFINITE) != WAIT_OBJECT_0) {
        ORV_THROW_LAST_ERROR("WaitForSingleObject failed", WaitForSingleObject);
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(child.process(), &exitCode)) {
        ORV_THROW_LAST_ERROR("GetExitCodeProcess failed", GetExitCodeProcess);
    }
    ORV_LOG(LogLevel::Trace, tstrings::StringBuilder("Ended [")
                                 << applicationPath << "] process " << child.id() << " with exit code " << exitCode);
    return static_cast<int>(exitCode);
}

// Test seam: called once the payload has ended, before the own directory is removed.
void (*beforeOwnRemovalForTesting)(const std::wstring& dir) = nullptr;

// An executable that has just ended may keep its image file locked for a moment, and a
// scanner may hold the new file open: the directory is given about two seconds to go. The
// tries of the first 300 ms come quickly, as under Wine the hidden console host of a console
// program in the windowed launcher keeps the directory as its working directory for 25 to 100
// ms after the program ended. Every try reaches the directory through its file ID, and between
// tries it is held again: its name is never looked up. Whatever is in use keeps the whole
// tree, for a later run's sweep.
void removeOwnDirectory(SecureDirectory& own, const FileUtils::HeldDirectory& temp) {
    if (beforeOwnRemovalForTesting != nullptr) {
        beforeOwnRemovalForTesting(own.held.path);
    }
    std::string why = "it could not be opened for removal";
    for (int attempt = 0; attempt < 47; ++attempt) {
        if (attempt > 0) {
            Sleep(attempt < 30 ? 10 : 100);
        }
        // The hold asks for no deletion and shares none, so it must go before the directory
        // can be opened for deletion; the file ID names that very directory wherever it is.
        own.held.handle.reset();
        AutoHandle root = FileUtils::openByIdForRemoval(temp.handle.get(), own.fileId);
        if (root.get() == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            why = "it could not be opened for removal: " + systemErrorText(error, nullptr);
        } else {
            const FileUtils::Removal removal =
                FileUtils::removeHeldTree(std::move(root), own.held.path, own.held.finalPath, true, why);
            if (removal == FileUtils::Removal::Removed) {
                return;
            }
            if (removal == FileUtils::Removal::Kept) {
                break;
            }
        }
        own.held.handle =
            FileUtils::openById(temp.handle.get(), own.fileId, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE);
    }
    ORV_LOG(LogLevel::Trace, tstrings::StringBuilder("Kept [") << own.held.path << "]: " << why);
}

// The tamper check: the directory holds one entry, the very file that was written, under its
// name, and nothing else.
bool holdsOnly(HANDLE dir, const std::wstring& name, std::int64_t fileId) {
    std::vector<FileUtils::Listed> listed;
    return FileUtils::listIn(dir, listed, 1) && listed.size() == 1 &&
           (listed[0].attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && listed[0].fileId == fileId &&
           CompareStringOrdinal(listed[0].name.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The tamper check of a carried tree: every directory it made holds exactly what was written
// into it, each name the very file or directory that was made under it.
bool holdsExactly(const ExtractedTree& tree) {
    for (const ExtractedTree::Listing& expected : tree.listings) {
        std::vector<FileUtils::Listed> listed;
        if (!FileUtils::listIn(expected.dir, listed, expected.entries.size()) ||
            listed.size() != expected.entries.size()) {
            return false;
        }
        for (const FileUtils::Listed& entry : listed) {
            if (std::find(expected.entries.begin(), expected.entries.end(), std::make_pair(entry.name, entry.fileId)) ==
                expected.entries.end()) {
                return false;
            }
        }
    }
    return true;
}

// What a run wrote into its directory, held, and whether the directory holds that alone.
struct Extracted {
    std::wstring target;               // the program to start
    AutoHandle held{nullptr};          // a single payload
    std::optional<ExtractedTree> tree; // a carried tree, held until the payload has ended
    bool alone = false;
};

// The payload bears the launcher's own file name (setup.exe is extracted as setup.exe); a
// carried tree's program bears its own.
Extracted extract(const SecureDirectory& own, const std::wstring& baseName) {
    const Resource payload(100, RT_RCDATA, GetModuleHandleA(nullptr));
    DWORD size = 0;
    const void* data = payload.getPtr(size);
    Extracted out;
    if (!bundle::isBundle(data, size)) {
        Resource::Saved saved = payload.saveIn(own.held, baseName);
        out.target = own.held.path + L"\\" + baseName;
        out.alone = holdsOnly(own.held.handle.get(), baseName, saved.fileId);
        out.held = std::move(saved.held);
        return out;
    }
    bundle::Bundle carried;
    if (const bundle::Error error = bundle::read(data, size, carried)) {
        ORV_THROW_RUNTIME(tstrings::StringBuilder("the carried tree is malformed: ") << error.message);
    }
    out.tree = extractTree(own.held, carried, data);
    out.target = own.held.path + L"\\" + out.tree->program;
    out.alone = holdsExactly(*out.tree);
    return out;
}

// Called between the tamper check and the start of the payload; a seam for tests that try to
// change the extracted file there.
using BeforeStart = void (*)(const std::wstring& target);

// The launcher's own file name.
std::wstring ownBaseName() {
    const std::wstring path = SysInfo::getProcessModulePath();
    return path.substr(path.find_last_of(L"\\/") + 1);
}

// Removes the launcher's own directory when it goes: on every way out of the run, before a
// failure is reported, so that the space a failed write took is free for its record.
class OwnDirectoryRemoval {
public:
    OwnDirectoryRemoval(SecureDirectory& own, const FileUtils::HeldDirectory& temp) : own(own), temp(temp) {}
    ~OwnDirectoryRemoval() {
        try {
            removeOwnDirectory(own, temp);
        } catch (const std::exception& e) {
            ORV_REPORT_EXCEPTION(e);
        } catch (...) {
            ORV_REPORT_UNKNOWN_EXCEPTION();
        }
    }
    OwnDirectoryRemoval(const OwnDirectoryRemoval&) = delete;
    OwnDirectoryRemoval& operator=(const OwnDirectoryRemoval&) = delete;

private:
    SecureDirectory& own;
    const FileUtils::HeldDirectory& temp;
};

// abandonedAge: how old a leftover of another launcher must be to be removed; madeByUs: whether
// a leftover was made by a launcher of this kind.
int run(BeforeStart beforeStart, const LaunchOptions& options, DWORD abandonedAge, FileUtils::RootCheck madeByUs) {
    int exitCode = -1;
    try {
        const std::wstring baseName = ownBaseName();
        const FileUtils::HeldDirectory temp = FileUtils::holdDirectoryAt(SysInfo::getTempDir());
        SecureDirectory own = createSecureDirectory(temp);
        const OwnDirectoryRemoval removal(own, temp);
        // Held from here on, so that what is checked is what runs.
        Extracted extracted = extract(own, baseName);
        const std::wstring& target = extracted.target;
        if (extracted.alone) {
            if (extracted.tree) {
                ORV_LOG(LogLevel::Trace, tstrings::StringBuilder("Checked [")
                                             << own.held.path << "]: it holds the " << extracted.tree->files.size()
                                             << " carried files alone, [" << target << "] among them");
            } else {
                ORV_LOG(LogLevel::Trace, tstrings::StringBuilder("Checked [")
                                             << own.held.path << "]: it holds [" << target << "] alone");
            }
            const std::wstring commandLine = getCommandLine(target);
            if (beforeStart != nullptr) {
                beforeStart(target);
            }
            exitCode = execProcessWaitForFinish(target, commandLine, std::move(extracted.held), options);
        } else {
            ORV_LOG(LogLevel::Error, "Secure directory is tempered, exiting...");
        }
        // Once the payload has ended, never delaying its start, and never once the console is
        // closing.
        if (!consoleClosing.load()) {
            removeAbandonedDirectories(temp, own.held.path, abandonedAge, madeByUs);
        }
    } catch (const std::exception& e) {
        ORV_REPORT_EXCEPTION(e);
    } catch (...) {
        ORV_REPORT_UNKNOWN_EXCEPTION();
    }
    return exitCode;
}

int run() {
    return run(nullptr, launchOptionsFor(ownSubsystem()), abandonedAfterMs, madeByThisKind);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Libraries are never looked for in the current directory, which may be a download
    // folder that holds planted DLLs.
    SetDllDirectoryA("");
    HMODULE kernel32 = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, "kernel32", &kernel32)) {
        // Looked up by name: systems without it simply skip the narrowing.
        using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
        const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
        if (setDefaultDllDirectories != nullptr) {
            setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        }
    }
    return run();
}
