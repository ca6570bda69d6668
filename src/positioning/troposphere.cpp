// SPDX-License-Identifier: BSD-2-Clause
#include "positioning/troposphere.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "common/fp_math.h"

#include "positioning/geodesy.h"

namespace kestrel {
namespace {

// Standard atmosphere at sea level and its lapse with height.
constexpr double kSeaLevelPressure = 1013.25;     // mbar
constexpr double kSeaLevelTemperature = 293.0;    // K
constexpr double kLapseRate = 6.5;                // K per km
constexpr double kPressureExponent = 5.255876;
constexpr double kRelativeHumidity = 0.6;         // fixed: no weather data is at hand
constexpr double kZeroCelsius = 273.15;           // K

// Saastamoinen zenith delays.
constexpr double kZenithDelayFactor = 0.0022768;  // m per mbar
constexpr double kGravityLatitudeTerm = 0.00266;
constexpr double kGravityHeightTerm = 2.8e-7;     // per m

// The receiver works without a day of year: the seasonal term of the hydrostatic mapping
// stands at this fixed value in place of the cosine of the day.
constexpr double kSeasonalFactor = 0.5;

// Degrees per radian as the mapping tables are entered; slightly above 180/pi, so a
// latitude lying exactly on a table row may fall one degree higher.
constexpr double kTableLatitudeFactor = 57.29657092819229;

// Height correction of the hydrostatic mapping, per km.
constexpr double kHeightA = 2.53e-5;
constexpr double kHeightB = 5.49e-3;
constexpr double kHeightC = 1.14e-3;

// Heights outside this span are taken as a failed position and get no correction.
constexpr double kLowestHeight = -1000.0;  // m
constexpr double kHighestHeight = 30000.0; // m

constexpr int kRows = 5;
constexpr double kRowLatitude[kRows] = {15.0, 30.0, 45.0, 60.0, 75.0};  // degrees

struct Coefficients {
    double a, b, c;
};

// Niell hydrostatic mapping: averages and seasonal amplitudes by latitude.
constexpr Coefficients kHydrostaticAverage[kRows] = {
    {1.2769934e-3, 2.9153695e-3, 62.610505e-3},
    {1.2683230e-3, 2.9152299e-3, 62.837393e-3},
    {1.2465397e-3, 2.9288445e-3, 63.721774e-3},
    {1.2196049e-3, 2.9022565e-3, 63.824265e-3},
    {1.2045996e-3, 2.9024912e-3, 64.258455e-3},
};
constexpr Coefficients kHydrostaticAmplitude[kRows] = {
    {0.0, 0.0, 0.0},
    {1.2709626e-5, 2.1414979e-5, 9.0128400e-5},
    {2.6523662e-5, 3.0160779e-5, 4.3497037e-5},
    {3.4000452e-5, 7.2562722e-5, 84.795348e-5},
    {4.1202191e-5, 11.723375e-5, 170.37206e-5},
};
// Niell wet mapping by latitude.
constexpr Coefficients kWet[kRows] = {
    {5.8021897e-4, 1.4275268e-3, 4.3472961e-2},
    {5.6794847e-4, 1.5138625e-3, 4.6729510e-2},
    {5.8118019e-4, 1.4572752e-3, 4.3908931e-2},
    {5.9727542e-4, 1.5007428e-3, 4.4626982e-2},
    {6.1641693e-4, 1.7599082e-3, 5.4736038e-2},
};

// Linear interpolation between rows i and i + 1, column by column.
Coefficients interpolate(const Coefficients* table, int i, double weight) {
    const Coefficients& lo = table[i];
    const Coefficients& hi = table[i + 1];
    return {lo.a * (1.0 - weight) + hi.a * weight, lo.b * (1.0 - weight) + hi.b * weight,
            lo.c * (1.0 - weight) + hi.c * weight};
}

// The row pair with L_i < latitude <= L_(i+1), for a latitude strictly inside the table.
int row_below(double tableLatitude) {
    int i = 0;
    while (i < kRows - 2 && tableLatitude > kRowLatitude[i + 1]) ++i;
    return i;
}

double row_weight(double tableLatitude, int i) {
    return (tableLatitude - kRowLatitude[i]) / (kRowLatitude[i + 1] - kRowLatitude[i]);
}

Coefficients hydrostatic_coefficients(double tableLatitude) {
    Coefficients avg;
    Coefficients amp;
    // Written so that a latitude that cannot be ordered (NaN) takes the first row.
    if (!(tableLatitude > kRowLatitude[0])) {
        avg = kHydrostaticAverage[0];
        amp = kHydrostaticAmplitude[0];
    } else if (tableLatitude >= kRowLatitude[kRows - 1]) {
        avg = kHydrostaticAverage[kRows - 1];
        amp = kHydrostaticAmplitude[kRows - 1];
    } else {
        const int i = row_below(tableLatitude);
        const double w = row_weight(tableLatitude, i);
        avg = interpolate(kHydrostaticAverage, i, w);
        amp = interpolate(kHydrostaticAmplitude, i, w);
    }
    return {avg.a - kSeasonalFactor * amp.a, avg.b - kSeasonalFactor * amp.b,
            avg.c - kSeasonalFactor * amp.c};
}

Coefficients wet_coefficients(double tableLatitude) {
    if (!(tableLatitude > kRowLatitude[0])) return kWet[0];
    if (tableLatitude > kRowLatitude[kRows - 1]) return kWet[kRows - 1];
    const int i = row_below(tableLatitude);
    return interpolate(kWet, i, row_weight(tableLatitude, i));
}

// Niell's continued-fraction mapping function, normalised to 1 at the zenith.
double mapping(const Coefficients& k, double sinE) {
    return (1.0 + k.a / (1.0 + k.b / (1.0 + k.c))) / (sinE + k.a / (sinE + k.b / (sinE + k.c)));
}

// What the delay takes from the receiver's latitude and height alone, kept for the last
// pair asked for (keyed by the exact bits): every satellite of an epoch shares it.
struct ZenithTerms {
    bool ready = false;
    uint64_t latitude = 0;
    uint64_t height = 0;
    double zhd = 0.0;  // zenith hydrostatic delay, m
    double zwd = 0.0;  // zenith wet delay, m
    Coefficients hydrostatic{};
    Coefficients wet{};
};
ZenithTerms lastZenith;

}  // namespace

void standard_atmosphere(double height, double* pressure, double* temperature) {
    const double km = height / 1000.0;
    *temperature = kSeaLevelTemperature - kLapseRate * km;
    *pressure = kSeaLevelPressure *
                fp_pow(1.0 - kLapseRate * km / kSeaLevelTemperature, kPressureExponent);
}

int32_t tropo_delay(PositionRecord* satellite, const PositionRecord* receiver, double latitude,
                    double longitude, double height, double* delay) {
    ZenithTerms& z = lastZenith;
    const uint64_t latitudeKey = std::bit_cast<uint64_t>(latitude);
    const uint64_t heightKey = std::bit_cast<uint64_t>(height);
    if (!z.ready || z.latitude != latitudeKey || z.height != heightKey) {
        double pressure = 0.0;
        double temperature = 0.0;
        standard_atmosphere(height, &pressure, &temperature);

        const double gravity =
            1.0 - kGravityLatitudeTerm * fp_cos(2.0 * latitude) - kGravityHeightTerm * height;
        z.zhd = kZenithDelayFactor * pressure / gravity;
        const double vapourPressure = 6.11 * fp_pow(temperature / kZeroCelsius, -5.3) *
                                      fp_exp(25.2 * (temperature - kZeroCelsius) / temperature);
        z.zwd = kZenithDelayFactor * (1255.0 / temperature + 0.05) * kRelativeHumidity *
                vapourPressure / gravity;

        // Whole degrees toward zero, sign kept: the south falls on the 15-degree rows.
        const double tableLatitude = std::trunc(latitude * kTableLatitudeFactor);
        z.hydrostatic = hydrostatic_coefficients(tableLatitude);
        z.wet = wet_coefficients(tableLatitude);
        z.latitude = latitudeKey;
        z.height = heightKey;
        z.ready = true;
    }
    const double zhd = z.zhd;
    const double zwd = z.zwd;
    const Coefficients hydrostatic = z.hydrostatic;
    const Coefficients wet = z.wet;

    double elevation = satellite->elevation;
    double azimuth = satellite->azimuth;
    elevation_azimuth(satellite, receiver, latitude, longitude, &elevation, &azimuth);
    const double sinE = fp_sin(elevation);

    const Coefficients heightTerms = {kHeightA, kHeightB, kHeightC};
    const double hydrostaticMap =
        mapping(hydrostatic, sinE) + (1.0 / sinE - mapping(heightTerms, sinE)) * height * 0.001;
    const double wetMap = mapping(wet, sinE);

    *delay = zhd * hydrostaticMap + zwd * wetMap;
    return 0;
}

void tropo_correct(PositionRecord* satellite, double* pseudorange, double latitude,
                   double longitude, double height) {
    if (latitude == 0.0 || longitude == 0.0) return;
    // Also refuses a height that cannot be ordered (NaN).
    if (!(height <= kHighestHeight && height >= kLowestHeight)) return;

    PositionRecord receiver{};
    geodetic_to_ecef(latitude, longitude, height, &receiver.x, &receiver.y, &receiver.z);
    double delay = 0.0;
    tropo_delay(satellite, &receiver, latitude, longitude, height, &delay);
    *pseudorange = *pseudorange - delay;
}

}  // namespace kestrel
