#include "Packer.h"

#include "Checksum.h"
#include "LittleEndian.h"
#include "PackError.h"
#include "PackTestSupport.h"
#include "PeImage.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

using namespace packtest;
using resources::id;

namespace {

const std::string earlier = "earlier output";

// The image's resources: "type/name/language" -> bytes.
std::map<std::string, std::string> resourcesOf(const fs::path& path) {
    const files::InputFile file(path, "image");
    std::map<std::string, std::string> all;
    for (const resources::Resource& r : resources::read(pe::Image::read(file), file)) {
        all[r.type.describe() + "/" + r.name.describe() + "/" + std::to_string(r.language)] = r.read();
    }
    return all;
}

std::map<std::string, std::string> resourcesOf(const Image& image) {
    TempDir temp;
    writeFile(temp.file("image.exe"), image.bytes());
    return resourcesOf(temp.file("image.exe"));
}

// Those of the given types.
std::map<std::string, std::string> only(const std::map<std::string, std::string>& all,
                                        const std::vector<std::string>& types) {
    std::map<std::string, std::string> some;
    for (const auto& r : all) {
        for (const std::string& type : types) {
            if (r.first.compare(0, type.size() + 1, type + "/") == 0) {
                some.insert(r);
            }
        }
    }
    return some;
}

std::string manifestOf(const std::string& level) {
    return manifestAsking("<requestedExecutionLevel level=\"" + level + "\" uiAccess=\"false\"/>");
}

Image payloadWith(std::vector<resources::Resource> list) {
    Image image;
    image.resources = std::move(list);
    return image;
}

// A version record, a first icon group (named, so before 5) of two icons in US English,
// another group and an icon that no first group names.
Image brandedPayload() {
    return payloadWith({
        resource(resources::typeVersion, id(1), 0x409, "payload version"),
        resource(resources::typeGroupIcon, named(u"MAINICON"), 0x409, iconGroup({7, 8})),
        resource(resources::typeGroupIcon, id(5), 0x409, iconGroup({9})),
        resource(resources::typeIcon, id(7), 0x409, std::string(40, '\x07')),
        resource(resources::typeIcon, id(8), 0x409, std::string(40, '\x08')),
        resource(resources::typeIcon, id(9), 0x409, std::string(40, '\x09')),
    });
}

// An .ico file of two images.
std::string icoFile() {
    std::string ico(6 + 2 * 16, '\0');
    le::put16(ico, 2, 1);
    le::put16(ico, 4, 2);
    for (int i = 0; i < 2; ++i) {
        ico[6 + 16 * i] = ico[7 + 16 * i] = static_cast<char>(32 << i);
        le::put32(ico, 6 + 16 * i + 8, 40);
        le::put32(ico, 6 + 16 * i + 12, static_cast<std::uint32_t>(ico.size() + 40 * i));
    }
    return ico + std::string(40, 'a') + std::string(40, 'b');
}

// Every file below dir with its bytes (its size alone when it is large).
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const bool small = !entry.is_regular_file() || entry.file_size() < (1u << 20);
        files[entry.path().string()] = !entry.is_regular_file() ? ""
                                       : small                  ? readFile(entry.path())
                                                                : std::to_string(entry.file_size());
    }
    return files;
}

class PackerTest : public ::testing::Test {
protected:
    TempDir temp;
    pack::Options options;

    void SetUp() override {
        options.templatePath = temp.file("template.exe");
        options.payloadPath = temp.file("payload.exe");
        options.outputPath = temp.file("out.exe");
        writeFile(options.templatePath, launcherTemplate().bytes());
        writeFile(options.payloadPath, payloadWith({}).bytes());
    }

    // The reason pack gives; fails the test when it writes.
    static std::string refusal(const pack::Options& options) {
        try {
            pack::pack(options);
        } catch (const pack::Error& e) {
            return e.what();
        }
        ADD_FAILURE() << "packed";
        return std::string();
    }
};

} // namespace

TEST_F(PackerTest, OutputIsTheTemplateWithItsResourceSectionGrownByThePayload) {
    std::string payload =
        payloadWith({resource(resources::typeManifest, id(1), 0, manifestOf("highestAvailable"))}).bytes();
    payload += std::string(70000, '\x5A'); // data after the image, as installers carry it
    writeFile(options.payloadPath, payload);
    const pack::Outcome outcome = pack::pack(options);
    EXPECT_EQ("highestAvailable", outcome.level);
    EXPECT_TRUE(outcome.warnings.empty());

    std::map<std::string, std::string> expected = resourcesOf(launcherTemplate());
    expected["24/1/0"] = manifestOf("highestAvailable");
    expected["10/100/0"] = payload;
    expected["10/W4W_PACKED/0"] =
        "execution level highestAvailable, from the payload's manifest\nsubsystem gui, from the "
        "payload\nversion record from the template (the payload has none), icon from the "
        "template (the payload has none)\n";
    EXPECT_EQ(expected, resourcesOf(options.outputPath));

    const std::string before = readFile(options.templatePath);
    std::string after = readFile(options.outputPath);
    const files::InputFile t(options.templatePath, "template");
    const files::InputFile o(options.outputPath, "output");
    const pe::Image old = pe::Image::read(t);
    const pe::Image image = pe::Image::read(o);
    ASSERT_EQ(3u, image.sections.size());
    const pe::Section& text = image.sections[0];
    const pe::Section& rsrc = image.sections[1];
    const pe::Section& reloc = image.sections[2];
    EXPECT_EQ(before.substr(old.sections[0].rawOffset, old.sections[0].rawSize),
              after.substr(text.rawOffset, text.rawSize));
    EXPECT_EQ(old.sections[1].virtualAddress, rsrc.virtualAddress);
    EXPECT_EQ(old.sections[1].rawOffset, rsrc.rawOffset);
    EXPECT_GT(rsrc.virtualSize, payload.size());
    EXPECT_EQ(0u, rsrc.rawSize % image.fileAlignment);
    EXPECT_EQ(rsrc.virtualAddress, image.directory(pe::resourceDirectory).rva);
    EXPECT_EQ(rsrc.virtualSize, image.directory(pe::resourceDirectory).size);
    // The relocations follow, moved whole, with their directory entry.
    EXPECT_EQ((rsrc.virtualAddress + rsrc.virtualSize + 0xFFF) & ~0xFFFu, reloc.virtualAddress);
    EXPECT_EQ(rsrc.rawOffset + rsrc.rawSize, reloc.rawOffset);
    EXPECT_EQ(before.substr(old.sections[2].rawOffset, old.sections[2].rawSize),
              after.substr(reloc.rawOffset, reloc.rawSize));
    EXPECT_EQ(reloc.virtualAddress, image.directory(pe::baseRelocationDirectory).rva);
    EXPECT_EQ(12u, image.directory(pe::baseRelocationDirectory).size);
    EXPECT_EQ((reloc.virtualAddress + reloc.virtualSize + 0xFFF) & ~0xFFFu,
              le::get32(after, image.optionalHeaderOffset + pe::field::sizeOfImage));
    EXPECT_EQ(image.endOfSections(), after.size());

    const std::uint32_t stored = le::get32(after, image.optionalHeaderOffset + pe::field::checkSum);
    le::put32(after, image.optionalHeaderOffset + pe::field::checkSum, 0);
    pe::Checksum checksum;
    checksum.add(after.data(), after.size());
    EXPECT_EQ(checksum.value(), stored);

    // The same inputs give the same bytes.
    options.outputPath = temp.file("again.exe");
    pack::pack(options);
    EXPECT_EQ(readFile(temp.file("out.exe")), readFile(temp.file("again.exe")));
}

TEST_F(PackerTest, ObjdumpReadsTheOutputWithoutAWarning) {
    const std::string objdump = PACK_TEST_OBJDUMP;
    if (objdump.empty()) {
        GTEST_SKIP() << "x86_64-w64-mingw32-objdump is not installed";
    }
    writeFile(options.payloadPath, brandedPayload().bytes());
    pack::pack(options);
    const std::string command = "'" + objdump + "' -p '" + options.outputPath.string() + "' 2>&1";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
        text.append(buffer, n);
    }
    EXPECT_NE(std::string::npos, text.find("Resource Directory")) << text;
    for (const char* bad : {"arning", "orrupt", "rror"}) {
        EXPECT_EQ(std::string::npos, text.find(bad)) << text;
    }
}

TEST_F(PackerTest, ThePayloadsIdentityReplacesTheTemplatesUnlessKept) {
    writeFile(temp.file("icon.ico"), icoFile());
    const auto templates = only(resourcesOf(launcherTemplate()), {"3", "14", "16"});
    const auto payloads = only(resourcesOf(brandedPayload()), {"3", "14", "16"});
    const std::map<std::string, std::string> fromIco = {
        {"14/1/0", readFile(temp.file("icon.ico")).substr(0, 6) + icoFile().substr(6, 12) + std::string("\1\0", 2) +
                       icoFile().substr(22, 12) + std::string("\2\0", 2)},
        {"3/1/0", std::string(40, 'a')},
        {"3/2/0", std::string(40, 'b')},
    };
    const struct {
        const char* name;
        Image payload;
        bool keep;
        bool ico;
        std::vector<std::string> fromPayload; // keys
        std::vector<std::string> fromTemplate;
        bool fromIcoFile;
    } cases[] = {
        {"version and first group",
         brandedPayload(),
         false,
         false,
         {"16/1/1033", "14/MAINICON/1033", "3/7/1033", "3/8/1033"},
         {},
         false},
        {"version only",
         payloadWith({resource(resources::typeVersion, id(1), 0x409, "payload version")}),
         false,
         false,
         {"16/1/1033"},
         {"14/101/0", "3/1/0", "3/2/0"},
         false},
        {"neither", payloadWith({}), false, false, {}, {"16/1/0", "14/101/0", "3/1/0", "3/2/0"}, false},
        {"kept", brandedPayload(), true, false, {}, {"16/1/0", "14/101/0", "3/1/0", "3/2/0"}, false},
        {"icon file", brandedPayload(), false, true, {"16/1/1033"}, {}, true},
        {"icon file, version kept", brandedPayload(), true, true, {}, {"16/1/0"}, true},
    };
    for (const auto& c : cases) {
        writeFile(options.payloadPath, c.payload.bytes());
        options.keepTemplateIdentity = c.keep;
        options.iconPath = c.ico ? temp.file("icon.ico") : fs::path();
        pack::pack(options);
        std::map<std::string, std::string> expected;
        for (const std::string& key : c.fromPayload) {
            expected[key] = payloads.at(key);
        }
        for (const std::string& key : c.fromTemplate) {
            expected[key] = templates.at(key);
        }
        if (c.fromIcoFile) {
            expected.insert(fromIco.begin(), fromIco.end());
        }
        EXPECT_EQ(expected, only(resourcesOf(options.outputPath), {"3", "14", "16"})) << c.name;
    }
}

TEST_F(PackerTest, ExecutionLevelOfThePayloadsManifestUnlessGiven) {
    const struct {
        const char* name;
        std::vector<resources::Resource> manifests;
        const char* given;
        const char* expected;
    } cases[] = {
        {"no manifest", {}, "", "asInvoker"},
        {"manifest 1", {resource(24, id(1), 0, manifestOf("requireAdministrator"))}, "", "requireAdministrator"},
        {"only manifest 2", {resource(24, id(2), 0, manifestOf("highestAvailable"))}, "", "highestAvailable"},
        {"manifest 1 before a named one and 2",
         {resource(24, named(u"A"), 0, manifestOf("requireAdministrator")),
          resource(24, id(1), 0, manifestOf("highestAvailable")),
          resource(24, id(2), 0, manifestOf("requireAdministrator"))},
         "",
         "highestAvailable"},
        {"its first language",
         {resource(24, id(1), 0x407, manifestOf("highestAvailable")),
          resource(24, id(1), 0x409, manifestOf("requireAdministrator"))},
         "",
         "highestAvailable"},
        {"none asked", {resource(24, id(1), 0, manifestAsking(""))}, "", "asInvoker"},
        {"overridden", {resource(24, id(1), 0, manifestOf("requireAdministrator"))}, "asInvoker", "asInvoker"},
        {"unknown one overridden",
         {resource(24, id(1), 0, manifestOf("sudo"))},
         "highestAvailable",
         "highestAvailable"},
    };
    for (const auto& c : cases) {
        writeFile(options.payloadPath, payloadWith(c.manifests).bytes());
        options.level = c.given;
        EXPECT_EQ(c.expected, pack::pack(options).level) << c.name;
        EXPECT_EQ(manifestOf(c.expected), resourcesOf(options.outputPath).at("24/1/0")) << c.name;
    }
}

TEST_F(PackerTest, TheLauncherTakesThePayloadsSubsystemUnlessGiven) {
    const struct {
        std::uint16_t payload;
        std::uint16_t given;
        std::uint16_t expected;
        bool warned;
    } cases[] = {
        {3, 0, 3, false}, {2, 0, 2, false}, {3, 3, 3, false}, {3, 2, 2, true}, {2, 3, 3, true}, {1, 3, 3, true},
    };
    for (const auto& c : cases) {
        Image payload = payloadWith({});
        payload.subsystem = c.payload;
        writeFile(options.payloadPath, payload.bytes());
        options.subsystem = c.given;
        const pack::Outcome outcome = pack::pack(options);
        const std::string what = std::to_string(c.payload) + " given " + std::to_string(c.given);
        EXPECT_EQ(c.expected, outcome.subsystem) << what;
        EXPECT_EQ(c.expected, le::get16(readFile(options.outputPath), optionalOffset + 68)) << what;
        EXPECT_EQ(c.warned, !outcome.warnings.empty()) << what;
    }
}

TEST_F(PackerTest, A32BitPayloadIsCarriedAsItIs) {
    Image x86 = payloadWith({resource(24, id(1), 0, manifestOf("requireAdministrator"))});
    x86.pe32Plus = false;
    x86.machine = 0x14C;
    writeFile(options.payloadPath, x86.bytes());
    EXPECT_EQ("requireAdministrator", pack::pack(options).level);
    EXPECT_EQ(x86.bytes(), resourcesOf(options.outputPath).at("10/100/0"));
}

TEST_F(PackerTest, ASignedTemplatesCertificateTableIsDroppedAndSaidSo) {
    Image signedTemplate = launcherTemplate();
    signedTemplate.certificate = std::string(24, 'c');
    writeFile(options.templatePath, signedTemplate.bytes());
    const pack::Outcome outcome = pack::pack(options);
    ASSERT_EQ(1u, outcome.warnings.size());
    EXPECT_NE(std::string::npos, outcome.warnings[0].find("sign the output")) << outcome.warnings[0];
    const files::InputFile out(options.outputPath, "output");
    const pe::Image image = pe::Image::read(out);
    EXPECT_EQ(0u, image.directory(pe::securityDirectory).rva);
    EXPECT_EQ(0u, image.directory(pe::securityDirectory).size);
    EXPECT_EQ(image.endOfSections(), out.size());
}

TEST_F(PackerTest, RefusesBadInputsAndLeavesTheOutputAsItWas) {
    const std::string probe = payloadWith({}).bytes();
    const auto payload = [&](const std::string& bytes) {
        return [=](pack::Options& o, const fs::path& dir) {
            writeFile(dir / "p.exe", bytes);
            o.payloadPath = dir / "p.exe";
        };
    };
    const auto templ = [&](const std::string& bytes) {
        return [=](pack::Options& o, const fs::path& dir) {
            writeFile(dir / "t.exe", bytes);
            o.templatePath = dir / "t.exe";
        };
    };
    const auto patched = [](std::string bytes, std::size_t at, std::uint32_t value) {
        le::put32(bytes, at, value);
        return bytes;
    };
    std::string dll = probe;
    le::put16(dll, characteristicsOffset, 0x2022);
    Image native = payloadWith({});
    native.subsystem = 1;
    const std::size_t directories = optionalOffset + 112;
    Image x86Template = launcherTemplate();
    x86Template.pe32Plus = false;
    x86Template.machine = 0x14C;
    Image unmarked = launcherTemplate();
    unmarked.resources.erase(unmarked.resources.begin());
    Image levelless = launcherTemplate();
    levelless.resources[1] = resource(24, id(1), 0, manifestAsking(""));
    const std::string launcher = launcherTemplate().bytes();
    // The payload's resource directory names a type table beyond its section.
    std::string corrupt = payloadWith({resource(24, id(1), 0, manifestOf("asInvoker"))}).bytes();
    le::put32(corrupt, 0x400 + 16 + 4, 0x80000000 | 0x7000);

    const struct {
        const char* name;
        std::function<void(pack::Options&, const fs::path& dir)> prepare;
        const char* reason;
        bool outputPresent;
    } cases[] = {
        {"missing payload", [](pack::Options& o, const fs::path& dir) { o.payloadPath = dir / "none.exe"; },
         "cannot open the payload", true},
        {"payload is an empty directory", [](pack::Options& o, const fs::path& dir) { o.payloadPath = dir; },
         "holds no file", false},
        {"empty payload", payload(""), "is not a Windows executable: it is empty", true},
        {"text payload", payload("MZ is not enough\r\n"), "does not start with an MZ header", false},
        {"payload without a PE header", payload(probe.substr(0, 0x44)), "it has no PE header", true},
        {"DLL payload", payload(dll), "it is a DLL", true},
        {"payload that is a pipe",
         [](pack::Options& o, const fs::path& dir) {
             ASSERT_EQ(0, mkfifo((dir / "p.exe").c_str(), 0600));
             o.payloadPath = dir / "p.exe";
         },
         "is not a regular file", false},
        {"template whose relocations are among its resources",
         templ(patched(launcherTemplate().bytes(), directories + 8 * 5, resourceSectionAddress)),
         "its base relocations lie in its resource section", true},
        {"payload for no window and no console", payload(native.bytes()),
         "is neither a windowed nor a console program (subsystem 1): give --subsystem", true},
        {"truncated payload", payload(probe.substr(0, probe.size() - 1)), "it is truncated", false},
        {"payload's resource directory corrupt", payload(corrupt), "has a corrupt resource directory", true},
        {"payload's icon group names a missing icon",
         payload(payloadWith({resource(14, id(1), 0, iconGroup({1, 4})), resource(3, id(1), 0, "icon")}).bytes()),
         "names icon 4, which it does not have", true},
        {"payload's manifest asks for an unknown level",
         payload(payloadWith({resource(24, id(1), 0, manifestOf("sudo"))}).bytes()),
         "unknown execution level 'sudo'; give --execution-level", true},
        {"payload too large for an image",
         [&probe](pack::Options& o, const fs::path& dir) {
             writeFile(dir / "huge.exe", probe);
             fs::resize_file(dir / "huge.exe", std::uint64_t(1) << 31); // sparse
             o.payloadPath = dir / "huge.exe";
         },
         "is too large: 2147483648 bytes", true},
        {"template without the launcher's mark", templ(unmarked.bytes()), "it has no resource W4W_LAUNCHER", true},
        {"template that carries a payload",
         [](pack::Options& o, const fs::path& dir) {
             pack::Options first = o;
             first.outputPath = dir / "wrapped.exe";
             pack::pack(first);
             o.templatePath = first.outputPath;
         },
         "it already carries a payload", false},
        {"32-bit template", templ(x86Template.bytes()), "it is not a 64-bit x64 program", true},
        {"truncated template", templ(launcher.substr(0, launcher.size() - 0x200)), "it is truncated", true},
        {"template with a symbol table", templ(patched(launcher, symbolTableOffset, 0x600)), "COFF symbol table",
         false},
        {"template's section after the resources is no relocations",
         templ(patched(launcher, optionalOffset + 112 + 8 * 5 + 4, 0)), "only base relocations can", true},
        {"template with bytes after its sections", templ(launcher + "tail"), "4 bytes after its sections", true},
        {"template's manifest asks for no level", templ(levelless.bytes()), "no requestedExecutionLevel", false},
        {"icon file that is none",
         [](pack::Options& o, const fs::path& dir) {
             writeFile(dir / "i.ico", "GIF89a");
             o.iconPath = dir / "i.ico";
         },
         "is not an .ico file", true},
        {"output's directory missing",
         [](pack::Options& o, const fs::path& dir) { o.outputPath = dir / "none" / "out.exe"; }, "does not exist",
         false},
        {"output is a directory", [](pack::Options& o, const fs::path& dir) { o.outputPath = dir; }, "is a directory",
         false},
        {"output is the payload through a hard link",
         [](pack::Options& o, const fs::path& dir) {
             fs::create_hard_link(o.payloadPath, o.outputPath = dir / "link.exe");
         },
         "is the same file as the payload", false},
        {"output is the template through a symbolic link",
         [](pack::Options& o, const fs::path& dir) {
             fs::create_symlink(o.templatePath, o.outputPath = dir / "link.exe");
         },
         "is the same file as the template", false},
        {"output is the payload by another path",
         [](pack::Options& o, const fs::path& dir) { o.outputPath = dir / ".." / "." / o.payloadPath.filename(); },
         "is the same file as the payload", false},
        {"read-only output",
         [](pack::Options& o, const fs::path&) {
             fs::permissions(o.outputPath, fs::perms::owner_read | fs::perms::group_read);
         },
         "is read-only", true},
    };
    for (const auto& c : cases) {
        TempDir each;
        fs::create_directory(each.file("in"));
        pack::Options o = options;
        o.templatePath = each.file("template.exe");
        o.payloadPath = each.file("payload.exe");
        o.outputPath = each.file("out.exe");
        writeFile(o.templatePath, launcher);
        writeFile(o.payloadPath, probe);
        if (c.outputPresent) {
            writeFile(o.outputPath, earlier);
        }
        c.prepare(o, each.file("in"));
        const auto before = snapshot(each.path());
        const std::string reason = refusal(o);
        EXPECT_NE(std::string::npos, reason.find(c.reason)) << c.name << ": " << reason;
        EXPECT_EQ(before, snapshot(each.path())) << c.name;
    }
}

TEST_F(PackerTest, AFullDiskLeavesTheOutputAsItWas) {
    const fs::path small = PACK_TEST_SMALL_FS;
    if (fs::space(small).capacity > (3u << 20)) {
        GTEST_SKIP() << "no filesystem smaller than the payload is mounted at " << small;
    }
    writeFile(options.payloadPath, payloadWith({}).bytes() + std::string(3 << 20, 'x'));
    options.outputPath = small / "out.exe";
    writeFile(options.outputPath, earlier);
    const std::string reason = refusal(options);
    EXPECT_NE(std::string::npos, reason.find("cannot write")) << reason;
    EXPECT_NE(std::string::npos, reason.find("No space left on device")) << reason;
    EXPECT_EQ(std::vector<std::string>{"out.exe"}, listDir(small));
    EXPECT_EQ(earlier, readFile(options.outputPath));
    fs::remove(options.outputPath);
}

TEST_F(PackerTest, AReadOnlyDirectoryIsRefused) {
    const fs::path readOnly = PACK_TEST_READ_ONLY_FS;
    if (fs::space(readOnly).capacity > (1u << 20)) {
        GTEST_SKIP() << "no read-only filesystem is mounted at " << readOnly;
    }
    options.outputPath = readOnly / "out.exe";
    const std::string reason = refusal(options);
    EXPECT_NE(std::string::npos, reason.find("cannot create a file in " + readOnly.string())) << reason;
    EXPECT_TRUE(listDir(readOnly).empty());
}

// Large, regular structures: each is refused, naming the input and what is wrong with it, or
// packed and read back, reading each part of the input once. (Before, these wrote a launcher
// of 4 GiB whose headers described 4 MiB, read a table once per path, copied one name into
// every resource, and searched all resources once per icon.)
TEST_F(PackerTest, HostileShapesAreRefusedOrPackedInProportionToTheirSize) {
    const struct {
        const char* name;
        std::string payload;
        std::string icon;
        const char* reason; // empty: packed
    } cases[] = {
        {"an icon file whose entries all name one image", "", hostile::iconNamingOneImage(0xFFFF, 0x10000),
         "the icon "},
        {"a payload whose icons all name the same bytes", hostile::payloadWithIconsSharingData(0xFFFF, 0x10000), "",
         "the payload "},
        {"a payload whose types share one table", hostile::payloadWithSharedTables(0xFFFF), "",
         "has a corrupt resource directory: a table is reached twice"},
        {"a payload with one long name everywhere", hostile::payloadWithLongNames(30000, false), "",
         "has a corrupt resource directory: it has two resources 10/AAAA"},
        {"a payload with long names that overlap", hostile::payloadWithLongNames(30000, true), "",
         "has a corrupt resource directory: its names take more room than its section has"},
        {"a payload whose icon group names 65,535 icons", hostile::payloadWithIcons(0xFFFF).bytes(), "", ""},
    };
    for (const auto& c : cases) {
        TempDir each;
        pack::Options o = options;
        o.outputPath = each.file("out.exe");
        if (!c.payload.empty()) {
            o.payloadPath = each.file("payload.exe");
            writeFile(o.payloadPath, c.payload);
        }
        if (!c.icon.empty()) {
            o.iconPath = each.file("big.ico");
            writeFile(o.iconPath, c.icon);
        }
        const auto before = listDir(each.path());
        if (std::string(c.reason).empty()) {
            pack::pack(o);
            EXPECT_EQ(0xFFFFu + 1, only(resourcesOf(o.outputPath), {"3", "14"}).size()) << c.name;
            continue;
        }
        const std::string reason = refusal(o);
        EXPECT_NE(std::string::npos, reason.find(c.reason)) << c.name << ": " << reason;
        EXPECT_LT(reason.size(), 400u) << c.name;
        EXPECT_EQ(before, listDir(each.path())) << c.name;
    }
}

// Ctrl+C or a request to end while the output is written: the temporary file goes too.
TEST_F(PackerTest, AnInterruptedPackerLeavesNoTemporaryFile) {
    std::string payload = payloadWith({}).bytes();
    payload.append(256u << 20, 'p');
    writeFile(options.payloadPath, payload);
    payload.clear();
    for (const int signal : {SIGINT, SIGTERM}) {
        const pid_t child = fork();
        ASSERT_NE(-1, child);
        if (child == 0) {
            try {
                pack::pack(options);
            } catch (...) {
            }
            _exit(0);
        }
        // Stopped as soon as its temporary file shows, so that it cannot end first.
        bool seen = false;
        for (int i = 0; i < 20000 && !seen; ++i) {
            seen = listDir(temp.path()).size() > 2;
            if (!seen) {
                usleep(100);
            }
        }
        kill(child, SIGSTOP);
        kill(child, signal);
        kill(child, SIGCONT);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(seen);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ((std::vector<std::string>{"payload.exe", "template.exe"}), listDir(temp.path())) << signal;
    }
}
