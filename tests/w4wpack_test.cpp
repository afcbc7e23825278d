// w4wpack.exe end to end under the system's own readers: its output against the one that the
// build wrote with the host's w4wpack, the resources and the checksum as the system sees them,
// templates that another tool edited, and what only Windows refuses.
#include "TestSupport.h"
#include "WinAutoHandle.h"
#include "tstrings.h"

#include <gtest/gtest.h>

#include <imagehlp.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

using testsupport::Captured;
using testsupport::listDir;
using testsupport::programPath;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const char* const templateName = "wrapper4wrapper.exe";

// type, name ("#10" for an identifier), language -> bytes
using ResourceKey = std::tuple<std::string, std::string, WORD>;
using Resources = std::map<ResourceKey, std::string>;

std::string resourceText(LPCSTR name) {
    return IS_INTRESOURCE(name) ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name)) : std::string(name);
}

LPCSTR resourceName(const std::string& text) {
    return text[0] == '#' ? MAKEINTRESOURCEA(std::stoi(text.substr(1))) : text.c_str();
}

Resources readResources(HMODULE module) {
    Resources resources;
    std::vector<std::string> types;
    EnumResourceTypesA(
        module,
        [](HMODULE, LPSTR type, LONG_PTR all) {
            reinterpret_cast<std::vector<std::string>*>(all)->push_back(resourceText(type));
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&types));
    for (const std::string& type : types) {
        std::vector<std::string> names;
        EnumResourceNamesA(
            module, resourceName(type),
            [](HMODULE, LPCSTR, LPSTR name, LONG_PTR all) {
                reinterpret_cast<std::vector<std::string>*>(all)->push_back(resourceText(name));
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&names));
        for (const std::string& name : names) {
            std::vector<WORD> languages;
            EnumResourceLanguagesA(
                module, resourceName(type), resourceName(name),
                [](HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR all) {
                    reinterpret_cast<std::vector<WORD>*>(all)->push_back(language);
                    return TRUE;
                },
                reinterpret_cast<LONG_PTR>(&languages));
            for (WORD language : languages) {
                // Looked up the way programs do, so that a directory out of order shows.
                const HRSRC found = FindResourceExA(module, resourceName(type), resourceName(name), language);
                const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
                resources[ResourceKey(type, name, language)] = std::string(data, SizeofResource(module, found));
            }
        }
    }
    return resources;
}

Resources readResources(const std::string& path) {
    const HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        ADD_FAILURE() << "cannot load " << path;
        return Resources();
    }
    const Resources resources = readResources(module);
    FreeLibrary(module);
    return resources;
}

const ResourceKey manifestKey("#24", "#1", neutral);
const ResourceKey payloadKey("#10", "#100", neutral);

// What the template holds with the payload and the manifest's level put in.
Resources wrappedTemplate(const std::string& payload, const std::string& level,
                          const std::string& templatePath = programPath(templateName)) {
    Resources expected = readResources(templatePath);
    std::string& manifest = expected.at(manifestKey);
    const std::string asInvoker = "level=\"asInvoker\"";
    manifest.replace(manifest.find(asInvoker), asInvoker.size(), "level=\"" + level + "\"");
    expected[payloadKey] = payload;
    return expected;
}

// The resources of a launcher that w4wpack wrote, less the record of how it made it.
Resources packedResources(const std::string& path) {
    Resources resources = readResources(path);
    EXPECT_EQ(1u, resources.erase(ResourceKey("#10", "W4W_PACKED", neutral))) << path;
    return resources;
}

std::wstring quoted(const std::vector<std::string>& args) {
    std::wstring line = L"w4wpack";
    for (const std::string& arg : args) {
        line += L" \"" + tstrings::toUtf16(arg) + L"\"";
    }
    return line;
}

// The arguments are UTF-8, as w4wpack reads them.
Captured pack(const std::vector<std::string>& args) {
    return testsupport::runPiped(tstrings::toUtf16(programPath("w4wpack.exe")), quoted(args));
}

struct Added {
    LPCSTR type;
    LPCSTR name;
    WORD language;
    std::string bytes;
};

// A copy of the image at path with these resources put in, by the system's resource updater
// (as resource editors do); without its own resources when replace is set.
std::string edited(const std::string& image, const std::string& path, const std::vector<Added>& resources,
                   bool replace) {
    EXPECT_TRUE(CopyFileA(image.c_str(), path.c_str(), FALSE));
    const HANDLE update = BeginUpdateResourceA(path.c_str(), replace);
    EXPECT_NE(nullptr, update);
    for (const Added& r : resources) {
        EXPECT_TRUE(UpdateResourceA(update, r.type, r.name, r.language, const_cast<char*>(r.bytes.data()),
                                    static_cast<DWORD>(r.bytes.size())));
    }
    EXPECT_TRUE(EndUpdateResourceA(update, FALSE));
    return path;
}

} // namespace

TEST(Template, HoldsItsMarkAManifestAVersionRecordAndFourIconsAllLanguageNeutral) {
    const Resources resources = readResources(programPath(templateName));
    std::vector<ResourceKey> keys;
    for (const auto& resource : resources) {
        keys.push_back(resource.first);
    }
    std::vector<ResourceKey> expected;
    // 16, 32, 48 and 256 pixels.
    for (int icon = 1; icon <= 4; ++icon) {
        expected.emplace_back("#3", "#" + std::to_string(icon), neutral);
    }
    expected.emplace_back("#10", "W4W_LAUNCHER", neutral);
    expected.emplace_back("#14", "#101", neutral);
    expected.emplace_back("#16", "#1", neutral);
    expected.push_back(manifestKey);
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected, keys);

    // The group names each icon with its size.
    const std::string group = resources.at(ResourceKey("#14", "#101", neutral));
    ASSERT_EQ(6u + 4 * 14, group.size());
    EXPECT_EQ(4, *reinterpret_cast<const WORD*>(group.data() + 4));
    for (int i = 0; i < 4; ++i) {
        const char* entry = group.data() + 6 + 14 * i;
        const WORD id = *reinterpret_cast<const WORD*>(entry + 12);
        const DWORD size = *reinterpret_cast<const DWORD*>(entry + 8);
        EXPECT_EQ(size, resources.at(ResourceKey("#3", "#" + std::to_string(id), neutral)).size()) << id;
    }

    const std::string manifest = resources.at(manifestKey);
    for (const char* part :
         {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>", ">UTF-8</activeCodePage>",
          ">true</longPathAware>", "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"}) {
        EXPECT_NE(std::string::npos, manifest.find(part)) << part;
    }
}

// The system makes an icon of each of the template's images, PNG as they all are, at its
// own size.
TEST(Template, ItsIconLoadsAtEachSize) {
    const HMODULE image = LoadLibraryExA(programPath(templateName).c_str(), nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, image);
    for (const int size : {16, 32, 48, 256}) {
        const HICON icon = static_cast<HICON>(LoadImageA(image, MAKEINTRESOURCEA(101), IMAGE_ICON, size, size, 0));
        ASSERT_NE(nullptr, icon) << size;
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon, &info)) << size;
        BITMAP bitmap{};
        EXPECT_NE(0, GetObjectA(info.hbmColor, sizeof bitmap, &bitmap)) << size;
        EXPECT_EQ(size, bitmap.bmWidth);
        EXPECT_EQ(size, bitmap.bmHeight);
        EXPECT_EQ(32, bitmap.bmBitsPixel) << size;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    FreeLibrary(image);
}

// The manifest makes the narrow functions UTF-8: a program that carries it receives an
// argument outside every legacy code page byte for byte.
TEST(Template, ManifestPassesUtf8ArgumentsUnchanged) {
    TempDir temp;
    const std::string manifest = readResources(programPath(templateName)).at(manifestKey);
    const std::string probe = edited(programPath("probe.exe"), temp.file("probe.exe"),
                                     {{RT_MANIFEST, MAKEINTRESOURCEA(1), neutral, manifest}}, true);
    const testsupport::ScopedEnv out("W4W_PROBE_OUT", temp.file("report"));
    const std::string argument = "Z\xC3\xBCrich \xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC";
    const Captured run =
        testsupport::runPiped(tstrings::toUtf16(probe), L"probe \"" + tstrings::toUtf16(argument) + L"\"");
    ASSERT_EQ(0u, run.exitCode);
    EXPECT_EQ(std::vector<std::string>{argument}, testsupport::readProbeReport(temp.file("report")).args);
}

// The same sources built for Windows and for the build machine (which w4w_add_launcher ran)
// write the same bytes; the system reads them as the template's resources and the payload,
// with the checksum it computes itself.
TEST(Wrap, WritesWhatTheBuildMachinesPackerWroteAndTheSystemReadsIt) {
    TempDir temp;
    const std::string output = temp.file("wrapped.exe");
    const Captured run =
        pack({"--execution-level", "highestAvailable", programPath(templateName), programPath("probe.exe"), output});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("w4wpack: wrote " + output)) << run.out;
    EXPECT_EQ("", run.err);
    EXPECT_TRUE(readFile(programPath("wrapped-probe.exe")) == readFile(output));
    EXPECT_EQ(wrappedTemplate(readFile(programPath("probe.exe")), "highestAvailable"), packedResources(output));
    DWORD stored = 0;
    DWORD computed = 0;
    ASSERT_EQ(CHECKSUM_SUCCESS, MapFileAndCheckSumA(output.c_str(), &stored, &computed));
    EXPECT_NE(0u, computed);
    EXPECT_EQ(computed, stored);
}

TEST(Wrap, ThePayloadsVersionRecordAndFirstIconGroupAsTheSystemSeesThem) {
    TempDir temp;
    const Resources templateResources = readResources(programPath(templateName));
    const std::string version = templateResources.at(ResourceKey("#16", "#1", neutral));
    std::string group = templateResources.at(ResourceKey("#14", "#101", neutral)).substr(0, 6 + 14);
    *reinterpret_cast<WORD*>(&group[4]) = 1;
    *reinterpret_cast<WORD*>(&group[6 + 12]) = 42;
    const std::string icon = templateResources.at(ResourceKey("#3", "#1", neutral));
    const std::string payload = edited(programPath("probe.exe"), temp.file("branded.exe"),
                                       {{RT_VERSION, MAKEINTRESOURCEA(1), english, version},
                                        {RT_GROUP_ICON, "SETUP", english, group},
                                        {RT_ICON, MAKEINTRESOURCEA(42), english, icon}},
                                       false);
    const Captured run = pack({programPath(templateName), payload, temp.file("out.exe")});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    Resources expected = wrappedTemplate(readFile(payload), "asInvoker");
    for (auto it = expected.begin(); it != expected.end();) {
        const std::string& type = std::get<0>(it->first);
        it = type == "#3" || type == "#14" || type == "#16" ? expected.erase(it) : std::next(it);
    }
    expected[ResourceKey("#16", "#1", english)] = version;
    expected[ResourceKey("#14", "SETUP", english)] = group;
    expected[ResourceKey("#3", "#42", english)] = icon;
    EXPECT_EQ(expected, packedResources(temp.file("out.exe")));
}

// A template that a resource editor changed (its version record, and resources named out of
// order for the system's binary search) is still a template, and the launcher wrapped from it
// runs its payload.
TEST(Wrap, ATemplateThatAnotherToolEditedStillWrapsAndRuns) {
    TempDir temp;
    const std::string launcher = edited(programPath(templateName), temp.file("branded-template.exe"),
                                        {{RT_VERSION, MAKEINTRESOURCEA(1), neutral, std::string(92, '\0')},
                                         {RT_RCDATA, "ZETA", neutral, "z"},
                                         {RT_RCDATA, "ALPHA", english, "a"},
                                         {RT_RCDATA, "MIDDLE", neutral, "m"}},
                                        false);
    const std::string output = temp.file("setup.exe");
    const Captured run = pack({launcher, programPath("probe.exe"), output});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_EQ(wrappedTemplate(readFile(programPath("probe.exe")), "asInvoker", launcher), packedResources(output));
    const testsupport::ScopedEnv report("W4W_PROBE_OUT", temp.file("report"));
    const testsupport::ScopedEnv code("W4W_PROBE_EXIT", "42");
    EXPECT_EQ(42u, testsupport::runProcess(output, "\"" + output + "\" one"));
    EXPECT_EQ(std::vector<std::string>{"one"}, testsupport::readProbeReport(temp.file("report")).args);
}

// What Windows' file system refuses, and Linux's does not: the packer's own tests run there.
TEST(Wrap, RefusesWhatWindowsHoldsAndLeavesTheOutputAlone) {
    enum Held { Nothing, Payload, Output };
    const struct {
        const char* name;
        Held held; // open elsewhere: the payload for writing, the output without delete sharing
        DWORD attributes;
        const char* outputName;
        const char* message;
    } cases[] = {
        {"payload open for writing elsewhere", Payload, FILE_ATTRIBUTE_NORMAL, "out.exe", "cannot open the payload"},
        {"output open elsewhere", Output, FILE_ATTRIBUTE_NORMAL, "out.exe", "cannot move"},
        {"read-only output", Nothing, FILE_ATTRIBUTE_READONLY, "out.exe", "is read-only"},
        {"output is the payload in other letter case", Nothing, FILE_ATTRIBUTE_NORMAL, "PAYLOAD.EXE",
         "is the same file as the payload"},
    };
    for (const auto& c : cases) {
        TempDir temp;
        const std::string payload = temp.file("payload.exe");
        ASSERT_TRUE(CopyFileA(programPath("probe.exe").c_str(), payload.c_str(), FALSE));
        const std::string output = temp.file("out.exe");
        writeFile(output, "earlier output");
        SetFileAttributesA(output.c_str(), c.attributes);
        const std::vector<std::string> before = listDir(temp.path());
        Captured run;
        {
            const AutoHandle held(c.held == Nothing ? INVALID_HANDLE_VALUE
                                  : c.held == Payload
                                      ? CreateFileA(payload.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                      : CreateFileA(output.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            run = pack({programPath(templateName), payload, temp.file(c.outputName)});
        }
        SetFileAttributesA(output.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(1u, run.exitCode) << c.name;
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << c.name << ": " << run.err;
        EXPECT_EQ(before, listDir(temp.path())) << c.name;
        EXPECT_EQ("earlier output", readFile(output)) << c.name;
        EXPECT_TRUE(readFile(programPath("probe.exe")) == readFile(payload)) << c.name;
    }
}

TEST(Wrap, PathsOutsideTheLegacyCodePage) {
    TempDir temp;
    const std::wstring dir = tstrings::toUtf16(temp.path()) + L"\\Z\u00fcrich \u65e5\u672c";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const std::wstring payload = dir + L"\\pay\u20ac.exe";
    ASSERT_TRUE(CopyFileW(tstrings::toUtf16(programPath("probe.exe")).c_str(), payload.c_str(), FALSE));
    const std::wstring output = dir + L"\\out\u20ac.exe";
    const Captured run = pack({programPath(templateName), tstrings::toUtf8(payload), tstrings::toUtf8(output)});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    const HMODULE module = LoadLibraryExW(output.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    const Resources resources = readResources(module);
    FreeLibrary(module);
    EXPECT_TRUE(resources.at(payloadKey) == readFile(programPath("probe.exe")));
}
