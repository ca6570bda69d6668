// SPDX-License-Identifier: BSD-2-Clause
// Files of both RINEX versions that another GNSS program reads, where RTKLIB is installed
// (Debian package rtklib): an hour of the simulated station with the day's broadcast
// ephemerides, and the GSI station's hour converted from its NavCom log by ConvertToRinex,
// solved by rnx2rtkp as the station's own files are and rewritten by convbin.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"
#include "rinex/rinex_obs_write.h"
#include "rinex/station_day.h"
#include "rinex_out/rinex_nav_writer.h"
#include "rinex_out/rinex_obs_writer.h"
#include "rinex_run/rinex_convert.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr double kStation[3] = {-3976219.5082, 3382372.5671, 3652512.9849};
constexpr double kHourS = 3600.0;
constexpr double kIntervalS = 30.0;

bool HaveProgram(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The station day's types C1 L1 P2 L2 S1, in its order.
const RinexObsType kDayTypes[] = {RinexObsType::kC1, RinexObsType::kL1, RinexObsType::kP2, RinexObsType::kL2,
                                  RinexObsType::kS1};

void WriteFiles(const std::vector<rinex::NavRecord>& nav, RinexVersion version, const std::string& obsPath,
                const std::string& navPath) {
    rinex::StationDayOptions o;
    o.station = {kStation[0], kStation[1], kStation[2]};
    o.start = rinex::GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0);
    o.duration = kHourS;
    o.interval = kIntervalS;
    rinex::StationDay day(nav, o);

    RinexObsHeader h;
    h.version = version;
    h.program = "kestrel test";
    h.markerName = "SIMULATED";
    h.approxPositionM = o.station;
    h.types.assign(std::begin(kDayTypes), std::end(kDayTypes));
    h.intervalS = kIntervalS;
    h.firstObs = o.start;
    h.lastObs = GpsTimeFromTotal(o.start.Total() + kHourS - kIntervalS);
    h.leapSeconds = LeapSecondsAtGps(o.start);
    std::string obs;
    ASSERT_TRUE(AppendRinexObsHeader(obs, h));
    rinex::ObsEpoch epoch;
    while (day.Next(epoch)) {
        ASSERT_TRUE(AppendRinexObsEpoch(obs, h, rinex::WriterEpoch(epoch, h.types)));
    }
    test::WriteFileBytes(obsPath, std::vector<uint8_t>(obs.begin(), obs.end()));

    RinexNavHeader nh;
    nh.version = version;
    nh.program = "kestrel test";
    std::string text;
    AppendRinexNavHeader(text, nh);
    for (const rinex::NavRecord& n : nav) {
        RinexGpsEphemeris e{n.prn,    n.week,   n.toc,      n.af0,    n.af1,    n.af2,     n.iode,     n.crs,
                            n.deltaN, n.m0,     n.cuc,      n.ecc,    n.cus,    n.sqrtA,   n.toe,      n.cic,
                            n.omega0, n.cis,    n.i0,       n.crc,    n.omega,  n.omegaDot, n.idot,    n.l2Codes,
                            n.l2PFlag, n.accuracy, n.health, n.tgd,   n.iodc,   n.transmissionTime, n.fitInterval};
        ASSERT_TRUE(AppendRinexNavRecord(text, version, e));
    }
    test::WriteFileBytes(navPath, std::vector<uint8_t>(text.begin(), text.end()));
}

// The solution lines of rnx2rtkp's output (ECEF), without its comment header.
std::vector<std::string> Solve(const std::string& obs, const std::string& nav, const std::string& out,
                               const std::string& config = "") {
    const std::string options = config.empty() ? "" : "-k '" + config + "' ";
    const std::string command =
        "rnx2rtkp " + options + "-p 0 -e -o '" + out + "' '" + obs + "' '" + nav + "' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::vector<std::string> lines;
    std::istringstream text(test::ReadFileText(out));
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line[0] != '%') lines.push_back(line);
    }
    return lines;
}

TEST(RinexFilesForOtherPrograms, RtklibSolvesTheStationFromBothVersions) {
    if (!HaveProgram("rnx2rtkp")) GTEST_SKIP() << "rnx2rtkp (Debian package rtklib) is not installed";
    std::vector<rinex::NavRecord> nav;
    std::string error;
    ASSERT_TRUE(rinex::ReadNavFile(test::DataPath("orbits/brdc1820.10n"), nav, error)) << error;
    test::ScratchDir dir;
    std::vector<std::string> solutions[2];
    const RinexVersion versions[2] = {RinexVersion::k304, RinexVersion::k211};
    for (int v = 0; v < 2; ++v) {
        const std::string base = dir.file(v == 0 ? "v304" : "v211");
        WriteFiles(nav, versions[v], base + ".obs", base + ".nav");
        solutions[v] = Solve(base + ".obs", base + ".nav", base + ".pos");
        // One single-point solution per epoch, near the simulated station (its ranges carry
        // an ionosphere and a troposphere RTKLIB's models remove only in part).
        ASSERT_EQ(solutions[v].size(), static_cast<std::size_t>(kHourS / kIntervalS)) << "version " << v;
        for (const std::string& line : solutions[v]) {
            int week = 0;
            double sow = 0.0, x = 0.0, y = 0.0, z = 0.0;
            ASSERT_EQ(std::sscanf(line.c_str(), "%d %lf %lf %lf %lf", &week, &sow, &x, &y, &z), 5) << line;
            EXPECT_EQ(week, 1590);
            EXPECT_LT(std::hypot(x - kStation[0], y - kStation[1], z - kStation[2]), 50.0) << line;
        }
    }
    // The same observations and orbits in either version give the same solutions.
    EXPECT_EQ(solutions[0], solutions[1]);
}

// Kestrel's files of the station hour, converted from the shipped log.
void ConvertStationHour(RinexVersion version, const std::string& obs, const std::string& nav) {
    RinexRunOptions o;
    o.version = version;
    o.input = test::DataPath("navcom/gsi-0759-2005-092.nav");
    o.obsPath = obs;
    o.navPath = nav;
    o.program = "kestrel test";
    CallbackBlock callbacks{};
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    RinexRunResult result;
    ASSERT_EQ(ConvertToRinex(o, callbacks, result), 0);
    ASSERT_EQ(result.epochs, 120);
}

// rnx2rtkp's single-point solutions (ECEF, m) by epoch ("YYYY/MM/DD HH:MM:SS.SSS").
std::map<std::string, std::array<double, 3>> SolveByEpoch(const std::string& obs, const std::string& nav,
                                                          const std::string& out, const std::string& config) {
    std::map<std::string, std::array<double, 3>> solutions;
    for (const std::string& line : Solve(obs, nav, out, config)) {
        char date[16], time[16];
        std::array<double, 3> p{};
        if (std::sscanf(line.c_str(), "%15s %15s %lf %lf %lf", date, time, &p[0], &p[1], &p[2]) == 5) {
            solutions[std::string(date) + " " + time] = p;
        }
    }
    return solutions;
}

TEST(RinexFilesForOtherPrograms, RtklibSolvesKestrelsStationHourAsTheStationsOwnFiles) {
    if (!HaveProgram("rnx2rtkp")) GTEST_SKIP() << "rnx2rtkp (Debian package rtklib) is not installed";
    test::ScratchDir dir;
    ConvertStationHour(RinexVersion::k304, dir.file("k304.obs"), dir.file("k304.nav"));
    ConvertStationHour(RinexVersion::k211, dir.file("k211.obs"), dir.file("k211.nav"));
    // rnx2rtkp's defaults reject the last epochs of the hour (GDOP above 30, satellites
    // setting); with the limit raised every epoch of either set of files is solved.
    const std::string gdopLimit = "pos2-rejgdop =1000\n";
    test::WriteFileBytes(dir.file("gdop.conf"), std::vector<uint8_t>(gdopLimit.begin(), gdopLimit.end()));
    struct Case {
        const char* name;
        std::string config;
        std::size_t epochs;  // solved in each set
    };
    const Case cases[] = {{"default options", "", 115}, {"GDOP limit 1000", dir.file("gdop.conf"), 120}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto station = SolveByEpoch(test::DataPath("rinex/07590920.05o"), test::DataPath("rinex/07590920.05n"),
                                          dir.file("station.pos"), c.config);
        const auto k304 = SolveByEpoch(dir.file("k304.obs"), dir.file("k304.nav"), dir.file("k304.pos"), c.config);
        const auto k211 = SolveByEpoch(dir.file("k211.obs"), dir.file("k211.nav"), dir.file("k211.pos"), c.config);
        EXPECT_EQ(station.size(), c.epochs);
        ASSERT_EQ(k304.size(), station.size());
        ASSERT_EQ(k211.size(), station.size());
        std::vector<double> distances;
        for (const auto& [epoch, p] : station) {
            ASSERT_TRUE(k304.count(epoch)) << epoch;
            ASSERT_TRUE(k211.count(epoch)) << epoch;
            const auto& q = k304.at(epoch);
            const auto& r = k211.at(epoch);
            distances.push_back(std::hypot(q[0] - p[0], q[1] - p[1], q[2] - p[2]));
            EXPECT_LT(std::hypot(q[0] - r[0], q[1] - r[1], q[2] - r[2]), 0.001) << epoch;
        }
        std::sort(distances.begin(), distances.end());
        const double median = distances[distances.size() / 2];
        EXPECT_LT(median, 0.05);
        std::printf("%s: %zu epochs solved; Kestrel's files against the station's: median %.4f m, worst %.4f m\n",
                    c.name, distances.size(), median, distances.back());
    }
}

TEST(RinexFilesForOtherPrograms, ConvbinRewritesKestrels304FileAs211) {
    if (!HaveProgram("convbin")) GTEST_SKIP() << "convbin (Debian package rtklib) is not installed";
    test::ScratchDir dir;
    ConvertStationHour(RinexVersion::k304, dir.file("k304.obs"), dir.file("k304.nav"));
    const std::string command = "convbin -r rinex -v 2.11 -o '" + dir.file("c211.obs") + "' -n '" +
                                dir.file("c211.nav") + "' '" + dir.file("k304.obs") + "' 2>'" +
                                dir.file("convbin.txt") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << test::ReadFileText(dir.file("convbin.txt"));
    std::string said = test::ReadFileText(dir.file("convbin.txt"));
    std::transform(said.begin(), said.end(), said.begin(), [](unsigned char ch) { return std::tolower(ch); });
    EXPECT_EQ(said.find("error"), std::string::npos) << said;
    EXPECT_EQ(said.find("warn"), std::string::npos) << said;

    // Every epoch and every C/A range, as Kestrel wrote them.
    rinex::ObsFile ours, theirs;
    std::string error;
    ASSERT_TRUE(rinex::ReadObsFile(dir.file("k304.obs"), ours, error)) << error;
    ASSERT_TRUE(rinex::ReadObsFile(dir.file("c211.obs"), theirs, error)) << error;
    EXPECT_EQ(theirs.header.version, 2.11);
    ASSERT_EQ(theirs.epochs.size(), 120u);
    const int c1Ours = ours.header.TypeIndex("C1");
    const int c1Theirs = theirs.header.TypeIndex("C1");
    ASSERT_GE(c1Theirs, 0);
    for (std::size_t e = 0; e < ours.epochs.size(); ++e) {
        ASSERT_EQ(theirs.epochs[e].satellites.size(), ours.epochs[e].satellites.size());
        EXPECT_EQ(theirs.epochs[e].time.sow, ours.epochs[e].time.sow);
        for (std::size_t s = 0; s < ours.epochs[e].satellites.size(); ++s) {
            EXPECT_EQ(theirs.epochs[e].satellites[s].values[c1Theirs].value,
                      ours.epochs[e].satellites[s].values[c1Ours].value);
        }
    }
}

}  // namespace
}  // namespace kestrel
