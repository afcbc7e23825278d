#include "Packer.h"

#include "Checksum.h"
#include "Identity.h"
#include "LittleEndian.h"
#include "Manifest.h"
#include "PackError.h"
#include "PeImage.h"
#include "ResourceDirectory.h"
#include "Tree.h"

#include <algorithm>
#include <memory>
#include <optional>

namespace pack {

namespace {

namespace fs = std::filesystem;
using resources::Resource;

// A few MiB: large enough that the system's calls cost nothing, small enough that memory
// stays flat whatever the payload's size.
constexpr std::size_t pieceSize = 2 << 20;
constexpr std::uint16_t manifestId = 1;
// Far more than a manifest is; read whole, so bounded.
constexpr std::uint32_t maxManifestSize = 1 << 20;
constexpr std::uint32_t maxHeadersSize = 64 << 10;
constexpr std::uint32_t initializedData = 0x40;
const char* const defaultLevel = "asInvoker";

bool isType(const Resource& resource, std::uint16_t type) {
    return resource.type == resources::id(type);
}

void removeType(std::vector<Resource>& all, std::uint16_t type) {
    all.erase(std::remove_if(all.begin(), all.end(), [type](const Resource& r) { return isType(r, type); }), all.end());
}

bool powerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

[[noreturn]] void refuseTemplate(const files::InputFile& file, const std::string& why) {
    W4W_REFUSE(file.name() + " is not a launcher template: " + why);
}

[[noreturn]] void refuseTooLarge(const std::string& name, std::uint64_t size, std::uint64_t imageSize) {
    W4W_REFUSE(name + " is too large: " + std::to_string(size) + " bytes make a launcher of " +
               std::to_string(imageSize) + ", more than the " + std::to_string(maxImageSize) +
               " that an image can have");
}

struct Template {
    pe::Image image;
    std::vector<Resource> resources;
    std::size_t resourceSection = 0;
    std::string headers;
    bool isSigned = false;
    std::size_t manifest = 0; // in resources
    std::string manifestText;
    manifest::LevelPlace level;
};

// Which of the template's sections hold its resources; refuses a layout that cannot be
// rewritten by growing that section and moving what follows it.
std::size_t resourceSection(const pe::Image& image, const files::InputFile& file) {
    const pe::Directory rsrc = image.directory(pe::resourceDirectory);
    const pe::Directory relocations = image.directory(pe::baseRelocationDirectory);
    std::size_t index = image.sections.size();
    for (std::size_t i = 0; i < image.sections.size(); ++i) {
        if (image.sections[i].virtualAddress == rsrc.rva && rsrc.size != 0) {
            index = i;
        }
    }
    if (index == image.sections.size()) {
        refuseTemplate(file, "its resources do not begin a section of their own");
    }
    const pe::Section& section = image.sections[index];
    for (std::size_t i = 0; i < index; ++i) {
        const pe::Section& earlier = image.sections[i];
        if (earlier.virtualAddress >= section.virtualAddress ||
            (earlier.rawSize != 0 && earlier.rawOffset + std::uint64_t(earlier.rawSize) > section.rawOffset)) {
            refuseTemplate(file, "its sections are not in the order of their addresses");
        }
    }
    if (relocations.size != 0 && section.holds(relocations.rva)) {
        // They would be overwritten by the new resources.
        refuseTemplate(file, "its base relocations lie in its resource section");
    }
    for (std::size_t i = index + 1; i < image.sections.size(); ++i) {
        // Base relocations name addresses in other sections, never their own: they can move.
        if (relocations.size == 0 || !image.sections[i].holds(relocations.rva) ||
            image.sections[i].virtualAddress < image.sections[i - 1].virtualAddress) {
            refuseTemplate(file, "its section " + image.sections[i].name +
                                     " after the resources cannot be moved: only base relocations can");
        }
    }
    for (std::size_t i = 0; i < image.directories.size(); ++i) {
        const pe::Directory d = image.directories[i];
        if (i != pe::resourceDirectory && i != pe::securityDirectory && i != pe::baseRelocationDirectory &&
            d.size != 0 && std::uint64_t(d.rva) + d.size > section.virtualAddress) {
            refuseTemplate(file, "its data directory " + std::to_string(i) + " lies in or after its resources");
        }
    }
    return index;
}

Template readTemplate(const files::InputFile& file) {
    Template t{pe::Image::read(file), {}, 0, {}, false, 0, {}, {}};
    const pe::Image& image = t.image;
    if (!image.pe32Plus || image.machine != pe::machineAmd64) {
        refuseTemplate(file, "it is not a 64-bit x64 program");
    }
    t.resources = resources::read(image, file);
    const auto count = [&t](std::uint16_t type, const resources::Name& name) {
        return std::count_if(t.resources.begin(), t.resources.end(),
                             [&](const Resource& r) { return isType(r, type) && r.name == name; });
    };
    const resources::Name marker = resources::named(markerName);
    if (count(resources::typeRcdata, marker) == 0) {
        refuseTemplate(file, "it has no resource " + marker.describe() + ", which marks one");
    }
    if (count(resources::typeRcdata, resources::id(payloadId)) != 0) {
        refuseTemplate(file, "it already carries a payload (resource 100)");
    }
    const auto manifests = count(resources::typeManifest, resources::id(manifestId));
    if (manifests != 1) {
        refuseTemplate(file, "it has " + std::to_string(manifests) + " manifests with identifier 1, not one");
    }
    while (!isType(t.resources[t.manifest], resources::typeManifest) ||
           t.resources[t.manifest].name != resources::id(manifestId)) {
        ++t.manifest;
    }
    if (t.resources[t.manifest].size > maxManifestSize) {
        refuseTemplate(file, "its manifest is too large");
    }
    t.manifestText = t.resources[t.manifest].read();
    t.level = manifest::findExecutionLevel(t.manifestText);
    if (!t.level.found) {
        refuseTemplate(file, "its manifest has no requestedExecutionLevel");
    }
    if (image.hasSymbolTable) {
        // Its place in the file is not a section's: nothing would move it.
        refuseTemplate(file, "it has a COFF symbol table; link it stripped");
    }
    if (!powerOfTwo(image.fileAlignment) || !powerOfTwo(image.sectionAlignment)) {
        refuseTemplate(file, "its PE header is corrupt");
    }
    t.resourceSection = resourceSection(image, file);

    std::uint64_t firstBytes = file.size();
    for (const pe::Section& section : image.sections) {
        if (section.rawSize != 0) {
            firstBytes = std::min<std::uint64_t>(firstBytes, section.rawOffset);
        }
    }
    if (image.sizeOfHeaders > maxHeadersSize || image.sizeOfHeaders > firstBytes ||
        image.sizeOfHeaders < image.sectionTableOffset + image.sections.size() * pe::sectionHeaderSize) {
        refuseTemplate(file, "its headers are not where its sections begin");
    }
    t.headers = file.read(0, image.sizeOfHeaders);

    const pe::Directory certificates = image.directory(pe::securityDirectory);
    std::uint64_t end = image.endOfSections();
    if (certificates.size != 0) {
        if (certificates.rva < end || std::uint64_t(certificates.rva) + certificates.size > file.size()) {
            refuseTemplate(file, "its certificate table is not after its sections, within the file");
        }
        t.isSigned = true;
        end = std::uint64_t(certificates.rva) + certificates.size;
    }
    if (end != file.size()) {
        refuseTemplate(file, "it has " + std::to_string(file.size() - end) +
                                 " bytes after its sections that are no certificate table");
    }
    return t;
}

struct Level {
    std::string value;
    std::string origin;
};

// The level that the payload's own manifest asks for: manifest 1's, or else the first
// manifest's, in the first of its languages.
Level payloadLevel(const std::vector<Resource>& all, const files::InputFile& payload) {
    const Resource* chosen = nullptr;
    for (const Resource& resource : all) {
        if (isType(resource, resources::typeManifest) &&
            (chosen == nullptr || (resource.name == resources::id(manifestId) && chosen->name != resource.name))) {
            chosen = &resource;
        }
    }
    if (chosen == nullptr) {
        return {defaultLevel, "the payload has no manifest"};
    }
    if (chosen->size > maxManifestSize) {
        W4W_REFUSE("the manifest of " + payload.name() + " is " + std::to_string(chosen->size) +
                   " bytes, too large to read; give --execution-level");
    }
    const std::string text = manifest::toText(chosen->read());
    const manifest::LevelPlace place = manifest::findExecutionLevel(text);
    if (!place.found) {
        return {defaultLevel, "the payload's manifest asks for none"};
    }
    const std::string asked = text.substr(place.begin, place.length);
    const std::string level = manifest::canonicalLevel(asked);
    if (level.empty()) {
        W4W_REFUSE("the manifest of " + payload.name() + " asks for the unknown execution level '" + asked +
                   "'; give --execution-level");
    }
    return {level, "from the payload's manifest"};
}

// The output, with the checksum of what it has written so far.
class ImageWriter {
public:
    // The buffer is not cleared: every page of it that is touched costs, and only what is
    // read into it is.
    explicit ImageWriter(files::OutputFile& out) : out(out), buffer(new char[pieceSize]) {}

    void bytes(const std::string& data) { put(data.data(), data.size()); }
    void copy(const files::InputFile& from, std::uint64_t offset, std::uint64_t size) {
        from.stream(offset, size, buffer.get(), pieceSize, [this](const char* data, std::size_t n) { put(data, n); });
    }
    void resource(const Resource& resource) {
        if (resource.file != nullptr) {
            copy(*resource.file, resource.offset, resource.size);
        } else {
            bytes(resource.bytes);
        }
    }
    void padTo(std::uint64_t position) {
        static const std::string zeros(4096, '\0');
        while (written < position) {
            put(zeros.data(), static_cast<std::size_t>(std::min<std::uint64_t>(position - written, zeros.size())));
        }
    }
    std::uint32_t checksum() const { return sum.value(); }

private:
    void put(const char* data, std::size_t size) {
        sum.add(data, size);
        out.write(data, size);
        written += size;
    }

    files::OutputFile& out;
    std::unique_ptr<char[]> buffer;
    pe::Checksum sum;
    std::uint64_t written = 0;
};

std::string identityText(const char* what, bool kept, bool payloadHasIt) {
    if (!kept && payloadHasIt) {
        return std::string(what) + " from the payload";
    }
    return std::string(what) + " from the template" + (kept ? "" : " (the payload has none)");
}

// Puts the payload's version record and icon (or the icon file's) in place of the template's
// as the options say; returns what the output shows, for the outcome.
std::string applyIdentity(const Options& options, const std::vector<Resource>& payloadResources,
                          const files::InputFile& payload, const std::optional<files::InputFile>& icon,
                          std::vector<Resource>& all) {
    std::vector<Resource> version;
    std::vector<Resource> icons;
    if (!options.keepTemplateIdentity) {
        std::copy_if(payloadResources.begin(), payloadResources.end(), std::back_inserter(version),
                     [](const Resource& r) { return isType(r, resources::typeVersion); });
        icons = identity::firstIconGroup(payloadResources, payload);
    }
    const std::string shown = identityText("version record", options.keepTemplateIdentity, !version.empty()) + ", " +
                              (icon ? "icon from " + files::toUtf8(icon->path())
                                    : identityText("icon", options.keepTemplateIdentity, !icons.empty()));
    if (icon) {
        icons = identity::iconFile(*icon);
    }
    if (!version.empty()) {
        removeType(all, resources::typeVersion);
        all.insert(all.end(), version.begin(), version.end());
    }
    if (!icons.empty()) {
        removeType(all, resources::typeGroupIcon);
        removeType(all, resources::typeIcon);
        all.insert(all.end(), icons.begin(), icons.end());
    }
    return shown;
}

// The output's section table and headers: the resource section grown to the new directory,
// the sections after it moved by whole alignment units, with their directory entries.
std::string describeProgram(std::uint16_t subsystem) {
    const std::string kind = pe::subsystemKind(subsystem);
    return (kind.empty() ? "neither a windowed nor a console" : "a " + kind) + " program (subsystem " +
           std::to_string(subsystem) + ")";
}

struct Subsystem {
    std::uint16_t value;
    std::string origin;
};

// The launcher's subsystem: by default the payload's, so that a console tool gets the launcher
// that shares its console and a windowed program the one that has none.
Subsystem launcherSubsystem(const Options& options, const pe::Image& payloadImage, const files::InputFile& payload,
                            std::vector<std::string>& warnings) {
    const std::uint16_t own = payloadImage.subsystem;
    if (options.subsystem != 0) {
        if (options.subsystem != own) {
            warnings.push_back(payload.name() + " is " + describeProgram(own) + "; its launcher is made " +
                               subsystemName(options.subsystem) + " all the same, as asked");
        }
        return {options.subsystem, "as given"};
    }
    if (own != pe::subsystemGui && own != pe::subsystemConsole) {
        W4W_REFUSE(payload.name() + " is " + describeProgram(own) +
                   ": give --subsystem console or gui to wrap it all the same");
    }
    return {own, "from the payload"};
}

struct Layout {
    std::vector<pe::Section> sections;
    std::string headers;
};

Layout layOut(const Template& launcher, const resources::Section& laid, const std::vector<Resource>& all,
              std::uint16_t subsystem) {
    const pe::Image& image = launcher.image;
    const std::size_t rsrcIndex = launcher.resourceSection;
    const pe::Section& oldRsrc = image.sections[rsrcIndex];
    Layout layout{image.sections, launcher.headers};
    // Sizes, addresses and offsets in 64 bits, all checked before any is cut to its field.
    std::uint64_t nextAddress = oldRsrc.virtualAddress;
    std::uint64_t nextOffset = oldRsrc.rawOffset;
    for (std::size_t i = rsrcIndex; i < layout.sections.size(); ++i) {
        const pe::Section& s = layout.sections[i];
        const std::uint64_t virtualSize = i == rsrcIndex ? laid.size : s.virtualSize;
        const std::uint64_t rawSize = pe::alignUp(i == rsrcIndex ? laid.size : s.rawSize, image.fileAlignment);
        const std::uint64_t address = nextAddress;
        const std::uint64_t offset = rawSize != 0 ? nextOffset : 0;
        nextAddress = pe::alignUp(nextAddress + std::max(virtualSize, rawSize), image.sectionAlignment);
        nextOffset += rawSize;
        if (nextAddress > maxImageSize || nextOffset > maxImageSize) {
            resources::refuseTooLarge(all, std::max(nextAddress, nextOffset), maxImageSize);
        }
        layout.sections[i].virtualSize = static_cast<std::uint32_t>(virtualSize);
        layout.sections[i].rawSize = static_cast<std::uint32_t>(rawSize);
        layout.sections[i].virtualAddress = static_cast<std::uint32_t>(address);
        layout.sections[i].rawOffset = static_cast<std::uint32_t>(offset);
    }

    std::string& headers = layout.headers;
    for (std::size_t i = rsrcIndex; i < layout.sections.size(); ++i) {
        const std::size_t at = image.sectionTableOffset + i * pe::sectionHeaderSize;
        le::put32(headers, at + pe::sectionField::virtualSize, layout.sections[i].virtualSize);
        le::put32(headers, at + pe::sectionField::virtualAddress, layout.sections[i].virtualAddress);
        le::put32(headers, at + pe::sectionField::rawSize, layout.sections[i].rawSize);
        le::put32(headers, at + pe::sectionField::rawOffset, layout.sections[i].rawOffset);
    }
    const std::size_t optional = image.optionalHeaderOffset;
    if ((oldRsrc.characteristics & initializedData) != 0) {
        const std::uint32_t grown = layout.sections[rsrcIndex].rawSize - oldRsrc.rawSize;
        le::put32(headers, optional + pe::field::sizeOfInitializedData,
                  le::get32(headers, optional + pe::field::sizeOfInitializedData) + grown);
    }
    le::put32(headers, optional + pe::field::sizeOfImage, static_cast<std::uint32_t>(nextAddress));
    le::put32(headers, optional + pe::field::checkSum, 0);
    le::put16(headers, optional + pe::field::subsystem, subsystem);
    const auto setDirectory = [&](std::size_t index, std::uint32_t rva, std::uint32_t size) {
        if (index < image.directories.size()) {
            le::put32(headers, image.directoryTableOffset + 8 * index, rva);
            le::put32(headers, image.directoryTableOffset + 8 * index + 4, size);
        }
    };
    setDirectory(pe::resourceDirectory, oldRsrc.virtualAddress, static_cast<std::uint32_t>(laid.size));
    const pe::Directory relocations = image.directory(pe::baseRelocationDirectory);
    for (std::size_t i = rsrcIndex + 1; i < layout.sections.size(); ++i) {
        if (image.sections[i].holds(relocations.rva)) {
            setDirectory(pe::baseRelocationDirectory,
                         relocations.rva - image.sections[i].virtualAddress + layout.sections[i].virtualAddress,
                         relocations.size);
        }
    }
    if (launcher.isSigned) {
        setDirectory(pe::securityDirectory, 0, 0);
    }
    return layout;
}

// Streams the image into out: the template up to its resources, the new resource section,
// the moved sections; then the checksum of all of it into the headers.
void writeImage(files::OutputFile& out, const Template& launcher, const files::InputFile& templateFile,
                const Layout& layout, const resources::Section& laid, const std::vector<Resource>& all) {
    const pe::Image& image = launcher.image;
    const std::size_t rsrcIndex = launcher.resourceSection;
    const std::uint64_t rsrcOffset = image.sections[rsrcIndex].rawOffset;
    ImageWriter writer(out);
    writer.bytes(layout.headers);
    writer.copy(templateFile, image.sizeOfHeaders, rsrcOffset - image.sizeOfHeaders);
    writer.bytes(laid.directory);
    for (std::size_t i = 0; i < all.size(); ++i) {
        writer.padTo(rsrcOffset + laid.offsets[i]);
        writer.resource(all[i]);
    }
    for (std::size_t i = rsrcIndex; i < layout.sections.size(); ++i) {
        if (i != rsrcIndex) {
            writer.copy(templateFile, image.sections[i].rawOffset, image.sections[i].rawSize);
        }
        writer.padTo(std::uint64_t(layout.sections[i].rawOffset) + layout.sections[i].rawSize);
    }
    std::string checksum(4, '\0');
    le::put32(checksum, 0, writer.checksum());
    out.overwrite(image.optionalHeaderOffset + pe::field::checkSum, checksum);
}

} // namespace

void checkOutput(const fs::path& output, std::initializer_list<const files::InputFile*> inputs) {
    const std::string name = "the output " + files::toUtf8(output);
    std::error_code error;
    if (!fs::is_directory(output.parent_path(), error)) {
        W4W_REFUSE("the output's directory " + files::toUtf8(output.parent_path()) + " does not exist");
    }
    const fs::file_status status = fs::status(output, error);
    if (fs::is_directory(status)) {
        W4W_REFUSE(name + " is a directory");
    }
    if (!fs::exists(status)) {
        return;
    }
    for (const files::InputFile* input : inputs) {
        if (input != nullptr && fs::equivalent(output, input->path(), error) && !error) {
            W4W_REFUSE(name + " is the same file as " + input->name());
        }
    }
    // Windows refuses to replace it, Linux does not: refuse it everywhere.
    const fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if ((status.permissions() & writable) == fs::perms::none) {
        W4W_REFUSE(name + " is read-only");
    }
}

std::string subsystemName(std::uint16_t subsystem) {
    return subsystem == pe::subsystemConsole ? "console" : "gui";
}

Outcome pack(const Options& options) {
    Outcome outcome;
    outcome.output = fs::absolute(options.outputPath);
    std::error_code error;
    Tree tree;
    if (fs::is_directory(options.payloadPath, error)) {
        tree = bundleDirectory(options.payloadPath, options.entry, options.compress);
    } else if (!options.entry.empty() || options.compress) {
        W4W_REFUSE("--entry and --compress are for a directory, and " + files::toUtf8(options.payloadPath) +
                   " is none");
    }
    // A tree's program gives the launcher its identity, as a single payload does.
    const files::InputFile payload(tree.files != 0 ? tree.entry : options.payloadPath,
                                   tree.files != 0 ? "entry" : "payload");
    const std::uint64_t carriedSize = tree.files != 0 ? tree.bytes.size() : payload.size();
    const pe::Image payloadImage = pe::Image::read(payload);
    const files::InputFile templateFile(options.templatePath, "template");
    Template launcher = readTemplate(templateFile);
    std::optional<files::InputFile> icon;
    if (!options.iconPath.empty()) {
        icon.emplace(options.iconPath, "icon");
    }
    checkOutput(outcome.output, {&payload, &templateFile, icon ? &*icon : nullptr});
    if (carriedSize > maxImageSize) {
        refuseTooLarge(tree.files != 0 ? "the tree of " + files::toUtf8(options.payloadPath) : payload.name(),
                       carriedSize, carriedSize + templateFile.size());
    }

    const bool readPayload = options.level.empty() || !options.keepTemplateIdentity;
    const std::vector<Resource> payloadResources =
        readPayload ? resources::read(payloadImage, payload) : std::vector<Resource>();
    const Level level =
        options.level.empty() ? payloadLevel(payloadResources, payload) : Level{options.level, "as given"};
    const Subsystem subsystem = launcherSubsystem(options, payloadImage, payload, outcome.warnings);

    std::vector<Resource>& all = launcher.resources;
    std::string manifestText = launcher.manifestText;
    manifestText.replace(launcher.level.begin, launcher.level.length, level.value);
    Resource& manifest = all[launcher.manifest];
    const std::uint32_t codePage = manifest.codePage;
    manifest = Resource::held(manifest.type, manifest.name, manifest.language, manifestText);
    manifest.codePage = codePage;
    outcome.identity = applyIdentity(options, payloadResources, payload, icon, all);
    Resource carried;
    carried.type = resources::id(resources::typeRcdata);
    carried.name = resources::id(payloadId);
    if (tree.files != 0) {
        carried.bytes = std::move(tree.bytes);
    } else {
        carried.file = &payload;
    }
    carried.size = static_cast<std::uint32_t>(carriedSize);
    all.push_back(carried);
    // How the choices were made, for --show: they cannot be told from the output alone.
    const resources::Name record = resources::named(recordName);
    all.erase(std::remove_if(all.begin(), all.end(),
                             [&](const Resource& r) { return isType(r, resources::typeRcdata) && r.name == record; }),
              all.end());
    all.push_back(Resource::held(resources::id(resources::typeRcdata), record, 0,
                                 "execution level " + level.value + ", " + level.origin + "\nsubsystem " +
                                     subsystemName(subsystem.value) + ", " + subsystem.origin + "\n" +
                                     outcome.identity + "\n"));

    const resources::Section laid =
        resources::lay(all, launcher.image.sections[launcher.resourceSection].virtualAddress, maxImageSize);
    const Layout layout = layOut(launcher, laid, all, subsystem.value);
    if (launcher.isSigned) {
        outcome.warnings.push_back("the template was signed; a signature does not survive the change, so it was "
                                   "dropped: sign the output");
    }
    files::OutputFile out(outcome.output);
    writeImage(out, launcher, templateFile, layout, laid, all);
    out.commit();

    outcome.payloadSize = carriedSize;
    outcome.treeFiles = tree.files;
    outcome.level = level.value;
    outcome.levelOrigin = level.origin;
    outcome.subsystem = subsystem.value;
    outcome.subsystemOrigin = subsystem.origin;
    return outcome;
}

} // namespace pack
