#include "FileUtils.h"
#include "Log.h"
#include "Resources.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

using testsupport::TempDir;

namespace {

std::string payloadBytes() {
    return testsupport::readFile(RESOURCES_TEST_PAYLOAD_PATH);
}

std::wstring stringResource(unsigned id) {
    DWORD size = 0;
    const auto data = static_cast<const wchar_t*>(Resource(id, RT_STRING, GetModuleHandleA(nullptr)).getPtr(size));
    return std::wstring(data, size / sizeof(wchar_t));
}

} // namespace

TEST(Resource, PointsIntoTheImage) {
    const HMODULE self = GetModuleHandleA(nullptr);
    DWORD size = 0;
    const void* data = Resource(100, RT_RCDATA, self).getPtr(size);
    const std::string expected = payloadBytes();
    ASSERT_EQ(expected.size(), size);
    EXPECT_EQ(0, std::memcmp(expected.data(), data, size));
    // No copy: the bytes lie inside the image.
    MEMORY_BASIC_INFORMATION region = {};
    ASSERT_NE(0u, VirtualQuery(data, &region, sizeof region));
    EXPECT_EQ(self, region.AllocationBase);

    Resource(101, RT_RCDATA, self).getPtr(size);
    EXPECT_EQ(0u, size);
}

TEST(Resource, StringTableEntries) {
    EXPECT_EQ(L"block one", stringResource(1));
    EXPECT_EQ(L"first of block two", stringResource(16));
    EXPECT_EQ(L"second of block two", stringResource(17));
    EXPECT_EQ(L"last of block two", stringResource(31));
    // A string that the block leaves out is empty.
    EXPECT_EQ(L"", stringResource(20));
}

TEST(Resource, MissingResource) {
    try {
        DWORD size = 0;
        Resource(100, RT_RCDATA, GetModuleHandleA("kernel32")).getPtr(size);
        FAIL();
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(std::string::npos,
                  what.find(") at Resource::getPtr(): cannot find resource (name='#100', type='#10'). System error ["))
            << what;
    }
}

// Written under a new name only, and held so that nobody can change it.
TEST(Resource, SaveWritesANewFileNeverOneThatIsThere) {
    TempDir temp;
    const FileUtils::HeldDirectory dir = FileUtils::holdDirectoryAt(tstrings::toUtf16(temp.path()));
    {
        const Resource::Saved saved = Resource(100, RT_RCDATA, GetModuleHandleA(nullptr)).saveIn(dir, L"setup.exe");
        EXPECT_EQ(saved.fileId, FileUtils::fileIdOf(saved.held.get()));
        EXPECT_EQ(payloadBytes(), testsupport::readFile(temp.file("setup.exe")));
        EXPECT_FALSE(DeleteFileA(temp.file("setup.exe").c_str()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    }
    EXPECT_THROW(Resource(101, RT_RCDATA, GetModuleHandleA(nullptr)).saveIn(dir, L"setup.exe"), std::exception);
    EXPECT_EQ(payloadBytes(), testsupport::readFile(temp.file("setup.exe")));
}

TEST(Resource, AFullDiskIsAFailure) {
    // A filesystem too small for the payload, mounted by the test fixture where mount is allowed.
    ULARGE_INTEGER total = {};
    if (!GetDiskFreeSpaceExA(RESOURCES_TEST_SMALL_FS, nullptr, &total, nullptr) ||
        total.QuadPart >= payloadBytes().size()) {
        GTEST_SKIP() << "no filesystem smaller than the payload is mounted at " << RESOURCES_TEST_SMALL_FS;
    }
    const std::string dir = std::string(RESOURCES_TEST_SMALL_FS) + "\\resources";
    CreateDirectoryA(dir.c_str(), nullptr);
    {
        const FileUtils::HeldDirectory held = FileUtils::holdDirectoryAt(tstrings::toUtf16(dir));
        EXPECT_THROW(Resource(100, RT_RCDATA, GetModuleHandleA(nullptr)).saveIn(held, L"setup.exe"), std::exception);
    }
    DeleteFileA((dir + "\\setup.exe").c_str());
    RemoveDirectoryA(dir.c_str());
}
