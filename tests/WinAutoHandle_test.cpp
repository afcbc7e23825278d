#include "Log.h"
#include "TestSupport.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using testsupport::TempDir;

namespace {

class AutoHandleTest : public ::testing::Test {
protected:
    std::vector<testsupport::LogRecord> records() const { return capture.records(); }

    TempDir temp;
    testsupport::LogCapture capture{temp};
};

bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

HANDLE newEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

std::string hex(const void* value) {
    return (tstrings::StringBuilder() << value).str();
}

} // namespace

TEST_F(AutoHandleTest, NullAndInvalidValuesAreSkipped) {
    closeHANDLE(nullptr);
    closeHANDLE(INVALID_HANDLE_VALUE);
    closeRegHandle(nullptr);
    { AutoHandle invalid(INVALID_HANDLE_VALUE); }
    EXPECT_TRUE(records().empty());
}

TEST_F(AutoHandleTest, FailedCloseIsOneErrorRecord) {
    const HANDLE stale = newEvent();
    ASSERT_TRUE(CloseHandle(stale));
    closeHANDLE(stale);

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    closeRegHandle(key);

    const auto log = records();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("ERROR", log[0].level);
    EXPECT_EQ("closeHANDLE", log[0].function);
    EXPECT_EQ("WinAutoHandle.cpp", log[0].sourceFile);
    EXPECT_EQ("CloseHandle(" + hex(stale) + ") failed with system error 6 (" +
                  getErrorDescription(ERROR_INVALID_HANDLE, nullptr) + ")",
              log[0].message);
    EXPECT_EQ("closeRegHandle", log[1].function);
    EXPECT_EQ(0u, log[1].message.find("RegCloseKey(" + hex(key) + ") failed with system error 6 (")) << log[1].message;
}

TEST_F(AutoHandleTest, ClosesOnceAndNeverAfterDetach) {
    const HANDLE event = newEvent();
    {
        AutoHandle owner(event);
        EXPECT_EQ(event, owner.get());
        owner.reset();
        EXPECT_FALSE(isOpen(event));
        owner.reset();
    }
    // A second close of the value would have been logged as failed.
    EXPECT_TRUE(records().empty());

    const HANDLE kept = newEvent();
    {
        AutoHandle owner(kept);
        owner.detach();
        EXPECT_EQ(kept, owner.get());
    }
    EXPECT_TRUE(isOpen(kept));
    CloseHandle(kept);
}

TEST_F(AutoHandleTest, MovingHandsOverTheOnlyClose) {
    const HANDLE event = newEvent();
    {
        AutoHandle first(event);
        {
            AutoHandle second(std::move(first));
            EXPECT_FALSE(first.isOwned());
        }
        EXPECT_FALSE(isOpen(event));
    }
    EXPECT_TRUE(records().empty());
}

TEST_F(AutoHandleTest, LastErrorSurvivesTheClose) {
    {
        AutoHandle owner(newEvent());
        SetLastError(0xBEEF);
    }
    EXPECT_EQ(0xBEEFu, GetLastError());

    // Even a close that fails, and logs, leaves it alone.
    const HANDLE stale = newEvent();
    CloseHandle(stale);
    {
        AutoHandle owner(stale);
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(1u, records().size());
}
