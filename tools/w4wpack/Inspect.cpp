#include "Inspect.h"

#include "Manifest.h"
#include "PackError.h"
#include "Packer.h"
#include "PeImage.h"
#include "ResourceDirectory.h"
#include "Sha256.h"
#include "Tree.h"

#include <memory>

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

std::string executionLevel(const Resource* manifest) {
    if (manifest == nullptr || manifest->size > maxTextSize) {
        return "none that can be read";
    }
    const std::string text = manifest::toText(manifest->read());
    const manifest::LevelPlace place = manifest::findExecutionLevel(text);
    return place.found ? text.substr(place.begin, place.length) : "none asked for";
}

} // namespace

void show(const files::Path& path, std::ostream& out) {
    const files::InputFile file(path, "file");
    const Launcher launcher = readLauncher(file);
    const Resource& payload = *launcher.payload;
    const files::InputFile carried = file.part(payload.offset, payload.size, "the payload it carries");

    Sha256 sha;
    const std::unique_ptr<char[]> buffer(new char[pieceSize]);
    carried.stream(0, carried.size(), buffer.get(), pieceSize,
                   [&sha](const char* data, std::size_t size) { sha.add(data, size); });
    const bool tree = isTree(carried);
    std::string image = "a tree of files, listed below";
    try {
        if (!tree) {
            const pe::Image headers = pe::Image::read(carried);
            image = machineName(headers.machine) + ", " + subsystemText(headers.subsystem);
        }
    } catch (const Error& e) {
        image = e.what();
    }
    const pe::Directory certificates = launcher.image.directory(pe::securityDirectory);

    out << "launcher        " << files::toUtf8(path) << '\n';
    out << "payload         " << carried.size() << " bytes, SHA-256 " << sha.hex() << '\n';
    out << "payload image   " << image << '\n';
    out << "launcher image  " << subsystemText(launcher.image.subsystem) << ", execution level "
        << executionLevel(launcher.manifest) << '\n';
    if (launcher.record != nullptr && launcher.record->size <= maxTextSize) {
        // As w4wpack recorded it when it wrote the launcher; an editor may have changed the
        // identity since.
        std::string record = launcher.record->read();
        for (std::string::size_type end; (end = record.find('\n')) != std::string::npos; record.erase(0, end + 1)) {
            out << "made with       " << record.substr(0, end) << '\n';
        }
    } else {
        out << "made with       (not recorded)\n";
    }
    out << "signed          "
        << (certificates.size != 0 ? "yes: a certificate table of " + std::to_string(certificates.size) +
                                         " bytes (whether it verifies is for the signing tools to say)"
                                   : std::string("no"))
        << '\n';
    if (tree) {
        showTree(carried, out);
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
