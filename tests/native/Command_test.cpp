#include "Command.h"

#include "PackTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using namespace packtest;

namespace {} // namespace

TEST(Command, ExitCodesAndWhatItSays) {
    TempDir temp;
    Image signedTemplate = launcherTemplate();
    signedTemplate.certificate = std::string(16, 'c');
    writeFile(temp.file("template.exe"), signedTemplate.bytes());
    writeFile(temp.file("payload.exe"), Image().bytes());
    const std::string t = temp.file("template.exe").string();
    const std::string p = temp.file("payload.exe").string();
    const std::string o = temp.file("out.exe").string();
    const struct {
        std::vector<std::string> args;
        int code;
        const char* out;
        const char* err;
    } cases[] = {
        {{t, p, o}, 0, "w4wpack: wrote ", "w4wpack: warning: the template was signed"},
        {{"--execution-level=requireAdministrator", "--keep-template-identity", "--", t, p, o},
         0,
         "execution level requireAdministrator, as given; subsystem gui, from the payload; version record from the "
         "template, icon from the template)",
         "sign the output"},
        {{"--subsystem=console", t, p, o}, 0, "subsystem console, as given", "is a windowed program (subsystem 2)"},
        {{t, p, t}, 1, "", "w4wpack: the output "},
        {{t, o + ".none", o}, 1, "", "w4wpack: cannot open the payload "},
        {{"--help"}, 0, "usage: w4wpack", ""},
        {{t, p}, 2, "", "expected TEMPLATE, PAYLOAD and OUTPUT, got 2 paths\nusage: w4wpack"},
        {{"--execution-level", "admin", t, p, o}, 2, "", "unknown execution level 'admin'"},
        {{t, p, o, "--execution-level"}, 2, "", "--execution-level needs a value"},
        {{"--icon=", t, p, o}, 2, "", "--icon needs a file"},
        {{"--subsystem", "cui", t, p, o}, 2, "", "unknown subsystem 'cui': use console or gui"},
        {{"--bogus", t, p, o}, 2, "", "unknown option --bogus"},
        {{t, "", o}, 2, "", "a path is empty"},
    };
    for (const auto& c : cases) {
        const Outcome r = runW4wpack(c.args);
        const std::string line = c.args.empty() ? "" : c.args[0];
        EXPECT_EQ(c.code, r.code) << line << ": " << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.out)) << line << ": " << r.out;
        EXPECT_NE(std::string::npos, r.err.find(c.err)) << line << ": " << r.err;
        if (c.code == 1) {
            EXPECT_EQ(std::string::npos, r.err.find('\n', r.err.find('\n') + 1)) << "one line: " << r.err;
        }
    }
}

// What --show and --extract give of a launcher, against what the payload is: its bytes, and
// its SHA-256 as coreutils computes it.
TEST(Command, ShowsAndGivesBackWhatALauncherCarries) {
    TempDir temp;
    Image payload = Image();
    payload.subsystem = 3;
    std::string bytes = payload.bytes() + std::string(100000, '\x7F');
    writeFile(temp.file("template.exe"), launcherTemplate().bytes());
    writeFile(temp.file("payload.exe"), bytes);
    const std::string t = temp.file("template.exe").string();
    const std::string p = temp.file("payload.exe").string();
    const std::string l = temp.file("launcher.exe").string();
    ASSERT_EQ(0, runW4wpack({t, p, l}).code);

    std::string expected;
    if (std::FILE* sum = popen(("sha256sum '" + p + "'").c_str(), "r")) {
        char digest[65] = {};
        if (std::fread(digest, 1, 64, sum) == 64) {
            expected = digest;
        }
        pclose(sum);
    }
    ASSERT_EQ(64u, expected.size());
    const Outcome shown = runW4wpack({"--show", l});
    EXPECT_EQ(0, shown.code) << shown.err;
    EXPECT_NE(std::string::npos, shown.out.find(std::to_string(bytes.size()) + " bytes, SHA-256 " + expected))
        << shown.out;
    EXPECT_NE(std::string::npos, shown.out.find("payload image   x64, console (subsystem 3)")) << shown.out;
    EXPECT_NE(std::string::npos, shown.out.find("made with       subsystem console, from the payload")) << shown.out;
    EXPECT_NE(std::string::npos, shown.out.find("signed          no")) << shown.out;

    // The same facts for scripts, as a JSON parser reads them: a path with a quote, a
    // backslash, a control character and a byte that is not UTF-8 must come out as one value.
    const std::string odd = temp.file("odd \"name\"\\\t\xFF.exe").string();
    std::filesystem::copy_file(l, odd);
    const Outcome json = runW4wpack({"--show", "--json", odd});
    ASSERT_EQ(0, json.code) << json.err;
    writeFile(temp.file("show.json"), json.out);
    const std::string script =
        "import json, sys; d = json.load(open(sys.argv[1], encoding='utf-8')); p = d['payload']; "
        "i = d['launcherImage']; print(d['launcher'].encode('unicode_escape').decode(), "
        "p['size'], p['sha256'], p['machine'], p['subsystem'], p['subsystemKind'], "
        "p['imageError'], i['subsystem'], i['executionLevel'], d['madeWith'][0], d['signed'], "
        "d['certificateTableSize'], sep='|')";
    std::string parsed;
    if (std::FILE* python =
            popen(("python3 -c \"" + script + "\" '" + temp.file("show.json").string() + "'").c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, python) != nullptr) {
            parsed += line;
        }
        pclose(python);
    }
    const std::string escapedPath = temp.file("").string() + "odd \"name\"\\\\\\t\\ufffd.exe";
    EXPECT_EQ(escapedPath + "|" + std::to_string(bytes.size()) + "|" + expected +
                  "|x64|3|console|None|3|asInvoker|execution level asInvoker, the payload has no manifest|False|0\n",
              parsed)
        << json.out;
    std::filesystem::remove(odd);
    std::filesystem::remove(temp.file("show.json"));

    EXPECT_EQ(0, runW4wpack({"--extract", l, temp.file("back.exe").string()}).code);
    EXPECT_TRUE(readFile(temp.file("back.exe")) == bytes);

    // A template carries nothing: refused, and nothing written.
    const Outcome refused = runW4wpack({"--extract", t, temp.file("none.exe").string()});
    EXPECT_EQ(1, refused.code);
    EXPECT_NE(std::string::npos, refused.err.find("is not a launcher written by w4wpack: it carries no payload"))
        << refused.err;
    EXPECT_EQ((std::vector<std::string>{"back.exe", "launcher.exe", "payload.exe", "template.exe"}),
              listDir(temp.path()));
}
