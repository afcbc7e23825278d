// A file given to --show and --extract, which must refuse it or give back what it carries.
#include "Inspect.h"
#include "PackError.h"
#include "PackTestSupport.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const packtest::TempDir dir;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    packtest::writeFile(dir.file("launcher.exe"), bytes);
    std::ostringstream shown;
    bool showed = false;
    try {
        pack::show(dir.file("launcher.exe"), shown);
        showed = true;
    } catch (const pack::Error&) {
    }
    try {
        pack::extract(dir.file("launcher.exe"), dir.file("payload.exe"));
        if (!showed) {
            std::fprintf(stderr, "--extract took a file that --show refused\n");
            std::abort();
        }
        std::filesystem::remove_all(dir.file("payload.exe"));
    } catch (const pack::Error&) {
        if (showed || packtest::listDir(dir.path()).size() != 1) {
            std::fprintf(stderr, "--extract refused a file that --show took, or left a file behind\n");
            std::abort();
        }
    }
    return 0;
}
