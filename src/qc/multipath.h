// SPDX-License-Identifier: BSD-2-Clause
// Code multipath and ionospheric delay from dual-frequency code and carrier: the customary
// code-minus-carrier combinations, their spread over continuous arcs with each arc's mean
// removed, and the jumps of the ionospheric delay that betray a slip the lock counters missed.
// Phases are in metres in the RINEX sense (they grow with the range).
#pragma once

#include <cstdint>
#include <optional>

#include "positioning/position_record.h"

namespace kestrel {

constexpr double kL1FrequencyHz = 1575.42e6;
constexpr double kL2FrequencyHz = 1227.60e6;
constexpr double kL1CarrierWavelengthM = kSpeedOfLight / kL1FrequencyHz;
constexpr double kL2CarrierWavelengthM = kSpeedOfLight / kL2FrequencyHz;
// α = (f1 / f2)² = (77 / 60)²: the L2 ionospheric delay over the L1 delay.
constexpr double kIonosphereRatio = (77.0 / 60.0) * (77.0 / 60.0);

// Arcs with fewer values than this are left out of the multipath figures.
constexpr int32_t kMinMultipathArcEpochs = 10;

// MP1 = C1 − (1 + 2/(α−1))·Φ1 + (2/(α−1))·Φ2, in metres, plus a constant per arc.
double Mp1(double c1M, double phi1M, double phi2M);
// MP2 = P2 − (2α/(α−1))·Φ1 + (2α/(α−1) − 1)·Φ2, in metres, plus a constant per arc.
double Mp2(double p2M, double phi1M, double phi2M);
// The L1 ionospheric delay (Φ1 − Φ2)/(α − 1), in metres, plus a constant per arc.
double IonosphericDelayM(double phi1M, double phi2M);

// The values of one arc: count, mean and squared deviations from the mean, summed about the
// arc's first value so that a large constant (the phase ambiguities) costs no precision.
class ArcMoments {
public:
    void Add(double value);
    void Reset() { *this = ArcMoments{}; }
    int32_t count() const { return count_; }
    double first() const { return first_; }
    // Mean less the first value; 0 for an empty arc.
    double MeanFromFirst() const { return count_ > 0 ? sum_ / count_ : 0.0; }
    // Σ (value − mean)².
    double SquaredDeviations() const;

private:
    int32_t count_ = 0;
    double first_ = 0.0;
    double sum_ = 0.0;    // Σ (value − first)
    double sumSq_ = 0.0;  // Σ (value − first)²
};

// Root mean square over the arcs kept.
class RmsSum {
public:
    void AddArc(const ArcMoments& arc) {
        squares_ += arc.SquaredDeviations();
        count_ += arc.count();
    }
    void Add(double squares, int64_t count) {
        squares_ += squares;
        count_ += count;
    }
    std::optional<double> Rms() const;
    double squares() const { return squares_; }
    int64_t count() const { return count_; }

private:
    double squares_ = 0.0;
    int64_t count_ = 0;
};

// Watches the ionospheric delay along one arc. From the third epoch on, the delay is
// predicted from the two before it; from the second, a plain rate limit applies. A delay off
// its prediction by more than kIonosphereJumpM is a slip the lock counters did not report.
constexpr double kIonosphereJumpM = 0.15;        // about half the delay change of one L1 cycle
constexpr double kIonosphereRateLimitMps = 4.0 / 60.0;  // 4 m/min, for the second epoch

class IonosphereWatch {
public:
    // The delay of the arc's next epoch; true when it jumped (the watch then starts a new arc
    // at this epoch). `rateMps`, when the epoch is not the first of the arc and no jump, is
    // the delay's rate since the epoch before.
    bool Add(double timeS, double delayM, std::optional<double>& rateMps);
    void Restart() { count_ = 0; }

private:
    int32_t count_ = 0;
    double t0_ = 0.0, d0_ = 0.0;  // the epoch before the last
    double t1_ = 0.0, d1_ = 0.0;  // the last epoch
};

}  // namespace kestrel
