// w4wdemo LAUNCHER WORKDIR
// Runs LAUNCHER, a launcher that carries the probe payload, once with WORKDIR\temp as its
// temporary directory, and shows what the payload saw, the exit code that came back, the records
// the run appended to vextrel.log, and what was left behind.
#include "FileUtils.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char* const arguments = "\"hello world\" \"say \\\"hi\\\"\" plain";
const DWORD payloadExitCode = 42;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The probe's report: key=length:value lines.
std::vector<std::pair<std::string, std::string>> readReport(const std::string& path) {
    const std::string text = readFile(path);
    std::vector<std::pair<std::string, std::string>> entries;
    std::string::size_type at = 0;
    while (at < text.size()) {
        const auto equals = text.find('=', at);
        const auto colon = text.find(':', equals);
        if (equals == std::string::npos || colon == std::string::npos) {
            break;
        }
        const auto size = std::stoul(text.substr(equals + 1, colon - equals - 1));
        entries.emplace_back(text.substr(at, equals - at), text.substr(colon + 1, size));
        at = colon + 1 + size + 1;
    }
    return entries;
}

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> paths;
    FileUtils::DirectoryIterator(false, true, true, dir).findItems(paths);
    std::vector<std::string> names;
    for (const std::string& path : paths) {
        names.push_back(FileUtils::basename(path));
    }
    return names;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: w4wdemo LAUNCHER WORKDIR\n");
        return 2;
    }
    const std::string launcher = argv[1];
    const std::string work = argv[2];
    const std::string temp = FileUtils::combinePath(work, "temp");
    const std::string report = FileUtils::combinePath(work, "report.txt");
    CreateDirectoryA(work.c_str(), nullptr);
    CreateDirectoryA(temp.c_str(), nullptr);
    SetEnvironmentVariableA("TMP", temp.c_str());
    SetEnvironmentVariableA("TEMP", temp.c_str());
    SetEnvironmentVariableA("W4W_PROBE_OUT", report.c_str());
    SetEnvironmentVariableA("W4W_PROBE_EXIT", std::to_string(payloadExitCode).c_str());

    std::printf("Running   %s %s\n", FileUtils::basename(launcher).c_str(), arguments);
    std::printf("TEMP      %s\n\n", temp.c_str());
    std::string commandLine = "\"" + launcher + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(launcher.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "w4wdemo: cannot start %s (error %lu)\n", launcher.c_str(), GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    std::printf("The payload saw\n");
    for (const auto& entry : readReport(report)) {
        if (entry.first == "module") {
            std::printf("  its own path       %s\n", entry.second.c_str());
        } else if (entry.first == "cwd") {
            std::printf("  working directory  %s\n", entry.second.c_str());
        } else if (entry.first == "arg") {
            std::printf("  argument           [%s]\n", entry.second.c_str());
        }
    }
    std::printf("\nExit code  %lu (the payload ended with %lu)\n\n", exitCode, payloadExitCode);

    std::printf("vextrel.log\n");
    const std::string log = readFile(FileUtils::combinePath(temp, "vextrel.log"));
    std::string::size_type at = 0;
    while (at < log.size()) {
        const auto end = log.find('\n', at);
        const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        // The second line of each record: a TAB, the level and the message.
        if (!line.empty() && line[0] == '\t') {
            std::printf("  %s\n", line.substr(1, line.find_last_not_of('\r')).c_str());
        }
        at = end == std::string::npos ? log.size() : end + 1;
    }

    const std::vector<std::string> left = entriesOf(temp);
    std::printf("\nLeft in TEMP  %s\n", left.size() == 1 && left[0] == "vextrel.log"
                                            ? "vextrel.log only: the extraction directory is gone"
                                            : "");
    for (const std::string& name : left) {
        if (name != "vextrel.log") {
            std::printf("  %s\n", name.c_str());
        }
    }
    std::printf("\nThe full log: %s\n", FileUtils::combinePath(temp, "vextrel.log").c_str());
    return exitCode == payloadExitCode ? 0 : 1;
}
