#include "positioning/geodesy.h"

#include <cmath>

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

// The latitude iteration settles within a handful of passes anywhere near the Earth; the
// cap only keeps coordinates from a damaged log from holding a conversion forever.
constexpr double kLatitudeTolerance = 1e-10;  // rad
constexpr int kMaxLatitudePasses = 1000;

}  // namespace

void geodetic_to_ecef(double latitude, double longitude, double height, double* x, double* y,
                      double* z) {
    const Ellipsoid& e = wgs84();
    const double sinLat = std::sin(latitude);
    const double cosLat = std::cos(latitude);
    const double n = e.a / std::sqrt(1.0 - e.e2 * sinLat * sinLat);  // prime vertical radius
    *x = (n + height) * cosLat * std::cos(longitude);
    *y = (n + height) * cosLat * std::sin(longitude);
    *z = (n * e.b2 / e.a2 + height) * sinLat;
}

void ecef_to_geodetic(double x, double y, double z, double a, double b, double* latitude,
                      double* longitude, double* height) {
    const double e2 = (a * a - b * b) / (a * a);
    const double p = std::sqrt(x * x + y * y);
    *longitude = std::atan2(y, x);
    double lat = std::atan2(z, (1.0 - e2) * p);
    double h = 0.0;
    for (int pass = 0; pass < kMaxLatitudePasses; ++pass) {
        const double sinLat = std::sin(lat);
        const double n = a / std::sqrt(1.0 - e2 * sinLat * sinLat);
        h = p / std::cos(lat) - n;
        const double next = std::atan2(z, (1.0 - e2 * n / (n + h)) * p);
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
    const double sinLat = std::sin(latitude);
    const double cosLat = std::cos(latitude);
    const double sinLon = std::sin(longitude);
    const double cosLon = std::cos(longitude);

    // The line of sight in the receiver's local east, north, up frame.
    const double east = cosLon * dy - sinLon * dx;
    const double north = -sinLat * cosLon * dx - sinLat * sinLon * dy + cosLat * dz;
    const double up = cosLat * cosLon * dx + cosLat * sinLon * dy + sinLat * dz;

    const double el = std::atan2(up, std::sqrt(east * east + north * north));
    const double az = std::atan2(east, north);
    satellite->elevation = el;
    satellite->azimuth = az;
    if (elevation) *elevation = el;
    if (azimuth) *azimuth = az;
}

}  // namespace kestrel
