// SPDX-License-Identifier: BSD-2-Clause
// `kestrel rtcm` read by RTKLIB (Debian package rtklib), an implementation no one here wrote:
// convbin decodes the station's hour, both real captures and a simulated day written as 1004,
// MSM4 and MSM7 into RINEX, and every epoch and satellite of `kestrel rinex` of the same log
// comes back, codes, phases and strengths within the message's resolution, loss-of-lock flags
// exactly where `rinex` has them, ephemerides equal to its navigation records and the station
// as given. rnx2rtkp then fixes a zero baseline between the station's own RINEX file and its
// decoded RTCM.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "rinex/navcom_log.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"
#include "rinex/rinex_obs_write.h"
#include "rinex/station_day.h"
#include "support/cli_process.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr double kC = 299792458.0;
constexpr double kLightMsM = kC * 1e-3;
constexpr double kLambda[2] = {kC / 1575.42e6, kC / 1227.60e6};
// The station's surveyed position (its RINEX header), given to 1005.
constexpr const char* kStation = "-3976219.5082,3382372.5671,3652512.9849";
constexpr double kStationM[3] = {-3976219.5082, 3382372.5671, 3652512.9849};
constexpr double kRateResolutionM = 0.0001;  // MSM7's phase-range rate, m/s
constexpr double kLargestRoughRate = 8191.5;  // its 14-bit whole m/s, rounded
// RINEX writes three decimals: each side may be off by half the last digit.
constexpr double kPrintedM = 0.001;

bool HaveProgram(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

struct Message {
    const char* number;
    double rangeM;  // half the range's resolution
    double phaseM;  // half the phase's resolution
    double cnrDbHz;
};
const Message kMessages[] = {
    {"1004", 0.01, 0.00025, 0.125},
    {"1074", 0.5 * 0x1p-24 * kLightMsM, 0.5 * 0x1p-29 * kLightMsM, 0.5},
    {"1077", 0.5 * 0x1p-29 * kLightMsM, 0.5 * 0x1p-31 * kLightMsM, 1.0 / 32},
};

struct Log {
    std::string name;
    std::string path;
    const char* day;  // the log's day, YYYY-MM-DD
};

// A day of the simulated station at 30 s along the real broadcast orbits, as a NavCom log.
std::string SimulatedDay(const test::ScratchDir& dir) {
    std::vector<rinex::NavRecord> nav;
    std::string error;
    EXPECT_TRUE(rinex::ReadNavFile(test::DataPath("orbits/brdc1820.10n"), nav, error)) << error;
    rinex::StationDayOptions o;
    o.station = {kStationM[0], kStationM[1], kStationM[2]};
    o.start = rinex::GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0);
    o.duration = 86400.0;
    o.interval = 30.0;
    rinex::StationDay day(nav, o);
    const rinex::ObsHeader header = day.Header();
    std::string text = rinex::FormatObsHeader(header, o.start);
    rinex::ObsEpoch epoch;
    while (day.Next(epoch)) text += rinex::FormatObsEpoch(epoch, header.types);
    rinex::ObsFile obs;
    EXPECT_TRUE(rinex::ParseObsText(text, "day", obs, error)) << error;
    rinex::LogContents log;
    EXPECT_TRUE(rinex::BuildNavComLog(obs, nav, {}, log, error)) << error;
    test::WriteFileBytes(dir.file("day.nav"), log.bytes);
    return dir.file("day.nav");
}

rinex::ObsFile ReadObs(const std::string& path) {
    rinex::ObsFile file;
    std::string error;
    EXPECT_TRUE(rinex::ReadObsFile(path, file, error)) << error;
    return file;
}

std::vector<rinex::NavRecord> ReadNav(const std::string& path) {
    std::vector<rinex::NavRecord> nav;
    std::string error;
    EXPECT_TRUE(rinex::ReadNavFile(path, nav, error)) << error;
    return nav;
}

// The 60 columns of the first header record with `label`.
std::string HeaderRecord(const std::string& text, const std::string& label) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 60 && line.compare(60, label.size(), label) == 0) return line.substr(0, 60);
        if (line.find("END OF HEADER") != std::string::npos) break;
    }
    return {};
}

// Epoch time in ms, PRN, type: value and loss-of-lock indicator.
using Key = std::tuple<int64_t, int, std::string>;
std::map<Key, rinex::ObsValue> Values(const rinex::ObsFile& file) {
    std::map<Key, rinex::ObsValue> out;
    for (std::size_t e = 0; e < file.epochs.size(); ++e) {
        const auto& epoch = file.epochs[e];
        const auto ms = static_cast<int64_t>(std::llround(epoch.time.Total() * 1000.0));
        const auto& types = file.TypesOf(e);
        for (const auto& sat : epoch.satellites) {
            for (std::size_t t = 0; t < types.size(); ++t) {
                if (sat.values[t].present) out[{ms, sat.prn, types[t]}] = sat.values[t];
            }
        }
    }
    return out;
}

// What `rinex` wrote for a log, against what convbin decoded of `rtcm`: every value of the
// types both carry within the message's resolution, and the loss-of-lock flags of the phases
// identical. Returns the number of values compared.
int64_t Compare(const rinex::ObsFile& reference, const rinex::ObsFile& decoded, const Message& m) {
    const auto want = Values(reference);
    const auto got = Values(decoded);
    int64_t compared = 0;
    std::set<std::string> decodedTypes(decoded.header.types.begin(), decoded.header.types.end());
    for (const auto& [key, value] : want) {
        const auto& [ms, prn, type] = key;
        if (!decodedTypes.count(type)) continue;
        const auto it = got.find(key);
        // A Doppler whose phase-range rate is beyond the MSM7's 14-bit m/s (a derived Doppler
        // across a step of the receiver's clock) is sent as none.
        if (type == "D1" && std::fabs(value.value * kLambda[0]) > kLargestRoughRate) {
            EXPECT_EQ(it, got.end()) << "PRN " << prn << " at " << ms << " ms";
            continue;
        }
        if (it == got.end()) {
            ADD_FAILURE() << type << " of PRN " << prn << " at " << ms << " ms missing";
            continue;
        }
        const double tolerance = type[0] == 'S'   ? m.cnrDbHz
                                 : type[0] == 'L' ? m.phaseM / kLambda[type[1] == '2'] + kPrintedM
                                 : type[0] == 'D' ? kRateResolutionM / 2 / kLambda[0] + kPrintedM
                                                  : m.rangeM + kPrintedM;
        EXPECT_NEAR(it->second.value, value.value, tolerance) << type << " of PRN " << prn << " at " << ms << " ms";
        if (type[0] == 'L') {
            EXPECT_EQ(it->second.lli & 1, value.lli & 1) << "loss of lock, " << type << " of PRN " << prn << " at " << ms;
        }
        ++compared;
    }
    for (const auto& [key, value] : got) {
        if (!want.count(key)) ADD_FAILURE() << std::get<2>(key) << " of PRN " << std::get<1>(key) << " at " << std::get<0>(key) << " ms not in the RINEX file";
    }
    return compared;
}

// The ephemerides convbin decoded equal the navigation records `rinex` wrote: every field to
// half a unit of its last broadcast bit (the two programs scale with different values of pi).
void CompareEphemerides(const std::vector<rinex::NavRecord>& reference, const std::vector<rinex::NavRecord>& decoded) {
    ASSERT_EQ(decoded.size(), reference.size());
    std::map<std::tuple<int, int, double>, const rinex::NavRecord*> byKey;
    for (const auto& n : decoded) byKey[{n.prn, n.iode, n.toe}] = &n;
    for (const auto& r : reference) {
        const auto it = byKey.find({r.prn, r.iode, r.toe});
        ASSERT_NE(it, byKey.end()) << "PRN " << r.prn << " IODE " << r.iode;
        const rinex::NavRecord& d = *it->second;
        SCOPED_TRACE("PRN " + std::to_string(r.prn) + " IODE " + std::to_string(r.iode));
        EXPECT_EQ(d.week, r.week);
        EXPECT_EQ(d.iodc, r.iodc);
        EXPECT_EQ(d.health, r.health);
        EXPECT_EQ(d.l2Codes, r.l2Codes);
        EXPECT_EQ(d.l2PFlag, r.l2PFlag);
        EXPECT_EQ(d.toc, r.toc);
        const double pi = 3.14159265358979;
        const std::tuple<const char*, double, double, double> fields[] = {
            {"af0", d.af0, r.af0, 0x1p-31},       {"af1", d.af1, r.af1, 0x1p-43},
            {"af2", d.af2, r.af2, 0x1p-55},       {"tgd", d.tgd, r.tgd, 0x1p-31},
            {"crs", d.crs, r.crs, 0x1p-5},        {"crc", d.crc, r.crc, 0x1p-5},
            {"cuc", d.cuc, r.cuc, 0x1p-29},       {"cus", d.cus, r.cus, 0x1p-29},
            {"cic", d.cic, r.cic, 0x1p-29},       {"cis", d.cis, r.cis, 0x1p-29},
            {"e", d.ecc, r.ecc, 0x1p-33},         {"sqrtA", d.sqrtA, r.sqrtA, 0x1p-19},
            {"deltaN", d.deltaN, r.deltaN, 0x1p-43 * pi}, {"M0", d.m0, r.m0, 0x1p-31 * pi},
            {"omega0", d.omega0, r.omega0, 0x1p-31 * pi}, {"i0", d.i0, r.i0, 0x1p-31 * pi},
            {"omega", d.omega, r.omega, 0x1p-31 * pi},    {"omegaDot", d.omegaDot, r.omegaDot, 0x1p-43 * pi},
            {"idot", d.idot, r.idot, 0x1p-43 * pi},
        };
        for (const auto& [name, got, want, unit] : fields) EXPECT_NEAR(got, want, unit / 2) << name;
        EXPECT_EQ(d.fitInterval > 4.0, r.fitInterval > 4.0);
    }
}

class RtcmForRtklib : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
        if (!HaveProgram("convbin")) GTEST_SKIP() << "convbin (Debian package rtklib) is not installed";
        if (!HaveProgram("faketime")) GTEST_SKIP() << "faketime (Debian package faketime) is not installed";
    }
    test::CliRun Run(const std::vector<std::string>& args) { return test::RunCli(dir.path(), args); }
    // Decodes an RTCM file of `day` (YYYY-MM-DD) with convbin into RINEX 3.04 files
    // `base`.obs and `base`.nav. convbin takes the 1024-week era of an ephemeris's 10-bit week
    // from the computer's clock: faketime sets that clock to the log's day.
    void Decode(const std::string& rtcm, const std::string& base, const std::string& day) {
        std::string slashes = day;
        for (char& c : slashes) c = c == '-' ? '/' : c;
        const std::string command = "faketime '" + day + " 12:00:00' convbin -r rtcm3 -tr " + slashes +
                                    " 00:00:00 -v 3.04 -od -os -o '" + base + ".obs' -n '" + base + ".nav' '" + rtcm +
                                    "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    test::ScratchDir dir;
};

TEST_F(RtcmForRtklib, ConvbinDecodesEveryEpochFlagAndEphemerisOfRinex) {
    const std::vector<Log> logs = {
        {"station", test::DataPath("navcom/gsi-0759-2005-092.nav"), "2005-04-02"},
        {"capture", test::DataPath("navcom/gpsd-navcom.log"), "2007-01-15"},
        {"long-capture", test::DataPath("navcom/gpsd-navcom-long-2012.log"), "2007-01-15"},
        {"day", SimulatedDay(dir), "2010-07-01"},
    };
    for (const Log& log : logs) {
        SCOPED_TRACE(log.name);
        const std::string reference = dir.file(log.name + "-rinex");
        ASSERT_EQ(Run({"rinex", log.path, "-o", reference + ".obs", "-n", reference + ".nav", "-q", "--doppler"}).status, 0);
        const rinex::ObsFile want = ReadObs(reference + ".obs");
        const std::vector<rinex::NavRecord> wantNav = ReadNav(reference + ".nav");
        for (const Message& m : kMessages) {
            SCOPED_TRACE(m.number);
            const std::string rtcm = dir.file(log.name + "-" + m.number + ".rtcm3");
            // MSM7 with the derived Doppler, to be compared with the RINEX file's.
            std::vector<std::string> args = {"rtcm", log.path, "-o", rtcm, "-q", "--msg",
                                             std::string(m.number) + ",1019,1005(10),1033(10)", "--position", kStation,
                                             "--station-id", "759", "--antenna", "TRM41249.00     NONE,A1234",
                                             "--receiver", "NAVCOM SF-2050,2.6,R5678"};
            if (std::string(m.number) == "1077") args.push_back("--doppler");
            const test::CliRun run = Run(args);
            ASSERT_EQ(run.status, 0) << run.err;
            const std::string decodedBase = dir.file(log.name + "-" + m.number + "-decoded");
            Decode(rtcm, decodedBase, log.day);
            const rinex::ObsFile got = ReadObs(decodedBase + ".obs");
            EXPECT_EQ(got.epochs.size(), want.epochs.size());
            EXPECT_GT(Compare(want, got, m), 100);
            CompareEphemerides(wantNav, ReadNav(decodedBase + ".nav"));

            const std::string header = test::ReadFileText(decodedBase + ".obs");
            EXPECT_EQ(HeaderRecord(header, "MARKER NAME").substr(0, 4), "0759");
            EXPECT_EQ(HeaderRecord(header, "REC # / TYPE / VERS"),
                      "R5678               NAVCOM SF-2050      2.6                 ");
            EXPECT_EQ(HeaderRecord(header, "ANT # / TYPE"),
                      "A1234               TRM41249.00     NONE                    ");
            ASSERT_TRUE(got.header.hasApproxPosition);
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(got.header.approxPosition[k], kStationM[k], 0.00005);
        }
    }
}

// A zero baseline: the station's own RINEX file as the rover, its hour through `kestrel rtcm`
// (each observation message, 1005 with the surveyed position) and convbin as the base.
// RTKLIB fixes the ambiguities and puts the rover on the base. The two receivers' phases differ
// by some 10^8 cycles (the log's phases count from its code ranges), on which RTKLIB's first
// epochs can fail its residual test: every epoch but the first two must be solved.
TEST_F(RtcmForRtklib, RnxToRtkpFixesTheZeroBaseline) {
    if (!HaveProgram("rnx2rtkp")) GTEST_SKIP() << "rnx2rtkp (Debian package rtklib) is not installed";
    const std::string config = dir.file("rtk.conf");
    const std::string settings =
        "pos1-posmode =static\npos1-elmask =10\npos1-navsys =1\npos2-armode =continuous\n"
        "out-solformat =xyz\nant2-postype =rinexhead\n";
    test::WriteFileBytes(config, std::vector<uint8_t>(settings.begin(), settings.end()));
    for (const Message& m : kMessages) {
        SCOPED_TRACE(m.number);
        const std::string base = dir.file(std::string("base-") + m.number);
        ASSERT_EQ(Run({"rtcm", test::DataPath("navcom/gsi-0759-2005-092.nav"), "-o", base + ".rtcm3", "-q", "--msg",
                       std::string(m.number) + ",1019,1005(10)", "--position", kStation})
                      .status,
                  0);
        Decode(base + ".rtcm3", base, "2005-04-02");
        const std::string solution = base + ".pos";
        const std::string command = "rnx2rtkp -k '" + config + "' -o '" + solution + "' '" +
                                    test::DataPath("rinex/07590920.05o") + "' '" + base + ".obs' '" +
                                    test::DataPath("rinex/07590920.05n") + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::istringstream lines(test::ReadFileText(solution));
        int solved = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] == '%') continue;
            std::istringstream f(line);
            std::string date, time;
            double x = 0, y = 0, z = 0;
            int quality = 0;
            f >> date >> time >> x >> y >> z >> quality;
            ++solved;
            EXPECT_EQ(quality, 1) << "fixed: " << line;
            const double d = std::sqrt(std::pow(x - kStationM[0], 2) + std::pow(y - kStationM[1], 2) +
                                       std::pow(z - kStationM[2], 2));
            EXPECT_LT(d, 0.01) << line;
        }
        EXPECT_GE(solved, 118);
    }
}

}  // namespace
}  // namespace kestrel
