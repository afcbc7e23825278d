#include "Inspect.h"

#include "Bundle.h"

#include "Manifest.h"
#include "PackError.h"
#include "Packer.h"
#include "PeImage.h"
#include "ResourceDirectory.h"
#include "Sha256.h"
#include "Tree.h"

#include <memory>
#include <optional>

namespace pack {

namespace {

using resources::Resource;

constexpr std::size_t pieceSize = 1 << 20;
// Far more than a manifest or the record is; read whole, so bounded.
constexpr std::uint32_t maxTextSize = 1 << 20;

struct Launcher {
    pe::Image image;
    std::vector<Resource> resources;
    const Resource* payload = nullptr;
    const Resource* record = nullptr;
    const Resource* manifest = nullptr;
};

// A launcher that w4wpack wrote: the template's mark and one payload.
Launcher readLauncher(const files::InputFile& file) {
    Launcher launcher{pe::Image::read(file), {}};
    launcher.resources = resources::read(launcher.image, file);
    const resources::Name marker = resources::named(markerName);
    const resources::Name record = resources::named(recordName);
    bool marked = false;
    int payloads = 0;
    for (const Resource& r : launcher.resources) {
        if (r.type == resources::id(resources::typeRcdata)) {
            marked = marked || r.name == marker;
            if (r.name == resources::id(payloadId)) {
                launcher.payload = &r;
                ++payloads;
            }
            if (r.name == record) {
                launcher.record = &r;
            }
        }
        if (r.type == resources::id(resources::typeManifest) && r.name == resources::id(1)) {
            launcher.manifest = &r;
        }
    }
    const std::string refusal = file.name() + " is not a launcher written by w4wpack: ";
    if (!marked) {
        W4W_REFUSE(refusal + "it has no resource W4W_LAUNCHER");
    }
    if (payloads != 1) {
        W4W_REFUSE(refusal + (payloads == 0 ? "it carries no payload (resource 100): it is a launcher template"
                                            : "it carries " + std::to_string(payloads) + " payloads"));
    }
    return launcher;
}

std::string machineName(std::uint16_t machine) {
    switch (machine) {
    case pe::machineAmd64:
        return "x64";
    case 0x14C:
        return "x86";
    case 0xAA64:
        return "ARM64";
    default:
        return "machine " + std::to_string(machine);
    }
}

std::string subsystemText(std::uint16_t subsystem) {
    const std::string kind = pe::subsystemKind(subsystem);
    const std::string number = "subsystem " + std::to_string(subsystem);
    return kind.empty() ? number : kind + " (" + number + ")";
}

// What show prints, in either form.
struct Facts {
    std::string launcher;
    std::uint64_t payloadSize = 0;
    std::string payloadSha256;
    // Why the payload's headers could not be read; empty when they could.
    std::string payloadImageError;
    std::uint16_t payloadMachine = 0;
    std::uint16_t payloadSubsystem = 0;
    std::uint16_t launcherSubsystem = 0;
    bool manifestReadable = false;
    // Empty when the manifest asks for none.
    std::string executionLevel;
    bool recorded = false;
    // As w4wpack recorded it when it wrote the launcher; an editor may have changed the
    // identity since.
    std::vector<std::string> madeWith;
    std::uint32_t certificateTableSize = 0;
    // A carried tree's files; none for a single executable.
    std::optional<TreeFacts> tree;
};

Facts gather(const files::Path& path) {
    const files::InputFile file(path, "file");
    const Launcher launcher = readLauncher(file);
    const Resource& payload = *launcher.payload;
    const files::InputFile carried = file.part(payload.offset, payload.size, "the payload it carries");

    Facts facts;
    facts.launcher = files::toUtf8(path);
    facts.payloadSize = carried.size();
    Sha256 sha;
    const std::unique_ptr<char[]> buffer(new char[pieceSize]);
    carried.stream(0, carried.size(), buffer.get(), pieceSize,
                   [&sha](const char* data, std::size_t size) { sha.add(data, size); });
    facts.payloadSha256 = sha.hex();
    if (isTree(carried)) {
        // Refused as --extract and the launcher refuse it, when its table is malformed.
        facts.tree = treeFacts(carried);
        facts.payloadImageError = "a tree of files, listed below";
    } else {
        try {
            const pe::Image headers = pe::Image::read(carried);
            facts.payloadMachine = headers.machine;
            facts.payloadSubsystem = headers.subsystem;
        } catch (const Error& e) {
            facts.payloadImageError = e.what();
        }
    }
    facts.launcherSubsystem = launcher.image.subsystem;
    const Resource* manifest = launcher.manifest;
    facts.manifestReadable = manifest != nullptr && manifest->size <= maxTextSize;
    if (facts.manifestReadable) {
        const std::string text = manifest::toText(manifest->read());
        const manifest::LevelPlace place = manifest::findExecutionLevel(text);
        facts.executionLevel = place.found ? text.substr(place.begin, place.length) : std::string();
    }
    facts.recorded = launcher.record != nullptr && launcher.record->size <= maxTextSize;
    if (facts.recorded) {
        std::string record = launcher.record->read();
        for (std::string::size_type end; (end = record.find('\n')) != std::string::npos; record.erase(0, end + 1)) {
            facts.madeWith.push_back(record.substr(0, end));
        }
    }
    facts.certificateTableSize = launcher.image.directory(pe::securityDirectory).size;
    return facts;
}

void printText(const Facts& facts, std::ostream& out) {
    out << "launcher        " << facts.launcher << '\n';
    out << "payload         " << facts.payloadSize << " bytes, SHA-256 " << facts.payloadSha256 << '\n';
    out << "payload image   "
        << (facts.payloadImageError.empty()
                ? machineName(facts.payloadMachine) + ", " + subsystemText(facts.payloadSubsystem)
                : facts.payloadImageError)
        << '\n';
    out << "launcher image  " << subsystemText(facts.launcherSubsystem) << ", execution level "
        << (!facts.manifestReadable        ? "none that can be read"
            : facts.executionLevel.empty() ? "none asked for"
                                           : facts.executionLevel)
        << '\n';
    if (facts.recorded) {
        for (const std::string& line : facts.madeWith) {
            out << "made with       " << line << '\n';
        }
    } else {
        out << "made with       (not recorded)\n";
    }
    out << "signed          "
        << (facts.certificateTableSize != 0
                ? "yes: a certificate table of " + std::to_string(facts.certificateTableSize) +
                      " bytes (whether it verifies is for the signing tools to say)"
                : std::string("no"))
        << '\n';
    if (facts.tree) {
        out << "tree            " << facts.tree->files.size() << " files, the program " << facts.tree->program << '\n';
        for (const TreeFile& file : facts.tree->files) {
            out << "file            " << file.name << ": " << file.size << " bytes, stored in " << file.storedSize
                << (file.compressed ? " (compressed)" : "") << ", SHA-256 " << file.sha256 << '\n';
        }
    }
}

// A JSON string: valid UTF-8 whatever the bytes (a path on Linux, a record that an editor
// changed), each byte that begins no well-formed sequence as U+FFFD.
std::string jsonString(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            json += '\\';
            json += static_cast<char>(byte);
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            json += "\\u00";
            json += hex[byte >> 4];
            json += hex[byte & 0xF];
            ++i;
        } else if (byte < 0x80) {
            json += static_cast<char>(byte);
            ++i;
        } else if (const std::size_t length = bundle::utf8SequenceLength(text, i)) {
            json.append(text, i, length);
            i += length;
        } else {
            json += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return json + "\"";
}

std::string jsonStringOrNull(bool present, const std::string& text) {
    return present ? jsonString(text) : "null";
}

void printJson(const Facts& facts, std::ostream& out) {
    const bool image = facts.payloadImageError.empty();
    const std::string payloadKind = image ? pe::subsystemKind(facts.payloadSubsystem) : std::string();
    const std::string launcherKind = pe::subsystemKind(facts.launcherSubsystem);
    out << "{\"launcher\": " << jsonString(facts.launcher) << ",\n";
    out << " \"payload\": {\"size\": " << facts.payloadSize << ", \"sha256\": " << jsonString(facts.payloadSha256)
        << ",\n  \"machine\": " << jsonStringOrNull(image, machineName(facts.payloadMachine))
        << ", \"subsystem\": " << (image ? std::to_string(facts.payloadSubsystem) : "null")
        << ", \"subsystemKind\": " << jsonStringOrNull(!payloadKind.empty(), payloadKind)
        << ", \"imageError\": " << jsonStringOrNull(!image, facts.payloadImageError) << "},\n";
    out << " \"launcherImage\": {\"subsystem\": " << facts.launcherSubsystem
        << ", \"subsystemKind\": " << jsonStringOrNull(!launcherKind.empty(), launcherKind)
        << ", \"manifestReadable\": " << (facts.manifestReadable ? "true" : "false")
        << ", \"executionLevel\": " << jsonStringOrNull(!facts.executionLevel.empty(), facts.executionLevel) << "},\n";
    out << " \"madeWith\": ";
    if (facts.recorded) {
        out << '[';
        for (std::size_t i = 0; i < facts.madeWith.size(); ++i) {
            out << (i == 0 ? "" : ", ") << jsonString(facts.madeWith[i]);
        }
        out << ']';
    } else {
        out << "null";
    }
    out << ",\n \"signed\": " << (facts.certificateTableSize != 0 ? "true" : "false")
        << ", \"certificateTableSize\": " << facts.certificateTableSize << ",\n \"tree\": ";
    if (facts.tree) {
        out << "{\"program\": " << jsonString(facts.tree->program) << ", \"files\": [";
        for (std::size_t i = 0; i < facts.tree->files.size(); ++i) {
            const TreeFile& file = facts.tree->files[i];
            out << (i == 0 ? "\n  " : ",\n  ") << "{\"name\": " << jsonString(file.name) << ", \"size\": " << file.size
                << ", \"storedSize\": " << file.storedSize
                << ", \"compressed\": " << (file.compressed ? "true" : "false")
                << ", \"sha256\": " << jsonString(file.sha256) << '}';
        }
        out << "]}";
    } else {
        out << "null";
    }
    out << "}\n";
}

} // namespace

void show(const files::Path& path, std::ostream& out, ShowFormat format) {
    const Facts facts = gather(path);
    if (format == ShowFormat::Json) {
        printJson(facts, out);
    } else {
        printText(facts, out);
    }
}

void extract(const files::Path& path, const files::Path& output) {
    const files::InputFile file(path, "file");
    const Launcher launcher = readLauncher(file);
    const files::InputFile carried =
        file.part(launcher.payload->offset, launcher.payload->size, "the payload it carries");
    if (isTree(carried)) {
        extractTree(carried, output);
        return;
    }
    const files::Path target = std::filesystem::absolute(output);
    checkOutput(target, {&file});
    files::OutputFile out(target);
    const std::unique_ptr<char[]> buffer(new char[pieceSize]);
    file.stream(launcher.payload->offset, launcher.payload->size, buffer.get(), pieceSize,
                [&out](const char* data, std::size_t size) { out.write(data, size); });
    out.commit();
}

} // namespace pack
