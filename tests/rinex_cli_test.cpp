// SPDX-License-Identifier: BSD-2-Clause
// `kestrel rinex` run as a user runs it: the RINEX file names, the summary, standard input,
// both forms of the window, the exit statuses of bad options and failed writes, logs
// without weeks, and Ctrl-C in the middle of a log.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "rinex/rinex_obs.h"
#include "support/cli_process.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::CliRun;
using test::ReadFileText;

constexpr const char* kStationLog = "navcom/gsi-0759-2005-092.nav";
constexpr const char* kShortCapture = "navcom/gpsd-navcom.log";
constexpr const char* kLongCapture = "navcom/gpsd-navcom-long-2012.log";

class RinexCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
        // Files stamped with one creation time, so that two runs can give the same bytes.
        setenv("SOURCE_DATE_EPOCH", "1767323045", 1);
    }
    CliRun Run(const std::vector<std::string>& args, const std::string& in = "") {
        return test::RunCli(dir.path(), args, in);
    }
    test::ScratchDir dir;
};

std::string Body(const std::string& text) { return text.substr(text.find("END OF HEADER")); }

rinex::ObsFile ReadObs(const std::string& path) {
    rinex::ObsFile file;
    std::string error;
    EXPECT_TRUE(rinex::ReadObsFile(path, file, error)) << error;
    return file;
}

TEST_F(RinexCli, ConvertsEachLogInBothVersionsUnderTheRinexNames) {
    struct Case {
        const char* log;
        const char* version;
        const char* obs;
        const char* nav;
        const char* counts;  // the summary up to "written"
    };
    const Case cases[] = {
        {kStationLog, "3.04", "GSI000XXX_R_20050920000_01H_30S_GO.rnx", "GSI000XXX_R_20050920000_01H_GN.rnx",
         "120 epochs, 11 satellites, 11 L1 and 6 L2 slips, 23 ephemerides"},
        {kStationLog, "2.11", "gsi0092a.05o", "gsi0092a.05n",
         "120 epochs, 11 satellites, 11 L1 and 6 L2 slips, 23 ephemerides"},
        {kShortCapture, "3.04", "GPSD00XXX_R_20070151020_15M_01S_GO.rnx", "GPSD00XXX_R_20070151020_15M_GN.rnx",
         "7 epochs, 10 satellites, 0 L1 and 0 L2 slips, 13 ephemerides"},
        {kShortCapture, "2.11", "gpsd015k.07o", "gpsd015k.07n",
         "7 epochs, 10 satellites, 0 L1 and 0 L2 slips, 13 ephemerides"},
        {kLongCapture, "3.04", "GPSD00XXX_R_20070151020_15M_01S_GO.rnx", "GPSD00XXX_R_20070151020_15M_GN.rnx",
         "23 epochs, 10 satellites, 0 L1 and 2 L2 slips, 13 ephemerides"},
        {kLongCapture, "2.11", "gpsd015k.07o", "gpsd015k.07n",
         "23 epochs, 10 satellites, 0 L1 and 2 L2 slips, 13 ephemerides"},
    };
    const CliRun version = Run({"--version"});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.log) + " " + c.version);
        const std::string out = dir.file(std::string("v") + c.version + "-" + std::filesystem::path(c.log).stem().string());
        const CliRun run = Run({"rinex", test::DataPath(c.log), "-v", c.version, "-d", out, "-q"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::string obs = out + "/" + c.obs;
        const std::string nav = out + "/" + c.nav;
        EXPECT_TRUE(test::LastLineIs(run.out, std::string(c.counts) + " written to " + obs + " and " + nav + " in ",
                                     " s"))
            << run.out;
        const std::string text = ReadFileText(obs);
        // PGM / RUN BY / DATE names the program and its version (not the commit: 20 columns).
        const std::string program = version.out.substr(0, version.out.find_first_of(" \n", 8));
        EXPECT_NE(text.find(program + " "), std::string::npos) << version.out;
        EXPECT_EQ(ReadObs(obs).epochs.size(), static_cast<std::size_t>(std::stoi(c.counts)));
        EXPECT_TRUE(test::FileExists(nav));
    }
}

// "N L1 and M L2 slips" as a summary gives it.
std::string SlipCounts(const std::string& summary) {
    const std::size_t words = summary.find(" L1 and ");
    const std::size_t end = summary.find(" L2 slips", words);
    if (words == std::string::npos || end == std::string::npos) return "";
    const std::size_t start = summary.find_last_not_of("0123456789", words - 1) + 1;
    return summary.substr(start, end + 9 - start);
}

// The station hour with five epochs cut out of it: every satellite comes back after 180 s. Both
// commands count slips by the one rule: a return after a gap starts a new arc (its phase is
// flagged) but slips nothing; the lock counters' changes outside the cut are the slips.
TEST_F(RinexCli, RinexAndQcCountTheSameSlipsOnALogWithAGap) {
    std::vector<std::vector<uint8_t>> frames = test::SplitFrames(test::ReadFileBytes(test::DataPath(kStationLog)));
    std::vector<std::vector<uint8_t>> kept;
    int measurements = 0;
    for (auto& frame : frames) {
        const bool measurement = frame[layout::frame::kIdOffset] == layout::measurement::kId;
        const int index = measurement ? measurements++ : -1;
        if (index < 60 || index >= 65) kept.push_back(std::move(frame));
    }
    test::WriteFileBytes(dir.file("cut.nav"), test::JoinFrames(kept));
    const CliRun rinex = Run({"rinex", dir.file("cut.nav"), "-o", dir.file("cut.obs"), "--no-nav", "-q"});
    ASSERT_EQ(rinex.status, 0) << rinex.err;
    const CliRun qc = Run({"qc", dir.file("cut.nav"), "-q"});
    ASSERT_EQ(qc.status, 0) << qc.err;
    EXPECT_EQ(SlipCounts(rinex.out), "10 L1 and 6 L2 slips") << rinex.out;
    EXPECT_EQ(SlipCounts(qc.out), "10 L1 and 6 L2 slips") << qc.out;
    // The phases after the gap are flagged all the same.
    const rinex::ObsFile obs = ReadObs(dir.file("cut.obs"));
    ASSERT_EQ(obs.epochs.size(), 115u);
    const int l1 = obs.header.TypeIndex("L1");
    ASSERT_GE(l1, 0);
    for (const auto& sat : obs.epochs[60].satellites) {
        EXPECT_EQ(sat.values[static_cast<std::size_t>(l1)].lli & 1, 1) << "PRN " << sat.prn;
    }
}

TEST_F(RinexCli, ReadsTheLogFromStandardInput) {
    for (const char* version : {"3.04", "2.11"}) {
        SCOPED_TRACE(version);
        const CliRun fromFile = Run({"rinex", test::DataPath(kStationLog), "-v", version, "-o", dir.file("file.obs"),
                                     "-n", dir.file("file.nav"), "-q"});
        ASSERT_EQ(fromFile.status, 0) << fromFile.err;
        const CliRun fromPipe = Run({"rinex", "-", "-v", version, "-d", dir.file("pipe"), "-q"},
                                    test::DataPath(kStationLog));
        ASSERT_EQ(fromPipe.status, 0) << fromPipe.err;
        // Standard input has no name: the marker is UNKN.
        const std::string obs = dir.file(std::string("pipe/") + (version[0] == '3' ? "UNKN00XXX_R_20050920000_01H_30S_GO.rnx"
                                                                                  : "unkn092a.05o"));
        const std::string text = ReadFileText(obs);
        EXPECT_NE(text.find("UNKN                                                        MARKER NAME"),
                  std::string::npos);
        EXPECT_EQ(Body(text), Body(ReadFileText(dir.file("file.obs"))));
        const std::string nav = dir.file(std::string("pipe/") + (version[0] == '3' ? "UNKN00XXX_R_20050920000_01H_GN.rnx"
                                                                                  : "unkn092a.05n"));
        EXPECT_EQ(ReadFileText(nav), ReadFileText(dir.file("file.nav")));
    }
}

TEST_F(RinexCli, WindowInUtcAndInGpsTimeGiveTheSameFile) {
    // 13 leap seconds in 2005: 00:09:47 UTC is 00:10:00 GPS time, 519000 s of week 1316.
    const CliRun gps = Run({"rinex", test::DataPath(kStationLog), "--from", "1316:519000", "--to", "1316:519600",
                            "-o", dir.file("gps.obs"), "--no-nav", "-q"});
    ASSERT_EQ(gps.status, 0) << gps.err;
    const CliRun utc = Run({"rinex", test::DataPath(kStationLog), "--from", "2005-04-02T00:09:47", "--to",
                            "2005-04-02T00:19:47", "-o", dir.file("utc.obs"), "--no-nav", "-q"});
    ASSERT_EQ(utc.status, 0) << utc.err;
    EXPECT_EQ(ReadFileText(dir.file("gps.obs")), ReadFileText(dir.file("utc.obs")));
    const rinex::ObsFile file = ReadObs(dir.file("utc.obs"));
    ASSERT_EQ(file.epochs.size(), 20u);
    EXPECT_NEAR(file.epochs.front().time.sow, 519000.001, 1e-6);
    EXPECT_NEAR(file.epochs.back().time.sow, 519570.001, 1e-6);
    EXPECT_FALSE(test::FileExists(dir.file("utc.nav")));
}

TEST_F(RinexCli, BadOptionValuesExitTwoNamingTheOption) {
    const std::string log = test::DataPath(kStationLog);
    struct Case {
        std::vector<std::string> args;
        std::string named;
    };
    const Case cases[] = {
        {{"--interval", "0"}, "--interval"},
        {{"--interval", "-30"}, "--interval"},
        {{"--interval", "thirty"}, "--interval"},
        {{"--interval", "1e300"}, "--interval"},
        {{"--from", "1316:519600", "--to", "1316:519000"}, "--to"},
        {{"--from", "2005-04-02T00:20:00", "--to", "2005-04-02T00:10:00"}, "--to"},
        {{"--from", "yesterday"}, "--from"},
        {{"--to", "1316:604800"}, "--to"},
        {{"--week", "-1"}, "--week"},
        {{"--position", "1,2"}, "--position"},
        {{"--antenna-delta", "1,x,3"}, "--antenna-delta"},
        {{"-v", "3.03"}, "--rinex-version"},
        {{"--country", "J1P"}, "--country"},
        {{"-o", dir.file("same.rnx"), "-n", dir.path() + "/./same.rnx"}, "--nav"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"rinex", log, "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliRun run = Run(args);
        EXPECT_EQ(run.status, 2) << c.named << ": " << run.err;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    }
    EXPECT_FALSE(test::FileExists(dir.file("same.rnx")));
}

TEST_F(RinexCli, OutputThatCannotBeWrittenExitsOneNamingIt) {
    const std::string obs = dir.file("missing/station.obs");
    const CliRun run = Run({"rinex", test::DataPath(kStationLog), "-o", obs, "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("kestrel: Error: Unable to write to " + obs, 0), 0u) << run.err;
    EXPECT_EQ(run.out.find("written to"), std::string::npos) << run.out;
}

TEST_F(RinexCli, LogWithoutWeeksNeedsTheWeekOption) {
    std::vector<uint8_t> log;
    for (uint32_t ms : {1000u, 2000u}) {
        test::MeasurementFrame frame(ms);  // no week in the frame
        test::SatBlock block;
        block.caRange = 1800000000u;
        for (uint8_t prn : {5, 9, 14, 22}) {
            block.prn = prn;
            frame.Sat(block);
        }
        const auto bytes = frame.Bytes();
        log.insert(log.end(), bytes.begin(), bytes.end());
    }
    test::WriteFileBytes(dir.file("noweek.log"), log);

    CliRun run = Run({"rinex", dir.file("noweek.log"), "-o", dir.file("noweek.obs"), "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("carry no GPS week"), std::string::npos) << run.err;
    EXPECT_FALSE(test::FileExists(dir.file("noweek.obs")));

    run = Run({"rinex", dir.file("noweek.log"), "--week", "2000", "-o", dir.file("noweek.obs"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const rinex::ObsFile file = ReadObs(dir.file("noweek.obs"));
    ASSERT_EQ(file.epochs.size(), 2u);
    EXPECT_EQ(file.epochs[0].time.week, 2000);
    EXPECT_EQ(file.epochs[1].time.sow, 2.0);
}

TEST_F(RinexCli, InterruptLeavesBothFilesValidToTheLastWholeEpoch) {
    // The log arrives through a FIFO, so the program waits for bytes while the signal is
    // sent: the first chunk is converted, Ctrl-C comes, the second chunk ends the run. The
    // log is the station hour with 8 of its 23 ephemerides (89 bytes each, first in the
    // file), so that the first chunk holds ephemerides and epochs.
    const std::string fifo = dir.file("live.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto station = test::ReadFileBytes(test::DataPath(kStationLog));
    std::vector<uint8_t> log(station.begin(), station.begin() + 8 * 89);
    log.insert(log.end(), station.begin() + 23 * 89, station.end());
    test::WriteFileBytes(dir.file("whole.log"), log);
    std::signal(SIGPIPE, SIG_IGN);

    int errPipe = -1;
    const pid_t pid = test::StartCli({"rinex", fifo, "-o", dir.file("live.obs"), "-n", dir.file("live.nav")},
                                     dir.file("stdout.txt"), "", &errPipe);
    ASSERT_GT(pid, 0);
    const int fd = test::OpenFifoForWriting(fifo);
    ASSERT_GE(fd, 0);
    std::string err;
    ASSERT_TRUE(test::WriteAll(fd, log.data(), 2048));
    ASSERT_TRUE(test::AwaitText(errPipe, "2048 bytes read\n", err)) << err;
    ASSERT_EQ(kill(pid, SIGINT), 0);
    test::WriteAll(fd, log.data() + 2048, 2048);
    test::AwaitText(errPipe, "\x01", err);  // everything up to the end of the program's output
    close(fd);
    close(errPipe);
    EXPECT_EQ(test::WaitCli(pid), 130);

    EXPECT_NE(err.find("kestrel: User Quit\n"), std::string::npos) << err;
    EXPECT_NE(err.find("ephemerides written to " + dir.file("live.obs") + " and " + dir.file("live.nav")),
              std::string::npos)
        << err;
    // The epochs of the first chunk, each whole and equal to those of a full conversion.
    const rinex::ObsFile part = ReadObs(dir.file("live.obs"));
    ASSERT_FALSE(part.epochs.empty());
    EXPECT_NE(err.find("stopped after " + std::to_string(part.epochs.size()) + " epochs"), std::string::npos) << err;
    const CliRun whole = Run({"rinex", dir.file("whole.log"), "-o", dir.file("whole.obs"), "-n",
                              dir.file("whole.nav"), "-q"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    const rinex::ObsFile all = ReadObs(dir.file("whole.obs"));
    ASSERT_LT(part.epochs.size(), all.epochs.size());
    for (std::size_t e = 0; e < part.epochs.size(); ++e) {
        ASSERT_EQ(part.epochs[e].satellites.size(), all.epochs[e].satellites.size());
        EXPECT_EQ(part.epochs[e].time.sow, all.epochs[e].time.sow);
        for (std::size_t s = 0; s < part.epochs[e].satellites.size(); ++s) {
            for (std::size_t t = 0; t < part.header.types.size(); ++t) {
                EXPECT_EQ(part.epochs[e].satellites[s].values[t].value, all.epochs[e].satellites[s].values[t].value);
            }
        }
    }
    // Nothing but the two files (and the captured output) in the folder: no temporary file.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"live.log", "live.nav", "live.obs", "stderr.txt", "stdout.txt",
                                               "whole.log", "whole.nav", "whole.obs"}));
}

}  // namespace
}  // namespace kestrel
