// SPDX-License-Identifier: BSD-2-Clause
// Files of both RINEX versions that another GNSS program reads: an hour of the simulated
// station with the day's broadcast ephemerides, solved by RTKLIB's rnx2rtkp where it is
// installed (Debian package rtklib).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "output/rinex_nav_writer.h"
#include "output/rinex_obs_writer.h"
#include "rinex/rinex_nav.h"
#include "rinex/station_day.h"
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
        RinexObsEpoch e;
        e.time = epoch.time;
        for (const rinex::ObsSatellite& s : epoch.satellites) {
            RinexSatObs sat;
            sat.prn = s.prn;
            for (std::size_t k = 0; k < std::size(kDayTypes); ++k) {
                const rinex::ObsValue& v = s.values[k];
                sat.values[static_cast<std::size_t>(kDayTypes[k])] = {v.value, v.present, static_cast<uint8_t>(v.lli),
                                                                      static_cast<uint8_t>(v.strength)};
            }
            e.satellites.push_back(sat);
        }
        ASSERT_TRUE(AppendRinexObsEpoch(obs, h, e));
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
std::vector<std::string> Solve(const std::string& obs, const std::string& nav, const std::string& out) {
    const std::string command = "rnx2rtkp -p 0 -e -o '" + out + "' '" + obs + "' '" + nav + "' 2>/dev/null";
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

}  // namespace
}  // namespace kestrel
