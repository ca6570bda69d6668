// SPDX-License-Identifier: BSD-2-Clause
#include "positioning/geodesy.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "common/fp_math.h"

namespace kestrel {
namespace {

// The WGS-84 ellipsoid, derived once from its two axes on first use.
struct Ellipsoid {
    bool ready = false;
    double a = 0.0;   // semi-major axis, m
    double b = 0.0;   // semi-minor axis, m
    double f = 0.0;   // flattening
    double e2 = 0.0;  // first eccentricity squared
    double a2 = 0.0;
    double b2 = 0.0;
};
Ellipsoid ellipsoid;

const Ellipsoid& wgs84() {
    if (!ellipsoid.ready) {
        ellipsoid.a = kWgs84SemiMajorAxis;
        ellipsoid.b = kWgs84SemiMinorAxis;
        ellipsoid.f = (ellipsoid.a - ellipsoid.b) / ellipsoid.a;
        ellipsoid.e2 = 2.0 * ellipsoid.f - ellipsoid.f * ellipsoid.f;
        ellipsoid.a2 = ellipsoid.a * ellipsoid.a;
        ellipsoid.b2 = ellipsoid.b * ellipsoid.b;
        ellipsoid.ready = true;
    }
    return ellipsoid;
}

// Every satellite of an epoch is seen from the same place, and every epoch's solution
// starts from the same last position: the trigonometry of the last place asked for is
// kept, keyed by the exact bits of its coordinates.
struct LastPlace {
    bool ready = false;
    uint64_t latitude = 0;
    uint64_t longitude = 0;
    double sinLat = 0.0, cosLat = 0.0, sinLon = 0.0, cosLon = 0.0;
};
LastPlace lastPlace;

const LastPlace& place(double latitude, double longitude) {
    const uint64_t lat = std::bit_cast<uint64_t>(latitude);
    const uint64_t lon = std::bit_cast<uint64_t>(longitude);
    if (!lastPlace.ready || lastPlace.latitude != lat || lastPlace.longitude != lon) {
        const SineCosine phi = fp_sincos(latitude), lambda = fp_sincos(longitude);
        lastPlace.sinLat = phi.sin;
        lastPlace.cosLat = phi.cos;
        lastPlace.sinLon = lambda.sin;
        lastPlace.cosLon = lambda.cos;
        lastPlace.latitude = lat;
        lastPlace.longitude = lon;
        lastPlace.ready = true;
    }
    return lastPlace;
}

// The latitude iteration settles within a handful of passes anywhere near the Earth; the
// cap only keeps coordinates from a damaged log from holding a conversion forever.
constexpr double kLatitudeTolerance = 1e-10;  // rad
constexpr int kMaxLatitudePasses = 1000;

}  // namespace

void geodetic_to_ecef(double latitude, double longitude, double height, double* x, double* y,
                      double* z) {
    const Ellipsoid& e = wgs84();
    const LastPlace& p = place(latitude, longitude);
    const double sinLat = p.sinLat;
    const double cosLat = p.cosLat;
    const double n = e.a / std::sqrt(1.0 - e.e2 * sinLat * sinLat);  // prime vertical radius
    *x = (n + height) * cosLat * p.cosLon;
    *y = (n + height) * cosLat * p.sinLon;
    *z = (n * e.b2 / e.a2 + height) * sinLat;
}

void ecef_to_geodetic(double x, double y, double z, double a, double b, double* latitude,
                      double* longitude, double* height) {
    const double e2 = (a * a - b * b) / (a * a);
    const double p = std::sqrt(x * x + y * y);
    *longitude = fp_atan2(y, x);
    double lat = fp_atan2(z, (1.0 - e2) * p);
    double h = 0.0;
    for (int pass = 0; pass < kMaxLatitudePasses; ++pass) {
        const double sinLat = fp_sin(lat);
        const double n = a / std::sqrt(1.0 - e2 * sinLat * sinLat);
        h = p / fp_cos(lat) - n;
        const double next = fp_atan2(z, (1.0 - e2 * n / (n + h)) * p);
        // Written so that a difference that cannot be ordered (NaN) also ends the loop.
        if (!(std::fabs(lat - next) >= kLatitudeTolerance)) break;
        lat = next;
    }
    *latitude = lat;
    *height = h;
}

void elevation_azimuth(PositionRecord* satellite, const PositionRecord* receiver, double latitude,
                       double longitude, double* elevation, double* azimuth) {
    if (latitude == 0.0 || longitude == 0.0) return;
    if (receiver->x == 0.0 && receiver->y == 0.0 && receiver->z == 0.0) return;

    const double dx = satellite->x - receiver->x;
    const double dy = satellite->y - receiver->y;
    const double dz = satellite->z - receiver->z;
    const LastPlace& p = place(latitude, longitude);
    const double sinLat = p.sinLat;
    const double cosLat = p.cosLat;
    const double sinLon = p.sinLon;
    const double cosLon = p.cosLon;

    // The line of sight in the receiver's local east, north, up frame.
    const double east = cosLon * dy - sinLon * dx;
    const double north = -sinLat * cosLon * dx - sinLat * sinLon * dy + cosLat * dz;
    const double up = cosLat * cosLon * dx + cosLat * sinLon * dy + sinLat * dz;

    const double el = fp_atan2(up, std::sqrt(east * east + north * north));
    const double az = fp_atan2(east, north);
    satellite->elevation = el;
    satellite->azimuth = az;
    if (elevation) *elevation = el;
    if (azimuth) *azimuth = az;
}

}  // namespace kestrel
