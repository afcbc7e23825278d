// w4wpack [--execution-level LEVEL] TEMPLATE PAYLOAD OUTPUT
//
// Writes OUTPUT, a copy of the launcher TEMPLATE that carries PAYLOAD as resource
// RT_RCDATA 100 and whose manifest asks for the execution level that PAYLOAD's own asks for.
// Exit code 0 when OUTPUT was written, 1 when an input was refused or writing failed,
// 2 for a malformed command line. OUTPUT is replaced only by a complete launcher.
#include "FileUtils.h"
#include "Image.h"
#include "Manifest.h"
#include "OrvError.h"
#include "WinAutoHandle.h"
#include "WinErrorHandling.h"
#include "tstrings.h"

#include <windows.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using tstrings::StringBuilder;

const LPCSTR rcdataType = MAKEINTRESOURCEA(10);
const LPCSTR manifestType = MAKEINTRESOURCEA(24);
const LPCSTR manifestId = MAKEINTRESOURCEA(1);
const LPCSTR payloadId = MAKEINTRESOURCEA(100);
constexpr WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
// Resource sizes and image offsets are 32-bit; staying within the signed range leaves room
// for the rest of the image.
constexpr ULONGLONG maxPayloadSize = 0x7FFFFFFF;
const char* const defaultLevel = "asInvoker";

const char* const usage = "usage: w4wpack [--execution-level LEVEL] TEMPLATE PAYLOAD OUTPUT\n"
                          "  Writes OUTPUT: a copy of the launcher TEMPLATE that carries the executable PAYLOAD.\n"
                          "  LEVEL (asInvoker, highestAvailable or requireAdministrator) goes into OUTPUT's manifest;\n"
                          "  without the option it is the one that PAYLOAD's own manifest asks for, or asInvoker.\n";

// A fault of the input rather than of the system: the user sees its text alone.
#define W4W_REFUSE(text) ORV_THROW(std::invalid_argument(::errorText(text)))

struct Options {
    bool help = false;
    std::string level; // empty: the payload's own
    std::string templatePath;
    std::string payloadPath;
    std::string outputPath;
};

Options parseArguments(int argc, char** argv) {
    static const std::string levelOption = "--execution-level";
    Options options;
    std::vector<std::string> paths;
    bool onlyPaths = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (onlyPaths || arg.empty() || arg[0] != '-' || arg == "-") {
            paths.push_back(arg);
        } else if (arg == "--") {
            onlyPaths = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == levelOption || arg.compare(0, levelOption.size() + 1, levelOption + "=") == 0) {
            std::string value;
            if (arg.size() > levelOption.size()) {
                value = arg.substr(levelOption.size() + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                W4W_REFUSE(levelOption + " needs a value");
            }
            options.level = manifest::canonicalLevel(value);
            if (options.level.empty()) {
                W4W_REFUSE(StringBuilder("unknown execution level '")
                           << value << "': use asInvoker, highestAvailable or requireAdministrator");
            }
        } else {
            W4W_REFUSE(StringBuilder("unknown option ") << arg);
        }
    }
    if (options.help) {
        return options;
    }
    if (paths.size() != 3) {
        W4W_REFUSE(StringBuilder("expected TEMPLATE, PAYLOAD and OUTPUT, got ") << paths.size() << " paths");
    }
    for (const std::string& path : paths) {
        if (path.empty()) {
            W4W_REFUSE("a path is empty");
        }
    }
    options.templatePath = paths[0];
    options.payloadPath = paths[1];
    options.outputPath = paths[2];
    return options;
}

std::string fullPath(const std::string& path) {
    std::string full(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (n == 0) {
            ORV_THROW_LAST_ERROR(StringBuilder("GetFullPathName(") << path << ") failed", GetFullPathNameA);
        }
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n);
    }
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// An input, read whole and held open without write sharing until OUTPUT is in place, so
// that what is checked is what gets written.
struct InputFile {
    std::string path;
    AutoHandle handle;
    BY_HANDLE_FILE_INFORMATION identity;
    std::string bytes;
};

InputFile readInput(const char* role, const std::string& path) {
    if (FileUtils::isDirectory(path)) {
        W4W_REFUSE(StringBuilder("the ") << role << " " << path << " is a directory");
    }
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        W4W_REFUSE(StringBuilder("cannot open the ") << role << " " << path << ": " << systemErrorText(error, nullptr));
    }
    InputFile input{path, AutoHandle(handle), {}, {}};
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(handle, &size)) {
        ORV_THROW_LAST_ERROR(StringBuilder("GetFileSizeEx(") << path << ") failed", GetFileSizeEx);
    }
    if (static_cast<ULONGLONG>(size.QuadPart) > maxPayloadSize) {
        W4W_REFUSE(StringBuilder("the ") << role << " " << path
                                         << " is too large: " << static_cast<ULONGLONG>(size.QuadPart)
                                         << " bytes, more than the " << maxPayloadSize << " that w4wpack embeds");
    }
    if (!GetFileInformationByHandle(handle, &input.identity)) {
        ORV_THROW_LAST_ERROR(StringBuilder("GetFileInformationByHandle(") << path << ") failed",
                             GetFileInformationByHandle);
    }
    input.bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < input.bytes.size()) {
        DWORD read = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(input.bytes.size() - done, 1 << 24));
        if (!ReadFile(handle, &input.bytes[done], chunk, &read, nullptr)) {
            const DWORD error = GetLastError();
            W4W_REFUSE(StringBuilder("cannot read the ")
                       << role << " " << path << ": " << systemErrorText(error, nullptr));
        }
        if (read == 0) {
            W4W_REFUSE(StringBuilder("the ") << role << " " << path << " ended early while it was read");
        }
        done += read;
    }
    return input;
}

AutoModule loadInputAsData(const char* role, const std::string& path) {
    AutoModule module = image::loadAsData(path);
    if (module.get() == nullptr) {
        const DWORD error = GetLastError();
        W4W_REFUSE(StringBuilder("cannot read the resources of the ")
                   << role << " " << path << ": " << systemErrorText(error, nullptr));
    }
    return module;
}

struct Level {
    std::string value;
    const char* origin;
};

// The level that the payload's own manifest asks for: the one of manifest 1, or else of
// the first manifest it has.
Level payloadLevel(const InputFile& payload) {
    const AutoModule module = loadInputAsData("payload", payload.path);
    image::ResourceName name;
    name.id = 1;
    std::vector<WORD> languages = image::resourceLanguages(module.get(), manifestType, name.get());
    if (languages.empty()) {
        name = image::firstResourceName(module.get(), manifestType);
        if (name.empty()) {
            return {defaultLevel, "the payload has no manifest"};
        }
        languages = image::resourceLanguages(module.get(), manifestType, name.get());
    }
    const std::string text =
        manifest::toText(image::resourceBytes(module.get(), manifestType, name.get(), languages.front()));
    const manifest::LevelPlace place = manifest::findExecutionLevel(text);
    if (!place.found) {
        return {defaultLevel, "the payload's manifest asks for none"};
    }
    const std::string asked = text.substr(place.begin, place.length);
    const std::string level = manifest::canonicalLevel(asked);
    if (level.empty()) {
        W4W_REFUSE(StringBuilder("the manifest of the payload ")
                   << payload.path << " asks for the unknown execution level '" << asked
                   << "'; give --execution-level");
    }
    return {level, "from the payload's manifest"};
}

struct Template {
    std::string manifest;
    WORD manifestLanguage = neutral;
    manifest::LevelPlace level;
};

Template readTemplate(const InputFile& file) {
    const auto refuse = [&file](const std::string& why) {
        W4W_REFUSE(StringBuilder("the template ") << file.path << " is not a launcher template: " << why);
    };
    const std::string notExecutable = image::whyNotExecutable(file.bytes);
    if (!notExecutable.empty()) {
        refuse(notExecutable);
    }
    if (image::hasSymbolTable(file.bytes)) {
        // The update would move the sections behind the resources but not the table.
        refuse("it has a COFF symbol table; link it stripped");
    }
    if (!tstrings::equalsIgnoreCase(image::versionString(file.path, "OriginalFilename"), "wrapper4wrapper.exe") ||
        !tstrings::equalsIgnoreCase(image::versionString(file.path, "ProductName"), "wrapper4wrapper")) {
        refuse("its version record does not name wrapper4wrapper.exe");
    }
    const AutoModule module = loadInputAsData("template", file.path);
    if (!image::resourceLanguages(module.get(), rcdataType, payloadId).empty()) {
        refuse("it already carries a payload (resource 100)");
    }
    const std::vector<WORD> languages = image::resourceLanguages(module.get(), manifestType, manifestId);
    if (languages.size() != 1) {
        refuse((StringBuilder("it has ") << languages.size() << " manifests with identifier 1, not one").str());
    }
    Template result;
    result.manifestLanguage = languages.front();
    result.manifest =
        std::string(image::resourceBytes(module.get(), manifestType, manifestId, result.manifestLanguage));
    result.level = manifest::findExecutionLevel(result.manifest);
    if (!result.level.found) {
        refuse("its manifest has no requestedExecutionLevel");
    }
    return result;
}

void refuseSameFile(const std::string& outputPath, const InputFile& input, const char* role) {
    if (tstrings::equalsIgnoreCase(outputPath, input.path)) {
        W4W_REFUSE(StringBuilder("the output ") << outputPath << " is the " << role);
    }
}

// Refuses an output that is an input under another name (letter case beyond ASCII, a link,
// a short name), a directory or a read-only file.
void checkOutput(const std::string& outputPath, const InputFile& templateFile, const InputFile& payload) {
    const std::string dir = FileUtils::dirname(outputPath);
    if (!FileUtils::isDirectory(dir)) {
        W4W_REFUSE(StringBuilder("the output's directory ") << dir << " does not exist");
    }
    const DWORD attributes = GetFileAttributesA(outputPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        W4W_REFUSE(StringBuilder("the output ") << outputPath << " is a directory");
    }
    // Windows refuses to replace it, Wine does not: refuse it everywhere.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        W4W_REFUSE(StringBuilder("the output ") << outputPath << " is read-only");
    }
    const HANDLE handle = CreateFileA(outputPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return; // absent; anything else shows when the output is moved into place
    }
    const AutoHandle owner(handle);
    BY_HANDLE_FILE_INFORMATION identity = {};
    if (!GetFileInformationByHandle(handle, &identity)) {
        return;
    }
    for (const InputFile* input : {&templateFile, &payload}) {
        if (sameFile(identity, input->identity)) {
            W4W_REFUSE(StringBuilder("the output ") << outputPath << " is the same file as " << input->path);
        }
    }
}

// cppcheck-suppress passedByValue ; AutoOwner passes its value to the close function by value
void removeTempFile(std::string path) {
    if (DeleteFileA(path.c_str())) {
        return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
        std::cerr << "w4wpack: cannot remove the temporary file " << path << ": " << systemErrorText(error, nullptr)
                  << '\n';
    }
}
using TempFile = AutoOwner<std::string, removeTempFile>;

void writeAll(HANDLE file, const std::string& bytes, const std::string& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 24));
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) {
            ORV_THROW_LAST_ERROR(StringBuilder("WriteFile(") << path << ") failed", WriteFile);
        }
        done += written;
    }
}

// A copy of the template beside the output, under a name of its own: created with
// CREATE_NEW, so no file that already exists is taken over.
TempFile writeTempCopy(const std::string& outputPath, const std::string& bytes) {
    const std::string stem = outputPath + ".w4wpack-" + tstrings::toDecimal(std::uint64_t(GetCurrentProcessId()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = stem + "-" + tstrings::toDecimal(std::int32_t(attempt)) + ".tmp";
        const HANDLE handle =
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
                continue;
            }
            ORV_THROW_WIN32(StringBuilder("CreateFile(") << path << ") failed", CreateFileA, error);
        }
        TempFile temp(path);
        AutoHandle file(handle);
        writeAll(handle, bytes, path);
        return temp;
    }
    ORV_THROW_RUNTIME(StringBuilder("no free temporary name ") << stem << "-N.tmp");
}

void discardUpdate(HANDLE update) {
    EndUpdateResourceA(update, TRUE);
}
using AutoUpdate = AutoOwner<HANDLE, discardUpdate>;

void embed(const std::string& path, const std::string& payload, const std::string& manifestText, WORD language) {
    const HANDLE handle = BeginUpdateResourceA(path.c_str(), FALSE);
    if (handle == nullptr) {
        ORV_THROW_LAST_ERROR(StringBuilder("BeginUpdateResource(") << path << ") failed", BeginUpdateResourceA);
    }
    AutoUpdate update(handle);
    if (!UpdateResourceA(handle, rcdataType, payloadId, neutral, const_cast<char*>(payload.data()),
                         static_cast<DWORD>(payload.size()))) {
        ORV_THROW_LAST_ERROR("UpdateResource(RT_RCDATA, 100) failed", UpdateResourceA);
    }
    if (!UpdateResourceA(handle, manifestType, manifestId, language, const_cast<char*>(manifestText.data()),
                         static_cast<DWORD>(manifestText.size()))) {
        ORV_THROW_LAST_ERROR("UpdateResource(RT_MANIFEST, 1) failed", UpdateResourceA);
    }
    // The handle is gone after EndUpdateResource, whether it succeeds or not.
    update.detach();
    if (!EndUpdateResourceA(handle, FALSE)) {
        ORV_THROW_LAST_ERROR(StringBuilder("EndUpdateResource(") << path << ") failed", EndUpdateResourceA);
    }
}

// Reads the written image back, so that a launcher that would not carry the payload
// unchanged never replaces the output.
void verify(const std::string& path, const std::string& payload, const std::string& manifestText, WORD language) {
    const AutoModule module = image::loadAsData(path);
    if (module.get() == nullptr) {
        ORV_THROW_LAST_ERROR(StringBuilder("LoadLibraryEx(") << path << ") failed", LoadLibraryExA);
    }
    if (image::resourceLanguages(module.get(), rcdataType, payloadId) != std::vector<WORD>{neutral} ||
        image::resourceBytes(module.get(), rcdataType, payloadId, neutral) != payload ||
        image::resourceBytes(module.get(), manifestType, manifestId, language) != manifestText) {
        ORV_THROW_RUNTIME(StringBuilder("the written launcher ") << path << " does not read back as written");
    }
}

void pack(const Options& options) {
    const std::string outputPath = fullPath(options.outputPath);
    const InputFile payload = readInput("payload", fullPath(options.payloadPath));
    const InputFile templateFile = readInput("template", fullPath(options.templatePath));
    refuseSameFile(outputPath, payload, "payload");
    refuseSameFile(outputPath, templateFile, "template");
    const std::string notExecutable = image::whyNotExecutable(payload.bytes);
    if (!notExecutable.empty()) {
        W4W_REFUSE(StringBuilder("the payload ") << payload.path << " is not a Windows executable: " << notExecutable);
    }
    const Template launcher = readTemplate(templateFile);
    checkOutput(outputPath, templateFile, payload);
    const Level level = options.level.empty() ? payloadLevel(payload) : Level{options.level, "as given"};

    std::string manifestText = launcher.manifest;
    manifestText.replace(launcher.level.begin, launcher.level.length, level.value);
    TempFile temp = writeTempCopy(outputPath, templateFile.bytes);
    embed(temp.get(), payload.bytes, manifestText, launcher.manifestLanguage);
    verify(temp.get(), payload.bytes, manifestText, launcher.manifestLanguage);
    // Within one directory this is a rename: the output is the old file or the new one.
    if (!MoveFileExA(temp.get().c_str(), outputPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ORV_THROW_LAST_ERROR(StringBuilder("cannot move ") << temp.get() << " onto " << outputPath, MoveFileExA);
    }
    temp.detach();
    std::cout << "w4wpack: wrote " << outputPath << " (payload " << payload.bytes.size() << " bytes, execution level "
              << level.value << ", " << level.origin << ")\n";
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parseArguments(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::cerr << "w4wpack: " << e.std::invalid_argument::what() << '\n' << usage;
        return 2;
    }
    if (options.help) {
        std::cout << usage;
        return 0;
    }
    try {
        pack(options);
        return 0;
    } catch (const std::invalid_argument& e) {
        std::cerr << "w4wpack: " << e.std::invalid_argument::what() << '\n';
    } catch (const std::exception& e) {
        std::cerr << "w4wpack: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "w4wpack: unknown failure\n";
    }
    return 1;
}
