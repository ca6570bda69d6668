// SPDX-License-Identifier: BSD-2-Clause
// Where the GPS satellites stand in the sky of one receiver, from their broadcast orbits.
// During a run the elevations of all satellites are wanted at every epoch (to tell which were
// expected); computing 32 orbits an epoch would cost more than decoding the epoch, so they are
// computed every kElevationStepS seconds and interpolated between (a satellite moves less than
// a degree in that time, and the curve bends little over it). The run keeps its own few latest
// ephemerides per satellite, so that its lookups leave the ephemeris store, and with it the
// decoder's clock solution, untouched.
#pragma once

#include <array>
#include <cstdint>
#include <numbers>
#include <optional>

#include "common/gps_prn.h"
#include "common/gps_time.h"
#include "kestrel/records.h"
#include "positioning/position_record.h"

namespace kestrel {

constexpr double kDegreesPerRadian = 180.0 / std::numbers::pi;
constexpr double kElevationStepS = 120.0;

// A receiver position and its geodetic latitude and longitude.
struct SkyPlace {
    PositionRecord ecef{};
    double latitudeRad = 0.0;
    double longitudeRad = 0.0;
    double heightM = 0.0;
};
// None for a position too far from the Earth's surface to look at the sky from.
std::optional<SkyPlace> MakeSkyPlace(const std::array<double, 3>& ecefM);

struct SkyDirection {
    double elevationDeg;
    double azimuthDeg;  // 0..360, clockwise from north
};

// The satellite's direction at receiver time `sow` (seconds of its week).
SkyDirection SatelliteDirection(const GpsEphRecord& ephemeris, double sow, const SkyPlace& place);

// East, north and up of `point` from `origin`, metres.
std::array<double, 3> EastNorthUp(const SkyPlace& origin, const std::array<double, 3>& pointM);

class ElevationTable {
public:
    static constexpr int kSlots = kGpsPrnSlots;  // indexed by PRN
    static constexpr int kKeptEphemerides = 4;  // the latest of each satellite

    void SetPlace(const SkyPlace& place);
    bool HasPlace() const { return hasPlace_; }

    // An ephemeris received; unhealthy ones are not kept (their satellites are not expected).
    void AddEphemeris(const GpsEphRecord& ephemeris, bool healthy);

    // Elevation of `prn` at `time`, degrees; none without a place or an ephemeris within
    // reach. Times asked for should mostly increase: the samples around the last time asked
    // are kept.
    std::optional<double> ElevationDeg(int prn, const GpsTime& time);

private:
    struct Samples {
        double gridS = -1.0;  // time of the first sample (seconds since the start of GPS time)
        double el0 = 0.0, el1 = 0.0;
        bool ok0 = false, ok1 = false;
    };
    struct Kept {
        GpsEphRecord records[kKeptEphemerides];
        int count = 0;
        int next = 0;  // slot the next one replaces
    };

    bool Sample(int prn, double totalS, double& elevationDeg);

    bool hasPlace_ = false;
    SkyPlace place_{};
    Kept kept_[kSlots]{};
    Samples samples_[kSlots]{};
};

}  // namespace kestrel
