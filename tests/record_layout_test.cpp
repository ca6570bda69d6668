// SPDX-License-Identifier: BSD-2-Clause
// The record layouts against the receiver's own captures, which no code of ours wrote: the
// fields read through the layouts must give what is known of those captures from elsewhere
// (data/navcom/README.md, the receiver's fix in the captures' decoded output, the GPS
// broadcast), and the log encoder, fed what the decoders read, must give the same fields back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "navcom/ephemeris.h"
#include "navcom/measurement.h"
#include "navcom/record_layout.h"
#include "positioning/geodesy.h"
#include "positioning/sat_orbit.h"
#include "rinex/navcom_encode.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using namespace layout;
namespace eph = layout::ephemeris;
using Frames = std::vector<std::vector<uint8_t>>;

struct Capture {
    const char* name;
    std::size_t epochs;
};
constexpr Capture kCaptures[] = {{"gpsd-navcom.log", 7}, {"gpsd-navcom-long-2012.log", 23}};

// What data/navcom/README.md and the captures' decoded output say of both captures.
constexpr int kWeek = 1410;
constexpr uint32_t kFirstEpochMs = 123624000;
constexpr uint32_t kEphemerisSentS = 123623;
constexpr std::size_t kBlocksPerEpoch = 10;
const std::set<int> kTrackedPrns = {3, 6, 7, 16, 18, 21, 22, 25, 30, 31};
const std::vector<int> kEphemerisPrns = {3, 6, 7, 10, 12, 16, 18, 21, 22, 24, 25, 30, 31};
constexpr double kFixLatitudeDeg = 30.341683, kFixLongitudeDeg = 12.228736, kFixHeightM = 659.1;

// The whole frames of record `id` with a good checksum, in log order.
Frames FramesOf(const char* capture, uint8_t id) {
    const auto log = test::ReadFileBytes(test::DataPath(std::string("navcom/") + capture));
    EXPECT_FALSE(log.empty()) << capture;
    Frames frames;
    for (test::FoundFrame& f : test::FindFrames(log)) {
        if (f.id == id && f.checksumOk) frames.push_back(std::move(f.bytes));
    }
    return frames;
}

std::vector<SatState> Blocks(const std::vector<uint8_t>& frame) {
    std::vector<SatState> sats;
    const int n = frame[measurement::kCountOffset] & measurement::kCountMask;
    for (int i = 0; i < n; ++i) {
        SatState s;
        EXPECT_TRUE(DecodeSatBlock(&frame[measurement::BlockOffset(i)], s)) << "block " << i;
        sats.push_back(s);
    }
    return sats;
}

GpsEphRecord EphemerisOf(const std::vector<uint8_t>& frame, int32_t* health = nullptr) {
    GpsEphRecord r;
    std::memset(&r, 0, sizeof r);
    const int32_t h = DecodeEphemeris(&frame[eph::kPayloadOffset], frame[eph::kPrnOffset], r);
    if (health) *health = h;
    return r;
}

int64_t Field(const std::vector<uint8_t>& frame, const layout::Field& f) {
    return layout::FieldValue(&frame[eph::kPayloadOffset], f);
}

TEST(RecordLayout, RealMeasurementFramesCarryWeekTimeAndTenBlocks) {
    for (const Capture& c : kCaptures) {
        SCOPED_TRACE(c.name);
        const Frames frames = FramesOf(c.name, measurement::kId);
        ASSERT_EQ(frames.size(), c.epochs);
        for (std::size_t k = 0; k < frames.size(); ++k) {
            const auto& f = frames[k];
            EXPECT_EQ(f.size(), static_cast<std::size_t>(measurement::FrameBytes(kBlocksPerEpoch)));
            EXPECT_EQ(le_u16(&f[measurement::kWeekOffset]), kWeek);
            EXPECT_EQ(le_u32(&f[measurement::kTimeOffset]), kFirstEpochMs + 1000 * k);  // one epoch a second
            std::set<int> prns;
            for (const SatState& s : Blocks(f)) prns.insert(s.prn);
            EXPECT_EQ(prns, kTrackedPrns);
        }
    }
}

// Between two epochs without a slip a phase moves with its range: the phase word's offset
// from the code range changes by no more than the code's noise. An offset read in the wrong
// unit, from the wrong bits, or around an L2 range in the wrong cycles would move it by tens
// of cycles or more. (The phase's sign is the output's convention, which the captures cannot
// show: the phase is sent relative to the code.)
TEST(RecordLayout, RealPhasesStayWithinCodeNoiseOfTheirRanges) {
    constexpr double kNoiseCycles = 6.0;
    constexpr double kDeltaLimitM = 10.0;  // P-code ranges lie within metres of the C/A range
    const Frames frames = FramesOf("gpsd-navcom-long-2012.log", measurement::kId);
    ASSERT_EQ(frames.size(), 23u);
    std::map<int, SatState> last;
    int compared = 0, comparedL2 = 0;
    for (const auto& f : frames) {
        for (const SatState& s : Blocks(f)) {
            SCOPED_TRACE("PRN " + std::to_string(s.prn));
            if (s.status & block::kHasP1) {
                EXPECT_LT(std::fabs(s.p1_range - s.ca_range), kDeltaLimitM);
            }
            if (s.status & block::kHasL2) {
                EXPECT_LT(std::fabs(s.p2_range - s.ca_range), kDeltaLimitM);
            }
            const auto previous = last.find(s.prn);
            if (previous != last.end() && previous->second.l1_lock_counter == s.l1_lock_counter) {
                const SatState& p = previous->second;
                const double stepCycles = (s.ca_range - p.ca_range) / layout::kL1WavelengthM;
                EXPECT_NEAR(s.l1_phase - p.l1_phase, layout::kPhaseSign * stepCycles, kNoiseCycles);
                ++compared;
                if ((s.status & p.status & block::kHasL2) && s.l2_lock_counter == p.l2_lock_counter) {
                    const double l2Step = (s.p2_range - p.p2_range) / layout::kL1WavelengthM * layout::kL2PerL1;
                    EXPECT_NEAR(s.l2_phase - p.l2_phase, layout::kPhaseSign * l2Step, kNoiseCycles);
                    ++comparedL2;
                }
            }
            last[s.prn] = s;
        }
    }
    EXPECT_EQ(compared, 22 * 10);
    EXPECT_GE(comparedL2, 22 * 8);
}

// C/A ranges at the first epoch's time tag, less the geometric ranges from the receiver's
// own fix to satellites placed by the captured ephemerides, differ by one receiver clock
// offset for all satellites, to within the atmosphere's delays.
TEST(RecordLayout, RealRangesMatchTheReceiversFixButForOneClockOffset) {
    constexpr double kDeg = layout::kPi / 180.0;
    constexpr double kAtmosphereSpreadM = 60.0;
    std::map<int, GpsEphRecord> ephemerides;
    for (const auto& f : FramesOf("gpsd-navcom.log", eph::kId)) ephemerides[f[eph::kPrnOffset]] = EphemerisOf(f);
    const Frames frames = FramesOf("gpsd-navcom.log", measurement::kId);
    ASSERT_FALSE(frames.empty());
    const double t = le_u32(&frames[0][measurement::kTimeOffset]) * layout::kTimeUnitS;
    PositionRecord receiver{};
    geodetic_to_ecef(kFixLatitudeDeg * kDeg, kFixLongitudeDeg * kDeg, kFixHeightM, &receiver.x, &receiver.y,
                     &receiver.z);
    std::vector<double> clock;
    for (const SatState& s : Blocks(frames[0])) {
        ASSERT_EQ(ephemerides.count(s.prn), 1u) << s.prn;
        SatObservation obs{};
        obs.ca_range = s.ca_range;
        double tSv = t;
        gps_sat_clock(&ephemerides[s.prn], t, &obs, &tSv);
        PositionRecord sat{};
        gps_sat_position(&ephemerides[s.prn], tSv, obs.ca_range, &receiver, &sat);
        clock.push_back(obs.ca_range - std::hypot(sat.x - receiver.x, sat.y - receiver.y, sat.z - receiver.z));
    }
    ASSERT_EQ(clock.size(), kBlocksPerEpoch);
    const auto [low, high] = std::minmax_element(clock.begin(), clock.end());
    EXPECT_LT(*high - *low, kAtmosphereSpreadM) << "clock offsets from " << *low << " to " << *high << " m";
}

TEST(RecordLayout, RealEphemerisFramesCarryTransmissionTimeAndBroadcastFields) {
    const Frames frames = FramesOf("gpsd-navcom.log", eph::kId);
    ASSERT_EQ(frames.size(), kEphemerisPrns.size());
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const auto& f = frames[k];
        SCOPED_TRACE("PRN " + std::to_string(f[eph::kPrnOffset]));
        EXPECT_EQ(f.size(), static_cast<std::size_t>(eph::kFrameBytes));
        EXPECT_EQ(f[eph::kPrnOffset], kEphemerisPrns[k]);
        EXPECT_EQ(le_u16(&f[eph::kWeekOffset]), kWeek);
        EXPECT_EQ(le_u32(&f[eph::kTimeOffset]), kEphemerisSentS);
        EXPECT_EQ(Field(f, sf1::kWeek), kWeek % 1024);
        EXPECT_EQ(Field(f, sf1::kHealth), 0);
        // The IODC of subframe 1 is repeated in the frame; subframes 2 and 3 carry one IODE,
        // the IODC's eight low bits.
        const int64_t iodc = (Field(f, sf1::kIodcHigh) << sf1::kIodcLowBits) + Field(f, sf1::kIodcLow);
        EXPECT_EQ(le_u16(&f[eph::kIodcOffset]), iodc);
        EXPECT_EQ(Field(f, sf2::kIode), iodc & 0xFF);
        EXPECT_EQ(Field(f, sf3::kIodeCopy), Field(f, sf2::kIode));
        // Broadcast at the time in normal operation: P code on L2, with navigation data, a
        // four-hour fit, an accuracy of a few metres, an ephemeris of the current two hours.
        EXPECT_EQ(Field(f, sf1::kL2Codes), 1);
        EXPECT_EQ(Field(f, sf1::kL2PFlag), 0);
        EXPECT_EQ(Field(f, sf2::kFitInterval), 0);
        EXPECT_LE(Field(f, sf1::kUraIndex), 3);
        const double toe = layout::FieldReal(&f[eph::kPayloadOffset], sf2::kToe);
        EXPECT_EQ(toe, layout::FieldReal(&f[eph::kPayloadOffset], sf1::kToc));
        EXPECT_LE(std::fabs(toe - kEphemerisSentS), 7200.0);
        EXPECT_NEAR(layout::FieldReal(&f[eph::kPayloadOffset], sf2::kSqrtA), 5153.6, 2.0);
    }
}

// ---- The encoder given what the decoders read from the captures ---------------------------

// A broadcast ephemeris as RINEX would give it, from a captured frame.
rinex::NavRecord NavOf(const std::vector<uint8_t>& f) {
    int32_t health = 0;
    const GpsEphRecord r = EphemerisOf(f, &health);
    rinex::NavRecord n;
    n.prn = r.Prn;
    n.week = n.tocWeek = le_u16(&f[eph::kWeekOffset]);  // Toe lies in the week of transmission here
    n.transmissionTime = le_u32(&f[eph::kTimeOffset]);
    n.toc = r.Toc;
    n.toe = r.Toe;
    n.af0 = r.Af0, n.af1 = r.Af1, n.af2 = r.Af2, n.tgd = r.Tgd;
    n.iode = r.Iode, n.iodc = r.Iodc, n.health = health;
    n.crs = r.Crs, n.crc = r.Crc, n.cus = r.Cus, n.cuc = r.Cuc, n.cis = r.Cis, n.cic = r.Cic;
    n.deltaN = r.DeltaN, n.m0 = r.M0, n.ecc = r.Ecc, n.sqrtA = r.SqrtA;
    n.omega0 = r.Omega0, n.i0 = r.I0, n.omega = r.Omega, n.omegaDot = r.OmegaDot, n.idot = r.Idot;
    n.l2Codes = static_cast<int>(Field(f, sf1::kL2Codes));
    n.l2PFlag = static_cast<int>(Field(f, sf1::kL2PFlag));
    n.accuracy = sf1::kUraBoundsM[Field(f, sf1::kUraIndex)];
    n.fitInterval = Field(f, sf2::kFitInterval) != 0 ? 6.0 : 4.0;
    return n;
}

TEST(EphemerisEncoder, RealEphemeridesReencodeToTheirOwnFields) {
    for (const auto& f : FramesOf("gpsd-navcom.log", eph::kId)) {
        SCOPED_TRACE("PRN " + std::to_string(f[eph::kPrnOffset]));
        const rinex::NavRecord nav = NavOf(f);
        EXPECT_TRUE(rinex::EphemerisFieldProblems(nav).empty());
        const std::vector<uint8_t> g = rinex::EncodeEphemerisFrame(nav);
        ASSERT_EQ(g.size(), f.size());
        // Sync, id, length, PRN, week and time; the encoder leaves the IODC copy at 0.
        EXPECT_TRUE(std::equal(f.begin(), f.begin() + eph::kIodcOffset, g.begin()));
        // Every broadcast field but the AODO, which the encoder does not send.
        for (const layout::Field& field : layout::kAllFields) {
            if (field == sf2::kAodo) continue;
            EXPECT_EQ(Field(g, field), Field(f, field))
                << "field at payload byte " << field.offset << " shift " << field.shift;
        }
    }
}

// The encoder chooses its own phase arcs: its offsets keep the fraction of a cycle of the
// receiver's, a whole number of cycles apart and the same number along an arc, and its lock
// counters change where the receiver's do. Every other field comes back as captured.
TEST(MeasurementEncoder, RealBlocksReencodeToTheirOwnFields) {
    const Frames frames = FramesOf("gpsd-navcom-long-2012.log", measurement::kId);
    ASSERT_EQ(frames.size(), 23u);
    rinex::MeasurementEncoder encoder;
    struct Arc {
        int64_t shift;        // receiver's offset minus the encoder's, in 1/256 cycle
        int32_t lock, sentLock;
    };
    std::map<std::pair<int, int>, Arc> arcs;  // by PRN and carrier
    auto expectArc = [&arcs](int prn, int carrier, const uint8_t* real, const uint8_t* sent) {
        const uint32_t r = le_u24(real), s = le_u24(sent);
        const int64_t shift = int64_t{phase_word::Offset(r)} - phase_word::Offset(s);
        EXPECT_EQ(shift % 256, 0) << "PRN " << prn << " carrier " << carrier;
        const Arc now = {shift, phase_word::LockCounter(r), phase_word::LockCounter(s)};
        const auto it = arcs.find({prn, carrier});
        if (it != arcs.end()) {
            const bool slip = now.lock != it->second.lock;
            EXPECT_EQ(now.sentLock != it->second.sentLock, slip) << "PRN " << prn << " carrier " << carrier;
            if (!slip) {
                EXPECT_EQ(now.shift, it->second.shift) << "PRN " << prn << " carrier " << carrier;
            }
        }
        arcs[{prn, carrier}] = now;
    };
    std::map<int, SatState> last;  // a change of lock counter is what RINEX flags as loss of lock
    for (const auto& f : frames) {
        const double sow = le_u32(&f[measurement::kTimeOffset]) * layout::kTimeUnitS;
        std::vector<rinex::SatMeasurement> sats;
        for (const SatState& s : Blocks(f)) {
            rinex::SatMeasurement m;
            m.prn = s.prn;
            if (last.count(s.prn)) {
                m.l1LockLost = s.l1_lock_counter != last[s.prn].l1_lock_counter;
                m.l2LockLost = s.l2_lock_counter != last[s.prn].l2_lock_counter;
            }
            last[s.prn] = s;
            m.strengthCode = s.strength - block::kStrengthBase;
            m.c1 = s.ca_range;
            m.l1 = layout::kPhaseSign * s.l1_phase;  // RINEX sign
            if (s.status & block::kHasP1) m.p1 = s.p1_range;
            if (s.status & block::kHasL2) {
                m.p2 = s.p2_range;
                m.l2 = layout::kPhaseSign * s.l2_phase;
            }
            sats.push_back(m);
        }
        rinex::EpochReport report;
        const std::vector<uint8_t> g = encoder.Encode({le_u16(&f[measurement::kWeekOffset]), sow}, sats, false, report);
        ASSERT_EQ(g.size(), f.size());
        EXPECT_TRUE(report.notes.empty());
        // Sync, id, length, week and time, and the block count.
        EXPECT_TRUE(std::equal(f.begin(), f.begin() + measurement::kTimeOffset + 4, g.begin()));
        const auto count = [](const std::vector<uint8_t>& frame) {
            return frame[measurement::kCountOffset] & measurement::kCountMask;
        };
        EXPECT_EQ(count(g), count(f));
        for (std::size_t i = 0; i < sats.size(); ++i) {
            const uint8_t* real = &f[measurement::BlockOffset(static_cast<int>(i))];
            const uint8_t* sent = &g[measurement::BlockOffset(static_cast<int>(i))];
            SCOPED_TRACE("PRN " + std::to_string(sats[i].prn));
            EXPECT_EQ(sent[block::kStatusOffset], real[block::kStatusOffset]);
            const auto strength = [](const uint8_t* b) { return b[block::kStrengthOffset] >> block::kStrengthShift; };
            EXPECT_EQ(strength(sent), strength(real));
            EXPECT_EQ(le_u32(sent + block::kCaRangeOffset), le_u32(real + block::kCaRangeOffset));
            expectArc(sats[i].prn, 1, real + block::kL1PhaseOffset, sent + block::kL1PhaseOffset);
            if (real[block::kStatusOffset] & block::kHasP1) {
                EXPECT_EQ(le_s16(sent + block::kP1DeltaOffset), le_s16(real + block::kP1DeltaOffset));
            }
            if (real[block::kStatusOffset] & block::kHasL2) {
                EXPECT_EQ(le_s16(sent + block::kP2DeltaOffset), le_s16(real + block::kP2DeltaOffset));
                expectArc(sats[i].prn, 2, real + block::kL2PhaseOffset, sent + block::kL2PhaseOffset);
            }
        }
    }
    EXPECT_GE(arcs.size(), 18u);
}

}  // namespace
}  // namespace kestrel
