// ./w4w stress: the slow cases. Many launchers at once on one temporary directory, and many
// runs with objects planted into the extraction directory. Each case prints what it did and
// what it found, counts included; the last line sums up.
#include "FileUtils.h"
#include "Scenarios.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

using testsupport::LogRecord;
using testsupport::programPath;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

// The records that every run writes once, by what they say about its directory D.
enum RecordKind { Checked, Started, Ended, PayloadDeleted, DirectoryDeleted, kindCount };
const char* const kindNames[kindCount] = {"Checked [D]", "Started [D\\setup.exe] process",
                                          "Ended [D\\setup.exe] process", "Deleted [D\\setup.exe] file",
                                          "Deleted [D] directory"};

// The kind of a launcher's record and the directory it names, or false for anything else.
bool classify(const std::string& message, RecordKind& kind, std::string& dir) {
    static const std::regex patterns[kindCount] = {
        std::regex(R"(Checked \[(.*)\]: it holds \[.*\\setup\.exe\] alone)"),
        std::regex(R"(Started \[(.*)\\setup\.exe\] process \d+)"),
        std::regex(R"(Ended \[(.*)\\setup\.exe\] process \d+ with exit code \d+)"),
        std::regex(R"(Deleted \[(.*)\\setup\.exe\] file)"),
        std::regex(R"(Deleted \[(.*)\] directory)"),
    };
    static const RecordKind order[] = {Checked, Started, Ended, PayloadDeleted, DirectoryDeleted};
    for (const RecordKind k : order) {
        std::smatch m;
        if (std::regex_match(message, m, patterns[k])) {
            kind = k;
            dir = m[1];
            return true;
        }
    }
    return false;
}

} // namespace

TEST(Stress, LaunchersAtOnceShareOneTemporaryDirectory) {
    const int launchers = 16;
    const int rounds = 10;
    TempDir bin;
    TempDir temp;
    const std::string launcher = bin.file("setup.exe");
    testsupport::wrap(programPath("probe.exe"), launcher);
    // The command line's tail and what the payload must receive from it.
    const std::string tail = R"("say \"hi\"" "C:\dir with space\\" plain)";
    const std::vector<std::string> fixedArgs = {"say \"hi\"", "C:\\dir with space\\", "plain"};

    // Each launcher's process id -> the extraction directories it used (ids are reused).
    std::map<DWORD, std::set<std::string>> dirsOf;
    std::set<std::string> probeMessages;
    int runs = 0;
    const DWORD begin = GetTickCount();
    for (int round = 0; round < rounds; ++round) {
        const DWORD roundBegin = GetTickCount();
        std::vector<std::unique_ptr<testsupport::Process>> processes;
        for (int i = 0; i < launchers; ++i) {
            const std::string id = std::to_string(round) + "-" + std::to_string(i);
            const ScopedEnv out("W4W_PROBE_OUT", bin.file("report-" + id));
            const ScopedEnv exit("W4W_PROBE_EXIT", std::to_string(0x5A000000u | (round << 8) | i));
            const ScopedEnv message("W4W_PROBE_LOG", "payload " + id);
            probeMessages.insert("payload " + id);
            processes.push_back(std::make_unique<testsupport::Process>(
                scenarios::wide(launcher), scenarios::wide("\"" + launcher + "\" \"launcher " + id + "\" " + tail),
                true));
        }
        // Resumed together, they read the same tick count and race for the same names and the log.
        for (auto& p : processes) {
            p->resume();
        }
        std::set<std::string> dirs;
        for (int i = 0; i < launchers; ++i) {
            const std::string id = std::to_string(round) + "-" + std::to_string(i);
            EXPECT_EQ(0x5A000000u | (round << 8) | i, processes[i]->wait()) << id;
            const testsupport::ProbeReport report = testsupport::readProbeReport(bin.file("report-" + id));
            std::vector<std::string> args = {"launcher " + id};
            args.insert(args.end(), fixedArgs.begin(), fixedArgs.end());
            EXPECT_EQ(args, report.args) << id;
            const std::string dir = FileUtils::dirname(report.module);
            EXPECT_EQ(temp.path(), FileUtils::dirname(dir)) << id;
            dirs.insert(dir);
            dirsOf[GetProcessId(processes[i]->handle())].insert(dir);
            ++runs;
        }
        EXPECT_EQ(static_cast<std::size_t>(launchers), dirs.size()) << "round " << round;
        EXPECT_EQ(std::vector<std::string>(), testsupport::leftovers(temp.path())) << "round " << round;
        std::cout << "round " << round << ": " << launchers << " launchers in " << GetTickCount() - roundBegin
                  << " ms, " << dirs.size()
                  << " distinct directories, left behind: " << testsupport::leftovers(temp.path()).size() << "\n";
    }
    const DWORD took = GetTickCount() - begin;

    // Every record is whole, and each launcher writes each of its own records at most once. A
    // record is dropped when the log stays held through all ten attempts: drops are counted.
    const std::vector<LogRecord> records = testsupport::readLog(temp.file("vextrel.log"));
    const std::regex pidField(R"(\(PID: (\d+), TID: \d+\))");
    std::map<std::pair<DWORD, std::string>, int> own[kindCount];
    int probeRecords = 0;
    int unexpected = 0;
    for (const LogRecord& r : records) {
        EXPECT_EQ("TRACE", r.level) << r.message;
        EXPECT_EQ("setup.exe", r.processName);
        std::smatch m;
        const DWORD pid = std::regex_search(r.header, m, pidField) ? std::stoul(m[1]) : 0;
        RecordKind kind = kindCount;
        std::string dir;
        if (probeMessages.count(r.message) != 0) {
            ++probeRecords;
        } else if (dirsOf.count(pid) == 0 || !classify(r.message, kind, dir)) {
            ++unexpected;
            ADD_FAILURE() << "unexpected record: " << r.message;
        } else if (dirsOf[pid].count(dir) != 0) {
            EXPECT_EQ(1, ++own[kind][std::make_pair(pid, dir)]) << kindNames[kind] << " twice for " << dir;
        } else {
            ++unexpected;
            ADD_FAILURE() << "record about another launcher's directory: " << r.message;
        }
    }
    EXPECT_LE(probeRecords, runs);
    int written = probeRecords;
    std::cout << "log records by kind, written of expected:\n";
    for (int k = 0; k < kindCount; ++k) {
        written += static_cast<int>(own[k].size());
        std::cout << "  " << kindNames[k] << ": " << own[k].size() << " of " << runs << "\n";
    }
    std::cout << "  the payload's own record: " << probeRecords << " of " << runs << "\n";
    // A name taken by another launcher first costs no record: the directory is created or not.
    const int expected = (kindCount + 1) * runs;
    std::cout << launchers << " launchers x " << rounds << " rounds = " << runs << " runs in " << took
              << " ms; log: " << written << " records written of " << expected << " expected, at least "
              << expected - written << " dropped";
    if (unexpected != 0) {
        std::cout << ", " << unexpected << " unexpected";
    }
    std::cout << "\n";
}

TEST(Stress, ObjectsPlantedWhileThePayloadIsWritten) {
    const int rounds = 10;
    TempDir bin;
    TempDir temp;
    const scenarios::OutsideTree outside(bin.file("outside"));
    // With the bare probe the object often comes after the check, so both outcomes are seen.
    const struct {
        const char* what;
        std::size_t extra;
    } payloads[] = {{"a 64 MiB payload", 64 << 20}, {"the bare probe", 0}};
    for (const auto& p : payloads) {
        const std::string payload = bin.file("payload.exe");
        scenarios::writeLargeProbe(payload, p.extra);
        const std::string launcher = bin.file("setup.exe");
        testsupport::wrap(payload, launcher);
        for (const scenarios::Plant kind :
             {scenarios::Plant::File, scenarios::Plant::EmptyDirectory, scenarios::Plant::DirectoryLink}) {
            int refused = 0;
            int late = 0;
            int notPlanted = 0;
            const DWORD begin = GetTickCount();
            for (int round = 0; round < rounds; ++round) {
                SCOPED_TRACE(std::string(scenarios::nameOf(kind)) + ", " + p.what + ", round " + std::to_string(round));
                const scenarios::HostileResult result =
                    scenarios::runHostile(kind, launcher, temp, outside, bin.file("report"));
                ++(result.refused ? refused : result.planted ? late : notPlanted);
            }
            // A run that went on is right only for an object that came late; a tamper check that
            // never refuses would pass every single run, but not this.
            if (p.extra != 0) {
                EXPECT_GT(refused, 0) << scenarios::nameOf(kind) << ": never refused while a large payload was written";
            }
            std::cout << rounds << " runs of " << p.what << " with " << scenarios::nameOf(kind) << " planted, in "
                      << GetTickCount() - begin << " ms: " << refused << " refused, " << late
                      << " came too late and ran, " << notPlanted
                      << " not planted and ran; outside tree intact: " << (outside.missing().empty() ? "yes" : "no")
                      << "\n";
        }
    }
    if (scenarios::underWine()) {
        std::cout << "under Wine every planted link stayed, with the directory holding it: Win32 cannot remove it\n";
    }
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    std::cout << "stress: " << unit.successful_test_count() << " passed, " << unit.failed_test_count() << " failed\n";
    return result;
}
