#include "FuzzOracle.h"

#include "Checksum.h"
#include "Inspect.h"
#include "LittleEndian.h"
#include "PackError.h"
#include "PackTestSupport.h"
#include "Packer.h"
#include "PeImage.h"
#include "ResourceDirectory.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace fuzz {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void wrong(const std::string& what) {
    std::fprintf(stderr, "w4wpack wrote a wrong launcher: %s\n", what.c_str());
    std::abort();
}

// One directory for the whole run.
const packtest::TempDir& work() {
    static const packtest::TempDir dir;
    return dir;
}

void checkOutput(const fs::path& path, const std::string& payloadBytes) {
    const std::string bytes = packtest::readFile(path);
    const files::InputFile output(path, "output");
    pe::Image image;
    std::vector<resources::Resource> all;
    try {
        image = pe::Image::read(output);
        all = resources::read(image, output);
    } catch (const pack::Error& e) {
        wrong(std::string("its own reader refuses it: ") + e.what());
    }
    int carried = 0;
    for (const resources::Resource& r : all) {
        if (r.type == resources::id(resources::typeRcdata) && r.name == resources::id(100)) {
            ++carried;
            if (r.read() != payloadBytes) {
                wrong("resource 100 is not the payload");
            }
        }
    }
    if (carried != 1) {
        wrong(std::to_string(carried) + " resources 100");
    }
    if (image.endOfSections() != bytes.size()) {
        wrong("its sections end at " + std::to_string(image.endOfSections()) + ", the file at " +
              std::to_string(bytes.size()));
    }
    std::string zeroed = bytes;
    le::put32(zeroed, image.optionalHeaderOffset + pe::field::checkSum, 0);
    pe::Checksum sum;
    sum.add(zeroed.data(), zeroed.size());
    if (sum.value() != le::get32(bytes, image.optionalHeaderOffset + pe::field::checkSum)) {
        wrong("its checksum is wrong");
    }
    if (image.subsystem != pe::subsystemGui && image.subsystem != pe::subsystemConsole) {
        wrong("its subsystem is " + std::to_string(image.subsystem));
    }
    // What --show and --extract make of it.
    const fs::path extracted = path.parent_path() / "extracted.exe";
    try {
        std::ostringstream shown;
        pack::show(path, shown);
        pack::extract(path, extracted);
    } catch (const pack::Error& e) {
        wrong(std::string("--show or --extract refuses it: ") + e.what());
    }
    if (packtest::readFile(extracted) != payloadBytes) {
        wrong("--extract does not give back the payload");
    }
    fs::remove(extracted);
}

} // namespace

void packAndCheck(const std::string& templateBytes, const std::string& payloadBytes, const std::string& icon) {
    const packtest::TempDir& dir = work();
    pack::Options options;
    options.templatePath = dir.file("template.exe");
    options.payloadPath = dir.file("payload.exe");
    options.outputPath = dir.file("out.exe");
    packtest::writeFile(options.templatePath, templateBytes);
    packtest::writeFile(options.payloadPath, payloadBytes);
    if (!icon.empty()) {
        options.iconPath = dir.file("icon.ico");
        packtest::writeFile(options.iconPath, icon);
    }
    // A payload of neither subsystem is wrapped all the same, so that the rest is reached.
    options.subsystem = pe::subsystemConsole;
    bool written = false;
    try {
        pack::pack(options);
        written = true;
    } catch (const pack::Error&) {
        const std::vector<std::string> left = packtest::listDir(dir.path());
        const std::size_t inputs = icon.empty() ? 2 : 3;
        if (left.size() != inputs) {
            wrong("a refusal left " + std::to_string(left.size() - inputs) + " files behind");
        }
    }
    if (written) {
        checkOutput(options.outputPath, payloadBytes);
        fs::remove(options.outputPath);
    }
    fs::remove(options.iconPath);
}

const std::string& launcherTemplate() {
    static const std::string bytes = packtest::launcherTemplate().bytes();
    return bytes;
}

const std::string& payload() {
    static const std::string bytes = packtest::Image().bytes();
    return bytes;
}

} // namespace fuzz
