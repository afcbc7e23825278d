#include "Command.h"

#include "Inspect.h"
#include "Manifest.h"
#include "PackError.h"
#include "Packer.h"
#include "PeImage.h"

#include <string>
#include <vector>

namespace pack {

namespace {

const char* const usage =
    "usage: w4wpack [OPTION...] TEMPLATE PAYLOAD OUTPUT\n"
    "       w4wpack [--entry RELATIVE\\PATH.exe] [--compress] [OPTION...] TEMPLATE DIRECTORY OUTPUT\n"
    "       w4wpack --show [--json] LAUNCHER\n"
    "       w4wpack --extract LAUNCHER OUTPUT\n"
    "  Writes OUTPUT: a copy of the launcher TEMPLATE that carries the executable PAYLOAD.\n"
    "  --show prints what a launcher that w4wpack wrote carries, with --json as one JSON object;\n"
    "  --extract writes its payload to OUTPUT, byte for byte.\n"
    "  --execution-level LEVEL     asInvoker, highestAvailable or requireAdministrator, for OUTPUT's\n"
    "                              manifest; by default the one PAYLOAD's own manifest asks for, or asInvoker\n"
    "  --subsystem console|gui     OUTPUT's subsystem: a console launcher shares its console, standard handles and\n"
    "                              working directory with PAYLOAD; by default PAYLOAD's own subsystem\n"
    "  --icon FILE.ico             OUTPUT's icon; by default PAYLOAD's first icon group, if it has one\n"
    "  --keep-template-identity    keep the template's version record and icon; by default PAYLOAD's\n"
    "                              replace them, where it has them\n"
    "  With a DIRECTORY, OUTPUT carries every regular file under it, and starts the entry, which\n"
    "  stands for PAYLOAD above; --extract then writes the tree into the new directory OUTPUT.\n"
    "  --entry RELATIVE\\PATH.exe    the program to start; by default the only .exe at DIRECTORY's top level\n"
    "  --compress                  store the files deflated, in independent chunks\n";

struct Command {
    enum class Mode { Pack, Show, Extract };
    Mode mode = Mode::Pack;
    bool help = false;
    bool json = false;
    bool packOptions = false;
    Options options;
    std::vector<files::Path> paths;
};

// Whether argv[i] is the option name, given as "--name VALUE" or "--name=VALUE"; its value
// goes to value.
bool optionValue(const std::string& name, int argc, const char* const* argv, int& i, std::string& value) {
    const std::string arg = argv[i];
    if (arg.compare(0, name.size() + 1, name + "=") == 0) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    if (arg != name) {
        return false;
    }
    if (i + 1 == argc) {
        W4W_REFUSE(name + " needs a value");
    }
    value = argv[++i];
    return true;
}

Command parse(int argc, const char* const* argv) {
    Command command;
    std::vector<std::string> paths;
    bool onlyPaths = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        if (onlyPaths || arg.empty() || arg[0] != '-' || arg == "-") {
            paths.push_back(arg);
        } else if (arg == "--") {
            onlyPaths = true;
        } else if (arg == "-h" || arg == "--help") {
            command.help = true;
        } else if (arg == "--show" || arg == "--extract") {
            if (command.mode != Command::Mode::Pack) {
                W4W_REFUSE("--show and --extract go alone");
            }
            command.mode = arg == "--show" ? Command::Mode::Show : Command::Mode::Extract;
        } else if (arg == "--json") {
            command.json = true;
        } else if (arg == "--keep-template-identity") {
            command.options.keepTemplateIdentity = true;
            command.packOptions = true;
        } else if (arg == "--compress") {
            command.options.compress = true;
            command.packOptions = true;
        } else if (optionValue("--entry", argc, argv, i, value)) {
            if (value.empty()) {
                W4W_REFUSE("--entry needs a file");
            }
            command.packOptions = true;
            command.options.entry = value;
        } else if (optionValue("--execution-level", argc, argv, i, value)) {
            command.packOptions = true;
            command.options.level = manifest::canonicalLevel(value);
            if (command.options.level.empty()) {
                W4W_REFUSE("unknown execution level '" + value +
                           "': use asInvoker, highestAvailable or requireAdministrator");
            }
        } else if (optionValue("--subsystem", argc, argv, i, value)) {
            command.packOptions = true;
            if (value == "console") {
                command.options.subsystem = pe::subsystemConsole;
            } else if (value == "gui") {
                command.options.subsystem = pe::subsystemGui;
            } else {
                W4W_REFUSE("unknown subsystem '" + value + "': use console or gui");
            }
        } else if (optionValue("--icon", argc, argv, i, value)) {
            if (value.empty()) {
                W4W_REFUSE("--icon needs a file");
            }
            command.packOptions = true;
            command.options.iconPath = files::fromUtf8(value);
        } else {
            W4W_REFUSE("unknown option " + arg);
        }
    }
    if (command.help) {
        return command;
    }
    const struct {
        std::size_t count;
        const char* names;
    } expected[] = {{3, "TEMPLATE, PAYLOAD and OUTPUT"}, {1, "LAUNCHER"}, {2, "LAUNCHER and OUTPUT"}};
    const auto& wanted = expected[static_cast<int>(command.mode)];
    if (command.mode != Command::Mode::Pack && command.packOptions) {
        W4W_REFUSE("--show and --extract take no other options");
    }
    if (command.json && command.mode != Command::Mode::Show) {
        W4W_REFUSE("--json goes with --show only");
    }
    if (paths.size() != wanted.count) {
        W4W_REFUSE(std::string("expected ") + wanted.names + ", got " + std::to_string(paths.size()) + " paths");
    }
    for (const std::string& path : paths) {
        if (path.empty()) {
            W4W_REFUSE("a path is empty");
        }
        command.paths.push_back(files::fromUtf8(path));
    }
    if (command.mode == Command::Mode::Pack) {
        command.options.templatePath = command.paths[0];
        command.options.payloadPath = command.paths[1];
        command.options.outputPath = command.paths[2];
    }
    return command;
}

} // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    Command command;
    try {
        command = parse(argc, argv);
    } catch (const Error& e) {
        err << "w4wpack: " << e.what() << '\n' << usage;
        return 2;
    }
    if (command.help) {
        out << usage;
        return 0;
    }
    try {
        if (command.mode == Command::Mode::Show) {
            show(command.paths[0], out, command.json ? ShowFormat::Json : ShowFormat::Text);
            return 0;
        }
        if (command.mode == Command::Mode::Extract) {
            extract(command.paths[0], command.paths[1]);
            out << "w4wpack: wrote " << files::toUtf8(std::filesystem::absolute(command.paths[1])) << '\n';
            return 0;
        }
        const Outcome outcome = pack(command.options);
        for (const std::string& warning : outcome.warnings) {
            err << "w4wpack: warning: " << warning << '\n';
        }
        out << "w4wpack: wrote " << files::toUtf8(outcome.output) << " (payload " << outcome.payloadSize << " bytes"
            << (outcome.treeFiles != 0 ? ", a tree of " + std::to_string(outcome.treeFiles) + " files" : "")
            << ", execution level " << outcome.level << ", " << outcome.levelOrigin << "; subsystem "
            << subsystemName(outcome.subsystem) << ", " << outcome.subsystemOrigin << "; " << outcome.identity << ")\n";
        return 0;
    } catch (const Error& e) {
        err << "w4wpack: " << e.what();
        if (e.kind() == Error::Kind::Failed) {
            err << " (" << e.where().file << ":" << e.where().line << ", " << e.where().function << ")";
        }
        err << '\n';
    } catch (const std::exception& e) {
        err << "w4wpack: " << e.what() << '\n';
    }
    return 1;
}

} // namespace pack
