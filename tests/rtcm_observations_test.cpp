// SPDX-License-Identifier: BSD-2-Clause
// Observation messages 1004, MSM4 and MSM7: values within each message's resolution, lock
// times that restart exactly where the epoch flags loss of lock, phases rolled over when they
// outgrow their field, and satellites no message can carry left out.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include "rtcm/observation_messages.h"
#include "support/rtcm_reader.h"

namespace kestrel::rtcm {
namespace {

constexpr double kC = 299792458.0;
constexpr double kL1Lambda = kC / 1575.42e6;
constexpr double kL2Lambda = kC / 1227.60e6;
constexpr ObservationKind kKinds[] = {ObservationKind::k1004, ObservationKind::kMsm4, ObservationKind::kMsm7};

const char* Name(ObservationKind k) {
    return k == ObservationKind::k1004 ? "1004" : k == ObservationKind::kMsm4 ? "MSM4" : "MSM7";
}

// A satellite with every value, phases near their ranges as the receiver gives them.
SatelliteObservation FullSat(int prn, double rangeM) {
    SatelliteObservation s;
    s.prn = prn;
    s.Set(Observable::kC1, rangeM);
    s.Set(Observable::kL1, (rangeM - 3.217) / kL1Lambda);
    s.Set(Observable::kD1, -1234.567);
    s.Set(Observable::kS1, 47.0);
    s.Set(Observable::kP1, rangeM + 0.413);
    s.Set(Observable::kP2, rangeM + 4.561);
    s.Set(Observable::kL2, (rangeM - 9.871) / kL2Lambda);
    return s;
}

ObservationEpoch Epoch(int week, double sow, const std::vector<SatelliteObservation>& sats) {
    ObservationEpoch e;
    e.time = GpsTime{week, sow};
    e.satCount = static_cast<int>(sats.size());
    for (std::size_t i = 0; i < sats.size(); ++i) e.sats[i] = sats[i];
    return e;
}

test::RtcmObservations Decode(const std::vector<uint8_t>& frame) {
    test::RtcmObservations obs;
    std::string error;
    EXPECT_TRUE(test::ReadRtcmObservations(frame, obs, error)) << error;
    return obs;
}

const test::RtcmSignal* FindSignal(const test::RtcmObservations& obs, int prn, int id) {
    for (const auto& sat : obs.satellites) {
        if (sat.prn != prn) continue;
        for (const auto& sig : sat.signals) {
            if (sig.id == id) return &sig;
        }
    }
    return nullptr;
}

// The minimum lock time (ms) of each indicator, as the message tables give them.
int64_t LegacyMinimumMs(int i) {
    const int64_t s = i < 24 ? i : i < 48 ? 2 * i - 24 : i < 72 ? 4 * i - 120 : i < 96 ? 8 * i - 408
                    : i < 120 ? 16 * i - 1176 : i < 127 ? 32 * i - 3096 : 937;
    return s * 1000;
}
int64_t MsmMinimumMs(int i) { return i == 0 ? 0 : int64_t{32} << (i - 1); }
int64_t MsmExtendedMinimumMs(int i) {
    if (i < 64) return i;
    const int range = (i - 64) / 32 + 1;  // steps of 2^range ms
    return (int64_t{64} << (range - 1)) + int64_t{i - 64 - 32 * (range - 1)} * (int64_t{1} << range);
}

TEST(RtcmLockTime, EachIndicatorIsTheLargestWhoseMinimumHasPassed) {
    struct Table {
        const char* name;
        int (*indicator)(int64_t);
        int64_t (*minimum)(int);
        int last;
    };
    const Table tables[] = {
        {"1004", LegacyLockIndicator, LegacyMinimumMs, 127},
        {"MSM4", MsmLockIndicator, MsmMinimumMs, 15},
        {"MSM7", MsmExtendedLockIndicator, MsmExtendedMinimumMs, 704},
    };
    for (const Table& t : tables) {
        // Every boundary, a millisecond either side, and far beyond the last.
        std::vector<int64_t> times = {-5, 0, 1, int64_t{1} << 40};
        for (int i = 1; i <= t.last; ++i) {
            for (const int64_t d : {-1, 0, 1}) times.push_back(t.minimum(i) + d);
        }
        for (const int64_t ms : times) {
            const int i = t.indicator(ms);
            ASSERT_GE(i, 0) << t.name << " " << ms;
            ASSERT_LE(i, t.last) << t.name << " " << ms;
            EXPECT_LE(t.minimum(i), std::max<int64_t>(ms, 0)) << t.name << " " << ms << " ms gave " << i;
            if (i < t.last) {
                EXPECT_GT(t.minimum(i + 1), ms) << t.name << " " << ms << " ms gave " << i;
            }
        }
    }
    EXPECT_EQ(MsmExtendedLockIndicator(67108864), 704);
    EXPECT_EQ(MsmExtendedLockIndicator(67108863), 703);
}

TEST(RtcmObservations, ValuesComeBackWithinEachMessagesResolution) {
    struct Case {
        ObservationKind kind;
        double rangeM, phaseM, cnrDbHz;
        bool p1, rates;
    };
    const Case cases[] = {
        {ObservationKind::k1004, 0.01, 0.00025, 0.125, false, false},
        {ObservationKind::kMsm4, 0.5 * 0x1p-24 * kC * 1e-3, 0.5 * 0x1p-29 * kC * 1e-3, 0.5, true, false},
        {ObservationKind::kMsm7, 0.5 * 0x1p-29 * kC * 1e-3, 0.5 * 0x1p-31 * kC * 1e-3, 1.0 / 32, true, true},
    };
    SatelliteObservation noL2 = FullSat(3, 24999999.987);
    noL2.present = static_cast<uint8_t>(noL2.present & ~SatelliteObservation::Bit(Observable::kP2) &
                                        ~SatelliteObservation::Bit(Observable::kL2) &
                                        ~SatelliteObservation::Bit(Observable::kP1));
    SatelliteObservation noPhase = FullSat(17, 20123456.789);
    noPhase.present = static_cast<uint8_t>(noPhase.present & ~SatelliteObservation::Bit(Observable::kL1) &
                                           ~SatelliteObservation::Bit(Observable::kD1));
    const std::vector<SatelliteObservation> sats = {FullSat(31, 22345678.901), noL2, noPhase, FullSat(1, 21000000.5)};
    for (const Case& c : cases) {
        SCOPED_TRACE(Name(c.kind));
        ObservationEncoder encoder(c.kind, 1234);
        std::vector<uint8_t> frame;
        ASSERT_TRUE(encoder.Append(Epoch(1316, 518430.005, sats), false, frame));
        const test::RtcmObservations obs = Decode(frame);
        EXPECT_EQ(obs.number, MessageNumber(c.kind));
        EXPECT_EQ(obs.station, 1234);
        EXPECT_EQ(obs.towMs, 518430005u);
        EXPECT_FALSE(obs.moreFollow);
        ASSERT_EQ(obs.satellites.size(), 4u);
        EXPECT_EQ(obs.satellites[0].prn, 1) << "satellites in PRN order";
        for (const SatelliteObservation& s : sats) {
            SCOPED_TRACE(s.prn);
            const auto* l1 = FindSignal(obs, s.prn, 2);
            const auto* l2 = FindSignal(obs, s.prn, 10);
            const auto* p1 = FindSignal(obs, s.prn, 4);
            ASSERT_NE(l1, nullptr);
            EXPECT_NEAR(l1->rangeM, s.Value(Observable::kC1), c.rangeM);
            EXPECT_EQ(l1->hasPhase, s.Has(Observable::kL1));
            if (l1->hasPhase) {
                EXPECT_NEAR(l1->phaseCycles, s.Value(Observable::kL1), c.phaseM / kL1Lambda);
            }
            EXPECT_NEAR(l1->cnrDbHz, 47.0, c.cnrDbHz);
            EXPECT_EQ(l1->hasRate, c.rates && s.Has(Observable::kD1));
            if (l1->hasRate) {
                EXPECT_NEAR(l1->dopplerHz, -1234.567, 0.00005 / kL1Lambda);
            }
            const bool hasL2 = s.Has(Observable::kP2);
            if (c.kind == ObservationKind::k1004) {
                ASSERT_NE(l2, nullptr);
                EXPECT_EQ(l2->hasRange, hasL2);
                EXPECT_EQ(l2->hasPhase, hasL2);
            } else {
                ASSERT_EQ(l2 != nullptr, hasL2);
                ASSERT_EQ(p1 != nullptr, c.p1 && s.Has(Observable::kP1));
            }
            if (hasL2) {
                EXPECT_NEAR(l2->rangeM, s.Value(Observable::kP2), c.rangeM);
                EXPECT_NEAR(l2->phaseCycles, s.Value(Observable::kL2), c.phaseM / kL2Lambda);
                EXPECT_EQ(l2->cnrDbHz, 0.0);
            }
            if (p1 != nullptr) {
                EXPECT_NEAR(p1->rangeM, s.Value(Observable::kP1), c.rangeM);
                EXPECT_FALSE(p1->hasPhase) << "the P-code range on L1 has no phase of its own";
            }
        }
    }
}

// What RTKLIB's decoders do with the lock time indicators: a loss of lock where the indicator
// drops, or stays at 0.
struct LossOfLockDecoder {
    std::map<std::pair<int, int>, int> previous;
    bool Lost(int prn, int signal, int lock) {
        int& before = previous[{prn, signal}];
        const bool lost = (lock == 0 && before == 0) || lock < before;
        before = lock;
        return lost;
    }
};

TEST(RtcmObservations, LockRestartsExactlyWhereTheEpochFlagsLossOfLock) {
    // Two satellites over 40 epochs. PRN 5: L1 flagged at 10 (counter) and 25 (return); L2
    // without phase at 14..16 with no flag, and flagged at 30 by its counter. PRN 9 joins at
    // epoch 3 (arc start).
    struct Flag {
        int prn, epoch;
        Carrier carrier;
        uint8_t reasons;
    };
    const Flag flags[] = {
        {5, 0, Carrier::kL1, lock_reason::kArcStart},     {5, 0, Carrier::kL2, lock_reason::kArcStart},
        {5, 10, Carrier::kL1, lock_reason::kCounterChanged}, {5, 25, Carrier::kL1, lock_reason::kReturnAfterGap},
        {5, 25, Carrier::kL2, lock_reason::kReturnAfterGap}, {5, 17, Carrier::kL2, lock_reason::kNoPhase},
        {5, 30, Carrier::kL2, lock_reason::kCounterChanged}, {9, 3, Carrier::kL1, lock_reason::kArcStart},
        {9, 3, Carrier::kL2, lock_reason::kArcStart},
    };
    struct Case {
        ObservationKind kind;
        double intervalS;
        double jitterS;  // every third epoch's time tag this early
    };
    const Case cases[] = {
        {ObservationKind::k1004, 1.0, 0.0},   {ObservationKind::k1004, 1.0, 0.001}, {ObservationKind::k1004, 30.0, 0.0},
        {ObservationKind::kMsm4, 1.0, 0.001}, {ObservationKind::kMsm4, 30.0, 0.0},  {ObservationKind::kMsm4, 0.1, 0.0},
        {ObservationKind::kMsm7, 1.0, 0.001}, {ObservationKind::kMsm7, 30.0, 0.0},  {ObservationKind::kMsm7, 0.05, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(Name(c.kind)) + " every " + std::to_string(c.intervalS) + " s");
        ObservationEncoder encoder(c.kind, 0);
        LossOfLockDecoder decoder;
        std::set<std::tuple<int, int, int>> expected, seen;  // epoch, prn, signal
        for (int k = 0; k < 40; ++k) {
            std::vector<SatelliteObservation> sats;
            for (const int prn : {5, 9}) {
                if (prn == 9 && k < 3) continue;
                SatelliteObservation s = FullSat(prn, 2.1e7 + 1000.0 * prn + 100.0 * k);
                if (prn == 5 && k >= 14 && k <= 16) {
                    s.present = static_cast<uint8_t>(s.present & ~SatelliteObservation::Bit(Observable::kL2));
                }
                for (const Flag& f : flags) {
                    if (f.prn == prn && f.epoch == k) s.lockReasons[static_cast<std::size_t>(f.carrier)] |= f.reasons;
                }
                for (const Carrier carrier : {Carrier::kL1, Carrier::kL2}) {
                    if (s.LossOfLock(carrier)) expected.insert({k, prn, carrier == Carrier::kL1 ? 2 : 10});
                }
                sats.push_back(s);
            }
            const double jitter = k % 3 == 2 ? c.jitterS : 0.0;
            std::vector<uint8_t> frame;
            ASSERT_TRUE(encoder.Append(Epoch(2000, 1000.0 + k * c.intervalS - jitter, sats), false, frame));
            const test::RtcmObservations obs = Decode(frame);
            for (const auto& sat : obs.satellites) {
                for (const auto& sig : sat.signals) {
                    if (sig.id == 4) continue;
                    if (decoder.Lost(sat.prn, sig.id, sig.lock) && sig.hasPhase) seen.insert({k, sat.prn, sig.id});
                }
            }
        }
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(encoder.rollovers(), 0);
    }
}

TEST(RtcmObservations, PhaseOutgrowingItsFieldRollsOverAndRestartsLock) {
    struct Case {
        ObservationKind kind;
        double stepM;  // the phase leaves the range by this much each epoch
    };
    const Case cases[] = {{ObservationKind::k1004, 40.0}, {ObservationKind::kMsm4, 150.0}, {ObservationKind::kMsm7, 150.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(Name(c.kind));
        ObservationEncoder encoder(c.kind, 0);
        LossOfLockDecoder decoder;
        int rolls = 0;
        for (int k = 0; k < 20; ++k) {
            SatelliteObservation s = FullSat(12, 2.2e7);
            if (k == 0) s.lockReasons = {lock_reason::kArcStart, lock_reason::kArcStart};
            s.Set(Observable::kL1, (2.2e7 + c.stepM * k) / kL1Lambda + 0.25);
            std::vector<uint8_t> frame;
            ASSERT_TRUE(encoder.Append(Epoch(2000, 100.0 + k, {s}), false, frame));
            const test::RtcmObservations obs = Decode(frame);
            const auto* l1 = FindSignal(obs, 12, 2);
            ASSERT_NE(l1, nullptr);
            ASSERT_TRUE(l1->hasPhase) << k;
            const double off = l1->phaseCycles - s.Value(Observable::kL1);
            const double steps = std::round(off / 1500.0);
            EXPECT_NEAR(off, steps * 1500.0, 0.01) << "epoch " << k;
            const bool lost = decoder.Lost(12, 2, l1->lock);
            const bool rolled = encoder.rollovers() > rolls;
            rolls = static_cast<int>(encoder.rollovers());
            EXPECT_EQ(lost, k == 0 || rolled) << "epoch " << k;
            const auto* l2 = FindSignal(obs, 12, 10);
            EXPECT_FALSE(decoder.Lost(12, 10, l2->lock) && k > 0) << "L2 kept its lock, epoch " << k;
        }
        EXPECT_GE(encoder.rollovers(), 2);
    }
}

TEST(RtcmObservations, SatellitesNoMessageCanCarryAreLeftOut) {
    SatelliteObservation negative = FullSat(2, -5.0);
    SatelliteObservation far = FullSat(3, 260.0 * kC * 1e-3);
    SatelliteObservation notANumber = FullSat(4, std::nan(""));
    SatelliteObservation noRange = FullSat(6, 2.1e7);
    noRange.present = SatelliteObservation::Bit(Observable::kL1);
    SatelliteObservation notGps = FullSat(40, 2.1e7);
    const SatelliteObservation good = FullSat(7, 2.3e7);
    for (const ObservationKind kind : kKinds) {
        SCOPED_TRACE(Name(kind));
        ObservationEncoder encoder(kind, 0);
        std::vector<uint8_t> frames;
        EXPECT_FALSE(encoder.Append(Epoch(2000, 1.0, {negative, far, notANumber, noRange, notGps}), false, frames));
        EXPECT_TRUE(frames.empty());
        EXPECT_EQ(encoder.satellitesLeftOut(), 4);
        ASSERT_TRUE(encoder.Append(Epoch(2000, 2.0, {negative, good, far}), true, frames));
        const test::RtcmObservations obs = Decode(frames);
        ASSERT_EQ(obs.satellites.size(), 1u);
        EXPECT_EQ(obs.satellites[0].prn, 7);
        EXPECT_TRUE(obs.moreFollow);
    }
}

// A damaged frame can name a PRN twice, and a phase can be any number at all: the message
// still reads, carries each PRN once (the first that has a range), and never sends a phase
// that is not the one given give or take whole rollovers.
TEST(RtcmObservations, DamagedEpochsStillGiveSoundMessages) {
    SatelliteObservation unsendable = FullSat(9, -1e-300);
    SatelliteObservation first = FullSat(9, 2.1e7);
    SatelliteObservation second = FullSat(9, 2.4e7);
    SatelliteObservation absurd = FullSat(11, 2.2e7);
    absurd.Set(Observable::kL1, -5.9e16);
    for (const ObservationKind kind : kKinds) {
        SCOPED_TRACE(Name(kind));
        ObservationEncoder encoder(kind, 0);
        LossOfLockDecoder decoder;
        for (int k = 0; k < 3; ++k) {
            std::vector<SatelliteObservation> sats = {unsendable, first, second, k == 1 ? absurd : FullSat(11, 2.2e7)};
            std::vector<uint8_t> frame;
            ASSERT_TRUE(encoder.Append(Epoch(2000, 10.0 + k, sats), false, frame));
            const test::RtcmObservations obs = Decode(frame);
            ASSERT_EQ(obs.satellites.size(), 2u);
            EXPECT_NEAR(FindSignal(obs, 9, 2)->rangeM, 2.1e7, 0.01);
            const auto* l1 = FindSignal(obs, 11, 2);
            EXPECT_EQ(l1->hasPhase, k != 1) << k;
            if (l1->hasPhase) {
                EXPECT_NEAR(l1->phaseCycles, FullSat(11, 2.2e7).Value(Observable::kL1), 0.002) << k;
            }
            // Lock starts at the first epoch and afresh after the phase no message could carry.
            const bool lost = decoder.Lost(11, 2, l1->lock);
            if (k != 1) {
                EXPECT_TRUE(lost) << k;
            }
        }
        EXPECT_EQ(encoder.rollovers(), 0);
    }
}

}  // namespace
}  // namespace kestrel::rtcm
