#include "FileUtils.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace FileUtils;
using testsupport::TempDir;

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
        {"C:\\tmp\\", "a.exe", "C:\\tmp\\a.exe"}, {"C:\\tmp", "\\a.exe", "C:\\tmp\\a.exe"},
        {"C:\\tmp", "/a.exe", "C:\\tmp\\a.exe"},  {"C:\\tmp", "\\\\a", "C:\\tmp\\\\a"},
        {"", "x", "x"},                           {"", "", ""},
        {"C:\\tmp\\", "", "C:\\tmp\\"},           {"\\", "x", "\\x"},
        {"C:\\tmp", "*", "C:\\tmp\\*"},           {"C:/tmp//", "a", "C:/tmp\\a"},
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
