#include "FileUtils.h"
#include "Log.h"
#include "TestSupport.h"
#include "WinAutoHandle.h"
#include "tstrings.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace FileUtils;
using testsupport::exists;
using testsupport::LogRecord;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

struct PathCase {
    std::string (*operation)(const std::string&);
    const char* name;
    const char* input;
    const char* expected;
};

} // namespace

TEST(PathHelpers, SplittingTable) {
    const PathCase cases[] = {
        {dirname, "dirname", "C:\\dir\\file.exe", "C:\\dir"},
        {dirname, "dirname", "C:\\file", "C:"},
        {dirname, "dirname", "C:\\dir\\\\file", "C:\\dir"},
        {dirname, "dirname", "C:\\dir\\", "C:\\dir"},
        {dirname, "dirname", "a/b", "a"},
        {dirname, "dirname", "a\\/b", "a"},
        {dirname, "dirname", "file", ""},
        {dirname, "dirname", "\\file", ""},
        {dirname, "dirname", "\\\\", ""},
        {dirname, "dirname", "", ""},
        {basename, "basename", "C:\\dir\\file.exe", "file.exe"},
        {basename, "basename", "C:/dir/file", "file"},
        {basename, "basename", "C:\\a/b\\c", "c"},
        {basename, "basename", "file", "file"},
        {basename, "basename", "C:\\dir\\", ""},
        {basename, "basename", "", ""},
        {removeTrailingSlashes, "removeTrailingSlashes", "C:\\tmp\\/", "C:\\tmp"},
        {removeTrailingSlashes, "removeTrailingSlashes", "C:\\tmp", "C:\\tmp"},
        {removeTrailingSlashes, "removeTrailingSlashes", "\\", ""},
        {removeTrailingSlashes, "removeTrailingSlashes", "/\\/", ""},
        {removeTrailingSlashes, "removeTrailingSlashes", "", ""},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(c.expected, c.operation(c.input)) << c.name << "(" << c.input << ")";
    }
}

TEST(PathHelpers, CombineTable) {
    const struct {
        const char* dir;
        const char* name;
        const char* expected;
    } cases[] = {
        {"C:\\tmp\\", "a.exe", "C:\\tmp\\a.exe"},
        {"C:\\tmp", "\\a.exe", "C:\\tmp\\a.exe"},
        {"C:\\tmp", "/a.exe", "C:\\tmp\\a.exe"},
        {"C:\\tmp", "\\\\a", "C:\\tmp\\\\a"},
        {"", "x", "x"},
        {"", "", ""},
        {"C:\\tmp\\", "", "C:\\tmp\\"},
        {"\\", "x", "\\x"},
        {"C:\\tmp", "*", "C:\\tmp\\*"},
        {"C:/tmp//", "a", "C:/tmp\\a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, combinePath(c.dir, c.name)) << "combinePath(" << c.dir << ", " << c.name << ")";
    }
}

TEST(PathHelpers, IsDirectory) {
    TempDir temp;
    testsupport::writeFile(temp.file("file"), "x");
    EXPECT_TRUE(isDirectory(temp.path()));
    EXPECT_TRUE(isDirectory(temp.path() + "\\"));
    EXPECT_TRUE(isDirectory("C:\\"));
    EXPECT_FALSE(isDirectory(temp.file("file")));
    EXPECT_FALSE(isDirectory(temp.file("missing")));
    EXPECT_FALSE(isDirectory(""));
}

TEST(PathHelpers, InvalidFileNameCharsHoldNulAndTheNinePunctuationCharacters) {
    const std::string& chars = invalidFileNameChars();
    ASSERT_EQ(41u, chars.size());
    for (int c = 0; c < 32; ++c) {
        EXPECT_EQ(char(c), chars[c]);
    }
    EXPECT_EQ("<>:\"|?*/\\", chars.substr(32));
    EXPECT_EQ(1u, std::string("a\0b", 3).find_first_of(chars));
}

namespace {

void makeDir(const std::string& path) {
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path << ": " << GetLastError();
}

// Points the process's logger at a file of the test's own; the trees of a test live in
// subdirectories of temp, so that the log is never one of their entries.
class FileUtilsTest : public ::testing::Test {
protected:
    std::vector<LogRecord> records() const { return capture.records(); }
    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const LogRecord& r : records()) {
            texts.push_back(r.level + " " + r.function + ": " + r.message);
        }
        return texts;
    }
    void clearLog() { capture.take(); }

    // A fresh directory below temp, with the files and directories given (directories end in \).
    std::string tree(const std::string& name, const std::vector<std::string>& entries = {}) const {
        const std::string root = temp.file(name);
        makeDir(root);
        for (const std::string& entry : entries) {
            if (entry.back() == '\\') {
                makeDir(combinePath(root, entry.substr(0, entry.size() - 1)));
            } else {
                writeFile(combinePath(root, entry), entry);
            }
        }
        return root;
    }

    TempDir temp;
    testsupport::LogCapture capture{temp};
};

// Held without FILE_SHARE_DELETE, so the file cannot be deleted while this lives.
struct HeldFile {
    explicit HeldFile(const std::string& path)
        : handle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr)) {
        EXPECT_NE(INVALID_HANDLE_VALUE, handle.get()) << path;
    }
    AutoHandle handle;
};

// A directory whose path is too long for the find pattern ("\\*" makes it more than
// MAX_PATH), made and removed through the wide functions, which have no such limit.
struct LongDir {
    LongDir(const std::string& parent, std::string::size_type length)
        : path(parent + "\\" + std::string(length - parent.size() - 1, 'd')) {
        EXPECT_TRUE(CreateDirectoryW(wide().c_str(), nullptr)) << GetLastError();
    }
    ~LongDir() { RemoveDirectoryW(wide().c_str()); }
    std::wstring wide() const { return L"\\\\?\\" + std::wstring(path.begin(), path.end()); }
    bool present() const { return GetFileAttributesW(wide().c_str()) != INVALID_FILE_ATTRIBUTES; }
    const std::string path;
};

// Runs fn, which must raise, and returns the text of what it raised.
template <class Exception = std::runtime_error>
std::string raised(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return e.what();
    }
    ADD_FAILURE() << "nothing raised";
    return std::string();
}

// The raised text ends in function(): text, where text begins with phrase and, for a failed
// system call, the error code.
void expectRaised(const std::string& what, const std::string& function, const std::string& phrase) {
    EXPECT_NE(std::string::npos, what.find(") at " + function + "(): " + phrase)) << what;
}

std::string sysPhrase(const std::string& phrase, DWORD code) {
    return phrase + ". System error [" + std::to_string(code) + "](";
}

const char* const createNewFileName = "FileUtils::`anonymous-namespace'::createNewFile";
const char* const createDirName = "FileUtils::`anonymous-namespace'::createDir";
const char* const deleteFileImplName = "FileUtils::`anonymous-namespace'::deleteFileImpl";
const char* const moveFileImplName = "FileUtils::`anonymous-namespace'::moveFileImpl";

} // namespace

TEST_F(FileUtilsTest, CreateTempFileRefusesIllegalCharactersBeforeTouchingTheDisk) {
    const std::string dir = tree("t");
    const struct {
        std::string prefix;
        std::string suffix;
        const char* expected;
    } cases[] = {
        {std::string("or\0v", 4), ".tmp", "Illegal characters in prefix=or"},
        {"o\tv", ".tmp", "Illegal characters in prefix=o\tv"},
        {"a/b", ".tmp", "Illegal characters in prefix=a/b"},
        {"a\\b", ".tmp", "Illegal characters in prefix=a\\b"},
        {"orv", ".t:p", "Illegal characters in suffix=.t:p"},
        {"orv", ".t*p", "Illegal characters in suffix=.t*p"},
        {"orv", std::string(".tm\0p", 5), "Illegal characters in suffix=.tm"},
        {"a\"b", "|", "Illegal characters in prefix=a\"b"},
    };
    for (const auto& c : cases) {
        expectRaised(raised([&] { createTempFile(c.prefix, c.suffix, dir, 7); }), "FileUtils::createTempFile",
                     c.expected);
    }
    EXPECT_TRUE(testsupport::listDir(dir).empty());
    EXPECT_EQ(combinePath(dir, "7"), createTempFile("", "", dir, 7));
}

TEST_F(FileUtilsTest, CreateTempFileNumbersAreTheTickCountPlusTheAttemptAsSigned32Bit) {
    const struct {
        std::uint32_t tick;
        const char* taken; // a name that another party holds already, or null
        const char* expected;
    } cases[] = {
        {5, nullptr, "orv5.tmp"},
        {5, "orv5.tmp", "orv6.tmp"},
        {4294967295u, nullptr, "orv-1.tmp"},
        {4294967295u, "orv-1.tmp", "orv0.tmp"},
        {2147483647u, "orv2147483647.tmp", "orv-2147483648.tmp"},
        {2147483648u, nullptr, "orv-2147483648.tmp"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string dir = tree("t" + std::to_string(n++));
        if (c.taken != nullptr) {
            writeFile(combinePath(dir, c.taken), "theirs");
        }
        clearLog();
        const std::string path = createTempFile("orv", ".tmp", dir, c.tick);
        EXPECT_EQ(combinePath(dir, c.expected), path);
        EXPECT_EQ("", testsupport::readFile(path));
        EXPECT_EQ(std::vector<std::string>{std::string("TRACE ") + createNewFileName + ": Created [" + path + "] file"},
                  messages());
        // Closed: nothing keeps it from being deleted.
        EXPECT_TRUE(DeleteFileA(path.c_str()));
        if (c.taken != nullptr) {
            EXPECT_EQ("theirs", testsupport::readFile(combinePath(dir, c.taken)));
        }
    }
    const std::string real = createTempFile("orv", ".tmp", tree("real"));
    EXPECT_TRUE(std::regex_match(basename(real), std::regex("orv-?[0-9]+\\.tmp"))) << real;
    EXPECT_TRUE(exists(real));
}

TEST_F(FileUtilsTest, CreateTempFileGivesUpAfterAHundredAttempts) {
    const std::string dir = tree("t");
    for (int i = 10; i < 110; ++i) {
        writeFile(combinePath(dir, "orv" + std::to_string(i) + ".tmp"), "");
    }
    const std::string failure = "createTempFile(orv, .tmp, " + dir + ") failed";
    expectRaised(raised([&] { createTempFile("orv", ".tmp", dir, 10); }), "FileUtils::createTempFile", failure);
    EXPECT_FALSE(exists(combinePath(dir, "orv110.tmp")));
    ASSERT_TRUE(DeleteFileA(combinePath(dir, "orv109.tmp").c_str()));
    EXPECT_EQ(combinePath(dir, "orv109.tmp"), createTempFile("orv", ".tmp", dir, 10));

    const std::string missing = temp.file("missing");
    expectRaised(raised([&] { createTempFile("orv", ".tmp", missing, 10); }), "FileUtils::createTempFile",
                 "createTempFile(orv, .tmp, " + missing + ") failed");
    EXPECT_FALSE(exists(missing));
}

TEST_F(FileUtilsTest, CreateDirectoriesCreatesEachMissingLevelOnce) {
    const std::string base = tree("t", {"file"});
    clearLog();
    createDirectories(base + "\\a\\b\\");
    createDirectories(base + "\\a/c");
    createDirectories(base + "\\a\\b");
    createDirectories("");
    EXPECT_TRUE(isDirectory(base + "\\a\\b"));
    EXPECT_TRUE(isDirectory(base + "\\a\\c"));
    const std::string trace = std::string("TRACE ") + createDirName + ": Created [";
    EXPECT_EQ((std::vector<std::string>{trace + base + "\\a\\] directory", trace + base + "\\a\\b\\] directory",
                                        trace + base + "\\a/c\\] directory"}),
              messages());

    const std::string file = base + "\\file";
    expectRaised(raised([&] { createDirectories(file + "\\sub"); }), createDirName,
                 sysPhrase("CreateDirectory(" + file + "\\) failed", ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(exists(file + "\\sub"));
}

namespace {

struct Recorder : DirectoryCallback {
    bool onFile(const std::string& path) override { return note("F " + path); }
    bool onDirectory(const std::string& path) override { return note("D " + path); }
    bool note(const std::string& entry) {
        seen.push_back(entry);
        if (throwAfter != 0 && seen.size() == throwAfter) {
            throw std::logic_error("from the callback");
        }
        return seen.size() != stopAfter;
    }
    std::vector<std::string> sorted() const {
        std::vector<std::string> s = seen;
        std::sort(s.begin(), s.end());
        return s;
    }
    std::vector<std::string> seen;
    std::size_t stopAfter = 0;
    std::size_t throwAfter = 0;
};

// An open find handle keeps a directory from being renamed.
bool renameable(const std::string& dir) {
    const std::string other = dir + ".renamed";
    return MoveFileExA(dir.c_str(), other.c_str(), 0) && MoveFileExA(other.c_str(), dir.c_str(), 0);
}

} // namespace

TEST_F(FileUtilsTest, IterateDirectoryReportsEachEntryOfOneLevel) {
    Recorder empty;
    iterateDirectory(tree("empty"), empty);
    EXPECT_TRUE(empty.seen.empty());

    const std::string root = tree("t", {"a.exe", "sub\\", "sub\\b.txt", ".a\\", "..b\\"});
    const std::vector<std::string> expected = {"D " + root + "\\..b", "D " + root + "\\.a", "D " + root + "\\sub",
                                               "F " + root + "\\a.exe"};
    for (const std::string& given : {root, root + "\\", root + "/"}) {
        Recorder r;
        iterateDirectory(given, r);
        EXPECT_EQ(expected, r.sorted()) << given;
    }
    EXPECT_TRUE(renameable(root));

    // A pattern leaves out the entries it does not match, and matching none is no failure.
    Recorder matched;
    iterateDirectory(root, matched, "*.exe");
    EXPECT_EQ(std::vector<std::string>{"F " + root + "\\a.exe"}, matched.seen);
    Recorder none;
    iterateDirectory(root, none, "orv*.tmp");
    EXPECT_TRUE(none.seen.empty());
}

TEST_F(FileUtilsTest, IterateDirectoryClosesItsHandleOnEveryWayOut) {
    const std::string root = tree("t", {"1", "2", "3"});
    Recorder stop;
    stop.stopAfter = 1;
    iterateDirectory(root, stop);
    EXPECT_EQ(1u, stop.seen.size());
    EXPECT_TRUE(renameable(root));

    Recorder thrower;
    thrower.throwAfter = 2;
    EXPECT_EQ("from the callback", raised<std::logic_error>([&] { iterateDirectory(root, thrower); }));
    EXPECT_EQ(2u, thrower.seen.size());
    EXPECT_TRUE(renameable(root));
}

TEST_F(FileUtilsTest, IterateDirectoryRaisesTheFindFailures) {
    const std::string base = tree("t", {"file"});
    const LongDir tooLong(base, MAX_PATH - 1);
    // What the system says about a file taken for a directory differs between systems.
    WIN32_FIND_DATAA data;
    // cppcheck-suppress leakReturnValNotUsed ; the call must fail and return no handle
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA((base + "\\file\\*").c_str(), &data));
    const DWORD notADirectory = GetLastError();
    const struct {
        std::string dir;
        DWORD code;
    } cases[] = {
        {base + "\\missing", ERROR_PATH_NOT_FOUND},
        {base + "\\file", notADirectory},
        {tooLong.path, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        Recorder r;
        expectRaised(raised([&] { iterateDirectory(c.dir, r); }), "FileUtils::iterateDirectory",
                     sysPhrase("FindFirstFile(" + c.dir + ") failed", c.code));
        EXPECT_TRUE(r.seen.empty());
    }
}

namespace {

std::vector<std::string> find(const std::string& root, bool recurse, bool withFiles, bool withFolders) {
    std::vector<std::string> out = {"kept"};
    DirectoryIterator it(recurse, withFiles, withFolders, root);
    it.findItems(out);
    EXPECT_EQ("kept", out.front());
    out.erase(out.begin());
    // A second listing by the same iterator yields the same, not more.
    std::vector<std::string> again;
    it.findItems(again);
    EXPECT_EQ(out, again);
    return out;
}

// Depth-first pre-order: everything between a directory and an entry inside it lies inside it too.
void expectPreOrder(const std::vector<std::string>& items, const std::string& root) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string parent = dirname(items[i]);
        if (parent == root) {
            continue;
        }
        const auto at = std::find(items.begin(), items.begin() + i, parent);
        ASSERT_NE(items.begin() + i, at) << items[i] << " before its directory";
        for (auto between = at + 1; between != items.begin() + i; ++between) {
            EXPECT_EQ(0u, between->find(parent + "\\")) << *between << " between " << parent << " and " << items[i];
        }
    }
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST_F(FileUtilsTest, DirectoryIteratorListsDepthFirstPreOrder) {
    const std::string root = tree(
        "t", {"a.exe", "sub\\", "sub\\b.txt", "sub\\deep\\", "sub\\deep\\c.txt", "sub\\e.txt", "z.txt", "empty\\"});
    const auto full = [&](std::vector<std::string> names) {
        for (std::string& name : names) {
            name = root + "\\" + name;
        }
        return sorted(names);
    };
    const struct {
        bool recurse, withFiles, withFolders;
        std::vector<std::string> expected;
    } cases[] = {
        {true, true, true,
         full({"a.exe", "sub", "sub\\b.txt", "sub\\deep", "sub\\deep\\c.txt", "sub\\e.txt", "z.txt", "empty"})},
        {true, true, false, full({"a.exe", "sub\\b.txt", "sub\\deep\\c.txt", "sub\\e.txt", "z.txt"})},
        {true, false, true, full({"sub", "sub\\deep", "empty"})},
        {false, true, true, full({"a.exe", "sub", "z.txt", "empty"})},
        {false, true, false, full({"a.exe", "z.txt"})},
        {true, false, false, {}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> items = find(root, c.recurse, c.withFiles, c.withFolders);
        EXPECT_EQ(c.expected, sorted(items)) << c.recurse << c.withFiles << c.withFolders;
        if (c.withFolders) {
            expectPreOrder(items, root);
        }
        EXPECT_EQ(items, find(root + "\\", c.recurse, c.withFiles, c.withFolders));
    }
    EXPECT_TRUE(find(root + "\\missing", true, true, true).empty());
    EXPECT_TRUE(find(root + "\\a.exe", true, true, true).empty());
}

TEST_F(FileUtilsTest, DirectoryIteratorFailureInASubdirectoryGivesNothing) {
    const std::string root = tree("t", {"a.txt", "sub\\", "sub\\b.txt"});
    std::vector<std::string> out = {"kept"};
    DirectoryIterator it(true, true, true, root);
    {
        const LongDir tooLong(root + "\\sub", MAX_PATH - 1);
        expectRaised(raised([&] { it.findItems(out); }), "FileUtils::iterateDirectory",
                     sysPhrase("FindFirstFile(" + tooLong.path + ") failed", ERROR_FILENAME_EXCED_RANGE));
        EXPECT_EQ(std::vector<std::string>{"kept"}, out);
    }
    it.findItems(out);
    EXPECT_EQ(sorted({"kept", root + "\\a.txt", root + "\\sub", root + "\\sub\\b.txt"}), sorted(out));
}

TEST_F(FileUtilsTest, AbsentPathsCountAsDeletedWithoutARecord) {
    const std::string dir = tree("t");
    for (const std::string& path : {dir + "\\missing", dir + "\\no\\such\\file"}) {
        EXPECT_TRUE(deleteFile(path, std::nothrow)) << path;
        deleteFile(path);
        EXPECT_TRUE(deleteDirectory(path, std::nothrow)) << path;
        deleteDirectory(path);
        EXPECT_TRUE(deleteFilesInDirectory(path)) << path;
        EXPECT_TRUE(deleteDirectoryRecursive(path, std::nothrow)) << path;
        deleteDirectoryRecursive(path);
    }
    EXPECT_TRUE(records().empty());
}

TEST_F(FileUtilsTest, DeleteFileDiscardsTheReadOnlyAttributeOnce) {
    const std::string dir = tree("t");
    const std::function<void(const std::string&)> forms[] = {
        [](const std::string& path) { EXPECT_TRUE(deleteFile(path, std::nothrow)); },
        [](const std::string& path) { deleteFile(path); },
    };
    for (const auto& form : forms) {
        const std::string path = dir + "\\ro.txt";
        writeFile(path, "x");
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_FALSE(DeleteFileA(path.c_str()));
        clearLog();
        form(path);
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(
            (std::vector<std::string>{"TRACE FileUtils::deleteFile: Discarded R/O attribute from [" + path + "] file",
                                      std::string("TRACE ") + deleteFileImplName + ": Deleted [" + path + "] file"}),
            messages());
    }
}

TEST_F(FileUtilsTest, AFileInUseStaysAndOnlyTheThrowingFormSaysWhy) {
    const std::string path = tree("t", {"held.txt"}) + "\\held.txt";
    const HeldFile held(path);
    EXPECT_FALSE(deleteFile(path, std::nothrow));
    expectRaised(raised([&] { deleteFile(path); }), "FileUtils::deleteFile",
                 sysPhrase("DeleteFile(" + path + ") failed", ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(exists(path));
    EXPECT_TRUE(records().empty());
}

TEST_F(FileUtilsTest, DeleteDirectoryTakesOnlyAnEmptyOne) {
    const std::string full = tree("full", {"f"});
    EXPECT_FALSE(deleteDirectory(full, std::nothrow));
    expectRaised(raised([&] { deleteDirectory(full); }), "FileUtils::deleteDirectory",
                 sysPhrase("RemoveDirectory(" + full + ") failed", ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(records().empty());
    const std::string empty = tree("empty");
    EXPECT_TRUE(deleteDirectory(empty, std::nothrow));
    EXPECT_EQ(std::vector<std::string>{"TRACE FileUtils::deleteDirectory: Deleted [" + empty + "] directory"},
              messages());
    EXPECT_FALSE(exists(empty));
}

TEST_F(FileUtilsTest, DeleteFilesInDirectoryLeavesSubdirectoriesAlone) {
    const std::string dir = tree("t", {"a", "b", "sub\\", "sub\\c"});
    EXPECT_TRUE(deleteFilesInDirectory(dir));
    EXPECT_EQ(std::vector<std::string>{"sub"}, testsupport::listDir(dir));
    EXPECT_TRUE(exists(dir + "\\sub\\c"));
    EXPECT_FALSE(deleteFilesInDirectory(dir + "\\sub\\c"));
    EXPECT_TRUE(exists(dir + "\\sub\\c"));

    writeFile(dir + "\\d", "");
    // cppcheck-suppress unreadVariable ; it holds the file open until the end of the test
    const HeldFile held(dir + "\\sub\\c");
    writeFile(dir + "\\sub\\e", "");
    EXPECT_FALSE(deleteFilesInDirectory(dir + "\\sub"));
    EXPECT_EQ(std::vector<std::string>{"c"}, testsupport::listDir(dir + "\\sub"));
    EXPECT_TRUE(exists(dir + "\\d"));
}

TEST_F(FileUtilsTest, TreeDeletionKeepsOnlyThePathToAFileInUse) {
    const std::string root = tree(
        "t", {"a", "s1\\", "s1\\b", "s2\\", "s2\\c", "s2\\s3\\", "s2\\s3\\held", "s2\\s3\\d", "s2\\s4\\", "s2\\s4\\e"});
    {
        const HeldFile held(root + "\\s2\\s3\\held");
        EXPECT_FALSE(deleteDirectoryRecursive(root, std::nothrow));
        EXPECT_EQ(std::vector<std::string>{"s2"}, testsupport::listDir(root));
        EXPECT_EQ(std::vector<std::string>{"s3"}, testsupport::listDir(root + "\\s2"));
        EXPECT_EQ(std::vector<std::string>{"held"}, testsupport::listDir(root + "\\s2\\s3"));
        // A plain failure is the caller's to report; deletions are recorded contents first.
        const std::vector<std::string> log = messages();
        for (const std::string& m : log) {
            EXPECT_EQ(0u, m.find("TRACE ")) << m;
        }
        const auto at = [&](const std::string& m) {
            return std::find(log.begin(), log.end(), m) - log.begin();
        };
        EXPECT_LT(at(std::string("TRACE ") + deleteFileImplName + ": Deleted [" + root + "\\s1\\b] file"),
                  at("TRACE FileUtils::deleteDirectory: Deleted [" + root + "\\s1] directory"));
        EXPECT_GT(static_cast<std::ptrdiff_t>(log.size()),
                  at("TRACE FileUtils::deleteDirectory: Deleted [" + root + "\\s2\\s4] directory"));

        expectRaised(raised([&] { deleteDirectoryRecursive(root); }), "FileUtils::deleteFile",
                     sysPhrase("DeleteFile(" + root + "\\s2\\s3\\held) failed", ERROR_SHARING_VIOLATION));
    }
    deleteDirectoryRecursive(root);
    EXPECT_FALSE(exists(root));
    EXPECT_TRUE(deleteDirectoryRecursive(tree("again", {"x", "y\\", "y\\z"}), std::nothrow));
    EXPECT_FALSE(exists(temp.file("again")));
}

TEST_F(FileUtilsTest, ADirectoryThatCannotBeReadIsNotReportedGone) {
    const LongDir tooLong(tree("t"), MAX_PATH + 2);
    ASSERT_TRUE(tooLong.present());
    EXPECT_FALSE(deleteDirectoryRecursive(tooLong.path, std::nothrow));
    EXPECT_FALSE(deleteFilesInDirectory(tooLong.path));
    expectRaised(raised([&] { deleteDirectoryRecursive(tooLong.path); }), "FileUtils::deleteDirectory",
                 sysPhrase("RemoveDirectory(" + tooLong.path + ") failed", ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(tooLong.present());
}

TEST_F(FileUtilsTest, MoveFileReplacesTheTargetAndCreatesItsDirectories) {
    const std::string dir = tree("t", {"a", "b", "c", "d\\", "d\\inside"});
    writeFile(dir + "\\a", "new");
    writeFile(dir + "\\b", "old");
    clearLog();
    moveFile(dir + "\\a", dir + "\\b");
    moveFile(dir + "\\c", dir + "\\x\\y\\c");
    moveFile(dir + "\\d", dir + "\\e");
    EXPECT_EQ("new", testsupport::readFile(dir + "\\b"));
    EXPECT_EQ(sorted({"b", "e", "x"}), testsupport::listDir(dir));
    EXPECT_TRUE(exists(dir + "\\x\\y\\c"));
    EXPECT_TRUE(exists(dir + "\\e\\inside"));
    const std::string moved = std::string("TRACE ") + moveFileImplName + ": Moved '";
    const std::string created = std::string("TRACE ") + createDirName + ": Created [";
    EXPECT_EQ((std::vector<std::string>{
                  moved + dir + "\\a' file to '" + dir + "\\b'",
                  created + dir + "\\x\\] directory",
                  created + dir + "\\x\\y\\] directory",
                  moved + dir + "\\c' file to '" + dir + "\\x\\y\\c'",
                  moved + dir + "\\d' folder to '" + dir + "\\e'",
              }),
              messages());

    expectRaised(raised([&] { moveFile(dir + "\\gone", dir + "\\b"); }), moveFileImplName,
                 sysPhrase("MoveFileEx(" + dir + "\\gone, " + dir + "\\b, 3) failed", ERROR_FILE_NOT_FOUND));
    EXPECT_EQ("new", testsupport::readFile(dir + "\\b"));
}

TEST_F(FileUtilsTest, DeleterWorksByKindInTheOrderAdded) {
    const std::string dir = tree("t", {"emptyA\\", "treeB\\", "treeB\\b", "treeB\\d", "dirC\\", "dirC\\c",
                                       "dirC\\sub\\", "dirC\\sub\\s", "e", "f", "g"});
    const auto path = [&](const std::string& name) {
        return dir + "\\" + name;
    };
    clearLog();
    {
        Deleter deleter(false);
        deleter.append(path("emptyA"), DeleteKind::EmptyDirectory);
        deleter.append(path("treeB"), DeleteKind::DirectoryTree);
        deleter.append(path("dirC"), DeleteKind::FilesInDirectory);
        deleter.appendFile(path("treeB\\d"));
        deleter.append(path("e"), DeleteKind::File);
        deleter.append(path("f"), static_cast<DeleteKind>(8));
        deleter.append(path("g"), static_cast<DeleteKind>(-1));
        deleter.execute();
        // Emptied: a second run finds nothing to do.
        writeFile(path("e"), "");
        deleter.execute();
    }
    const std::string file = std::string("TRACE ") + deleteFileImplName + ": Deleted [";
    const std::string folder = "TRACE FileUtils::deleteDirectory: Deleted [";
    EXPECT_EQ(
        (std::vector<std::string>{file + path("treeB\\d") + "] file", file + path("e") + "] file",
                                  file + path("dirC\\c") + "] file", file + path("treeB\\b") + "] file",
                                  folder + path("treeB") + "] directory", folder + path("emptyA") + "] directory"}),
        messages());
    EXPECT_EQ(sorted({"dirC", "e", "f", "g"}), testsupport::listDir(dir));
    EXPECT_TRUE(exists(path("dirC\\sub\\s")));
}

TEST_F(FileUtilsTest, DeleterDeletesWhenDestroyedUnlessCancelled) {
    const std::string dir = tree("t", {"f", "tree\\", "tree\\x"});
    {
        Deleter deleter(false);
        deleter.appendFile(dir + "\\f");
        deleter.append(dir + "\\tree", DeleteKind::DirectoryTree);
        deleter.cancel();
    }
    EXPECT_EQ(sorted({"f", "tree"}), testsupport::listDir(dir));
    EXPECT_TRUE(records().empty());
    {
        Deleter deleter(false);
        deleter.appendFile(dir + "\\f");
        deleter.append(dir + "\\tree", DeleteKind::DirectoryTree);
    }
    EXPECT_TRUE(testsupport::listDir(dir).empty());
}

namespace {

const char* const sessionManager = "System\\CurrentControlSet\\Control\\Session Manager";
const char* const pendingValue = "PendingFileRenameOperations";

// The restart registrations of the whole prefix: pairs of source and target, in order.
std::vector<std::pair<std::string, std::string>> pendingOperations() {
    std::vector<std::pair<std::string, std::string>> pairs;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return pairs;
    }
    const AutoRegHandle owner(key);
    DWORD size = 0;
    if (RegQueryValueExA(key, pendingValue, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return pairs;
    }
    std::vector<char> data(size + 2);
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(key, pendingValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size));
    std::vector<std::string> strings;
    for (std::size_t at = 0; at < size;) {
        strings.emplace_back(data.data() + at);
        at += strings.back().size() + 1;
    }
    for (std::size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2) {
        pairs.emplace_back(strings[i], strings[i + 1]);
    }
    return pairs;
}

std::string ntPath(const std::string& path) {
    return "\\??\\" + path;
}

// The paths below dir that are registered for deletion at the restart, in order.
std::vector<std::string> pendingDeletionsUnder(const std::string& dir) {
    std::vector<std::string> paths;
    for (const auto& pair : pendingOperations()) {
        if (pair.first.compare(0, ntPath(dir).size(), ntPath(dir)) == 0) {
            EXPECT_EQ("", pair.second) << pair.first;
            paths.push_back(pair.first.substr(4));
        }
    }
    return paths;
}

// The value is shared by every test of the prefix: only what lies below dir is taken out.
void removePendingUnder(const std::string& dir) {
    const auto pairs = pendingOperations();
    std::string data;
    for (const auto& pair : pairs) {
        if (pair.first.compare(0, ntPath(dir).size(), ntPath(dir)) != 0) {
            data += pair.first + '\0' + pair.second + '\0';
        }
    }
    HKEY key = nullptr;
    if (pairs.empty() || RegOpenKeyExA(HKEY_LOCAL_MACHINE, sessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    const AutoRegHandle owner(key);
    if (data.empty()) {
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, pendingValue));
    } else {
        data += '\0';
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, pendingValue, 0, REG_MULTI_SZ,
                                                reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size())));
    }
}

class RebootTest : public FileUtilsTest {
protected:
    void TearDown() override {
        removePendingUnder(temp.path());
        EXPECT_TRUE(pendingDeletionsUnder(temp.path()).empty());
        FileUtilsTest::TearDown();
    }
};

} // namespace

TEST_F(RebootTest, WhatCannotBeDeletedIsRegisteredContentsBeforeTheirDirectory) {
    const std::string dir =
        tree("t", {"f1", "f2", "files\\", "files\\h", "files\\gone", "files\\sub\\", "files\\sub\\s", "tree\\",
                   "tree\\a", "tree\\s2\\", "tree\\s2\\s3\\", "tree\\s2\\s3\\x", "tree\\s2\\y", "full\\", "full\\k",
                   "empty\\", "plain\\", "plain\\p"});
    const auto path = [&](const std::string& name) {
        return dir + "\\" + name;
    };
    const HeldFile heldF1(path("f1")), heldH(path("files\\h")), heldX(path("tree\\s2\\s3\\x")), heldK(path("full\\k")),
        heldP(path("plain\\p"));
    clearLog();
    {
        Deleter deleter(true);
        deleter.append(path("full"), DeleteKind::EmptyDirectoryOrOnReboot);
        deleter.append(path("empty"), DeleteKind::EmptyDirectoryOrOnReboot);
        deleter.append(path("tree"), DeleteKind::DirectoryTreeOrOnReboot);
        deleter.append(path("files"), DeleteKind::FilesInDirectoryOrOnReboot);
        deleter.appendFile(path("f1"));
        deleter.appendFile(path("f2"));
        // Kinds without the fallback register nothing.
        deleter.append(path("plain"), DeleteKind::DirectoryTree);
        deleter.append(path("plain\\p"), DeleteKind::File);
    }
    const std::vector<std::string> expected = {
        path("f1"),   path("files\\h"), path("tree\\s2\\s3\\x"), path("tree\\s2\\s3"), path("tree\\s2"),
        path("tree"), path("full"),
    };
    EXPECT_EQ(expected, pendingDeletionsUnder(temp.path()));
    EXPECT_FALSE(exists(path("f2")));
    EXPECT_FALSE(exists(path("files\\gone")));
    EXPECT_FALSE(exists(path("tree\\a")));
    EXPECT_FALSE(exists(path("tree\\s2\\y")));
    EXPECT_FALSE(exists(path("empty")));
    EXPECT_TRUE(exists(path("files\\sub\\s")));

    std::vector<std::string> registered;
    for (const LogRecord& r : records()) {
        EXPECT_NE("ERROR", r.level) << r.message;
        if (r.function == moveFileImplName) {
            registered.push_back(r.message);
        }
    }
    const auto line = [](const std::string& p, const char* noun) {
        return "Delete '" + p + "' " + noun + " on reboot";
    };
    EXPECT_EQ((std::vector<std::string>{line(expected[0], "file"), line(expected[1], "file"), line(expected[2], "file"),
                                        line(expected[3], "folder"), line(expected[4], "folder"),
                                        line(expected[5], "folder"), line(expected[6], "folder")}),
              registered);
}

TEST_F(RebootTest, AListingFailureFromTheDestructorIsReportedAndTheRestIsDone) {
    const std::string dir = tree("t", {"tree\\", "tree\\x", "empty\\"});
    {
        const LongDir tooLong(dir, MAX_PATH - 1);
        const std::string failure = sysPhrase("FindFirstFile(" + tooLong.path + ") failed", ERROR_FILENAME_EXCED_RANGE);
        clearLog();
        {
            Deleter deleter(false);
            deleter.append(tooLong.path, DeleteKind::FilesInDirectoryOrOnReboot);
            deleter.append(dir + "\\tree", DeleteKind::DirectoryTree);
            deleter.append(dir + "\\empty", DeleteKind::EmptyDirectory);
        }
        std::vector<std::string> errors;
        for (const LogRecord& r : records()) {
            if (r.level == "ERROR") {
                EXPECT_EQ(0u, r.message.find("Exception with message '")) << r.message;
                EXPECT_NE(std::string::npos, r.message.find("FileUtils::iterateDirectory(): " + failure)) << r.message;
                errors.push_back(r.function);
            }
        }
        EXPECT_EQ((std::vector<std::string>{"FileUtils::`anonymous-namespace'::BatchDeleter::execute",
                                            "FileUtils::Deleter::execute"}),
                  errors);
        EXPECT_TRUE(tooLong.present());
    }
    EXPECT_TRUE(testsupport::listDir(dir).empty());
    EXPECT_TRUE(pendingDeletionsUnder(temp.path()).empty());
}

using DirectoryLink = testsupport::Link;

TEST_F(RebootTest, DirectoryLinksAreListedAndRemovedButNeverEntered) {
    // The target holds files, so that Wine, which would remove an empty target in place of
    // the link, leaves it alone.
    const std::string outside = tree("outside", {"keep", "deep\\", "deep\\keep"});
    const std::string root = tree("t", {"a", "sub\\", "sub\\b"});
    const std::string linkPath = root + "\\sub\\link";
    DirectoryLink link(outside, linkPath);
    if (!link.made()) {
        GTEST_SKIP() << "no directory link can be made here";
    }
    EXPECT_NE(0u, GetFileAttributesA(linkPath.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(sorted({root + "\\a", root + "\\sub", root + "\\sub\\b", linkPath}),
              sorted(find(root, true, true, true)));

    clearLog();
    // Windows removes the link itself; Wine cannot remove it through Win32 at all.
    EXPECT_EQ(!link.made(), deleteDirectoryRecursive(root, std::nothrow));
    EXPECT_FALSE(exists(root + "\\a"));
    EXPECT_FALSE(exists(root + "\\sub\\b"));
    if (link.made()) {
        expectRaised(raised([&] { deleteDirectoryRecursive(root); }), "FileUtils::deleteDirectory",
                     "RemoveDirectory(" + linkPath + ") failed");
        {
            Deleter deleter(false);
            deleter.append(root, DeleteKind::DirectoryTreeOrOnReboot);
            // Given the link itself, neither its deletion nor its registration reaches inside.
            deleter.append(linkPath, DeleteKind::FilesInDirectoryOrOnReboot);
            deleter.append(linkPath, DeleteKind::DirectoryTreeOrOnReboot);
        }
        EXPECT_EQ((std::vector<std::string>{linkPath, root + "\\sub", root, linkPath}),
                  pendingDeletionsUnder(temp.path()));
    }
    for (const std::string& m : messages()) {
        EXPECT_EQ(std::string::npos, m.find(linkPath + "\\")) << m;
        EXPECT_EQ(std::string::npos, m.find(outside)) << m;
    }
    EXPECT_EQ(sorted({"deep", "keep"}), testsupport::listDir(outside));
    EXPECT_TRUE(exists(outside + "\\deep\\keep"));
}

namespace {

bool anyTree(HANDLE) {
    return true;
}

bool noTree(HANDLE) {
    return false;
}

} // namespace

// Everything is checked before anything goes: a file in use deep down keeps every other one.
TEST_F(FileUtilsTest, AnUnusedTreeGoesWholeAndATreeInUseStaysWhole) {
    const std::vector<std::string> entries = {"a", "sub\\", "sub\\b", "sub\\deep\\", "sub\\deep\\c"};
    const std::string root = tree("orv1.tmp", entries);
    const HeldDirectory parent = holdDirectoryAt(tstrings::toUtf16(temp.path()));
    const auto intact = [&] {
        return sorted({root + "\\a", root + "\\sub", root + "\\sub\\b", root + "\\sub\\deep",
                       root + "\\sub\\deep\\c"}) == sorted(find(root, true, true, true));
    };
    {
        const HeldFile held(root + "\\sub\\deep\\c");
        EXPECT_FALSE(deleteTreeIfUnused(parent, L"orv1.tmp", 0, anyTree));
        EXPECT_TRUE(intact());
    }
    {
        // Open for anything, even sharing everything, as a program's working directory is.
        const AutoHandle dir(CreateFileA((root + "\\sub").c_str(), FILE_LIST_DIRECTORY,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_NE(INVALID_HANDLE_VALUE, dir.get());
        EXPECT_FALSE(deleteTreeIfUnused(parent, L"orv1.tmp", 0, anyTree));
        EXPECT_TRUE(intact());
    }
    // Just created; made by another kind of program; not a directory.
    EXPECT_FALSE(deleteTreeIfUnused(parent, L"orv1.tmp", 60000, anyTree));
    EXPECT_FALSE(deleteTreeIfUnused(parent, L"orv1.tmp", 0, noTree));
    EXPECT_TRUE(intact());
    writeFile(temp.file("orv2.tmp"), "a file");
    EXPECT_FALSE(deleteTreeIfUnused(parent, L"orv2.tmp", 0, anyTree));
    EXPECT_TRUE(exists(temp.file("orv2.tmp")));
    // A read-only file keeps nothing; a name that the ANSI code page would map "best fit" to
    // ..\..\victim goes as itself.
    ASSERT_TRUE(SetFileAttributesA((root + "\\sub\\b").c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string victim = tree("victim", {"keep"});
    ASSERT_TRUE(CreateDirectoryW(
        (tstrings::toUtf16(root) + L"\\sub\\\xFF0E\xFF0E\xFF3C\xFF0E\xFF0E\xFF3Cvictim").c_str(), nullptr));

    EXPECT_TRUE(deleteTreeIfUnused(parent, L"orv1.tmp", 0, anyTree));
    EXPECT_FALSE(exists(root));
    EXPECT_TRUE(exists(victim + "\\keep"));
}

namespace {

// What the seam does to the directory subToChange once it is listed.
std::string subToChange;
std::string linkTarget;
std::vector<std::unique_ptr<testsupport::Link>> madeLinks;
void (*change)(const std::string& sub) = nullptr;

void addFile(const std::string& sub) {
    writeFile(sub + "\\new", "new");
}

// What a mount point does on Windows, where an emptied directory can become one even while it
// is held.
void replaceByLink(const std::string& sub) {
    madeLinks.push_back(testsupport::replaceWithLink(sub, linkTarget));
}

void onListed(const std::wstring& dir) {
    if (tstrings::toUtf8(dir) == subToChange) {
        change(subToChange);
    }
}

} // namespace

// What the owner of a tree can do to it while a removal walks it: nothing of the tree goes,
// and nothing outside it.
TEST_F(FileUtilsTest, ATreeThatChangesWhileItIsRemovedLosesNothing) {
    linkTarget = tree("outside", {"a", "b"});
    const HeldDirectory parent = holdDirectoryAt(tstrings::toUtf16(temp.path()));
    afterListingForTesting = onListed;
    for (const auto changeOf : {addFile, replaceByLink}) {
        const std::string root = tree("orv5.tmp", {"a", "sub\\", "sub\\a", "sub\\b"});
        subToChange = root + "\\sub";
        change = changeOf;
        EXPECT_FALSE(deleteTreeIfUnused(parent, L"orv5.tmp", 0, anyTree));
        EXPECT_TRUE(exists(root + "\\a")) << ::testing::PrintToString(messages());
        EXPECT_EQ(sorted({"a", "b"}), testsupport::listDir(linkTarget));
        madeLinks.clear();
        std::filesystem::remove_all(root);
    }
    afterListingForTesting = nullptr;
}

TEST_F(FileUtilsTest, AnUnusedTreeIsNeverLeftThroughALink) {
    const std::string outside = tree("outside", {"keep", "deep\\", "deep\\keep"});
    const std::string root = tree("orv3.tmp", {"a"});
    const HeldDirectory parent = holdDirectoryAt(tstrings::toUtf16(temp.path()));
    DirectoryLink inside(outside, root + "\\link");
    DirectoryLink named(outside, temp.file("orv4.tmp"));
    // Under Wine a link to a file is the file itself for every Win32 function.
    DirectoryLink file(outside + "\\keep", root + "\\doc");
    if (!inside.made() || !named.made() || !file.made()) {
        GTEST_SKIP() << "no link can be made here";
    }
    EXPECT_FALSE(deleteTreeIfUnused(parent, L"orv4.tmp", 0, anyTree));
    // Windows deletes the link inside as a link; Wine follows it, which the removal sees, and
    // so leaves the whole tree.
    deleteTreeIfUnused(parent, L"orv3.tmp", 0, anyTree);
    EXPECT_EQ(sorted({"deep", "keep"}), testsupport::listDir(outside));
    EXPECT_TRUE(exists(outside + "\\deep\\keep"));
}
