// SPDX-License-Identifier: BSD-2-Clause
#include "qc/multipath.h"

#include <cmath>

namespace kestrel {
namespace {

constexpr double kTwoOverAlphaLessOne = 2.0 / (kIonosphereRatio - 1.0);
constexpr double kTwoAlphaOverAlphaLessOne = 2.0 * kIonosphereRatio / (kIonosphereRatio - 1.0);

}  // namespace

double Mp1(double c1M, double phi1M, double phi2M) {
    return c1M - (1.0 + kTwoOverAlphaLessOne) * phi1M + kTwoOverAlphaLessOne * phi2M;
}

double Mp2(double p2M, double phi1M, double phi2M) {
    return p2M - kTwoAlphaOverAlphaLessOne * phi1M + (kTwoAlphaOverAlphaLessOne - 1.0) * phi2M;
}

double IonosphericDelayM(double phi1M, double phi2M) { return (phi1M - phi2M) / (kIonosphereRatio - 1.0); }

void ArcMoments::Add(double value) {
    if (count_ == 0) first_ = value;
    const double d = value - first_;
    sum_ += d;
    sumSq_ += d * d;
    ++count_;
}

double ArcMoments::SquaredDeviations() const {
    if (count_ == 0) return 0.0;
    const double s = sumSq_ - sum_ * sum_ / count_;
    return s > 0.0 ? s : 0.0;
}

std::optional<double> RmsSum::Rms() const {
    if (count_ == 0) return std::nullopt;
    return std::sqrt(squares_ / static_cast<double>(count_));
}

bool IonosphereWatch::Add(double timeS, double delayM, std::optional<double>& rateMps) {
    rateMps.reset();
    bool jump = false;
    if (count_ >= 1) {
        const double dt = timeS - t1_;
        if (!(dt > 0.0)) return false;  // no time step: nothing to compare
        double predicted = d1_;
        double allowance = kIonosphereJumpM;
        if (count_ >= 2 && t1_ > t0_) {
            predicted += (d1_ - d0_) / (t1_ - t0_) * dt;
        } else {
            allowance += kIonosphereRateLimitMps * dt;
        }
        jump = std::fabs(delayM - predicted) > allowance;
        if (!jump) rateMps = (delayM - d1_) / dt;
    }
    if (jump) count_ = 0;
    t0_ = t1_;
    d0_ = d1_;
    t1_ = timeS;
    d1_ = delayM;
    ++count_;
    return jump;
}

}  // namespace kestrel
