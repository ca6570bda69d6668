// SPDX-License-Identifier: BSD-2-Clause
// The station in a RINEX header and in its file names: the receiver's own identification and
// fixes, an IGS site log (read back by RTKLIB), the order in which options, site log and
// receiver give each fact, names and INTERVAL from the epochs written, warnings for fields
// cut or with characters replaced, compressed files and the observation file on standard
// output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>

#include "common/error_text.h"
#include "rinex_out/rinex_station.h"
#include "rinex_run/rinex_convert.h"
#include "positioning/geodesy.h"
#include "support/cli_process.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr const char* kStationLog = "navcom/gsi-0759-2005-092.nav";
constexpr const char* kLongCapture = "navcom/gpsd-navcom-long-2012.log";
constexpr const char* kSiteLog = "sitelog/0759_20050402.log";
constexpr double kL1WavelengthM = 0.190293672798;

struct Conversion {
    int32_t status = -1;
    RinexRunResult result;
    std::string error;
    std::string obsText;
};

RinexRunOptions Options(const test::ScratchDir& dir, const std::string& log) {
    RinexRunOptions o;
    o.input = log.front() == '/' ? log : test::DataPath(log);
    o.directory = dir.path();
    o.program = "kestrel test";
    o.createdUtc = CalendarTime{2026, 1, 2, 3, 4, 5.0};
    return o;
}

Conversion Convert(const RinexRunOptions& o) {
    Conversion r;
    CallbackBlock quiet{};
    quiet.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    r.status = ConvertToRinex(o, quiet, r.result);
    r.error = error_text();
    if (r.status == 0 && !r.result.obsPath.empty() && !o.gzip) r.obsText = test::ReadFileText(r.result.obsPath);
    return r;
}

// The first 60 columns of the first header record with `label`; empty when there is none.
std::string Record(const std::string& text, const std::string& label) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        std::string l = line.size() > 60 ? line.substr(60) : "";
        l.erase(l.find_last_not_of(' ') + 1);
        if (l == label) {
            std::string content = line.substr(0, 60);
            content.erase(content.find_last_not_of(' ') + 1);
            return content;
        }
        if (l == "END OF HEADER") break;
    }
    return std::string();
}

std::array<double, 3> Triple(const std::string& content) {
    std::array<double, 3> v{};
    std::sscanf(content.c_str(), "%lf %lf %lf", &v[0], &v[1], &v[2]);
    return v;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& l : lines) {
        if (l.find(part) != std::string::npos) return true;
    }
    return false;
}

TEST(RinexStation, TheRealCapturesReceiverAndFixesFillTheHeader) {
    const test::ScratchDir dir;
    const Conversion run = Convert(Options(dir, kLongCapture));
    ASSERT_EQ(run.status, 0) << run.error;
    // The serial number and firmware version of its IDENTIFICATION record; its engine has no
    // IGS name, so the type is the maker's.
    EXPECT_EQ(Record(run.obsText, "REC # / TYPE / VERS"), "45716               NAVCOM              3.0.45");
    EXPECT_NE(run.obsText.find("APPROX POSITION XYZ: median of the receiver's 22 fixes"), std::string::npos);
    EXPECT_EQ(run.result.receiverFixes, 22);
    // Within 5 m of the receiver's fix as gpsd reports it (data/navcom/README.md).
    constexpr double kDeg = std::numbers::pi / 180.0;
    double fix[3];
    geodetic_to_ecef(30.341683 * kDeg, 12.228736 * kDeg, 659.1, &fix[0], &fix[1], &fix[2]);
    const auto approx = Triple(Record(run.obsText, "APPROX POSITION XYZ"));
    EXPECT_LT(std::hypot(approx[0] - fix[0], approx[1] - fix[1], approx[2] - fix[2]), 5.0);

    // A log without either record: the maker's type alone, and the solutions' median.
    const Conversion station = Convert(Options(dir, kStationLog));
    ASSERT_EQ(station.status, 0) << station.error;
    EXPECT_EQ(Record(station.obsText, "REC # / TYPE / VERS"), std::string(20, ' ') + "NAVCOM");
    EXPECT_NE(station.obsText.find("APPROX POSITION XYZ: median of Kestrel's 119 solutions"), std::string::npos);
}

TEST(RinexStation, EachFactFromTheFirstSourceThatGivesIt) {
    SiteLog log;
    std::string error;
    ASSERT_TRUE(ReadSiteLog(test::DataPath(kSiteLog), log, error)) << error;
    const GpsTime day = GpsFromUtc({2005, 4, 2, 0, 0, 0.0});
    ReceiverIdentity identity;
    identity.digitalCardSerial = 45716;
    identity.softwareMajor = 3;
    StationEvidence evidence;
    evidence.logMarker = "gsi";
    evidence.identity = identity;
    evidence.fixMedianM = std::array<double, 3>{1, 2, 3};
    evidence.fixes = 5;
    evidence.solutionMedianM = std::array<double, 3>{4, 5, 6};
    evidence.solutions = 7;
    StationOptions given;
    given.markerName = "MINE";
    given.receiverType = "TRIMBLE NETR9";
    given.antennaType = "LEIAR25.R3      LEIT";
    given.positionM = std::array<double, 3>{7, 8, 9};
    given.antennaDeltaHenM = std::array<double, 3>{0.5, 0, 0};

    struct Case {
        const char* what;
        StationOptions options;
        const SiteLog* log;
        StationEvidence evidence;
        const char* marker;
        const char* receiver;   // number|type|version
        const char* antenna;    // number|type|radome
        double deltaH;
        PositionSource position;
        const char* warning;    // among the warnings; null: none
    };
    StationEvidence nothing;
    nothing.logMarker = "gsi";
    StationEvidence otherSerial = evidence;
    otherSerial.identity->digitalCardSerial = 1;
    const Case cases[] = {
        {"the receiver alone", {}, nullptr, evidence, "gsi", "45716|NAVCOM|3.0.0", "||", 0.0,
         PositionSource::kReceiverFixes, nullptr},
        {"nothing known", {}, nullptr, nothing, "gsi", "|NAVCOM|", "||", 0.0, PositionSource::kNone, nullptr},
        {"the site log over the receiver", {}, &log, evidence, "0759", "0220301234|TRIMBLE 5700|1.24",
         "0220067890|TRM29659.00|SCIS", 1.2345, PositionSource::kReceiverFixes,
         "the site log's receiver serial number 0220301234 is not the receiver's own, 45716"},
        {"the options over both", given, &log, evidence, "MINE", "0220301234|TRIMBLE NETR9|1.24",
         "0220067890|LEIAR25.R3      LEIT|", 0.5, PositionSource::kGiven, "serial number 0220301234 is not"},
        {"solutions when the receiver gave no fix", {}, nullptr, [&] {
             StationEvidence e = otherSerial;
             e.fixMedianM.reset();
             return e;
         }(), "gsi", "1|NAVCOM|3.0.0", "||", 0.0, PositionSource::kSolutions, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const StationFacts f = GatherStationFacts(c.options, c.log, c.evidence, day);
        EXPECT_EQ(f.markerName, c.marker);
        EXPECT_EQ(f.receiverNumber + "|" + f.receiverType + "|" + f.receiverVersion, c.receiver);
        EXPECT_EQ(f.antennaNumber + "|" + f.antennaType + "|" + f.antennaRadome, c.antenna);
        EXPECT_DOUBLE_EQ(f.antennaDeltaHenM[0], c.deltaH);
        EXPECT_EQ(f.positionSource, c.position);
        if (c.warning != nullptr) {
            EXPECT_TRUE(Contains(f.warnings, c.warning));
        } else {
            EXPECT_TRUE(f.warnings.empty()) << f.warnings.front();
        }
    }
    // A site log with nothing in force at the data's time says so.
    const StationFacts early = GatherStationFacts({}, &log, nothing, GpsFromUtc({1990, 1, 1, 0, 0, 0.0}));
    EXPECT_TRUE(Contains(early.warnings, "no receiver in force at 1990-01-01 00:00 UTC"));
    EXPECT_TRUE(Contains(early.warnings, "no antenna in force"));
    EXPECT_EQ(early.receiverType, kDefaultReceiverType);
}

bool HaveProgram(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// An antenna calibration file with the site log's antenna and radome, 5 m of offset on both
// frequencies: rnx2rtkp names an antenna in its output only when it found its calibration.
constexpr const char* kAntex =
    "     1.4            M                                       ANTEX VERSION / SYST\n"
    "A                                                           PCV TYPE / REFANT\n"
    "                                                            END OF HEADER\n"
    "                                                            START OF ANTENNA\n"
    "TRM29659.00     SCIS                                        TYPE / SERIAL NO\n"
    "FIELD               KESTREL TEST              0    01-JAN-05METH / BY / # / DATE\n"
    "     5.0                                                    DAZI\n"
    "     0.0  90.0   5.0                                        ZEN1 / ZEN2 / DZEN\n"
    "     2                                                      # OF FREQUENCIES\n"
    "   G01                                                      START OF FREQUENCY\n"
    "      0.00      0.00   5000.00                              NORTH / EAST / UP\n"
    "   NOAZI    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00"
    "    0.00    0.00    0.00    0.00    0.00    0.00    0.00\n"
    "   G01                                                      END OF FREQUENCY\n"
    "   G02                                                      START OF FREQUENCY\n"
    "      0.00      0.00   5000.00                              NORTH / EAST / UP\n"
    "   NOAZI    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00    0.00"
    "    0.00    0.00    0.00    0.00    0.00    0.00    0.00\n"
    "   G02                                                      END OF FREQUENCY\n"
    "                                                            END OF ANTENNA\n";

TEST(RinexStation, ASiteLogFillsTheHeaderAndRtklibReadsIt) {
    const test::ScratchDir dir;
    RinexRunOptions o = Options(dir, kStationLog);
    auto log = std::make_shared<SiteLog>();
    std::string error;
    ASSERT_TRUE(ReadSiteLog(test::DataPath(kSiteLog), *log, error)) << error;
    o.siteLog = log;
    const Conversion run = Convert(o);
    ASSERT_EQ(run.status, 0) << run.error;
    EXPECT_TRUE(run.result.warnings.empty()) << run.result.warnings.front();
    EXPECT_EQ(run.result.obsPath, dir.file("075900JPN_R_20050920000_01H_30S_GO.rnx"));
    const std::pair<const char*, std::string> expected[] = {
        {"MARKER NAME", "0759"},
        {"MARKER NUMBER", "21799S001"},
        {"MARKER TYPE", "GEODETIC"},
        {"OBSERVER / AGENCY", std::string(20, ' ') + "GSI"},
        {"REC # / TYPE / VERS", "0220301234          TRIMBLE 5700        1.24"},
        // The IGS columns: antenna name in 21-36, radome in 37-40.
        {"ANT # / TYPE", "0220067890          TRM29659.00     SCIS"},
        {"ANTENNA: DELTA H/E/N", "        1.2345       -0.0020        0.0010"},
    };
    for (const auto& [label, content] : expected) EXPECT_EQ(Record(run.obsText, label), content) << label;

    if (!HaveProgram("rnx2rtkp") || !HaveProgram("convbin")) GTEST_SKIP() << "RTKLIB (Debian package rtklib) is not installed";
    const std::string obs = run.result.obsPath;
    const std::string nav = run.result.navPath;
    // convbin reads it to its last epoch and writes it again as RINEX 2.11.
    const std::string again = dir.file("again.obs");
    ASSERT_EQ(std::system(("convbin -r rinex -v 2.11 -o '" + again + "' '" + obs + "' >/dev/null 2>&1").c_str()), 0);
    EXPECT_NE(test::ReadFileText(again).find("\n 05 04 02 00 59 30.0050000"), std::string::npos);
    // rnx2rtkp solves from it, and takes the antenna type and offsets from its header.
    test::WriteFileBytes(dir.file("ant.atx"), std::vector<uint8_t>(kAntex, kAntex + std::strlen(kAntex)));
    const std::string config = dir.file("ppp.conf");
    const std::string conf = "pos1-posmode=ppp-static\npos1-sateph=brdc\nant1-anttype=*\nfile-rcvantfile=" +
                             dir.file("ant.atx") + "\nout-outopt=on\n";
    test::WriteFileBytes(config, std::vector<uint8_t>(conf.begin(), conf.end()));
    const std::string pos = dir.file("ppp.pos");
    std::system(("rnx2rtkp -k '" + config + "' -o '" + pos + "' '" + obs + "' '" + nav + "' 2>/dev/null").c_str());
    EXPECT_NE(test::ReadFileText(pos).find("antenna1  : TRM29659.00     SCIS  (-0.0020  0.0010  1.2345)"),
              std::string::npos)
        << test::ReadFileText(pos);
    const std::string single = dir.file("single.pos");
    ASSERT_EQ(std::system(("rnx2rtkp -p 0 -o '" + single + "' '" + obs + "' '" + nav + "' 2>/dev/null").c_str()), 0);
    const std::string solved = test::ReadFileText(single);
    int solutions = 0;
    for (std::size_t at = 0; (at = solved.find("\n1316 5", at)) != std::string::npos; ++at) ++solutions;
    EXPECT_GT(solutions, 100);
}

// A log of one satellite's epochs `spacingMs` apart from `startMs` of week 1316.
std::vector<uint8_t> SpacedLog(uint32_t startMs, uint32_t spacingMs, int count) {
    std::vector<uint8_t> log;
    for (int i = 0; i < count; ++i) {
        test::MeasurementFrame frame(startMs + spacingMs * static_cast<uint32_t>(i));
        frame.Week(1316);
        test::SatBlock b;
        b.prn = 7;
        b.caRange = static_cast<uint32_t>((2.1e7 + 10.0 * i) / kL1WavelengthM * 16);
        frame.Sat(b);
        const auto bytes = frame.Bytes();
        log.insert(log.end(), bytes.begin(), bytes.end());
    }
    return log;
}

TEST(RinexStation, NamesAndIntervalFollowTheEpochsWritten) {
    constexpr uint32_t kSaturdayMs = 518400000;  // 2005-04-02 00:00 GPS time
    struct Case {
        const char* what;
        uint32_t spacingMs;
        int epochs;
        std::string marker;
        double intervalS;
        const char* name;          // of the observation file
        const char* interval;      // INTERVAL's content
        const char* warning;       // part of the one warning; null: none
    };
    const Case cases[] = {
        {"10 Hz for a quarter hour", 100, 9000, "s02", 0.0, "S02000XXX_R_20050920000_15M_10Z_GO.rnx", "     0.100", nullptr},
        {"1 Hz for an hour", 1000, 3600, "KSTR", 0.0, "KSTR00XXX_R_20050920000_01H_01S_GO.rnx", "     1.000", nullptr},
        {"a day at 30 s, kept every minute", 30000, 2880, "KSTR", 60.0, "KSTR00XXX_R_20050920000_01D_01M_GO.rnx",
         "    60.000", nullptr},
        {"a request finer than the data", 30000, 120, "KSTR", 0.5, "KSTR00XXX_R_20050920000_01H_30S_GO.rnx",
         "    30.000", "finer than the log's 30 s spacing"},
        {"a request off the data's grid", 30000, 120, "KSTR", 45.0, "KSTR00XXX_R_20050920000_01H_90S_GO.rnx",
         "    90.000", "not a multiple of the log's 30 s spacing: the epochs kept, where both grids meet, are 90 s apart"},
        {"a request of 7 s on 30 s data", 30000, 120, "KSTR", 7.0, "KSTR00XXX_R_20050920001_01H_00U_GO.rnx",
         "   210.000", "are 210 s apart"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const test::ScratchDir dir;
        test::WriteFileBytes(dir.file("made.log"), SpacedLog(kSaturdayMs, c.spacingMs, c.epochs));
        RinexRunOptions o = Options(dir, dir.file("made.log"));
        o.station.markerName = c.marker;
        o.intervalS = c.intervalS;
        o.clockCorrection = false;
        o.writeNav = false;
        const Conversion run = Convert(o);
        ASSERT_EQ(run.status, 0) << run.error;
        EXPECT_EQ(run.result.obsPath, dir.file(c.name));
        EXPECT_EQ(Record(run.obsText, "INTERVAL").substr(0, 10), c.interval);
        if (c.warning == nullptr) {
            EXPECT_TRUE(run.result.warnings.empty()) << run.result.warnings.front();
        } else {
            ASSERT_EQ(run.result.warnings.size(), 1u);
            EXPECT_NE(run.result.warnings[0].find(c.warning), std::string::npos) << run.result.warnings[0];
        }
    }
}

TEST(RinexStation, APipesNameIsNoMarker) {
    const test::ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(MarkerNameFromLog(dir.file("fifo")), "UNKN");
    EXPECT_EQ(MarkerNameFromLog("/dev/null"), "UNKN");
    EXPECT_EQ(MarkerNameFromLog("-"), "UNKN");
    test::WriteFileBytes(dir.file("ab-c.9.log"), {});
    EXPECT_EQ(MarkerNameFromLog(dir.file("ab-c.9.log")), "abc");
}

TEST(RinexStation, FieldsCutOrWithOtherCharactersAreWarnedOfByName) {
    const test::ScratchDir dir;
    RinexRunOptions o = Options(dir, kStationLog);
    o.station.markerName = std::string(70, 'M');
    o.station.observer = "An observer with a long name";
    o.station.agency = "GSI";
    o.comments = {"caf\xC3\xA9 on the roof"};
    o.clockCorrection = false;
    const Conversion run = Convert(o);
    ASSERT_EQ(run.status, 0) << run.error;
    const auto& w = run.result.warnings;
    EXPECT_EQ(w.size(), 3u);
    EXPECT_TRUE(Contains(w, "MARKER NAME: '" + std::string(70, 'M') + "' is cut to its 60 columns"));
    EXPECT_TRUE(Contains(w, "OBSERVER: 'An observer with a long name' is cut to its 20 columns ('An observer with a l')"));
    EXPECT_TRUE(Contains(w, "COMMENT: 'caf\xC3\xA9 on the roof' holds characters other than printable ASCII"));
    // One '?' for the one character, not one per byte.
    EXPECT_NE(run.obsText.find("caf? on the roof"), std::string::npos);
}

TEST(RinexStation, CompressedFilesAreThePlainFilesGzipped) {
    if (!HaveProgram("gzip")) GTEST_SKIP() << "no gzip";
    for (const RinexVersion version : {RinexVersion::k304, RinexVersion::k211}) {
        SCOPED_TRACE(version == RinexVersion::k304 ? "3.04" : "2.11");
        const test::ScratchDir plainDir, gzipDir;
        RinexRunOptions plain = Options(plainDir, kStationLog);
        plain.version = version;
        RinexRunOptions gz = Options(gzipDir, kStationLog);
        gz.version = version;
        gz.gzip = true;
        const Conversion p = Convert(plain);
        const Conversion z = Convert(gz);
        ASSERT_EQ(p.status, 0) << p.error;
        ASSERT_EQ(z.status, 0) << z.error;
        ASSERT_EQ(z.result.files.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string& file = z.result.files[i];
            EXPECT_EQ(file, p.result.files[i].substr(0, 0) + gzipDir.path() + p.result.files[i].substr(plainDir.path().size()) + ".gz");
            const std::string out = file + ".d";
            ASSERT_EQ(std::system(("gzip -dc '" + file + "' > '" + out + "'").c_str()), 0);
            EXPECT_EQ(test::ReadFileText(out), test::ReadFileText(p.result.files[i])) << file;
        }
        if (HaveProgram("rnx2rtkp")) {
            // RTKLIB reads the compressed files as they are.
            const std::string pos = gzipDir.file("sol.pos");
            ASSERT_EQ(std::system(("rnx2rtkp -p 0 -o '" + pos + "' '" + z.result.files[0] + "' '" + z.result.files[1] +
                                   "' 2>/dev/null")
                                      .c_str()),
                      0);
            EXPECT_NE(test::ReadFileText(pos).find("\n1316 520200.000"), std::string::npos);
        }
    }
}

TEST(RinexStation, TheObservationFileOnStandardOutput) {
    if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI is not set";
    const test::ScratchDir dir;
    setenv("SOURCE_DATE_EPOCH", "1767323045", 1);
    const std::string log = test::DataPath(kLongCapture);
    const test::CliRun file = test::RunCli(dir.path(), {"rinex", log, "-o", dir.file("file.rnx"), "--no-nav", "-q"});
    const test::CliRun piped = test::RunCli(dir.path(), {"rinex", log, "-o", "-", "--no-nav", "-q"});
    const test::CliRun zipped = test::RunCli(dir.path(), {"rinex", log, "-o", "-", "--no-nav", "-q", "--gzip"});
    ASSERT_EQ(file.status, 0) << file.err;
    ASSERT_EQ(piped.status, 0) << piped.err;
    ASSERT_EQ(zipped.status, 0) << zipped.err;
    // Standard output is the file alone: messages and the summary go to standard error.
    EXPECT_EQ(piped.out, test::ReadFileText(dir.file("file.rnx")));
    EXPECT_NE(piped.err.find("Ephemeris received for PRN 3"), std::string::npos);
    EXPECT_NE(piped.err.find("23 epochs, 10 satellites, 0 L1 and 2 L2 slips, 0 ephemerides written to standard output"),
              std::string::npos)
        << piped.err;
    test::WriteFileBytes(dir.file("out.gz"), std::vector<uint8_t>(zipped.out.begin(), zipped.out.end()));
    ASSERT_EQ(std::system(("gzip -dc '" + dir.file("out.gz") + "' > '" + dir.file("out") + "'").c_str()), 0);
    EXPECT_EQ(test::ReadFileText(dir.file("out")), piped.out);
    // The navigation file cannot share standard output.
    const test::CliRun both = test::RunCli(dir.path(), {"rinex", log, "-o", "-", "-n", "-", "-q"});
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("--nav: standard output takes the observation file only"), std::string::npos);
    unsetenv("SOURCE_DATE_EPOCH");
}

// Standard output that takes no file fails the run, naming it, and leaves no navigation file
// and no temporary behind.
TEST(RinexStation, StandardOutputThatTakesNoFile) {
    if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI is not set";
    struct Case {
        const char* name;
        const char* redirect;
        const char* says;
    };
    const Case cases[] = {
        {"closed", ">&-", "Unable to write to standard output: Bad file descriptor"},
        {"full", "> /dev/full", "Unable to write to standard output: No space left on device"},
        {"full, compressed", "> /dev/full", "Unable to write to standard output: No space left on device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::ScratchDir dir;
        const bool gzip = std::string(c.name).find("compressed") != std::string::npos;
        const std::string command = std::string("cd '") + dir.path() + "' && '" + test::CliPath() + "' rinex '" +
                                    test::DataPath(kLongCapture) + "' -q -o - -n nav.rnx" + (gzip ? " --gzip " : " ") +
                                    c.redirect + " 2> err.txt";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        const std::string err = test::ReadFileText(dir.file("err.txt"));
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{"err.txt"});
    }
}

TEST(RinexStation, TheCommandRefusesWhatItCannotUse) {
    if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI is not set";
    const test::ScratchDir dir;
    test::WriteFileBytes(dir.file("bad.log"), {'n', 'o', '\n'});
    struct Case {
        std::vector<std::string> options;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{"--site-log", dir.file("missing.log")}, 1, "--site-log: "},
        {{"--site-log", dir.file("bad.log")}, 1, "not an IGS site log"},
        {{"--station", "ABMF0XGLP"}, 2, "is not a nine-character ID"},
        {{"--week", "1400"}, 1, "--week 1400 was given, but the frames of"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.front());
        std::vector<std::string> args{"rinex", test::DataPath(kLongCapture), "-d", dir.file("out"), "-q"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const test::CliRun run = test::RunCli(dir.path(), args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_FALSE(test::FileExists(dir.file("out/GPSD00XXX_R_20070151020_15M_01S_GO.rnx")));
    }
}

}  // namespace
}  // namespace kestrel
