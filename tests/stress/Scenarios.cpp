#include "Scenarios.h"

#include "FileUtils.h"
#include "WinAutoHandle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>

using testsupport::exists;
using testsupport::LogRecord;

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace scenarios {

namespace {

const std::regex secureDirName(R"(orv-?\d+\.tmp)");

// Wine's own mapping of a Windows path into the Linux tree.
std::string unixPath(const std::string& path) {
    // cppcheck-suppress cstyleCast ; a function pointer type, which cppcheck takes for a cast
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    const auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
    std::wstring widePath(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &widePath[0], static_cast<int>(widePath.size()));
    char* name = unixFileName != nullptr ? unixFileName(widePath.c_str()) : nullptr;
    if (name == nullptr) {
        throw std::runtime_error("no Linux path for " + path);
    }
    const std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Starts a Linux program. Wine hands back no process to wait for, so callers poll for its effect.
void startLinuxProgram(const std::string& program, std::string commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const std::string path = "Z:\\bin\\" + program;
    if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        throw std::runtime_error("cannot start " + path + ": error " + std::to_string(GetLastError()));
    }
    const AutoProcess started(process);
}

bool isLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Waits until done() holds or giveUp() does, for at most five seconds.
template <class Done, class GiveUp>
bool pollFor(Done done, GiveUp giveUp) {
    for (int i = 0; i < 5000; ++i) {
        if (done()) {
            return true;
        }
        if (giveUp()) {
            return false;
        }
        Sleep(1);
    }
    return done();
}

// Removes every planted link in the extraction directories of temp, and the directories the
// links kept, on every way out: a link left for TempDir's removal would be followed into the
// tree it points at.
class LinkSweeper {
public:
    explicit LinkSweeper(const std::string& temp) : temp(temp) {}
    ~LinkSweeper() {
        try {
            sweep();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    LinkSweeper(const LinkSweeper&) = delete;
    LinkSweeper& operator=(const LinkSweeper&) = delete;

    void sweep() const {
        for (const std::string& name : secureDirectories(temp)) {
            const std::string dir = temp + "\\" + name;
            const std::string link = dir + "\\" + Planter::objectName;
            if (isLink(link)) {
                removeDirectoryLink(link);
                for (const std::string& left : testsupport::listDir(dir)) {
                    DeleteFileA((dir + "\\" + left).c_str());
                }
                RemoveDirectoryA(dir.c_str());
            }
        }
    }

private:
    std::string temp;
};

} // namespace

bool underWine() {
    return GetProcAddress(GetModuleHandleA("ntdll"), "wine_get_version") != nullptr;
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

void writeLargeProbe(const std::string& path, std::size_t extra) {
    if (!CopyFileA(testsupport::programPath("probe.exe").c_str(), path.c_str(), FALSE)) {
        throw std::runtime_error("cannot copy the probe to " + path);
    }
    // Bytes after the image's last section do not keep it from running.
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << std::string(extra, '\x5A');
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::string> secureDirectories(const std::string& temp) {
    std::vector<std::string> names = testsupport::leftovers(temp);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return !std::regex_match(name, secureDirName); }),
                names.end());
    return names;
}

OutsideTree::OutsideTree(const std::string& dir) : dir(dir) {
    CreateDirectoryA(dir.c_str(), nullptr);
    CreateDirectoryA((dir + "\\sub").c_str(), nullptr);
    for (const char* name : {"keep.txt", "keep.dll", "sub\\keep.txt"}) {
        files.push_back(dir + "\\" + name);
        testsupport::writeFile(files.back(), std::string("must survive: ") + name);
    }
}

std::vector<std::string> OutsideTree::missing() const {
    std::vector<std::string> gone;
    for (const std::string& file : files) {
        if (!exists(file)) {
            gone.push_back(file);
        }
    }
    return gone;
}

void makeDirectoryLink(const std::string& link, const std::string& target) {
    if (!underWine()) {
        CreateSymbolicLinkA(link.c_str(), target.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
        return;
    }
    const std::string parent = FileUtils::dirname(link);
    startLinuxProgram("ln", "ln -s -- \"" + unixPath(target) + "\" \"" + unixPath(parent) + "/" +
                                FileUtils::basename(link) + "\"");
    pollFor([&] { return exists(link); }, [&] { return !exists(parent); });
}

void removeDirectoryLink(const std::string& link) {
    if (!underWine()) {
        RemoveDirectoryA(link.c_str());
        return;
    }
    startLinuxProgram("rm", "rm -f -- \"" + unixPath(link) + "\"");
    if (!pollFor([&] { return !exists(link); }, [] { return false; })) {
        throw std::runtime_error("cannot remove the link " + link);
    }
}

const char* nameOf(Plant kind) {
    switch (kind) {
    case Plant::File:
        return "a file";
    case Plant::EmptyDirectory:
        return "an empty directory";
    case Plant::DirectoryLink:
        return "a link to an outside directory";
    }
    return "?";
}

const char* const Planter::objectName = "planted";

Planter::Planter(const std::string& temp, Plant kind, const std::string& linkTarget)
    : temp(temp), kind(kind), linkTarget(linkTarget), watcher([this] { watch(); }) {}

Planter::~Planter() {
    stop();
}

std::vector<std::string> Planter::stop() {
    done = true;
    if (watcher.joinable()) {
        watcher.join();
    }
    return planted;
}

void Planter::watch() {
    std::set<std::string> seen;
    const std::string pattern = temp + "\\orv*.tmp";
    while (!done) {
        WIN32_FIND_DATAA entry;
        const HANDLE find = FindFirstFileA(pattern.c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) {
            continue;
        }
        // An exception must not leave the thread, which would end the whole program.
        try {
            do {
                // The name is reserved by a file first; only the directory made under it counts.
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && seen.insert(entry.cFileName).second &&
                    plant(temp + "\\" + entry.cFileName)) {
                    planted.push_back(temp + "\\" + entry.cFileName + "\\" + objectName);
                }
            } while (FindNextFileA(find, &entry));
        } catch (const std::exception& e) {
            error = e.what();
            done = true;
        }
        FindClose(find);
    }
}

bool Planter::plant(const std::string& dir) {
    const std::string path = dir + "\\" + objectName;
    switch (kind) {
    case Plant::File: {
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(file);
        return true;
    }
    case Plant::EmptyDirectory:
        return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
    case Plant::DirectoryLink:
        makeDirectoryLink(path, linkTarget);
        return isLink(path);
    }
    return false;
}

HostileResult runHostile(Plant kind, const std::string& launcherPath, const testsupport::TempDir& temp,
                         const OutsideTree& outside, const std::string& reportPath) {
    DeleteFileA(reportPath.c_str());
    DeleteFileA(temp.file("vextrel.log").c_str());
    const testsupport::ScopedEnv out("W4W_PROBE_OUT", reportPath);
    const LinkSweeper sweeper(temp.path());
    Planter planter(temp.path(), kind, outside.path());
    const DWORD code = testsupport::runProcess(launcherPath, "\"" + launcherPath + "\"");
    const std::vector<std::string> planted = planter.stop();
    EXPECT_EQ("", planter.failure()) << "the planter failed";

    HostileResult result;
    result.planted = !planted.empty();
    EXPECT_LE(planted.size(), 1u) << "one launcher makes one extraction directory";
    const std::vector<LogRecord> errors = testsupport::failuresIn(testsupport::readLogIfAny(temp.file("vextrel.log")));
    if (code == 0) {
        EXPECT_TRUE(exists(reportPath)) << "the payload did not run";
        EXPECT_TRUE(errors.empty()) << errors.front().message;
    } else {
        result.refused = true;
        EXPECT_EQ(0xFFFFFFFFu, code);
        EXPECT_TRUE(result.planted) << "refused with nothing planted";
        EXPECT_FALSE(exists(reportPath)) << "the payload ran";
        EXPECT_EQ(1u, errors.size());
        if (!errors.empty()) {
            EXPECT_EQ("ERROR", errors[0].level);
            EXPECT_EQ("Secure directory is tempered, exiting...", errors[0].message);
            EXPECT_EQ("`anonymous-namespace'::run", errors[0].function);
            EXPECT_EQ("wrapper4wrapper.cpp", errors[0].sourceFile);
        }
    }
    EXPECT_EQ(std::vector<std::string>(), outside.missing()) << "deleted outside the extraction directory";

    // Wine follows a link even when asked not to, which the removal sees: the whole directory
    // stays, nothing of it deleted. Windows removes the link as a link.
    std::vector<std::string> expectedLeft;
    if (kind == Plant::DirectoryLink && result.planted && underWine()) {
        const std::string dir = FileUtils::dirname(planted.front());
        expectedLeft.push_back(FileUtils::basename(dir));
        EXPECT_EQ((std::vector<std::string>{Planter::objectName, "setup.exe"}), testsupport::listDir(dir));
        EXPECT_TRUE(isLink(planted.front()));
    }
    EXPECT_EQ(expectedLeft, testsupport::leftovers(temp.path()));
    sweeper.sweep();
    EXPECT_EQ(std::vector<std::string>(), testsupport::leftovers(temp.path()));
    return result;
}

} // namespace scenarios
