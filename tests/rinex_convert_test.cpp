// SPDX-License-Identifier: BSD-2-Clause
// A NavCom log to RINEX through ConvertToRinex: the GSI station's hour against the station's
// own RINEX files (observations, loss of lock, navigation values), both versions read back
// through the project's reader, the header, the data options, logs without weeks, and the
// failures: damaged logs, outputs that cannot be written, nothing to write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/error_text.h"
#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "rinex_run/rinex_convert.h"
#include "positioning/eph_store.h"
#include "positioning/single_point.h"
#include "rinex/navcom_encode.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"
#include "support/conversion_check.h"
#include "support/decoder_harness.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr double kL1WavelengthM = 0.190293672798;
constexpr double kPrintedHalfDigit = 0.0005;  // rounding of one F14.3 value
// Codes are sent in 1/16 L1 cycle, phases in 1/256 cycle; both files print three decimals.
constexpr double kCodeToleranceM = kL1WavelengthM / 32 + 2 * kPrintedHalfDigit;
constexpr double kPhaseToleranceCycles = 1.0 / 512 + 2 * kPrintedHalfDigit;
constexpr double kSpeedOfLightMps = 299792458.0;
constexpr double kPi = 3.141592653589793;
constexpr double kMaxGapS = 60.0;  // a satellite back after longer starts a new arc
constexpr int kStationWeek = 1316;
constexpr const char* kStationLog = "navcom/gsi-0759-2005-092.nav";
constexpr const char* kShortCapture = "navcom/gpsd-navcom.log";
constexpr const char* kLongCapture = "navcom/gpsd-navcom-long-2012.log";
const RinexVersion kVersions[] = {RinexVersion::k304, RinexVersion::k211};

const char* VersionName(RinexVersion v) { return v == RinexVersion::k304 ? "3.04" : "2.11"; }

std::vector<test::Message> heard;
void KESTREL_STDCALL Hear(double time, const char* text) { heard.push_back({time, text}); }

struct Conversion {
    int32_t status = -1;
    RinexRunResult result;
    std::string error;
    std::vector<test::Message> messages;
    std::string obsText;
    rinex::ObsFile obs;
    std::vector<rinex::NavRecord> nav;
};

RinexRunOptions Options(const test::ScratchDir& dir, const std::string& log, RinexVersion version) {
    RinexRunOptions o;
    o.version = version;
    o.input = log.front() == '/' ? log : test::DataPath(log);
    o.obsPath = dir.file("out.obs");
    o.navPath = dir.file("out.nav");
    o.program = "kestrel test";
    o.createdUtc = CalendarTime{2026, 1, 2, 3, 4, 5.0};
    return o;
}

// Runs the conversion and reads back what it wrote with the project's RINEX reader.
Conversion Convert(const RinexRunOptions& options) {
    Conversion c;
    CallbackBlock callbacks{};
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    callbacks.messageCallback = Hear;
    heard.clear();
    c.status = ConvertToRinex(options, callbacks, c.result);
    c.error = error_text();
    c.messages = heard;
    std::string error;
    if (!c.result.obsPath.empty()) {
        c.obsText = test::ReadFileText(c.result.obsPath);
        EXPECT_TRUE(rinex::ParseObsText(c.obsText, c.result.obsPath, c.obs, error)) << error;
    }
    if (!c.result.navPath.empty()) {
        EXPECT_TRUE(rinex::ReadNavFile(c.result.navPath, c.nav, error)) << error;
    }
    return c;
}

const rinex::ObsFile& StationObservations() {
    static const rinex::ObsFile file = [] {
        rinex::ObsFile f;
        std::string error;
        EXPECT_TRUE(rinex::ReadObsFile(test::DataPath("rinex/07590920.05o"), f, error)) << error;
        return f;
    }();
    return file;
}

const std::vector<rinex::NavRecord>& StationNavigation() {
    static const std::vector<rinex::NavRecord> records = [] {
        std::vector<rinex::NavRecord> r;
        std::string error;
        EXPECT_TRUE(rinex::ReadNavFile(test::DataPath("rinex/07590920.05n"), r, error)) << error;
        return r;
    }();
    return records;
}

// An observation of `type` (RINEX 2 name) of one satellite; null when the file has no such type.
const rinex::ObsValue* Value(const rinex::ObsFile& file, const rinex::ObsSatellite& sat, const char* type) {
    const int i = file.header.TypeIndex(type);
    return i < 0 ? nullptr : &sat.values[static_cast<std::size_t>(i)];
}
bool Has(const rinex::ObsValue* v) { return v != nullptr && v->present; }
bool LockLost(const rinex::ObsValue* v) { return v != nullptr && (v->lli & 1) != 0; }

const rinex::ObsSatellite* Find(const rinex::ObsEpoch& epoch, int prn) {
    for (const auto& s : epoch.satellites) {
        if (s.prn == prn) return &s;
    }
    return nullptr;
}

// The header's records in order: label (columns 61..80, trimmed) and the first 60 columns.
std::vector<std::pair<std::string, std::string>> HeaderRecords(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> records;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        std::string label = line.size() > 60 ? line.substr(60) : "";
        label.erase(label.find_last_not_of(' ') + 1);
        records.emplace_back(label, line.substr(0, 60));
        if (label == "END OF HEADER") break;
    }
    return records;
}

std::vector<std::string> RecordsLabelled(const std::string& text, const std::string& label) {
    std::vector<std::string> lines;
    for (const auto& [l, content] : HeaderRecords(text)) {
        if (l == label) lines.push_back(content);
    }
    return lines;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A log of 1-second epochs of five satellites: (time of week in ms, frame week) each; the
// lock counters change at epoch `slipAt`.
std::vector<uint8_t> MadeLog(const std::vector<std::pair<uint32_t, uint16_t>>& epochs, int slipAt = -1) {
    std::vector<uint8_t> log;
    for (std::size_t i = 0; i < epochs.size(); ++i) {
        test::MeasurementFrame frame(epochs[i].first);
        frame.Week(epochs[i].second);
        for (uint8_t prn : {3, 7, 11, 19, 24}) {
            test::SatBlock b;
            b.prn = prn;
            b.caRange = static_cast<uint32_t>((2.1e7 + 1000.0 * prn + 100.0 * static_cast<double>(i)) / kL1WavelengthM *
                                              16);
            b.l1Offset = 1000 * prn;
            b.l1Lock = static_cast<uint8_t>(static_cast<int>(i) >= slipAt && slipAt >= 0 ? 1 : 0);
            b.l2 = true;
            b.p2Delta = 20;
            b.l2Offset = 500;
            frame.Sat(b);
        }
        const auto bytes = frame.Bytes();
        log.insert(log.end(), bytes.begin(), bytes.end());
    }
    return log;
}

// ---------------------------------------------------------------------------------------
// The station hour against the station's own observation file.

TEST(RinexConvert, StationHourObservationsMatchTheStationsOwnFile) {
    const rinex::ObsFile& source = StationObservations();
    for (const RinexVersion version : kVersions) {
        SCOPED_TRACE(VersionName(version));
        const test::ScratchDir dir;
        const Conversion c = Convert(Options(dir, kStationLog, version));
        ASSERT_EQ(c.status, 0) << c.error;
        const rinex::ObsFile& out = c.obs;
        EXPECT_EQ(out.header.types, (std::vector<std::string>{"C1", "L1", "S1", "P2", "L2"}));
        ASSERT_EQ(out.epochs.size(), source.epochs.size());

        struct Carrier {
            bool seen = false;
            long long integer = 0;      // Kestrel's phase minus the source's, whole cycles
            bool lockLostSince = false;  // Kestrel flagged a loss of lock since `integer` was taken
        };
        std::map<std::pair<int, int>, Carrier> carriers;  // (PRN, 1 or 2)
        std::map<int, double> lastSeen;                    // PRN: time of its previous epoch
        std::set<int> l2Begun;                             // PRNs whose arc has had L2
        int withoutSourcePhase = 0;
        for (std::size_t e = 0; e < source.epochs.size(); ++e) {
            const rinex::ObsEpoch& s = source.epochs[e];
            const rinex::ObsEpoch& k = out.epochs[e];
            EXPECT_EQ(k.time.week, s.time.week);
            EXPECT_NEAR(k.time.sow, s.time.sow, 1e-6);
            ASSERT_EQ(k.satellites.size(), s.satellites.size()) << s.time.sow;
            for (const rinex::ObsSatellite& ss : s.satellites) {
                const rinex::ObsSatellite* ks = Find(k, ss.prn);
                ASSERT_NE(ks, nullptr) << "PRN " << ss.prn << " at " << s.time.sow;
                SCOPED_TRACE("PRN " + std::to_string(ss.prn) + " at " + std::to_string(s.time.sow));
                // Codes within the receiver's 1/16-cycle quantisation.
                EXPECT_NEAR(Value(out, *ks, "C1")->value, Value(source, ss, "C1")->value, kCodeToleranceM);
                ASSERT_EQ(Has(Value(out, *ks, "P2")), Has(Value(source, ss, "P2")));
                if (Has(Value(source, ss, "P2"))) {
                    EXPECT_NEAR(Value(out, *ks, "P2")->value, Value(source, ss, "P2")->value, kCodeToleranceM);
                }
                // The strength figure the log carries (35 + 8 dB-Hz) and its RINEX digit.
                EXPECT_EQ(Value(out, *ks, "S1")->value, 43.0);
                EXPECT_EQ(Value(out, *ks, "L1")->strength, 7);

                const auto lastTime = lastSeen.find(ss.prn);
                const bool arcStarts = lastTime == lastSeen.end() || s.time.sow - lastTime->second > kMaxGapS;
                lastSeen[ss.prn] = s.time.sow;
                if (arcStarts) l2Begun.erase(ss.prn);
                for (int band = 1; band <= 2; ++band) {
                    const char* type = band == 1 ? "L1" : "L2";
                    const rinex::ObsValue* sv = Value(source, ss, type);
                    const rinex::ObsValue* kv = Value(out, *ks, type);
                    Carrier& carrier = carriers[{ss.prn, band}];
                    const bool lockLost = LockLost(kv);
                    carrier.lockLostSince = carrier.lockLostSince || lockLost;
                    // Every loss of lock of the source is in Kestrel's file.
                    if (LockLost(sv)) {
                        EXPECT_TRUE(lockLost) << type;
                    }
                    // Kestrel's other flags: the start of an arc on that carrier, or an epoch
                    // where the receiver sent no phase (the lock counter moved on).
                    const bool firstOfArc = band == 1 ? arcStarts : Has(kv) && !l2Begun.count(ss.prn);
                    if (band == 2 && Has(kv)) l2Begun.insert(ss.prn);
                    if (lockLost && !LockLost(sv)) {
                        EXPECT_TRUE(firstOfArc || !Has(sv)) << type;
                    }
                    if (!Has(sv)) {
                        if (band == 1 && Has(kv)) {
                            // No phase: the receiver's offset 0 makes the phase the code range in cycles.
                            ++withoutSourcePhase;
                            EXPECT_NEAR(kv->value, Value(out, *ks, "C1")->value / kL1WavelengthM, 0.01);
                            EXPECT_TRUE(lockLost);
                        }
                        continue;
                    }
                    ASSERT_TRUE(Has(kv)) << type;
                    // Phases equal the source's plus one whole number of cycles per arc, which
                    // changes only where Kestrel flags a loss of lock.
                    const double difference = kv->value - sv->value;
                    const long long integer = std::llround(difference);
                    EXPECT_NEAR(difference, static_cast<double>(integer), kPhaseToleranceCycles) << type;
                    if (carrier.seen && integer != carrier.integer) {
                        EXPECT_TRUE(carrier.lockLostSince) << type << ": an unflagged slip";
                    }
                    carrier = Carrier{true, integer, false};
                }
            }
        }
        // The source's four epochs with a C/A range but no L1 phase.
        EXPECT_EQ(withoutSourcePhase, 4);
        EXPECT_EQ(c.result.l1Slips, 11);
        EXPECT_EQ(c.result.l2Slips, 6);
    }
}

TEST(RinexConvert, ClockOffsetsAreTheClockSolutionsOfTheConversion) {
    const test::ScratchDir dir;
    reset_single_point_state();  // as the RINEX conversion starts
    const test::ConversionRun obxRun = test::RunConversion(test::DataPath(kStationLog), dir.file("station"));
    ASSERT_EQ(obxRun.result, 0) << obxRun.errorText;
    const obx::ObxContents obx = obx::ReadObx(obxRun.obxPath);
    std::map<long long, double> offsets;  // ms of week: clock offset, s
    for (const auto& e : obx.epochs) {
        if (e.position.clock_offset != 0.0) {
            offsets[std::llround(e.position.time_tag * 1000)] = e.position.clock_offset / kSpeedOfLightMps;
        }
    }
    ASSERT_GT(offsets.size(), 100u);
    for (const RinexVersion version : kVersions) {
        SCOPED_TRACE(VersionName(version));
        const Conversion c = Convert(Options(dir, kStationLog, version));
        ASSERT_EQ(c.status, 0) << c.error;
        const double printed = version == RinexVersion::k304 ? 5e-13 : 5e-10;
        std::size_t withOffset = 0;
        for (const auto& e : c.obs.epochs) {
            const auto it = offsets.find(std::llround(e.time.sow * 1000));
            ASSERT_EQ(e.hasClockOffset, it != offsets.end()) << e.time.sow;
            if (!e.hasClockOffset) continue;
            ++withOffset;
            EXPECT_NEAR(e.clockOffset, it->second, printed) << e.time.sow;
        }
        EXPECT_EQ(withOffset, offsets.size());
        EXPECT_EQ(c.result.solutions, static_cast<int32_t>(offsets.size()));
    }
}

// ---------------------------------------------------------------------------------------
// Navigation values against the source navigation file and the decoded ephemerides.

struct EphemerisKeyed {
    int prn, iode;
    double toe;
    bool operator<(const EphemerisKeyed& o) const { return std::tie(prn, iode, toe) < std::tie(o.prn, o.iode, o.toe); }
};

struct Recorder : DecodeObserver {
    std::vector<DecodedEphemeris> ephemerides;
    void OnEpoch(const DecodedEpoch&) override {}
    void OnEphemeris(const DecodedEphemeris& e) override { ephemerides.push_back(e); }
};

std::vector<DecodedEphemeris> DecodedEphemerides(const std::string& log) {
    eph_store_clear();
    Recorder recorder;
    EXPECT_EQ(OpenPort(0, nullptr), 0);
    OptionRecord options{0, 1, 1, 0};
    SetPortOptions(0, &options, sizeof options);
    SetPortObserver(0, &recorder);
    test::PortFeeder feeder(0);
    feeder.Feed(test::ReadFileBytes(test::DataPath(log)));
    feeder.FeedEnd();
    SetPortObserver(0, nullptr);
    return recorder.ephemerides;
}

// A broadcast field: its value in the file's record and in the decoded record, and its unit.
struct NavField {
    const char* name;
    double (*file)(const rinex::NavRecord&);
    double (*decoded)(const GpsEphRecord&);
    double unit;
};
const NavField kNavFields[] = {
    {"af0", [](const rinex::NavRecord& n) { return n.af0; }, [](const GpsEphRecord& r) { return r.Af0; }, 0x1p-31},
    {"af1", [](const rinex::NavRecord& n) { return n.af1; }, [](const GpsEphRecord& r) { return r.Af1; }, 0x1p-43},
    {"af2", [](const rinex::NavRecord& n) { return n.af2; }, [](const GpsEphRecord& r) { return r.Af2; }, 0x1p-55},
    {"toc", [](const rinex::NavRecord& n) { return n.toc; }, [](const GpsEphRecord& r) { return double(r.Toc); }, 16},
    {"crs", [](const rinex::NavRecord& n) { return n.crs; }, [](const GpsEphRecord& r) { return r.Crs; }, 0x1p-5},
    {"deltaN", [](const rinex::NavRecord& n) { return n.deltaN; }, [](const GpsEphRecord& r) { return r.DeltaN; },
     kPi * 0x1p-43},
    {"m0", [](const rinex::NavRecord& n) { return n.m0; }, [](const GpsEphRecord& r) { return r.M0; }, kPi * 0x1p-31},
    {"cuc", [](const rinex::NavRecord& n) { return n.cuc; }, [](const GpsEphRecord& r) { return r.Cuc; }, 0x1p-29},
    {"ecc", [](const rinex::NavRecord& n) { return n.ecc; }, [](const GpsEphRecord& r) { return r.Ecc; }, 0x1p-33},
    {"cus", [](const rinex::NavRecord& n) { return n.cus; }, [](const GpsEphRecord& r) { return r.Cus; }, 0x1p-29},
    {"sqrtA", [](const rinex::NavRecord& n) { return n.sqrtA; }, [](const GpsEphRecord& r) { return r.SqrtA; },
     0x1p-19},
    {"toe", [](const rinex::NavRecord& n) { return n.toe; }, [](const GpsEphRecord& r) { return double(r.Toe); }, 16},
    {"cic", [](const rinex::NavRecord& n) { return n.cic; }, [](const GpsEphRecord& r) { return r.Cic; }, 0x1p-29},
    {"omega0", [](const rinex::NavRecord& n) { return n.omega0; }, [](const GpsEphRecord& r) { return r.Omega0; },
     kPi * 0x1p-31},
    {"cis", [](const rinex::NavRecord& n) { return n.cis; }, [](const GpsEphRecord& r) { return r.Cis; }, 0x1p-29},
    {"i0", [](const rinex::NavRecord& n) { return n.i0; }, [](const GpsEphRecord& r) { return r.I0; }, kPi * 0x1p-31},
    {"crc", [](const rinex::NavRecord& n) { return n.crc; }, [](const GpsEphRecord& r) { return r.Crc; }, 0x1p-5},
    {"omega", [](const rinex::NavRecord& n) { return n.omega; }, [](const GpsEphRecord& r) { return r.Omega; },
     kPi * 0x1p-31},
    {"omegaDot", [](const rinex::NavRecord& n) { return n.omegaDot; },
     [](const GpsEphRecord& r) { return r.OmegaDot; }, kPi * 0x1p-43},
    {"idot", [](const rinex::NavRecord& n) { return n.idot; }, [](const GpsEphRecord& r) { return r.Idot; },
     kPi * 0x1p-43},
    {"tgd", [](const rinex::NavRecord& n) { return n.tgd; }, [](const GpsEphRecord& r) { return r.Tgd; }, 0x1p-31},
};

// Nominal user range accuracy (m) of URA indexes 0..15.
const double kUraMetres[16] = {2, 2.8, 4, 5.7, 8, 11.3, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192};
int UraIndex(double metres) {
    int i = 0;
    while (i < 15 && kUraMetres[i] < metres - 1e-9) ++i;
    return i;
}

TEST(RinexConvert, StationNavigationMatchesTheSourceFileAndTheDecodedValues) {
    std::map<EphemerisKeyed, rinex::NavRecord> source;
    for (const auto& n : StationNavigation()) source.emplace(EphemerisKeyed{n.prn, n.iode, n.toe}, n);
    std::map<EphemerisKeyed, DecodedEphemeris> decoded;
    for (const auto& d : DecodedEphemerides(kStationLog)) {
        decoded.emplace(EphemerisKeyed{d.record.Prn, d.record.Iode, double(d.record.Toe)}, d);
    }
    ASSERT_EQ(decoded.size(), 23u);

    for (const RinexVersion version : kVersions) {
        SCOPED_TRACE(VersionName(version));
        const test::ScratchDir dir;
        const Conversion c = Convert(Options(dir, kStationLog, version));
        ASSERT_EQ(c.status, 0) << c.error;
        // One record per distinct ephemeris, in time order.
        ASSERT_EQ(c.nav.size(), decoded.size());
        EXPECT_EQ(c.result.ephemerides, static_cast<int32_t>(c.nav.size()));
        std::set<EphemerisKeyed> written;
        for (std::size_t i = 0; i < c.nav.size(); ++i) {
            const rinex::NavRecord& k = c.nav[i];
            SCOPED_TRACE("PRN " + std::to_string(k.prn) + " IODE " + std::to_string(k.iode));
            const EphemerisKeyed key{k.prn, k.iode, k.toe};
            EXPECT_TRUE(written.insert(key).second) << "written twice";
            if (i > 0) {
                const auto& p = c.nav[i - 1];
                EXPECT_LE(std::make_pair(p.tocWeek * kSecondsPerWeek + p.toc, p.prn),
                          std::make_pair(k.tocWeek * kSecondsPerWeek + k.toc, k.prn));
            }
            ASSERT_TRUE(source.count(key)) << "not in the source file";
            ASSERT_TRUE(decoded.count(key)) << "not decoded";
            const rinex::NavRecord& s = source.at(key);
            const DecodedEphemeris& d = decoded.at(key);
            for (const NavField& f : kNavFields) {
                // Within half a broadcast unit of the source (and its own printed digits), and
                // the decoded value to the 13 digits printed.
                EXPECT_NEAR(f.file(k), f.file(s), f.unit / 2 + std::fabs(f.file(s)) * 1e-12) << f.name;
                EXPECT_NEAR(f.file(k), f.decoded(d.record), std::fabs(f.decoded(d.record)) * 5e-13) << f.name;
            }
            EXPECT_EQ(k.week, s.week);
            EXPECT_EQ(k.tocWeek, s.tocWeek);
            EXPECT_EQ(k.TransmissionTotal(), s.TransmissionTotal());
            EXPECT_EQ(k.iodc, s.iodc);
            EXPECT_EQ(k.health, s.health);
            EXPECT_EQ(k.l2Codes, s.l2Codes);
            EXPECT_EQ(k.l2PFlag, s.l2PFlag);
            // The URA in metres: the nominal value of the broadcast index, which is the index of
            // the source's value.
            EXPECT_EQ(k.accuracy, kUraMetres[d.uraIndex]);
            EXPECT_EQ(UraIndex(k.accuracy), UraIndex(s.accuracy));
            // Fit interval: the source leaves it 0 (not known); the flag is 0, a 4-hour fit.
            EXPECT_EQ(d.fitIntervalFlag, 0);
            EXPECT_EQ(s.fitInterval, 0.0);
            EXPECT_EQ(k.fitInterval, 4.0);
        }
    }
}

// An EPHEMERIS frame whose subframe 1 carries `week` (10 bits) as its week number.
std::vector<uint8_t> WithBroadcastWeek(std::vector<uint8_t> frame, int week) {
    constexpr std::size_t kPayload = 15;
    week &= 0x3FF;
    frame[kPayload] = static_cast<uint8_t>(week >> 2);
    frame[kPayload + 1] = static_cast<uint8_t>((frame[kPayload + 1] & 0x3F) | ((week & 3) << 6));
    uint8_t checksum = 0;
    for (std::size_t i = 3; i + 1 < frame.size(); ++i) checksum ^= frame[i];
    frame.back() = checksum;
    return frame;
}

TEST(RinexConvert, EphemerisSentAtTheWeeksEndKeepsToeInTheNextWeek) {
    // A station ephemeris moved 22 hours on: Toe and Toc at the start of week 1317, sent in
    // the last hours of week 1316 (at 598776 s) and written with a transmission time counted
    // from Toe's week. Whether subframe 1 names the week of transmission or that of Toe, the
    // record is the same.
    const rinex::NavRecord& original = StationNavigation().front();
    ASSERT_EQ(original.toe, 525600.0);
    const rinex::NavRecord moved = rinex::ShiftNavRecord(original, 79200.0);
    ASSERT_EQ(moved.week, 1317);
    ASSERT_EQ(moved.toe, 0.0);
    ASSERT_EQ(moved.transmissionTime, -6024.0);
    for (const int broadcastWeek : {kStationWeek, kStationWeek + 1}) {
        SCOPED_TRACE(broadcastWeek);
        const test::ScratchDir dir;
        std::vector<uint8_t> log = WithBroadcastWeek(rinex::EncodeEphemerisFrame(moved), broadcastWeek);
        const auto epochs = MadeLog({{599000000, kStationWeek}, {599001000, kStationWeek}});
        log.insert(log.end(), epochs.begin(), epochs.end());
        test::WriteFileBytes(dir.file("weekend.log"), log);
        for (const RinexVersion version : kVersions) {
            const Conversion c = Convert(Options(dir, dir.file("weekend.log"), version));
            ASSERT_EQ(c.status, 0) << c.error;
            ASSERT_EQ(c.nav.size(), 1u);
            EXPECT_EQ(c.nav[0].week, 1317);
            EXPECT_EQ(c.nav[0].toe, 0.0);
            EXPECT_EQ(c.nav[0].tocWeek, 1317);
            EXPECT_EQ(c.nav[0].toc, 0.0);
            EXPECT_EQ(c.nav[0].transmissionTime, -6024.0);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Both versions through the project's reader.

TEST(RinexConvert, BothVersionsReadBackAsTheSameValuesAndCounts) {
    for (const char* log : {kStationLog, kShortCapture, kLongCapture}) {
        SCOPED_TRACE(log);
        const test::ScratchDir dir304, dir211;
        const Conversion a = Convert(Options(dir304, log, RinexVersion::k304));
        const Conversion b = Convert(Options(dir211, log, RinexVersion::k211));
        ASSERT_EQ(a.status, 0) << a.error;
        ASSERT_EQ(b.status, 0) << b.error;
        EXPECT_EQ(a.obs.header.version, 3.04);
        EXPECT_EQ(b.obs.header.version, 2.11);
        ASSERT_EQ(a.obs.header.types.size(), b.obs.header.types.size());
        ASSERT_EQ(a.obs.epochs.size(), b.obs.epochs.size());
        ASSERT_GT(a.obs.epochs.size(), 0u);

        // Counts: the summary's and the header's agree with the body.
        std::map<int, std::vector<int>> perType;  // PRN: observations per type (3.04 order)
        int observations = 0;
        for (std::size_t e = 0; e < a.obs.epochs.size(); ++e) {
            const auto& x = a.obs.epochs[e];
            const auto& y = b.obs.epochs[e];
            EXPECT_EQ(x.time.week, y.time.week);
            EXPECT_EQ(x.time.sow, y.time.sow);
            EXPECT_EQ(x.flag, y.flag);
            ASSERT_EQ(x.hasClockOffset, y.hasClockOffset);
            if (x.hasClockOffset) {
                EXPECT_NEAR(x.clockOffset, y.clockOffset, 5e-10);
            }
            ASSERT_EQ(x.satellites.size(), y.satellites.size());
            for (std::size_t s = 0; s < x.satellites.size(); ++s) {
                const auto& sx = x.satellites[s];
                const auto& sy = y.satellites[s];
                EXPECT_EQ(sx.prn, sy.prn);
                auto& counts = perType[sx.prn];
                counts.resize(a.obs.header.types.size());
                ++observations;
                for (std::size_t t = 0; t < a.obs.header.types.size(); ++t) {
                    const std::string& type = a.obs.header.types[t];
                    const rinex::ObsValue* vx = Value(a.obs, sx, type.c_str());
                    const rinex::ObsValue* vy = Value(b.obs, sy, type.c_str());
                    ASSERT_NE(vy, nullptr) << type;
                    EXPECT_EQ(vx->present, vy->present) << type;
                    EXPECT_EQ(vx->value, vy->value) << type;
                    EXPECT_EQ(vx->lli, vy->lli) << type;
                    EXPECT_EQ(vx->strength, vy->strength) << type;
                    if (vx->present) ++counts[t];
                }
            }
        }
        EXPECT_EQ(a.result.epochs, static_cast<int32_t>(a.obs.epochs.size()));
        EXPECT_EQ(a.result.observations, observations);
        EXPECT_EQ(a.result.satellites, static_cast<int32_t>(perType.size()));
        const auto prnLines = RecordsLabelled(a.obsText, "PRN / # OF OBS");
        ASSERT_EQ(prnLines.size(), perType.size());
        std::size_t line = 0;
        for (const auto& [prn, counts] : perType) {
            char expected[61];
            int at = std::snprintf(expected, sizeof expected, "   G%02d", prn);
            for (int n : counts) at += std::snprintf(expected + at, sizeof expected - at, "%6d", n);
            EXPECT_EQ(prnLines[line++].substr(0, static_cast<std::size_t>(at)), expected);
        }
        char satellites[8];
        std::snprintf(satellites, sizeof satellites, "%6zu", perType.size());
        EXPECT_EQ(RecordsLabelled(a.obsText, "# OF SATELLITES").at(0).substr(0, 6), satellites);

        // The navigation records, the same doubles in both versions.
        ASSERT_EQ(a.nav.size(), b.nav.size());
        EXPECT_EQ(a.result.ephemerides, static_cast<int32_t>(a.nav.size()));
        for (std::size_t i = 0; i < a.nav.size(); ++i) {
            for (const NavField& f : kNavFields) EXPECT_EQ(f.file(a.nav[i]), f.file(b.nav[i])) << f.name;
            EXPECT_EQ(a.nav[i].TransmissionTotal(), b.nav[i].TransmissionTotal());
            EXPECT_EQ(a.nav[i].accuracy, b.nav[i].accuracy);
            EXPECT_EQ(a.nav[i].fitInterval, b.nav[i].fitInterval);
        }
    }
}

TEST(RinexConvert, RealCapturesKeepTheirWeekP1AndSignalStrengths) {
    for (const char* log : {kShortCapture, kLongCapture}) {
        SCOPED_TRACE(log);
        const test::ScratchDir dir;
        const Conversion c = Convert(Options(dir, log, RinexVersion::k304));
        ASSERT_EQ(c.status, 0) << c.error;
        // Week 1410 from the frames, one epoch a second from 123624 s, P1 on most blocks.
        ASSERT_FALSE(c.obs.epochs.empty());
        EXPECT_EQ(c.obs.epochs.front().time.week, 1410);
        EXPECT_DOUBLE_EQ(c.obs.epochs.front().time.sow, 123624.0);
        EXPECT_NE(c.obs.header.TypeIndex("P1"), -1);
        EXPECT_EQ(RecordsLabelled(c.obsText, "INTERVAL").at(0).substr(0, 10), "     1.000");
        int withP1 = 0, blocks = 0;
        for (const auto& e : c.obs.epochs) {
            for (const auto& s : e.satellites) {
                ++blocks;
                withP1 += Has(Value(c.obs, s, "P1"));
                // The strength figure is 35 + a 4-bit code; its digit follows RINEX's 6 dB-Hz steps.
                const double strength = Value(c.obs, s, "S1")->value;
                EXPECT_GE(strength, 35.0);
                EXPECT_LE(strength, 50.0);
                EXPECT_EQ(Value(c.obs, s, "L1")->strength, strength >= 48 ? 8 : strength >= 42 ? 7 : 6);
            }
        }
        EXPECT_GT(withP1 * 2, blocks);
        // The broadcast weeks (10-bit 386) resolved to 1410.
        ASSERT_EQ(c.nav.size(), 13u);
        for (const auto& n : c.nav) EXPECT_EQ(n.week, 1410) << n.prn;
    }
}

// ---------------------------------------------------------------------------------------
// Header.

TEST(RinexConvert, HeaderCarriesEveryRequiredRecordAndTheOptions) {
    struct Case {
        RinexVersion version;
        std::vector<std::string> labels;  // in order
    };
    const Case cases[] = {
        {RinexVersion::k304,
         {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "COMMENT", "COMMENT", "COMMENT", "MARKER NAME",
          "MARKER NUMBER", "MARKER TYPE", "OBSERVER / AGENCY", "REC # / TYPE / VERS", "ANT # / TYPE",
          "APPROX POSITION XYZ", "ANTENNA: DELTA H/E/N", "SYS / # / OBS TYPES", "SIGNAL STRENGTH UNIT", "INTERVAL",
          "TIME OF FIRST OBS", "TIME OF LAST OBS", "RCV CLOCK OFFS APPL", "SYS / PHASE SHIFT", "SYS / PHASE SHIFT",
          "GLONASS SLOT / FRQ #", "GLONASS COD/PHS/BIS", "LEAP SECONDS", "# OF SATELLITES"}},
        {RinexVersion::k211,
         {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "COMMENT", "COMMENT", "COMMENT", "MARKER NAME", "MARKER NUMBER",
          "OBSERVER / AGENCY", "REC # / TYPE / VERS", "ANT # / TYPE", "APPROX POSITION XYZ", "ANTENNA: DELTA H/E/N",
          "WAVELENGTH FACT L1/2", "# / TYPES OF OBSERV", "INTERVAL", "TIME OF FIRST OBS", "TIME OF LAST OBS",
          "RCV CLOCK OFFS APPL", "LEAP SECONDS", "# OF SATELLITES"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(VersionName(c.version));
        const test::ScratchDir dir;
        RinexRunOptions o = Options(dir, kStationLog, c.version);
        StationOptions& st = o.station;
        st.markerName = "0759";
        st.markerNumber = "21759";
        st.observer = "Someone";
        st.agency = "GSI";
        st.receiverNumber = "12345";
        st.receiverType = "NAVCOM NCT-2030M";
        st.receiverVersion = "2.6";
        st.antennaNumber = "678";
        st.antennaType = "TRM29659.00     NONE";
        st.antennaDeltaHenM = {1.2345, 0.1, -0.2};
        st.positionM = std::array<double, 3>{-3976219.5082, 3382372.5671, 3652512.9849};
        o.comments = {"first comment", "second comment"};
        const Conversion run = Convert(o);
        ASSERT_EQ(run.status, 0) << run.error;
        const auto records = HeaderRecords(run.obsText);
        std::vector<std::string> labels;
        for (const auto& [label, content] : records) {
            if (label != "PRN / # OF OBS" && label != "END OF HEADER") labels.push_back(label);
        }
        EXPECT_EQ(labels, c.labels);
        EXPECT_EQ(records.back().first, "END OF HEADER");
        EXPECT_EQ(RecordsLabelled(run.obsText, "PRN / # OF OBS").size(), 11u);

        const bool v3 = c.version == RinexVersion::k304;
        const std::pair<const char*, std::string> expected[] = {
            {"PGM / RUN BY / DATE", "kestrel test        GSI                 20260102 030405 UTC "},
            {"COMMENT", "first comment"},
            {"MARKER NAME", "0759"},
            {"MARKER NUMBER", "21759"},
            {"OBSERVER / AGENCY", "Someone             GSI"},
            {"REC # / TYPE / VERS", "12345               NAVCOM NCT-2030M    2.6"},
            {"ANT # / TYPE", "678                 TRM29659.00     NONE"},
            {"APPROX POSITION XYZ", " -3976219.5082  3382372.5671  3652512.9849"},
            {"ANTENNA: DELTA H/E/N", "        1.2345        0.1000       -0.2000"},
            {"INTERVAL", v3 ? "    30.000" : "    30.000"},
            {"TIME OF FIRST OBS", "  2005     4     2     0     0    0.0000000     GPS"},
            {"TIME OF LAST OBS", "  2005     4     2     0    59   30.0050000     GPS"},
            {"RCV CLOCK OFFS APPL", "     0"},
            {"LEAP SECONDS", "    13"},
            {"# OF SATELLITES", "    11"},
        };
        for (const auto& [label, start] : expected) {
            const auto lines = RecordsLabelled(run.obsText, label);
            ASSERT_FALSE(lines.empty()) << label;
            EXPECT_EQ(lines.front().substr(0, start.size()), start) << label;
        }
        if (v3) {
            EXPECT_EQ(RecordsLabelled(run.obsText, "SYS / PHASE SHIFT"),
                      (std::vector<std::string>{std::string("G L1C  0.00000").append(46, ' '),
                                                std::string("G L2W  0.00000").append(46, ' ')}));
        }
        EXPECT_EQ(run.obs.header.markerName, "0759");
    }
}

TEST(RinexConvert, DefaultPositionIsTheMedianSolutionAndZerosWithoutSolutions) {
    const double station[3] = {-3976219.5082, 3382372.5671, 3652512.9849};
    const test::ScratchDir dir;
    RinexRunOptions o = Options(dir, kStationLog, RinexVersion::k304);
    Conversion c = Convert(o);
    ASSERT_EQ(c.status, 0) << c.error;
    ASSERT_TRUE(c.obs.header.hasApproxPosition);
    const auto& p = c.obs.header.approxPosition;
    EXPECT_LT(std::hypot(p[0] - station[0], p[1] - station[1], p[2] - station[2]), 15.0);
    // The log's name gives the marker.
    EXPECT_EQ(c.obs.header.markerName, "gsi07592005092");

    o.clockCorrection = false;
    c = Convert(o);
    ASSERT_EQ(c.status, 0) << c.error;
    EXPECT_EQ(c.obs.header.approxPosition, (std::array<double, 3>{0, 0, 0}));
}

// ---------------------------------------------------------------------------------------
// Data options.

// The epochs of a file by time (ms of GPS time), for comparing a subset with the whole.
std::map<long long, const rinex::ObsEpoch*> ByTime(const rinex::ObsFile& f) {
    std::map<long long, const rinex::ObsEpoch*> m;
    for (const auto& e : f.epochs) m[std::llround(e.time.week * kSecondsPerWeek * 1000 + e.time.sow * 1000)] = &e;
    return m;
}

TEST(RinexConvert, WindowKeepsTheEpochsFromFromToToAndFlagsEachSatellitesFirst) {
    struct Case {
        double from, to;  // seconds of week 1316; negative: not given
        std::size_t epochs;
        double first, last;
    };
    const Case cases[] = {
        {519000.0, 519600.001, 21, 519000.001, 519600.001},  // both ends inclusive
        {519000.002, 519600.0, 19, 519030.001, 519570.001},
        {521000.0, -1, 33, 521010.003, 521970.005},
        {-1, 518459.999, 2, 518400.0, 518430.0},
    };
    const test::ScratchDir dir;
    const Conversion whole = Convert(Options(dir, kStationLog, RinexVersion::k304));
    ASSERT_EQ(whole.status, 0);
    const auto all = ByTime(whole.obs);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.to));
        const test::ScratchDir part;
        RinexRunOptions o = Options(part, kStationLog, RinexVersion::k304);
        if (c.from >= 0) o.from = GpsTime{kStationWeek, c.from};
        if (c.to >= 0) o.to = GpsTime{kStationWeek, c.to};
        const Conversion run = Convert(o);
        ASSERT_EQ(run.status, 0) << run.error;
        ASSERT_EQ(run.obs.epochs.size(), c.epochs);
        EXPECT_NEAR(run.obs.epochs.front().time.sow, c.first, 1e-6);
        EXPECT_NEAR(run.obs.epochs.back().time.sow, c.last, 1e-6);
        EXPECT_EQ(run.result.epochsDropped, static_cast<int32_t>(120 - c.epochs));
        // The same observations as the whole hour; each satellite's first epoch in the
        // window starts its phase in this file and is flagged.
        std::set<int> seen;
        for (const auto& e : run.obs.epochs) {
            const auto* w = all.at(std::llround(e.time.week * kSecondsPerWeek * 1000 + e.time.sow * 1000));
            for (const auto& s : e.satellites) {
                const auto* ws = Find(*w, s.prn);
                ASSERT_NE(ws, nullptr);
                EXPECT_EQ(Value(run.obs, s, "C1")->value, Value(whole.obs, *ws, "C1")->value);
                EXPECT_EQ(Value(run.obs, s, "L1")->value, Value(whole.obs, *ws, "L1")->value);
                if (seen.insert(s.prn).second) {
                    EXPECT_TRUE(LockLost(Value(run.obs, s, "L1"))) << s.prn;
                }
            }
        }
    }
}

TEST(RinexConvert, DecimationKeepsTheGridAndFlagsALossOfLockInADroppedEpochNext) {
    const test::ScratchDir dir;
    const Conversion whole = Convert(Options(dir, kStationLog, RinexVersion::k304));
    ASSERT_EQ(whole.status, 0);
    for (const double interval : {60.0, 90.0, 300.0}) {
        SCOPED_TRACE(interval);
        const test::ScratchDir part;
        RinexRunOptions o = Options(part, kStationLog, RinexVersion::k304);
        o.intervalS = interval;
        const Conversion run = Convert(o);
        ASSERT_EQ(run.status, 0) << run.error;
        // The receiver's tags lie up to 5 ms off the grid: every grid point of the hour is kept.
        EXPECT_EQ(run.obs.epochs.size(), static_cast<std::size_t>(3600 / interval));
        EXPECT_NEAR(std::stod(RecordsLabelled(run.obsText, "INTERVAL").at(0)), interval, 1e-9);

        // A satellite is flagged at a kept epoch exactly when the whole file flagged it at that
        // epoch or at one dropped since the satellite's previous kept epoch.
        std::map<std::pair<int, int>, bool> pending;  // (PRN, band): a flag not yet written
        std::size_t kept = 0;
        for (const auto& e : whole.obs.epochs) {
            const bool isKept = kept < run.obs.epochs.size() && run.obs.epochs[kept].time.sow == e.time.sow;
            const double offGrid = std::remainder(e.time.sow, interval);
            EXPECT_EQ(isKept, std::fabs(offGrid) < 0.01) << e.time.sow;
            for (const auto& s : e.satellites) {
                const rinex::ObsSatellite* ks = isKept ? Find(run.obs.epochs[kept], s.prn) : nullptr;
                for (int band = 1; band <= 2; ++band) {
                    const char* type = band == 1 ? "L1" : "L2";
                    bool& p = pending[{s.prn, band}];
                    p = p || LockLost(Value(whole.obs, s, type));
                    if (ks == nullptr || !Has(Value(run.obs, *ks, type))) continue;
                    EXPECT_EQ(LockLost(Value(run.obs, *ks, type)), p) << "PRN " << s.prn << " " << type << " at "
                                                                       << e.time.sow;
                    p = false;
                }
            }
            if (isKept) ++kept;
        }
        EXPECT_EQ(kept, run.obs.epochs.size());
    }
}

TEST(RinexConvert, TrackedOnlyNoNavNoClockCorrectionAndDoppler) {
    const test::ScratchDir dir;
    const Conversion plain = Convert(Options(dir, kStationLog, RinexVersion::k304));
    ASSERT_EQ(plain.status, 0);
    std::set<int> observed;
    for (const auto& e : plain.obs.epochs) {
        for (const auto& s : e.satellites) observed.insert(s.prn);
    }
    std::set<int> navPrns;
    for (const auto& n : plain.nav) navPrns.insert(n.prn);
    ASSERT_FALSE(std::includes(observed.begin(), observed.end(), navPrns.begin(), navPrns.end()));

    for (const RinexVersion version : kVersions) {
        SCOPED_TRACE(VersionName(version));
        {  // --tracked-only: the records of observed satellites, all of them.
            const test::ScratchDir d;
            RinexRunOptions o = Options(d, kStationLog, version);
            o.trackedOnly = true;
            const Conversion c = Convert(o);
            ASSERT_EQ(c.status, 0) << c.error;
            std::size_t expected = 0;
            for (const auto& n : plain.nav) expected += observed.count(n.prn);
            EXPECT_EQ(c.nav.size(), expected);
            for (const auto& n : c.nav) EXPECT_TRUE(observed.count(n.prn)) << n.prn;
        }
        {  // --no-nav: no navigation file.
            const test::ScratchDir d;
            RinexRunOptions o = Options(d, kStationLog, version);
            o.writeNav = false;
            const Conversion c = Convert(o);
            ASSERT_EQ(c.status, 0) << c.error;
            EXPECT_EQ(c.result.navPath, "");
            EXPECT_EQ(c.result.ephemerides, 0);
            EXPECT_EQ(FilesIn(d.path()), (std::vector<std::string>{"out.obs"}));
        }
        {  // --no-clock-correction: blank clock offsets, the same observations.
            const test::ScratchDir d;
            RinexRunOptions o = Options(d, kStationLog, version);
            o.clockCorrection = false;
            const Conversion c = Convert(o);
            ASSERT_EQ(c.status, 0) << c.error;
            ASSERT_EQ(c.obs.epochs.size(), plain.obs.epochs.size());
            for (std::size_t e = 0; e < c.obs.epochs.size(); ++e) {
                EXPECT_FALSE(c.obs.epochs[e].hasClockOffset);
                ASSERT_EQ(c.obs.epochs[e].satellites.size(), plain.obs.epochs[e].satellites.size());
                for (std::size_t s = 0; s < c.obs.epochs[e].satellites.size(); ++s) {
                    EXPECT_EQ(Value(c.obs, c.obs.epochs[e].satellites[s], "L1")->value,
                              Value(plain.obs, plain.obs.epochs[e].satellites[s], "L1")->value);
                }
            }
            EXPECT_EQ(c.result.solutions, 0);
            EXPECT_EQ(c.nav.size(), plain.nav.size());
        }
        {  // --doppler: D1 from successive C/A ranges, blank at an arc's first epoch, and a comment.
            const test::ScratchDir d;
            RinexRunOptions o = Options(d, kStationLog, version);
            o.doppler = true;
            const Conversion c = Convert(o);
            ASSERT_EQ(c.status, 0) << c.error;
            ASSERT_NE(c.obs.header.TypeIndex("D1"), -1);
            EXPECT_NE(c.obsText.find(version == RinexVersion::k304 ? "D1C" : "    D1"), std::string::npos);
            const auto comments = RecordsLabelled(c.obsText, "COMMENT");
            ASSERT_EQ(comments.size(), 4u);  // and where the position came from
            EXPECT_EQ(comments[0].rfind("D1C/D1: L1 Doppler derived by Kestrel", 0), 0u) << comments[0];
            std::map<int, std::pair<double, double>> previous;  // PRN: time, C1
            int dopplers = 0;
            for (const auto& e : c.obs.epochs) {
                for (const auto& s : e.satellites) {
                    const rinex::ObsValue* d1 = Value(c.obs, s, "D1");
                    const double c1 = Value(c.obs, s, "C1")->value;
                    const auto p = previous.find(s.prn);
                    EXPECT_EQ(d1->present, p != previous.end()) << s.prn << " at " << e.time.sow;
                    if (d1->present && p != previous.end()) {
                        ++dopplers;
                        // Positive when the satellite approaches (its range shrinks).
                        const double expected = -(c1 - p->second.second) / kL1WavelengthM / (e.time.sow - p->second.first);
                        EXPECT_NEAR(d1->value, expected, 2e-3 / kL1WavelengthM / 30 + 1e-3);
                    }
                    previous[s.prn] = {e.time.sow, c1};
                }
            }
            EXPECT_GT(dopplers, 800);
        }
    }
}

// ---------------------------------------------------------------------------------------
// GPS weeks: from the frames or the option.

TEST(RinexConvert, WeekFromTheFramesOrTheOptionAndRefusalWithoutEither) {
    constexpr uint32_t kLastSecondMs = 604799000;
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, uint16_t>> epochs;  // time of week (ms), frame week
        std::optional<int> week;
        const char* refusal;  // start of the error text; null when the log converts
        std::vector<GpsTime> times;
        const char* advice = "give the week of the first epoch";  // in the refusal
    };
    const Case cases[] = {
        {"frames give the week", {{1000, 1316}, {2000, 1316}}, std::nullopt, nullptr, {{1316, 1.0}, {1316, 2.0}}},
        {"week rolls over with the time of week",
         {{kLastSecondMs, 1316}, {0, 1317}},
         std::nullopt,
         nullptr,
         {{1316, 604799.0}, {1317, 0.0}}},
        {"no week, none given", {{1000, 0}, {2000, 0}, {3000, 0}}, std::nullopt, "Error: the MEASUREMENT frames of ", {}},
        {"week jumps", {{1000, 1316}, {2000, 1400}, {3000, 1400}}, std::nullopt, "Error: the GPS week of ", {}},
        {"no week, given", {{1000, 0}, {2000, 0}}, 1316, nullptr, {{1316, 1.0}, {1316, 2.0}}},
        {"given week rolls over",
         {{kLastSecondMs, 0}, {0, 0}},
         1316,
         nullptr,
         {{1316, 604799.0}, {1317, 0.0}}},
        // A week given for frames that carry another is refused, with both weeks: it would
        // date the observations in one week and the ephemerides in another.
        {"given week against the frames'", {{1000, 1316}, {2000, 1316}}, 1500,
         "Error: --week 1500 was given, but the frames of ", {}, "carry GPS week 1316"},
        {"given week agrees with the frames'", {{1000, 1316}, {2000, 1316}}, 1316, nullptr, {{1316, 1.0}, {1316, 2.0}}},
        {"given week, frames carry one later", {{1000, 0}, {2000, 1317}}, 1316, "Error: --week 1316 was given", {},
         "carry GPS week 1317"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::ScratchDir dir;
        // A lock counter that changes at the second epoch: its slip message must not take the
        // refusal's place in the error text.
        test::WriteFileBytes(dir.file("made.log"), MadeLog(c.epochs, 1));
        RinexRunOptions o = Options(dir, dir.file("made.log"), RinexVersion::k304);
        o.week = c.week;
        const Conversion run = Convert(o);
        if (c.refusal != nullptr) {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.error.rfind(c.refusal, 0), 0u) << run.error;
            EXPECT_NE(run.error.find(dir.file("made.log")), std::string::npos) << run.error;
            EXPECT_NE(run.error.find(c.advice), std::string::npos) << run.error;
            EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"made.log"}));
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.error;
        ASSERT_EQ(run.obs.epochs.size(), c.times.size());
        for (std::size_t i = 0; i < c.times.size(); ++i) {
            EXPECT_EQ(run.obs.epochs[i].time.week, c.times[i].week);
            EXPECT_NEAR(run.obs.epochs[i].time.sow, c.times[i].sow, 1e-9);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Failures.

TEST(RinexConvert, DamagedLogGivesTheConvertersMessagesAndAReadableFileToItsLastWholeEpoch) {
    const std::vector<uint8_t> log = test::ReadFileBytes(test::DataPath(kStationLog));
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    auto damaged = [&](std::size_t at, uint8_t value) {
        auto b = log;
        b[at] = value;
        return b;
    };
    auto cut = [&](std::size_t size) { return std::vector<uint8_t>(log.begin(), log.begin() + size); };
    // The length field of the first MEASUREMENT frame from `from` on, one block longer.
    auto longer = [&](std::size_t from) {
        auto b = log;
        const uint8_t sync[] = {0x02, 0x99, 0x66, 0xB0};
        const auto at = std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), std::begin(sync),
                                    std::end(sync));
        at[4] = static_cast<uint8_t>(at[4] + 16);
        return b;
    };
    auto inserted = [&](std::size_t at) {
        auto b = log;
        const uint8_t junk[] = {0x02, 0x99, 0x66, 0xB0, 0xFF, 0x7F, 0x00, 0x13};
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), std::begin(junk), std::end(junk));
        return b;
    };
    const Case cases[] = {
        {"cut inside a frame", cut(log.size() * 2 / 3)},
        {"cut inside the last frame", cut(log.size() - 7)},
        {"a byte changed (checksum)", damaged(log.size() / 2, static_cast<uint8_t>(log[log.size() / 2] ^ 0x5A))},
        {"a frame's length changed", longer(log.size() / 3)},
        {"junk between frames", inserted(9000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::ScratchDir dir;
        test::WriteFileBytes(dir.file("damaged.log"), c.bytes);
        const test::ConversionRun obxRun = test::RunConversion(dir.file("damaged.log"), dir.file("damaged"));
        ASSERT_EQ(obxRun.result, 0) << obxRun.errorText;
        const obx::ObxContents obx = obx::ReadObx(obxRun.obxPath);
        ASSERT_FALSE(obx.epochs.empty());
        for (const RinexVersion version : kVersions) {
            const Conversion run = Convert(Options(dir, dir.file("damaged.log"), version));
            ASSERT_EQ(run.status, 0) << run.error;
            // The same parser and decoder messages as the OBX conversion.
            ASSERT_EQ(run.messages.size(), obxRun.messages.size());
            for (std::size_t i = 0; i < run.messages.size(); ++i) {
                EXPECT_EQ(run.messages[i].text, obxRun.messages[i].text);
                EXPECT_EQ(run.messages[i].time, obxRun.messages[i].time);
            }
            // Every epoch of the OBX file (which leaves out the first, all satellites new) and
            // nothing after the last whole one.
            ASSERT_EQ(run.obs.epochs.size(), obx.epochs.size() + 1);
            for (std::size_t i = 0; i < obx.epochs.size(); ++i) {
                EXPECT_NEAR(run.obs.epochs[i + 1].time.sow, obx.epochs[i].position.time_tag, 1e-9);
            }
        }
    }
}

TEST(RinexConvert, OutputThatCannotBeWrittenIsNamedAndLeavesNoFile) {
    struct Case {
        const char* name;
        std::string obs, nav;  // relative to the scratch folder
        std::string named;
    };
    const Case cases[] = {
        {"observation folder missing", "missing/out.obs", "out.nav", "missing/out.obs"},
        {"navigation folder missing", "out.obs", "missing/out.nav", "missing/out.nav"},
        {"observation name is a folder", "folder", "out.nav", "folder"},
        {"navigation name is a folder", "out.obs", "folder", "folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::ScratchDir dir;
        std::filesystem::create_directory(dir.file("folder"));
        RinexRunOptions o = Options(dir, kStationLog, RinexVersion::k304);
        o.obsPath = dir.file(c.obs);
        o.navPath = dir.file(c.nav);
        const Conversion run = Convert(o);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.error.rfind("Error: Unable to write to " + dir.file(c.named), 0), 0u) << run.error;
        EXPECT_EQ(run.result.obsPath, "");
        EXPECT_EQ(run.result.navPath, "");
        EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"folder"}));
        EXPECT_TRUE(std::filesystem::is_empty(dir.file("folder")));
    }
}

TEST(RinexConvert, NothingToWriteIsAFailureAndLeavesNoFile) {
    const test::ScratchDir dir;
    std::vector<rinex::NavRecord> someEphemerides(StationNavigation().begin(), StationNavigation().begin() + 3);
    std::vector<uint8_t> ephemerisOnly;
    for (const auto& n : someEphemerides) {
        const auto frame = rinex::EncodeEphemerisFrame(n);
        ephemerisOnly.insert(ephemerisOnly.end(), frame.begin(), frame.end());
    }
    test::WriteFileBytes(dir.file("ephemerides.log"), ephemerisOnly);
    test::WriteFileBytes(dir.file("empty.log"), {});
    struct Case {
        const char* name;
        std::string log;
        std::optional<GpsTime> from;
    };
    const Case cases[] = {
        {"window after the log", test::DataPath(kStationLog), GpsTime{kStationWeek + 1, 0.0}},
        {"ephemerides only", dir.file("ephemerides.log"), std::nullopt},
        {"empty log", dir.file("empty.log"), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::ScratchDir out;
        RinexRunOptions o = Options(out, c.log, RinexVersion::k211);
        o.from = c.from;
        const Conversion run = Convert(o);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.error, "Error: " + c.log + " holds no epoch to write");
        EXPECT_EQ(run.result.ephemerides, 0);
        EXPECT_TRUE(std::filesystem::is_empty(out.path()));
    }
}

}  // namespace
}  // namespace kestrel
