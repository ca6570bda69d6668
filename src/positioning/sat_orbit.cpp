// SPDX-License-Identifier: BSD-2-Clause
#include "positioning/sat_orbit.h"

#include <cassert>
#include <cmath>

#include "common/fp_math.h"
#include "common/gps_time.h"

namespace kestrel {
namespace {

constexpr double kEarthGm = 3.986005e14;                // m^3/s^2, as the broadcast model uses it
constexpr double kEarthRotationRate = 7.2921151467e-5;  // rad/s
constexpr double kRelativisticF = -4.442809305e-10;     // s/m^0.5
constexpr double kL1Frequency = 1575420000.0;           // Hz
constexpr double kL2Frequency = 1227600000.0;           // Hz
constexpr int kKeplerIterations = 5;                    // fixed: no convergence test
constexpr double kLightTimeTolerance = 1e-10;           // s

// From a receiver on or near the Earth the light time settles in two or three passes; the
// cap only keeps a damaged ephemeris or position from holding a conversion forever.
constexpr int kMaxLightTimePasses = 100;

struct Anomaly {
    double a;  // semi-major axis, m
    double n;  // corrected mean motion, rad/s
    double e;  // eccentric anomaly, rad
};

// Kepler's equation M = E - e sin E by fixed-point iteration, `dt` seconds from Toe.
Anomaly eccentric_anomaly(const GpsEphRecord& eph, double dt) {
    Anomaly k;
    k.a = eph.SqrtA * eph.SqrtA;
    k.n = std::sqrt(kEarthGm / (k.a * k.a * k.a)) + eph.DeltaN;
    const double m = eph.M0 + k.n * dt;
    k.e = m;
    for (int i = 0; i < kKeplerIterations; ++i) k.e = m + eph.Ecc * fp_sin(k.e);
    return k;
}

}  // namespace

void gps_sat_clock(const GpsEphRecord* eph, double t, SatObservation* observation, double* tSv) {
    assert(eph && "gps_sat_clock needs an ephemeris");
    if (!eph) return;

    const double dtOrbit = WeekCrossover(t - static_cast<double>(eph->Toe));
    const double dtClock = WeekCrossover(t - static_cast<double>(eph->Toc));
    const Anomaly k = eccentric_anomaly(*eph, dtOrbit);

    // The relativistic term is taken at the receiver's time, not at transmission.
    const double relativistic = kRelativisticF * eph->Ecc * eph->SqrtA * fp_sin(k.e);
    const double offset =
        eph->Af2 * dtClock * dtClock + eph->Af1 * dtClock + eph->Af0 + relativistic;  // s

    if (observation) {
        observation->ca_range = observation->ca_range + offset * kSpeedOfLight;
        observation->l1_phase = observation->l1_phase - offset * kL1Frequency;
        observation->l2_phase = observation->l2_phase - offset * kL2Frequency;
    }
    if (tSv) *tSv = t - offset;
}

void gps_sat_position(const GpsEphRecord* eph, double t, double range,
                      const PositionRecord* receiver, PositionRecord* satellite) {
    assert(eph && "gps_sat_position needs an ephemeris");
    if (!eph) return;

    const double toe = static_cast<double>(eph->Toe);
    const double ecc = eph->Ecc;
    double travel = range / kSpeedOfLight;  // s
    satellite->referenceTime = toe;

    // What the last light-time pass leaves for the velocity, which only that pass needs.
    double trueAnomaly = 0.0, cos2Phi = 0.0, sin2Phi = 0.0, r = 0.0;
    double sinU = 0.0, cosU = 0.0, sinI = 0.0, cosI = 0.0, sinNode = 0.0, cosNode = 0.0;
    Anomaly k{};
    for (int pass = 0; pass < kMaxLightTimePasses; ++pass) {
        const double tk = WeekCrossover((t - travel) - toe);
        k = eccentric_anomaly(*eph, tk);
        const auto [sinE, cosE] = fp_sincos(k.e);
        trueAnomaly = fp_atan2(std::sqrt(1.0 - ecc * ecc) * sinE, cosE - ecc);
        const double phi = trueAnomaly + eph->Omega;  // argument of latitude
        const SineCosine twoPhi = fp_sincos(2.0 * phi);
        sin2Phi = twoPhi.sin;
        cos2Phi = twoPhi.cos;

        // Second-harmonic corrections of latitude, radius and inclination.
        const double du = eph->Cus * sin2Phi + eph->Cuc * cos2Phi;
        const double dr = eph->Crc * cos2Phi + eph->Crs * sin2Phi;
        const double di = eph->Cic * cos2Phi + eph->Cis * sin2Phi;
        const double u = phi + du;
        r = k.a * (1.0 - ecc * cosE) + dr;
        const double inc = eph->I0 + di + eph->Idot * tk;

        // Node longitude in the Earth-fixed frame of reception: the Earth turns on while
        // the signal travels.
        const double node = eph->Omega0 + (eph->OmegaDot - kEarthRotationRate) * tk -
                            kEarthRotationRate * (toe + travel);

        const SineCosine scU = fp_sincos(u), scI = fp_sincos(inc), scNode = fp_sincos(node);
        sinU = scU.sin, cosU = scU.cos;
        sinI = scI.sin, cosI = scI.cos;
        sinNode = scNode.sin, cosNode = scNode.cos;
        const double xp = r * cosU;  // in the orbital plane
        const double yp = r * sinU;
        satellite->x = xp * cosNode - yp * cosI * sinNode;
        satellite->y = xp * sinNode + yp * cosI * cosNode;
        satellite->z = yp * sinI;

        // Without a receiver position (on the X axis, at the start) the pseudorange stands
        // in for the geometric range.
        double rho = range;
        if (receiver->y != 0.0 || receiver->z != 0.0) {
            const double dx = satellite->x - receiver->x;
            const double dy = satellite->y - receiver->y;
            const double dz = satellite->z - receiver->z;
            rho = std::sqrt(dx * dx + dy * dy + dz * dz);
        }
        const double next = rho / kSpeedOfLight;
        if (!(std::fabs(travel - next) > kLightTimeTolerance)) break;
        travel = next;
    }

    // Velocity at the position of the last pass.
    const double xp = r * cosU;
    const double yp = r * sinU;
    const auto [sinV, cosV] = fp_sincos(trueAnomaly);
    const double onePlusECosV = 1.0 + ecc * cosV;
    const double anomalyRate = k.n * (onePlusECosV * onePlusECosV) / fp_pow(1.0 - ecc * ecc, 1.5);
    const double uRate = anomalyRate + 2.0 * anomalyRate * (eph->Cus * cos2Phi - eph->Cuc * sin2Phi);
    const double rRate = k.a * k.n * ecc * sinV / std::sqrt(1.0 - ecc * ecc) +
                         2.0 * anomalyRate * (eph->Crs * cos2Phi - eph->Crc * sin2Phi);
    const double iRate = eph->Idot + 2.0 * anomalyRate * (eph->Cis * cos2Phi - eph->Cic * sin2Phi);
    const double nodeRate = eph->OmegaDot - kEarthRotationRate;
    const double xpRate = rRate * cosU - r * uRate * sinU;
    const double ypRate = rRate * sinU + r * uRate * cosU;
    satellite->vx = xpRate * cosNode - xp * nodeRate * sinNode - ypRate * cosI * sinNode +
                    yp * iRate * sinI * sinNode - yp * nodeRate * cosI * cosNode;
    satellite->vy = xpRate * sinNode + xp * nodeRate * cosNode + ypRate * cosI * cosNode -
                    yp * iRate * sinI * cosNode - yp * nodeRate * cosI * sinNode;
    satellite->vz = ypRate * sinI + yp * iRate * cosI;
}

}  // namespace kestrel
