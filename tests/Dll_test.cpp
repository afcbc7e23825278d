#include "Dll.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// A small system library that nothing in this process loads but these tests, so that its
// reference count really reaches zero when they let it go.
const char* const unheldLibrary = "msimg32";
const char* const unheldExport = "GradientFill";

bool isLoaded(const char* name) {
    HMODULE module = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, name, &module) != 0;
}

std::string systemPath(const std::string& name) {
    return SysInfo::getSystemDir() + "\\" + name;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(Dll, LoadsFromTheSystemDirectoryByFullPath) {
    for (const char* name : {"ntdll", "Kernel32"}) {
        const Dll lib(name);
        EXPECT_EQ(tstrings::toUtf16(systemPath(name)), lib.getPath()) << name;
        EXPECT_EQ(GetModuleHandleA(name), lib.getHandle()) << name;
    }
}

TEST(Dll, MissingLibraryRaisesWithTheJoinedPath) {
    try {
        const Dll lib("w4w-no-such-library");
        FAIL();
    } catch (const OrvError<SysError>& e) {
        const std::string text = e.what();
        EXPECT_EQ(0u, text.find("Dll.cpp(")) << text;
        EXPECT_TRUE(contains(text, ") at `anonymous-namespace'::loadLibrary(): LoadLibraryW(" +
                                       systemPath("w4w-no-such-library") + ") failed. System error [126]("))
            << text;
    }
}

TEST(Dll, ReferencesLastUntilTheLastOwnerIsGone) {
    ASSERT_FALSE(isLoaded(unheldLibrary)) << "the test needs a library this process does not hold";
    {
        using Fn = BOOL(WINAPI*)(HDC, PTRIVERTEX, ULONG, PVOID, ULONG, ULONG);
        const DllFunction<Fn> function(Dll(unheldLibrary), unheldExport);
        // The temporary Dll is gone; the function's own copy keeps the library.
        EXPECT_TRUE(isLoaded(unheldLibrary));
        EXPECT_TRUE(function.isAvailable());
    }
    EXPECT_FALSE(isLoaded(unheldLibrary));

    auto original = std::make_unique<Dll>(unheldLibrary);
    auto copy = std::make_unique<Dll>(*original);
    EXPECT_EQ(original->getHandle(), copy->getHandle());
    EXPECT_EQ(original->getPath(), copy->getPath());
    original.reset();
    EXPECT_TRUE(isLoaded(unheldLibrary));
    copy.reset();
    EXPECT_FALSE(isLoaded(unheldLibrary));
}

TEST(Dll, CopyLoadsNothing) {
    ASSERT_FALSE(isLoaded(unheldLibrary));
    const Dll original(unheldLibrary);
    // Drop the original's reference behind its back, so the module is gone while it exists.
    ASSERT_TRUE(FreeLibrary(original.getHandle()));
    ASSERT_FALSE(isLoaded(unheldLibrary));
    try {
        const Dll copy(original);
        FAIL();
    } catch (const OrvError<SysError>& e) {
        const std::string text = e.what();
        EXPECT_EQ(0u, text.find("Dll.cpp(")) << text;
        EXPECT_TRUE(contains(text, ") at Dll::Dll(): GetModuleHandleExW(" + systemPath(unheldLibrary) +
                                       ") failed. System error [126]("))
            << text;
    }
    EXPECT_FALSE(isLoaded(unheldLibrary));
    // Give the original back the reference that its destructor releases.
    // cppcheck-suppress leakReturnValNotUsed ; original's destructor releases this reference
    ASSERT_EQ(original.getHandle(), LoadLibraryW(original.getPath().c_str()));
}

TEST(DllFunction, MissingExportIsBuiltButNotConverted) {
    using Fn = DWORD(WINAPI*)();
    const DllFunction<Fn> function(Dll("Kernel32"), tstrings::StringBuilder("W4wNo") << "SuchExport");
    EXPECT_FALSE(function.isAvailable());
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            const Fn fn = function;
            FAIL() << reinterpret_cast<const void*>(fn);
        } catch (const OrvError<std::runtime_error>& e) {
            const std::string text = e.what();
            EXPECT_EQ(0u, text.find("Dll.h(")) << text;
            EXPECT_TRUE(
                contains(text, ") at DllFunction::operator Fn(): W4wNoSuchExport() function is not available in " +
                                   systemPath("Kernel32")))
                << text;
        }
    }
}

TEST(DllFunction, ExportedFunctionKeepsItsAddress) {
    using Fn = DWORD(WINAPI*)();
    const DllFunction<Fn> function(Dll("Kernel32"), "GetCurrentProcessId");
    ASSERT_TRUE(function.isAvailable());
    const Fn first = function;
    const Fn second = function;
    // cppcheck-suppress knownConditionTrueFalse ; cppcheck takes for granted that a second conversion gives it too
    EXPECT_EQ(first, second);
    EXPECT_EQ(reinterpret_cast<void*>(first),
              reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "GetCurrentProcessId")));
    EXPECT_EQ(GetCurrentProcessId(), first());
}
