#pragma once

// Runs of whole launchers under hostile conditions, shared by the fast fault tests and the
// stress program: the fast tests run each once, the stress program many times.
#include "TestSupport.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace scenarios {

bool underWine();
// The test paths and arguments are ASCII.
std::wstring wide(const std::string& text);

// Writes path: the probe with extra bytes appended, which take a while to extract.
void writeLargeProbe(const std::string& path, std::size_t extra);

// The extraction directories (orv*.tmp) in temp.
std::vector<std::string> secureDirectories(const std::string& temp);

// A directory of files and a subdirectory outside the launcher's temporary directory, for
// checking that nothing outside the extraction directory is deleted.
class OutsideTree {
public:
    explicit OutsideTree(const std::string& dir);
    const std::string& path() const { return dir; }
    // The files that are no longer there.
    std::vector<std::string> missing() const;

private:
    std::string dir;
    std::vector<std::string> files;
};

// A symbolic link to a directory. Under Wine it is made and removed from the Linux side, as
// Wine makes none through Win32 and removes none; both are polled for.
void makeDirectoryLink(const std::string& link, const std::string& target);
void removeDirectoryLink(const std::string& link);

enum class Plant { File, EmptyDirectory, DirectoryLink };
const char* nameOf(Plant kind);

// Watches temp from a thread of its own and plants one object of its kind into each new
// extraction directory as soon as it shows; links point at linkTarget.
class Planter {
public:
    Planter(const std::string& temp, Plant kind, const std::string& linkTarget);
    ~Planter();
    Planter(const Planter&) = delete;
    Planter& operator=(const Planter&) = delete;

    // Stops watching; returns the paths of the objects seen in place.
    std::vector<std::string> stop();

    // Why the planter stopped early, if it did; read after stop.
    const std::string& failure() const { return error; }

    static const char* const objectName;

private:
    void watch();
    bool plant(const std::string& dir);

    std::string temp;
    Plant kind;
    std::string linkTarget;
    std::atomic<bool> done{false};
    std::vector<std::string> planted;
    std::string error;
    std::thread watcher;
};

// One launcher run with a planter at work: the launcher at launcherPath carries the probe,
// temp is its temporary directory, outside a tree that must survive. Checks the outcome with
// test assertions and tells whether an object was planted and whether the run refused it.
// Removes what the run was expected to leave (a link under Wine).
struct HostileResult {
    bool planted = false;
    bool refused = false;
};
HostileResult runHostile(Plant kind, const std::string& launcherPath, const testsupport::TempDir& temp,
                         const OutsideTree& outside, const std::string& reportPath);

} // namespace scenarios
