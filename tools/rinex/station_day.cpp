// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/station_day.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kestrel::rinex {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kSpeedOfLight = 299792458.0;
constexpr double kEarthGm = 3.986005e14;                // m^3/s^2, broadcast model
constexpr double kEarthRotationRate = 7.2921151467e-5;  // rad/s
constexpr double kRelativisticF = -4.442809305e-10;     // s/m^0.5
constexpr double kL1FrequencyHz = 1575420000.0;
constexpr double kL2FrequencyHz = 1227600000.0;
constexpr double kL1WavelengthM = kSpeedOfLight / kL1FrequencyHz;
constexpr double kL2WavelengthM = kSpeedOfLight / kL2FrequencyHz;
constexpr double kIonoL2Factor = (kL1FrequencyHz / kL2FrequencyHz) * (kL1FrequencyHz / kL2FrequencyHz);
constexpr double kWgs84A = 6378137.0;
constexpr double kWgs84F = 1.0 / 298.257223563;
constexpr double kClockStepS = 1.0e-3;   // the receiver steps its clock by whole milliseconds
constexpr double kClockLimitS = 0.5e-3;  // ... when it drifts beyond this
constexpr double kZenithTropoM = 2.4;
constexpr double kIonoNightM = 1.5;      // vertical L1 delay at night
constexpr double kIonoDayM = 6.0;        // added at 14:00 local time
constexpr double kIonoPeakHour = 14.0;
constexpr double kIonoShellM = 350000.0;
constexpr double kPhaseNoiseCycles = 0.003;
constexpr double kKeplerTolerance = 1e-14;
constexpr int kKeplerMaxPasses = 30;
constexpr int kLightTimePasses = 3;

}  // namespace

void BroadcastSatellite(const NavRecord& n, double total, double position[3], double* clock) {
    const double tk = total - (n.week * kSecondsPerWeek + n.toe);
    const double a = n.sqrtA * n.sqrtA;
    const double motion = std::sqrt(kEarthGm / (a * a * a)) + n.deltaN;
    const double m = n.m0 + motion * tk;
    double e = m;
    for (int i = 0; i < kKeplerMaxPasses; ++i) {
        const double next = m + n.ecc * std::sin(e);
        const bool done = std::fabs(next - e) < kKeplerTolerance;
        e = next;
        if (done) break;
    }
    const double v = std::atan2(std::sqrt(1.0 - n.ecc * n.ecc) * std::sin(e), std::cos(e) - n.ecc);
    const double phi = v + n.omega;
    const double s2 = std::sin(2.0 * phi), c2 = std::cos(2.0 * phi);
    const double u = phi + n.cus * s2 + n.cuc * c2;
    const double r = a * (1.0 - n.ecc * std::cos(e)) + n.crs * s2 + n.crc * c2;
    const double inc = n.i0 + n.idot * tk + n.cis * s2 + n.cic * c2;
    const double node = n.omega0 + (n.omegaDot - kEarthRotationRate) * tk - kEarthRotationRate * n.toe;
    const double xp = r * std::cos(u), yp = r * std::sin(u);
    position[0] = xp * std::cos(node) - yp * std::cos(inc) * std::sin(node);
    position[1] = xp * std::sin(node) + yp * std::cos(inc) * std::cos(node);
    position[2] = yp * std::sin(inc);
    const double tc = total - (n.tocWeek * kSecondsPerWeek + n.toc);
    *clock = n.af0 + n.af1 * tc + n.af2 * tc * tc + kRelativisticF * n.ecc * n.sqrtA * std::sin(e);
}

StationDay::StationDay(std::vector<NavRecord> nav, const StationDayOptions& options)
    : nav_(std::move(nav)), options_(options), clock_(options.clockOffsetS), random_(options.seed) {
    const auto& p = options_.station;
    // Geodetic latitude by a few fixed-point passes; plenty for an elevation mask.
    const double e2 = kWgs84F * (2.0 - kWgs84F);
    const double horizontal = std::hypot(p[0], p[1]);
    longitude_ = std::atan2(p[1], p[0]);
    double lat = std::atan2(p[2], horizontal * (1.0 - e2));
    for (int i = 0; i < 10; ++i) {
        const double sinLat = std::sin(lat);
        const double radius = kWgs84A / std::sqrt(1.0 - e2 * sinLat * sinLat);
        lat = std::atan2(p[2] + e2 * radius * sinLat, horizontal);
    }
    latitude_ = lat;
}

ObsHeader StationDay::Header() const {
    ObsHeader h;
    h.version = 2.11;
    h.system = 'G';
    h.markerName = "SIMULATED";
    h.hasApproxPosition = true;
    h.approxPosition = options_.station;
    for (const char* t : kStationDayTypes) h.types.emplace_back(t);
    h.interval = options_.interval;
    return h;
}

double StationDay::LockSeconds(int prn) const {
    if (!IsGpsPrn(prn) || !arcs_[prn].tracked) return 0.0;
    return lastTime_ - arcs_[prn].since;
}

const NavRecord* StationDay::NearestEphemeris(int prn, double total) const {
    const NavRecord* best = nullptr;
    double bestDistance = options_.ephemerisReachS;
    for (const NavRecord& n : nav_) {
        if (n.prn != prn || n.health != 0) continue;
        const double d = std::fabs(total - (n.week * kSecondsPerWeek + n.toe));
        if (d <= bestDistance) {
            best = &n;
            bestDistance = d;
        }
    }
    return best;
}

// Standard normal numbers from a 64-bit mixing generator and the Box-Muller transform.
double StationDay::Gaussian() {
    const auto next = [this] {
        uint64_t z = (random_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return (static_cast<double>(z >> 11) + 0.5) * 0x1.0p-53;
    };
    const double u1 = next();
    const double u2 = next();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

bool StationDay::Next(ObsEpoch& epoch) {
    const double offset = static_cast<double>(index_) * options_.interval;
    if (!(offset < options_.duration)) return false;
    if (index_ > 0) {
        clock_ += options_.clockDrift * options_.interval;
        if (clock_ > kClockLimitS) clock_ -= kClockStepS;
        if (clock_ < -kClockLimitS) clock_ += kClockStepS;
    }
    ++index_;

    const double receiverTime = options_.start.Total() + offset;
    lastTime_ = receiverTime;
    const double trueTime = receiverTime - clock_;
    const auto& rx = options_.station;
    const double sinLat = std::sin(latitude_), cosLat = std::cos(latitude_);
    const double sinLon = std::sin(longitude_), cosLon = std::cos(longitude_);

    struct Candidate {
        int prn;
        double elevation;  // rad
        double range;      // geometric, m
        double satClock;   // s, with the group delay of L1 left out
        const NavRecord* nav;
    };
    std::vector<Candidate> seen;
    for (int prn = kFirstGpsPrn; prn <= options_.highestPrn && prn <= kLastGpsPrn; ++prn) {
        const NavRecord* nav = NearestEphemeris(prn, trueTime);
        if (!nav) continue;
        double travel = 0.075;  // s, about 22 000 km
        double sat[3] = {0, 0, 0};
        double satClock = 0.0;
        double range = 0.0;
        for (int pass = 0; pass < kLightTimePasses; ++pass) {
            double p[3];
            BroadcastSatellite(*nav, trueTime - travel, p, &satClock);
            // The Earth turns while the signal travels.
            const double turn = kEarthRotationRate * travel;
            sat[0] = p[0] * std::cos(turn) + p[1] * std::sin(turn);
            sat[1] = -p[0] * std::sin(turn) + p[1] * std::cos(turn);
            sat[2] = p[2];
            range = std::sqrt((sat[0] - rx[0]) * (sat[0] - rx[0]) + (sat[1] - rx[1]) * (sat[1] - rx[1]) +
                              (sat[2] - rx[2]) * (sat[2] - rx[2]));
            travel = range / kSpeedOfLight;
        }
        const double dx = sat[0] - rx[0], dy = sat[1] - rx[1], dz = sat[2] - rx[2];
        const double up = cosLat * cosLon * dx + cosLat * sinLon * dy + sinLat * dz;
        const double elevation = std::asin(up / range);
        if (elevation * 180.0 / kPi < options_.elevationMaskDeg) continue;
        seen.push_back({prn, elevation, range, satClock, nav});
    }
    // The receiver's channels go to the highest satellites.
    std::sort(seen.begin(), seen.end(), [](const Candidate& a, const Candidate& b) { return a.elevation > b.elevation; });
    if (seen.size() > static_cast<std::size_t>(options_.channels)) seen.resize(static_cast<std::size_t>(options_.channels));
    std::sort(seen.begin(), seen.end(), [](const Candidate& a, const Candidate& b) { return a.prn < b.prn; });

    bool tracked[kGpsPrnSlots] = {};
    epoch = ObsEpoch{};
    epoch.time = GpsTimeFromTotal(receiverTime);
    epoch.flag = kEpochOk;
    const double localHour = std::fmod(std::fmod(trueTime, kSecondsPerDay) / 3600.0 + longitude_ * 12.0 / kPi + 48.0, 24.0);
    const double ionoVertical =
        kIonoNightM + kIonoDayM * std::max(0.0, std::cos(2.0 * kPi * (localHour - kIonoPeakHour) / 24.0));
    for (const Candidate& c : seen) {
        tracked[c.prn] = true;
        const double sinEl = std::sin(c.elevation);
        const double cosEl = std::cos(c.elevation);
        const double tropo = options_.troposphere ? kZenithTropoM * 1.001 / std::sqrt(0.002001 + sinEl * sinEl) : 0.0;
        const double shell = kWgs84A * cosEl / (kWgs84A + kIonoShellM);
        const double iono = options_.ionosphere ? ionoVertical / std::sqrt(1.0 - shell * shell) : 0.0;
        const double common = c.range + kSpeedOfLight * (clock_ - c.satClock) + tropo;
        const double codeSigma = options_.noise ? 0.2 + 0.8 * (1.0 - sinEl) : 0.0;
        const double phaseSigma = options_.noise ? kPhaseNoiseCycles : 0.0;
        const double tgd = kSpeedOfLight * c.nav->tgd;
        const double c1 = common + tgd + iono + codeSigma * Gaussian();
        const double p2 = common + kIonoL2Factor * (tgd + iono) + codeSigma * Gaussian();
        double l1 = (common - iono) / kL1WavelengthM + phaseSigma * Gaussian();
        double l2 = (common - kIonoL2Factor * iono) / kL2WavelengthM + phaseSigma * Gaussian();

        Arc& arc = arcs_[c.prn];
        if (!arc.tracked) {
            // A new arc starts with its phase near its code range, as receivers set it.
            arc.tracked = true;
            arc.l1Ambiguity = std::round(c1 / kL1WavelengthM - l1);
            arc.l2Ambiguity = std::round(p2 / kL2WavelengthM - l2);
            arc.since = receiverTime;
        }
        l1 += arc.l1Ambiguity;
        l2 += arc.l2Ambiguity;

        ObsSatellite sat;
        sat.system = 'G';
        sat.prn = c.prn;
        const double strength = 35.0 + 15.0 * sinEl;  // dB-Hz
        const int digit = std::clamp(static_cast<int>(strength / 6.0), 1, 9);
        sat.values.resize(kStationDayTypeCount);
        sat.values[0] = {true, c1, 0, digit};
        sat.values[1] = {true, l1, 0, digit};
        sat.values[2] = {true, p2, 0, digit};
        sat.values[3] = {true, l2, 0, digit};
        sat.values[4] = {true, std::round(strength * 4.0) / 4.0, 0, 0};
        epoch.satellites.push_back(std::move(sat));
    }
    for (int prn = kFirstGpsPrn; prn <= kLastGpsPrn; ++prn) {
        if (!tracked[prn]) arcs_[prn].tracked = false;
    }
    return true;
}

}  // namespace kestrel::rinex
