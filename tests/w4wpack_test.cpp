#include "TestSupport.h"
#include "WinAutoHandle.h"
#include "tstrings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

using testsupport::exists;
using testsupport::listDir;
using testsupport::programPath;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
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

std::string templateManifest(const std::string& level) {
    std::string manifest = readResources(programPath(templateName)).at(manifestKey);
    const std::string asInvoker = "level=\"asInvoker\"";
    return manifest.replace(manifest.find(asInvoker), asInvoker.size(), "level=\"" + level + "\"");
}

// What the template holds with the payload and the manifest's level put in.
Resources wrappedTemplate(const std::string& payload, const std::string& level) {
    Resources expected = readResources(programPath(templateName));
    expected[payloadKey] = payload;
    expected[manifestKey] = templateManifest(level);
    return expected;
}

struct Outcome {
    DWORD exitCode;
    std::string out;
    std::string err;
};

// Starts the program with the command line (UTF-16, so that it holds any text) and collects
// its standard output and error from files in dir.
Outcome runCaptured(const std::wstring& program, const std::wstring& commandLine, const std::string& dir) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const std::string outPath = dir + "\\stdout.txt";
    const std::string errPath = dir + "\\stderr.txt";
    Outcome run = {0xFFFFFFFF, {}, {}};
    {
        const AutoHandle out(CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        const AutoHandle err(CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        PROCESS_INFORMATION process = {};
        std::wstring line = commandLine;
        if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &process)) {
            ADD_FAILURE() << "cannot start the program: error " << GetLastError();
            return run;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return run;
}

std::wstring quoted(const std::vector<std::string>& args) {
    std::wstring line = L"w4wpack";
    for (const std::string& arg : args) {
        line += L" \"" + tstrings::toUtf16(arg) + L"\"";
    }
    return line;
}

// The arguments are UTF-8, as w4wpack reads them.
Outcome pack(const TempDir& temp, const std::vector<std::string>& args) {
    return runCaptured(tstrings::toUtf16(programPath("w4wpack.exe")), quoted(args), temp.path());
}

struct ManifestResource {
    WORD id;
    WORD language;
    std::string text;
};

// A copy of the probe at path with these manifests put in.
std::string craftPayload(const std::string& path, const std::vector<ManifestResource>& manifests) {
    EXPECT_TRUE(CopyFileA(programPath("probe.exe").c_str(), path.c_str(), FALSE));
    // Without the probe's own manifest: only the given ones.
    const HANDLE update = BeginUpdateResourceA(path.c_str(), TRUE);
    EXPECT_NE(nullptr, update);
    for (const ManifestResource& m : manifests) {
        EXPECT_TRUE(UpdateResourceA(update, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(m.id), m.language,
                                    const_cast<char*>(m.text.data()), static_cast<DWORD>(m.text.size())));
    }
    EXPECT_TRUE(EndUpdateResourceA(update, FALSE));
    return path;
}

std::string levelManifest(const std::string& element) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
           "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\n" +
           element + "\n</requestedPrivileges></security></trustInfo>\n</assembly>\n";
}

std::string utf16Manifest(const std::string& text) {
    const std::wstring wide = tstrings::toUtf16(text);
    return "\xFF\xFE" + std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
}

} // namespace

TEST(Template, HoldsManifestVersionRecordAndTwelveIconsAllLanguageNeutral) {
    const Resources resources = readResources(programPath(templateName));
    std::vector<ResourceKey> keys;
    for (const auto& resource : resources) {
        keys.push_back(resource.first);
    }
    std::vector<ResourceKey> expected;
    for (int icon = 1; icon <= 12; ++icon) {
        expected.emplace_back("#3", "#" + std::to_string(icon), neutral);
    }
    expected.emplace_back("#14", "#101", neutral);
    expected.emplace_back("#16", "#1", neutral);
    expected.push_back(manifestKey);
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected, keys);

    // The group names each icon with its size.
    const std::string group = resources.at(ResourceKey("#14", "#101", neutral));
    ASSERT_EQ(6u + 12 * 14, group.size());
    EXPECT_EQ(12, *reinterpret_cast<const WORD*>(group.data() + 4));
    for (int i = 0; i < 12; ++i) {
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

TEST(Template, VersionRecordNamesTheLauncher) {
    const std::string path = programPath(templateName);
    std::vector<char> record(GetFileVersionInfoSizeA(path.c_str(), nullptr));
    ASSERT_FALSE(record.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(record.size()), record.data()));
    for (const auto& value :
         {std::make_pair("InternalName", "wrapper4wrapper"), std::make_pair("OriginalFilename", "wrapper4wrapper.exe"),
          std::make_pair("ProductName", "wrapper4wrapper")}) {
        LPVOID text = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(record.data(), (std::string("\\StringFileInfo\\000004b0\\") + value.first).c_str(),
                                   &text, &length))
            << value.first;
        EXPECT_STREQ(value.second, static_cast<const char*>(text));
    }
}

// The manifest makes the narrow functions UTF-8: a program that carries it receives an
// argument outside every legacy code page byte for byte.
TEST(Template, ManifestPassesUtf8ArgumentsUnchanged) {
    TempDir temp;
    const std::string manifest = readResources(programPath(templateName)).at(manifestKey);
    const std::string probe = craftPayload(temp.file("probe.exe"), {{1, neutral, manifest}});
    const testsupport::ScopedEnv out("W4W_PROBE_OUT", temp.file("report"));
    const std::string argument = "Z\xC3\xBCrich \xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC";
    const Outcome run =
        runCaptured(tstrings::toUtf16(probe), L"probe \"" + tstrings::toUtf16(argument) + L"\"", temp.path());
    ASSERT_EQ(0u, run.exitCode);
    EXPECT_EQ(std::vector<std::string>{argument}, testsupport::readProbeReport(temp.file("report")).args);
}

TEST(Wrap, ProbeKeepsTheTemplatesResourcesAndCarriesThePayload) {
    TempDir temp;
    const std::string templateBytes = readFile(programPath(templateName));
    const std::string output = temp.file("out\\wrapped.exe");
    CreateDirectoryA(temp.file("out").c_str(), nullptr);
    writeFile(output, "earlier output");
    const Outcome run = pack(temp, {programPath(templateName), programPath("probe.exe"), output});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    const std::string payload = readFile(programPath("probe.exe"));
    EXPECT_EQ(wrappedTemplate(payload, "asInvoker"), readResources(output));
    EXPECT_EQ(std::vector<std::string>{"wrapped.exe"}, listDir(temp.file("out")));
    EXPECT_EQ(templateBytes, readFile(programPath(templateName)));
    for (const std::string& part : {output, std::to_string(payload.size()) + " bytes", std::string("asInvoker")}) {
        EXPECT_NE(std::string::npos, run.out.find(part)) << run.out;
    }
    EXPECT_EQ("", run.err);
}

TEST(Wrap, ExecutionLevelComesFromThePayloadsManifestUnlessGiven) {
    const std::string admin = "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>";
    const std::string highest = "<requestedExecutionLevel level=\"highestAvailable\" uiAccess=\"false\"/>";
    const struct {
        const char* name;
        std::vector<ManifestResource> manifests;
        std::vector<std::string> options;
        const char* expected;
    } cases[] = {
        {"no manifest", {}, {}, "asInvoker"},
        {"requireAdministrator", {{1, neutral, levelManifest(admin)}}, {}, "requireAdministrator"},
        {"prefixed element, single quotes, spaces",
         {{1, neutral,
           levelManifest("<ms_asmv3:requestedExecutionLevel\n uiAccess='false' level = 'highestAvailable' />")}},
         {},
         "highestAvailable"},
        {"commented-out element first",
         {{1, neutral, levelManifest("<!-- " + admin + " -->\n" + highest)}},
         {},
         "highestAvailable"},
        {"level in other case",
         {{1, neutral, levelManifest("<requestedExecutionLevel level=\"RequireAdministrator\"/>")}},
         {},
         "requireAdministrator"},
        {"manifest without a level", {{1, neutral, levelManifest("")}}, {}, "asInvoker"},
        {"only manifest 2", {{2, neutral, levelManifest(admin)}}, {}, "requireAdministrator"},
        {"manifest 1 before manifest 2",
         {{1, neutral, levelManifest(highest)}, {2, neutral, levelManifest(admin)}},
         {},
         "highestAvailable"},
        {"English manifest",
         {{1, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), levelManifest(admin)}},
         {},
         "requireAdministrator"},
        {"UTF-8 byte-order mark", {{1, neutral, "\xEF\xBB\xBF" + levelManifest(admin)}}, {}, "requireAdministrator"},
        {"UTF-16", {{1, neutral, utf16Manifest(levelManifest(admin))}}, {}, "requireAdministrator"},
        {"overridden", {{1, neutral, levelManifest(admin)}}, {"--execution-level", "asInvoker"}, "asInvoker"},
        {"given for none", {}, {"--execution-level=highestAvailable"}, "highestAvailable"},
        {"unknown level overridden",
         {{1, neutral, levelManifest("<requestedExecutionLevel level=\"sudo\"/>")}},
         {"--execution-level", "requireAdministrator"},
         "requireAdministrator"},
    };
    for (const auto& c : cases) {
        TempDir temp;
        const std::string payload = craftPayload(temp.file("payload.exe"), c.manifests);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {programPath(templateName), payload, temp.file("out.exe")});
        const Outcome run = pack(temp, args);
        ASSERT_EQ(0u, run.exitCode) << c.name << ": " << run.err;
        EXPECT_EQ(wrappedTemplate(readFile(payload), c.expected), readResources(temp.file("out.exe"))) << c.name;
        EXPECT_NE(std::string::npos, run.out.find(std::string("execution level ") + c.expected)) << c.name;
    }
}

TEST(Wrap, ExecutionLevelOfALauncherBuiltWithItsPayload) {
    TempDir temp;
    const std::string payload = programPath("wrapped-probe.exe");
    const Outcome run = pack(temp, {programPath(templateName), payload, temp.file("out.exe")});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_EQ(wrappedTemplate(readFile(payload), "highestAvailable"), readResources(temp.file("out.exe")));
}

enum class Output { Absent, Present, ReadOnly };

TEST(Wrap, RefusesBadInputsAndLeavesTheOutputAlone) {
    struct Case {
        const char* name;
        // Makes the inputs in dir; returns the arguments.
        std::function<std::vector<std::string>(const std::string& dir, const std::string& out)> prepare;
        DWORD exitCode;
        const char* message;
        Output output;
    };
    const std::string launcher = programPath(templateName);
    const std::string probe = programPath("probe.exe");
    const auto withPayload = [&](const std::string& name, const std::string& bytes) {
        return [=](const std::string& dir, const std::string& out) {
            writeFile(dir + "\\" + name, bytes);
            return std::vector<std::string>{launcher, dir + "\\" + name, out};
        };
    };
    std::string dll = readFile(probe);
    *reinterpret_cast<WORD*>(&dll[*reinterpret_cast<const LONG*>(dll.data() + 0x3C) + 4 + 18]) |= IMAGE_FILE_DLL;
    std::string withSymbols = readFile(launcher);
    *reinterpret_cast<DWORD*>(&withSymbols[*reinterpret_cast<const LONG*>(withSymbols.data() + 0x3C) + 4 + 8]) = 0x200;
    const std::string unknownLevel = levelManifest("<requestedExecutionLevel level=\"sudo\"/>");

    const Case cases[] = {
        {"missing payload",
         [&](const std::string& dir, const std::string& out) {
             return std::vector<std::string>{launcher, dir + "\\missing.exe", out};
         },
         1, "cannot open the payload", Output::Present},
        {"payload is a directory",
         [&](const std::string& dir, const std::string& out) {
             return std::vector<std::string>{launcher, dir, out};
         },
         1, "is a directory", Output::Absent},
        {"empty payload", withPayload("empty.exe", ""), 1, "not a Windows executable", Output::Present},
        {"text payload", withPayload("text.exe", "MZ is not enough\r\n"), 1, "not a Windows executable",
         Output::Absent},
        {"truncated payload", withPayload("cut.exe", readFile(probe).substr(0, 0x90)), 1, "no PE header",
         Output::ReadOnly},
        {"DLL payload", withPayload("lib.exe", dll), 1, "it is a DLL", Output::Absent},
        {"payload's manifest asks for an unknown level",
         [&](const std::string& dir, const std::string& out) {
             return std::vector<std::string>{launcher, craftPayload(dir + "\\sudo.exe", {{1, neutral, unknownLevel}}),
                                             out};
         },
         1, "unknown execution level 'sudo'", Output::Present},
        {"template is no launcher",
         [&](const std::string&, const std::string& out) {
             return std::vector<std::string>{probe, probe, out};
         },
         1, "is not a launcher template", Output::Absent},
        {"template carries a payload already",
         [&](const std::string&, const std::string& out) {
             return std::vector<std::string>{programPath("wrapped-probe.exe"), probe, out};
         },
         1, "already carries a payload", Output::Present},
        {"template with a symbol table",
         [&](const std::string& dir, const std::string& out) {
             writeFile(dir + "\\symbols.exe", withSymbols);
             return std::vector<std::string>{dir + "\\symbols.exe", probe, out};
         },
         1, "COFF symbol table", Output::Absent},
        {"unknown execution level",
         [&](const std::string&, const std::string& out) {
             return std::vector<std::string>{"--execution-level", "admin", launcher, probe, out};
         },
         2, "unknown execution level 'admin'", Output::Present},
        {"missing output",
         [&](const std::string&, const std::string&) {
             return std::vector<std::string>{launcher, probe};
         },
         2, "expected TEMPLATE, PAYLOAD and OUTPUT", Output::Absent},
        {"output's directory missing",
         [&](const std::string& dir, const std::string&) {
             return std::vector<std::string>{launcher, probe, dir + "\\none\\out.exe"};
         },
         1, "does not exist", Output::Absent},
        {"read-only output",
         [&](const std::string&, const std::string& out) {
             return std::vector<std::string>{launcher, probe, out};
         },
         1, "is read-only", Output::ReadOnly},
        {"output is a directory",
         [&](const std::string& dir, const std::string&) {
             return std::vector<std::string>{launcher, probe, dir};
         },
         1, "is a directory", Output::Absent},
    };
    for (const Case& c : cases) {
        TempDir temp;
        const std::string dir = temp.file("in");
        CreateDirectoryA(dir.c_str(), nullptr);
        const std::string out = temp.file("out.exe");
        const std::vector<std::string> args = c.prepare(dir, out);
        if (c.output != Output::Absent) {
            writeFile(out, "earlier output");
        }
        if (c.output == Output::ReadOnly) {
            SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_READONLY);
        }
        const std::vector<std::string> before = listDir(temp.path());
        const Outcome run = pack(temp, args);
        EXPECT_EQ(c.exitCode, run.exitCode) << c.name;
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << c.name << ": " << run.err;
        EXPECT_EQ(before, listDir(temp.path())) << c.name;
        if (c.output != Output::Absent) {
            EXPECT_EQ("earlier output", readFile(out)) << c.name;
        }
    }
}

TEST(Wrap, RefusesAnOutputThatIsAnInput) {
    TempDir temp;
    const std::string payload = temp.file("payload.exe");
    const std::string launcher = temp.file("launcher.exe");
    ASSERT_TRUE(CopyFileA(programPath("probe.exe").c_str(), payload.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(programPath(templateName).c_str(), launcher.c_str(), FALSE));
    ASSERT_TRUE(CreateHardLinkA(temp.file("link.exe").c_str(), payload.c_str(), nullptr));
    const std::string payloadBytes = readFile(payload);
    const std::string launcherBytes = readFile(launcher);
    const struct {
        std::string output;
        const char* message;
    } cases[] = {
        {temp.file("PAYLOAD.EXE"), "is the payload"},
        {temp.path() + "/./launcher.exe", "is the template"},
        {temp.file("link.exe"), "is the same file as"},
    };
    const std::vector<std::string> before = listDir(temp.path());
    for (const auto& c : cases) {
        const Outcome run = pack(temp, {launcher, payload, c.output});
        EXPECT_EQ(1u, run.exitCode) << c.output;
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << c.output << ": " << run.err;
        EXPECT_EQ(before, listDir(temp.path())) << c.output;
        EXPECT_EQ(payloadBytes, readFile(payload)) << c.output;
        EXPECT_EQ(launcherBytes, readFile(launcher)) << c.output;
    }
}

TEST(Wrap, RefusesAPayloadItCannotRead) {
    TempDir temp;
    const std::string payload = temp.file("payload.exe");
    ASSERT_TRUE(CopyFileA(programPath("probe.exe").c_str(), payload.c_str(), FALSE));
    {
        // Another process writing it: open without sharing.
        const AutoHandle held(CreateFileA(payload.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(INVALID_HANDLE_VALUE, held.get());
        const Outcome run = pack(temp, {programPath(templateName), payload, temp.file("out.exe")});
        EXPECT_EQ(1u, run.exitCode);
        EXPECT_NE(std::string::npos, run.err.find("cannot open the payload")) << run.err;
        EXPECT_NE(std::string::npos, run.err.find("system error 32")) << run.err;
    }
    // Larger than an image can hold; sparse, so it takes no room.
    const std::string huge = temp.file("huge.exe");
    {
        const AutoHandle file(
            CreateFileA(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size;
        size.QuadPart = 0x80000000LL;
        ASSERT_TRUE(SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }
    const Outcome run = pack(temp, {programPath(templateName), huge, temp.file("out.exe")});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("is too large: 2147483648 bytes")) << run.err;
    EXPECT_EQ((std::vector<std::string>{"huge.exe", "payload.exe"}), listDir(temp.path()));
}

TEST(Wrap, FailedMoveLeavesNeitherTheTemporaryFileNorAChangedOutput) {
    TempDir temp;
    const std::string output = temp.file("out.exe");
    writeFile(output, "earlier output");
    // Open elsewhere, without delete sharing: the output cannot be replaced.
    const AutoHandle held(CreateFileA(output.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, held.get());
    const Outcome run = pack(temp, {programPath(templateName), programPath("probe.exe"), output});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("cannot move")) << run.err;
    EXPECT_EQ(std::vector<std::string>{"out.exe"}, listDir(temp.path()));
    EXPECT_TRUE(readFile(output) == "earlier output");
}

TEST(Wrap, EmbedsA64MiBPayload) {
    TempDir temp;
    std::string payload = readFile(programPath("probe.exe"));
    // Data after the image's sections, as self-extracting installers carry it.
    std::string tail(64 << 20, '\0');
    unsigned state = 1;
    for (char& c : tail) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    payload += tail;
    writeFile(temp.file("big.exe"), payload);
    const ULONGLONG start = GetTickCount64();
    const Outcome run = pack(temp, {programPath(templateName), temp.file("big.exe"), temp.file("out.exe")});
    std::cout << "embedding " << payload.size() << " bytes took " << GetTickCount64() - start << " ms\n";
    ASSERT_EQ(0u, run.exitCode) << run.err;
    const Resources resources = readResources(temp.file("out.exe"));
    ASSERT_EQ(1u, resources.count(payloadKey));
    EXPECT_TRUE(resources.at(payloadKey) == payload);
}

TEST(AddLauncher, EmbedsThePayloadAndKeepsTheTemplatesResources) {
    EXPECT_EQ(wrappedTemplate(readFile(programPath("probe.exe")), "highestAvailable"),
              readResources(programPath("wrapped-probe.exe")));
}

TEST(Wrap, PathsOutsideTheLegacyCodePage) {
    TempDir temp;
    const std::wstring dir = tstrings::toUtf16(temp.path()) + L"\\Z\u00fcrich \u65e5\u672c";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const std::wstring payload = dir + L"\\pay\u20ac.exe";
    ASSERT_TRUE(CopyFileW(tstrings::toUtf16(programPath("probe.exe")).c_str(), payload.c_str(), FALSE));
    const std::wstring output = dir + L"\\out\u20ac.exe";
    const Outcome run = runCaptured(
        tstrings::toUtf16(programPath("w4wpack.exe")),
        quoted({programPath(templateName), tstrings::toUtf8(payload), tstrings::toUtf8(output)}), temp.path());
    ASSERT_EQ(0u, run.exitCode) << run.err;
    const HMODULE module = LoadLibraryExW(output.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    const Resources resources = readResources(module);
    FreeLibrary(module);
    EXPECT_TRUE(resources.at(payloadKey) == readFile(programPath("probe.exe")));
}
