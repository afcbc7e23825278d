#pragma once

#include <string>
#include <vector>

// What the probe payload writes about its start (W4W_PROBE_OUT): "key=" lines, each value as
// its length, a colon and its bytes, so that any text survives.
struct ProbeReport {
    std::string module;
    std::string cwd;
    unsigned long pid = 0;
    int argc = 0;
    std::vector<std::string> args; // after the program name
    // What its standard input, output and error are: none, char (a console or NUL), pipe,
    // disk or other.
    std::vector<std::string> standardHandles;
};

std::string probeReportLine(const char* key, const std::string& value);
// Raises std::runtime_error for text that is not such a report.
ProbeReport parseProbeReport(const std::string& text);
