#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using testsupport::TempDir;

TEST(Launcher, StartsAsAWindowsProgramAndReportsItsOwnFailureAsMinusOne) {
    TempDir temp;
    const std::string launcher = testsupport::programPath("wrapper4wrapper.exe");
    EXPECT_EQ(0xFFFFFFFFu, testsupport::runProcess(launcher, "\"" + launcher + "\""));
}

TEST(Launcher, IsAGuiSubsystemImage) {
    const HMODULE image = LoadLibraryExA(testsupport::programPath("wrapper4wrapper.exe").c_str(), nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, image);
    // The low bits mark a data-file mapping; the headers start at the aligned base.
    const auto base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image) & ~ULONG_PTR(3));
    const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, nt->FileHeader.Machine);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, nt->OptionalHeader.Subsystem);
    FreeLibrary(image);
}
