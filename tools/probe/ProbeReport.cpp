#include "ProbeReport.h"

#include <stdexcept>

std::string probeReportLine(const char* key, const std::string& value) {
    return std::string(key) + '=' + std::to_string(value.size()) + ':' + value + '\n';
}

ProbeReport parseProbeReport(const std::string& text) {
    ProbeReport report;
    std::string::size_type at = 0;
    while (at < text.size()) {
        const std::string::size_type equals = text.find('=', at);
        const std::string::size_type colon = text.find(':', equals);
        if (equals == std::string::npos || colon == std::string::npos) {
            throw std::runtime_error("malformed probe report");
        }
        const std::string key = text.substr(at, equals - at);
        const std::string::size_type size = std::stoul(text.substr(equals + 1, colon - equals - 1));
        const std::string value = text.substr(colon + 1, size);
        at = colon + 1 + size + 1;
        if (key == "module") {
            report.module = value;
        } else if (key == "cwd") {
            report.cwd = value;
        } else if (key == "pid") {
            report.pid = std::stoul(value);
        } else if (key == "argc") {
            report.argc = std::stoi(value);
        } else if (key == "arg") {
            report.args.push_back(value);
        } else if (key == "std") {
            report.standardHandles.push_back(value);
        }
    }
    return report;
}
