// SPDX-License-Identifier: BSD-2-Clause
// The quality check on real data: the GSI station's hour written as a NavCom log, against the
// station's own RINEX file (epochs, slips, and MP1/MP2 computed here from the RINEX values),
// and the receiver capture whose clock steps by a C/A chip; then logs damaged, cut down or
// stripped, as a user may bring them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "navcom/frame_parser.h"
#include "qc/qc_run.h"
#include "rinex/rinex_obs.h"
#include "support/decoder_harness.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr const char* kStationLog = "navcom/gsi-0759-2005-092.nav";
constexpr const char* kStationRinex = "rinex/07590920.05o";
constexpr const char* kCapture = "navcom/gpsd-navcom-long-2012.log";
constexpr double kAlpha = (77.0 / 60.0) * (77.0 / 60.0);
constexpr double kL1 = 299792458.0 / 1575.42e6;
constexpr double kL2 = 299792458.0 / 1227.60e6;
constexpr double kArcGapS = 60.0;
constexpr int kMinArc = 10;
constexpr double kChipS = 1.0 / 1.023e6;  // one C/A chip of time
constexpr uint8_t kMeasurementId = 0xB0;

CallbackBlock Callbacks() {
    CallbackBlock c;
    std::memset(&c, 0, sizeof c);
    c.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    return c;
}

QcReport Check(const std::string& path, QcOptions options = {}) {
    options.input = path;
    QcReport report;
    EXPECT_EQ(AnalyseLog(options, Callbacks(), report), 0) << report.error;
    return report;
}

const QcReport& StationHour() {
    static const QcReport report = Check(test::DataPath(kStationLog));
    return report;
}

const rinex::ObsFile& StationRinex() {
    static const rinex::ObsFile file = [] {
        rinex::ObsFile f;
        std::string error;
        EXPECT_TRUE(rinex::ReadObsFile(test::DataPath(kStationRinex), f, error)) << error;
        return f;
    }();
    return file;
}

const QcSatellite* Sat(const QcReport& r, int prn) {
    for (const QcSatellite& s : r.satellites) {
        if (s.prn == prn) return &s;
    }
    return nullptr;
}

TEST(QcStationHour, CompleteWithTheStationsCounts) {
    const QcReport& r = StationHour();
    EXPECT_EQ(r.status, QcStatus::kComplete);
    EXPECT_EQ(r.epochs, 120);
    EXPECT_EQ(r.expectedEpochs, 120);
    EXPECT_EQ(r.intervalS, 30.0);
    EXPECT_EQ(r.gapCount, 0);
    ASSERT_TRUE(r.first && r.last);
    EXPECT_EQ(r.first->week, 1316);
    EXPECT_EQ(r.first->sow, 518400.0);
    EXPECT_NEAR(r.last->sow, 521970.005, 1e-6);
    EXPECT_EQ(r.observations, 948);
    EXPECT_EQ(r.observationsWithL2, 924);
    EXPECT_EQ(r.ephemerides, 23);
    EXPECT_EQ(r.parser.checksumFailures + r.parser.lengthFailures + r.parser.resyncs, 0);
    // A free-running receiver clock: drift, no step.
    EXPECT_EQ(r.clockStepCount, 0);
    EXPECT_EQ(r.clockEpochs, 119);
    // The median single-point position lies near the station's own (the header's) position.
    const auto& header = StationRinex().header;
    ASSERT_TRUE(header.hasApproxPosition);
    ASSERT_TRUE(r.position.has_value());
    const double dx = (*r.position)[0] - header.approxPosition[0];
    const double dy = (*r.position)[1] - header.approxPosition[1];
    const double dz = (*r.position)[2] - header.approxPosition[2];
    EXPECT_LT(std::sqrt(dx * dx + dy * dy + dz * dz), 10.0);
    EXPECT_EQ(r.elevationSource, ElevationSource::kFirstSolutions);
    for (const QcSatellite& s : r.satellites) EXPECT_TRUE(s.missing.has_value()) << s.prn;
}

// The slips are those the station's file marks: a loss-of-lock flag on a carrier tracked
// before (the file also flags the first observation of a carrier, which starts its arc), or a
// phase that is missing at the epoch or was missing at the satellite's epoch before (the arc
// restarts).
TEST(QcStationHour, SlipsAreWhereTheRinexFileMarksThem) {
    const QcReport& r = StationHour();
    const rinex::ObsFile& obs = StationRinex();
    const int l1 = obs.header.TypeIndex("L1"), l2 = obs.header.TypeIndex("L2");
    std::set<std::pair<int, long long>> flagged, caused;  // PRN, epoch time in ms
    std::map<int, bool> phaseMissingBefore, l2Before;
    std::map<int, double> lastSeen;
    for (const rinex::ObsEpoch& e : obs.epochs) {
        const long long ms = std::llround(e.time.sow * 1000.0);
        for (const rinex::ObsSatellite& s : e.satellites) {
            const auto& v = s.values;
            const bool tracked = lastSeen.count(s.prn) != 0 && e.time.sow - lastSeen[s.prn] <= kArcGapS;
            if (!tracked) l2Before[s.prn] = false;
            const bool lockLost = (tracked && (v[l1].lli & 1)) || (l2Before[s.prn] && (v[l2].lli & 1));
            const bool missing = !v[l1].present;
            if (lockLost) flagged.insert({s.prn, ms});
            if (lockLost || missing || phaseMissingBefore[s.prn]) caused.insert({s.prn, ms});
            phaseMissingBefore[s.prn] = missing;
            l2Before[s.prn] = l2Before[s.prn] || v[l2].present;
            lastSeen[s.prn] = e.time.sow;
        }
    }
    ASSERT_FALSE(flagged.empty());
    std::set<std::pair<int, long long>> found;
    for (const QcSlip& s : r.slips) {
        EXPECT_FALSE(s.ionosphere) << "PRN " << s.prn << " at " << s.time.sow;
        found.insert({s.prn, std::llround(s.time.sow * 1000.0)});
    }
    for (const auto& f : flagged) EXPECT_TRUE(found.count(f)) << "flag of PRN " << f.first << " at " << f.second;
    for (const auto& f : found) EXPECT_TRUE(caused.count(f)) << "slip of PRN " << f.first << " at " << f.second;
    EXPECT_EQ(r.l1Slips, 11);
    EXPECT_EQ(r.l2Slips, 6);
    EXPECT_EQ(r.ionosphereSlips, 0);
}

// MP1 and MP2 computed here from the RINEX values, arcs cut where the file marks lost lock,
// lacks the L1 phase (at the epoch and the one after), or leaves a satellite out for more than
// a minute.
struct ReferenceMultipath {
    double squares1 = 0.0, squares2 = 0.0;
    int64_t count = 0;
    int arcs = 0;
};

std::map<int, ReferenceMultipath> MultipathFromRinex(const rinex::ObsFile& obs) {
    const int iL1 = obs.header.TypeIndex("L1"), iC1 = obs.header.TypeIndex("C1");
    const int iL2 = obs.header.TypeIndex("L2"), iP2 = obs.header.TypeIndex("P2");
    struct Open {
        std::vector<double> mp1, mp2;
        double lastTime = -1e300;
        bool phaseMissingBefore = false;
    };
    std::map<int, Open> open;
    std::map<int, ReferenceMultipath> result;
    const auto close = [&](int prn) {
        Open& o = open[prn];
        const std::size_t n = o.mp1.size();
        if (n >= static_cast<std::size_t>(kMinArc)) {
            double mean1 = 0.0, mean2 = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                mean1 += o.mp1[i] / n;
                mean2 += o.mp2[i] / n;
            }
            ReferenceMultipath& r = result[prn];
            for (std::size_t i = 0; i < n; ++i) {
                r.squares1 += (o.mp1[i] - mean1) * (o.mp1[i] - mean1);
                r.squares2 += (o.mp2[i] - mean2) * (o.mp2[i] - mean2);
            }
            r.count += static_cast<int64_t>(n);
            ++r.arcs;
        }
        o.mp1.clear();
        o.mp2.clear();
    };
    for (const rinex::ObsEpoch& e : obs.epochs) {
        const double t = e.time.Total();
        for (const rinex::ObsSatellite& s : e.satellites) {
            const auto& v = s.values;
            Open& o = open[s.prn];
            const bool missing = !v[iL1].present;
            if (t - o.lastTime > kArcGapS || (v[iL1].lli & 1) || (v[iL2].lli & 1) || missing || o.phaseMissingBefore) {
                close(s.prn);
            }
            o.lastTime = t;
            o.phaseMissingBefore = missing;
            if (!v[iL1].present || !v[iC1].present || !v[iL2].present || !v[iP2].present) continue;
            const double phi1 = v[iL1].value * kL1, phi2 = v[iL2].value * kL2;
            o.mp1.push_back(v[iC1].value - (1 + 2 / (kAlpha - 1)) * phi1 + 2 / (kAlpha - 1) * phi2);
            o.mp2.push_back(v[iP2].value - 2 * kAlpha / (kAlpha - 1) * phi1 + (2 * kAlpha / (kAlpha - 1) - 1) * phi2);
        }
    }
    for (auto& [prn, o] : open) close(prn);
    return result;
}

TEST(QcStationHour, MultipathMatchesTheRinexFileWithinOnePercent) {
    const QcReport& r = StationHour();
    const auto reference = MultipathFromRinex(StationRinex());
    double squares1 = 0.0, squares2 = 0.0;
    int64_t count = 0;
    for (const auto& [prn, ref] : reference) {
        SCOPED_TRACE(prn);
        const QcSatellite* s = Sat(r, prn);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(s->mp1RmsM && s->mp2RmsM);
        const double mp1 = std::sqrt(ref.squares1 / ref.count), mp2 = std::sqrt(ref.squares2 / ref.count);
        EXPECT_NEAR(*s->mp1RmsM, mp1, 0.01 * mp1);
        EXPECT_NEAR(*s->mp2RmsM, mp2, 0.01 * mp2);
        EXPECT_EQ(s->multipathArcs, ref.arcs);
        std::printf("PRN %2d  MP1 %.4f m (RINEX %.4f)  MP2 %.4f m (RINEX %.4f)  %d arcs\n", prn, *s->mp1RmsM, mp1,
                    *s->mp2RmsM, mp2, ref.arcs);
        squares1 += ref.squares1;
        squares2 += ref.squares2;
        count += ref.count;
    }
    // Satellites whose arcs are all short have no figure, never 0.
    for (const QcSatellite& s : r.satellites) {
        if (reference.count(s.prn) == 0) {
            EXPECT_FALSE(s.mp1RmsM.has_value()) << s.prn;
        }
    }
    ASSERT_GT(count, 0);
    EXPECT_NEAR(*r.mp1RmsM, std::sqrt(squares1 / count), 0.01 * std::sqrt(squares1 / count));
    EXPECT_NEAR(*r.mp2RmsM, std::sqrt(squares2 / count), 0.01 * std::sqrt(squares2 / count));
}

// The capture's receiver steps its clock by a chip: at those epochs the code ranges of every
// satellite grow together, so the code-derived Doppler of all of them drops by about 1540 Hz.
TEST(QcRealCapture, ClockStepsAreWhereAllDopplersJumpTogether) {
    test::MessageLog messages;
    ASSERT_EQ(OpenPort(0, test::MessageLog::Callback), 0);
    const OptionRecord options{0, 1, 0, 0};
    SetPortOptions(0, &options, KESTREL_OPTION_RECORD_SIZE);
    test::PortFeeder feeder;
    feeder.Feed(test::ReadFileBytes(test::DataPath(kCapture)));
    feeder.FeedEnd();
    std::set<long long> expected;
    for (std::size_t e = 1; e < feeder.epochs.size(); ++e) {
        std::vector<double> jumps;
        for (const SatObservation& s : feeder.epochs[e].observations) {
            for (const SatObservation& b : feeder.epochs[e - 1].observations) {
                if (b.prn == s.prn) jumps.push_back(test::Val(s.l1_doppler) - test::Val(b.l1_doppler));
            }
        }
        ASSERT_FALSE(jumps.empty());
        std::sort(jumps.begin(), jumps.end());
        if (jumps[jumps.size() / 2] < -1000.0) {
            expected.insert(std::llround(test::Val(feeder.epochs[e].header.time_tag) * 1000.0));
        }
    }
    ASSERT_EQ(expected.size(), 6u);

    const QcReport r = Check(test::DataPath(kCapture));
    EXPECT_EQ(r.epochs, 23);
    EXPECT_EQ(r.clockStepCount, 6);
    std::set<long long> found;
    for (const QcClockStep& s : r.clockSteps) {
        found.insert(std::llround(s.time.sow * 1000.0));
        EXPECT_NEAR(s.sizeS, kChipS, 0.03 * kChipS);
    }
    EXPECT_EQ(found, expected);
    // Stepped back towards GPS time every few seconds, the offset stays within half a chip
    // while the oscillator drifts.
    ASSERT_TRUE(r.clockDrift.has_value());
    EXPECT_LT(*r.clockDrift, -1e-7);
    EXPECT_LT(std::fabs(*r.clockStartS), kChipS);
    EXPECT_LT(std::fabs(*r.clockEndS), kChipS);
}

TEST(QcRealCapture, TheReceiversOwnFixAgainstTheSolutions) {
    const QcReport r = Check(test::DataPath(kCapture));
    // 22 whole PVT frames (the 23rd is cut short), all valid 3-D fixes, and one IDENTIFICATION.
    EXPECT_EQ(r.receiverFixes, 22);
    EXPECT_EQ(r.parser.receiverRecords, 23);
    ASSERT_TRUE(r.receiverFixPosition && r.solutionToFixM && r.solutionLessFixEnuM);
    const auto& e = *r.solutionLessFixEnuM;
    EXPECT_NEAR(*r.solutionToFixM, std::hypot(e[0], e[1], e[2]), 1e-9);
    // Single-point solutions of 22 seconds lie within metres of the receiver's own fix; the
    // height differs most.
    EXPECT_LT(std::hypot(e[0], e[1]), 3.0);
    EXPECT_LT(*r.solutionToFixM, 10.0);
    // A window that holds no fix leaves no comparison.
    QcOptions early;
    early.window.to = GpsTime{1410, 123000.0};
    const QcReport none = Check(test::DataPath(kCapture), early);
    EXPECT_EQ(none.receiverFixes, 0);
    EXPECT_FALSE(none.solutionToFixM);
}

TEST(QcStationHour, WindowKeepsItsEpochsOnly) {
    QcOptions options;
    options.window.from = GpsTime{1316, 519000.0};
    options.window.to = GpsTime{1316, 520000.0};
    const QcReport r = Check(test::DataPath(kStationLog), options);
    int64_t inside = 0;
    for (const rinex::ObsEpoch& e : StationRinex().epochs) inside += e.time.sow >= 519000.0 && e.time.sow <= 520000.0;
    EXPECT_EQ(r.epochs, inside);
    EXPECT_EQ(r.expectedEpochs, inside);
    EXPECT_EQ(r.epochsOutsideWindow, 120 - inside);
    for (const QcSlip& s : r.slips) {
        EXPECT_GE(s.time.sow, 519000.0);
        EXPECT_LE(s.time.sow, 520000.0);
    }
}

using Damage = std::function<void(std::vector<std::vector<uint8_t>>&)>;

struct DamageCase {
    const char* name;
    Damage damage;
    int64_t epochs;
    int64_t checksumFailures;
    int64_t lengthFailures;
    int64_t ephemerides;
};

// The n-th MEASUREMENT frames.
void ForMeasurements(std::vector<std::vector<uint8_t>>& frames, const std::vector<int>& which,
                     const std::function<void(std::vector<uint8_t>&)>& change) {
    int n = 0;
    for (auto& f : frames) {
        if (f[3] != kMeasurementId) continue;
        if (std::find(which.begin(), which.end(), n++) != which.end()) change(f);
    }
}

TEST(QcBadInput, DamagedLogsAreSummarisedFromWhatDecodes) {
    const DamageCase cases[] = {
        {"checksums broken", [](auto& f) { ForMeasurements(f, {3, 50, 51, 90, 118}, [](auto& m) { m[20] ^= 0x5A; }); },
         115, 5, 0, 23},
        {"lengths that fit no record",
         [](auto& f) { ForMeasurements(f, {10, 70}, [](auto& m) { ++m[4]; test::Reseal(m); }); }, 118, 0, 2, 23},
        {"item counts that do not fill the frame",
         [](auto& f) { ForMeasurements(f, {20}, [](auto& m) { m[13] = static_cast<uint8_t>(m[13] - 1); test::Reseal(m); }); },
         119, 0, 1, 23},
        {"bytes of other records between frames",
         [](auto& f) { f.insert(f.begin() + 40, std::vector<uint8_t>{0x02, 0x99, 0x66, 0x44, 0x08, 0x00, 1, 2, 3, 4, 5}); },
         120, 0, 0, 23},
        {"no ephemerides", [](auto& f) { std::erase_if(f, [](const auto& m) { return m[3] != kMeasurementId; }); }, 120, 0, 0, 0},
        {"no epochs", [](auto& f) { std::erase_if(f, [](const auto& m) { return m[3] == kMeasurementId; }); }, 0, 0, 0, 23},
        {"nothing at all", [](auto& f) { f.clear(); }, 0, 0, 0, 0},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto frames = test::SplitFrames(test::ReadFileBytes(test::DataPath(kStationLog)));
        c.damage(frames);
        test::ScratchDir dir;
        test::WriteFileBytes(dir.file("log.nav"), test::JoinFrames(frames));
        const QcReport r = Check(dir.file("log.nav"));
        EXPECT_EQ(r.status, QcStatus::kComplete);
        EXPECT_EQ(r.epochs, c.epochs);
        EXPECT_EQ(r.parser.checksumFailures, c.checksumFailures);
        EXPECT_EQ(r.parser.lengthFailures, c.lengthFailures);
        EXPECT_EQ(r.ephemerides, c.ephemerides);
        // Every frame given up is a resync; the frame of another record too.
        EXPECT_GE(r.parser.resyncs, c.checksumFailures + c.lengthFailures);
        if (c.epochs == 0) {
            EXPECT_FALSE(r.expectedEpochs || r.intervalS || r.first || r.mp1RmsM || r.position || r.clockStartS);
        } else {
            EXPECT_EQ(r.expectedEpochs, 120);
        }
        if (c.ephemerides == 0 && c.epochs > 0) {
            // Nothing to place the satellites in the sky or solve the clock with.
            EXPECT_EQ(r.elevationSource, ElevationSource::kNone);
            EXPECT_FALSE(r.missing.has_value());
            EXPECT_FALSE(r.position.has_value());
            EXPECT_EQ(r.clockEpochs, 0);
            EXPECT_EQ(r.observedWithoutEphemeris.size(), r.satellites.size());
            for (const QcSatellite& s : r.satellites) EXPECT_FALSE(s.missing.has_value()) << s.prn;
            EXPECT_TRUE(r.mp1RmsM.has_value()) << "multipath needs no orbit";
        }
    }
}

TEST(QcBadInput, GapsAreFoundAndPlaced) {
    auto frames = test::SplitFrames(test::ReadFileBytes(test::DataPath(kStationLog)));
    // Five epochs out after the 40th, two after the 100th.
    int n = 0;
    std::erase_if(frames, [&](const auto& f) {
        if (f[3] != kMeasurementId) return false;
        const int k = n++;
        return (k >= 40 && k < 45) || k == 100 || k == 101;
    });
    test::ScratchDir dir;
    test::WriteFileBytes(dir.file("gaps.nav"), test::JoinFrames(frames));
    const QcReport r = Check(dir.file("gaps.nav"));
    EXPECT_EQ(r.epochs, 113);
    EXPECT_EQ(r.expectedEpochs, 120);
    EXPECT_EQ(r.gapCount, 2);
    ASSERT_TRUE(r.longestGap.has_value());
    EXPECT_NEAR(r.longestGap->lengthS, 180.0, 0.01);
    EXPECT_NEAR(r.longestGap->start.sow, StationRinex().epochs[39].time.sow, 1e-6);
    ASSERT_EQ(r.gaps.size(), 2u);
    EXPECT_NEAR(r.gaps[1].lengthS, 90.0, 0.01);
}

TEST(QcBadInput, FramesWithoutAWeekAreCheckedInAnUnknownWeek) {
    auto frames = test::SplitFrames(test::ReadFileBytes(test::DataPath(kStationLog)));
    for (auto& f : frames) {
        if (f[3] != kMeasurementId) continue;
        f[6] = 0;
        f[7] = 0;
        test::Reseal(f);
    }
    test::ScratchDir dir;
    test::WriteFileBytes(dir.file("noweek.nav"), test::JoinFrames(frames));
    const QcReport r = Check(dir.file("noweek.nav"));
    EXPECT_FALSE(r.weekKnown);
    EXPECT_EQ(r.epochs, 120);
    EXPECT_EQ(r.parser.weekFaults, 0);
    EXPECT_EQ(r.l1Slips, 11);
}

TEST(QcBadInput, UnreadableLogIsNamed) {
    QcOptions options;
    options.input = "/nonexistent/folder/log.nav";
    QcReport report;
    EXPECT_EQ(AnalyseLog(options, Callbacks(), report), 1);
    EXPECT_EQ(report.status, QcStatus::kUnreadable);
    EXPECT_NE(report.error.find("/nonexistent/folder/log.nav"), std::string::npos) << report.error;
}

}  // namespace
}  // namespace kestrel
