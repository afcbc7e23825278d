// w4wdemo LAUNCHER WORKDIR
// Runs LAUNCHER, a launcher that carries the probe payload, once with WORKDIR\temp as its
// temporary directory, and shows what the payload saw, the exit code that came back, the records
// the run appended to vextrel.log, and what was left behind.
#include "FileUtils.h"
#include "ProbeReport.h"
#include "WinAutoHandle.h"

#include <windows.h>

#include <algorithm>
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
    const AutoProcess child(process);
    WaitForSingleObject(child.process(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(child.process(), &exitCode);

    std::printf("The payload saw\n");
    try {
        const ProbeReport seen = parseProbeReport(readFile(report));
        std::printf("  its own path       %s\n", seen.module.c_str());
        std::printf("  working directory  %s\n", seen.cwd.c_str());
        for (const std::string& arg : seen.args) {
            std::printf("  argument           [%s]\n", arg.c_str());
        }
    } catch (const std::exception& e) {
        std::printf("  nothing readable: %s\n", e.what());
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

    std::vector<std::string> left;
    FileUtils::DirectoryIterator(false, true, true, temp).findItems(left);
    left.erase(std::remove(left.begin(), left.end(), FileUtils::combinePath(temp, "vextrel.log")), left.end());
    std::printf("\nLeft in TEMP  %s\n", left.empty() ? "vextrel.log only: the extraction directory is gone" : "");
    for (const std::string& path : left) {
        std::printf("  %s\n", FileUtils::basename(path).c_str());
    }
    std::printf("\nThe full log: %s\n", FileUtils::combinePath(temp, "vextrel.log").c_str());
    return exitCode == payloadExitCode ? 0 : 1;
}
