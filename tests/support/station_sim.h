// SPDX-License-Identifier: BSD-2-Clause
// Pseudoranges simulated from real broadcast orbits for a known station: the GSI station of
// data/rinex, whose ephemerides the simulation loads into the ephemeris store.
#pragma once

#include <vector>

#include "kestrel/records.h"
#include "positioning/position_record.h"

namespace kestrel::test {

class StationSimulation {
public:
    // Clears the ephemeris store and fills it with the station's navigation file.
    StationSimulation();

    static constexpr double kX = -3976219.5082;  // station, metres
    static constexpr double kY = 3382372.5671;
    static constexpr double kZ = 3652512.9849;
    static constexpr double kTime = 518400.0 + 1800.0;  // 2005-04-02 00:30 GPS time

    const std::vector<GpsEphRecord>& ephemerides() const { return ephemerides_; }
    const PositionRecord& station() const { return station_; }
    double latitude() const { return lat_; }    // rad
    double longitude() const { return lon_; }   // rad
    double height() const { return height_; }   // m

    // PRNs with an ephemeris above 5 degrees at GPS time t, highest first.
    std::vector<int> VisiblePrns(double t) const;

    // The pseudorange the solution's model expects at GPS time t with a receiver clock
    // `bias` (m), optionally delayed by the troposphere.
    double Pseudorange(const GpsEphRecord& eph, double t, double bias, bool tropo) const;

    // Observations of `prns` (a PRN without an ephemeris gets a plausible range).
    std::vector<SatObservation> Observe(const std::vector<int>& prns, double t, double bias,
                                        bool tropo = false) const;

    // Distance of a header's position (degrees, metres) from the station, metres.
    double PositionError(const EpochHeader& header) const;

private:
    std::vector<GpsEphRecord> ephemerides_;
    PositionRecord station_{};
    double lat_ = 0.0, lon_ = 0.0, height_ = 0.0;
};

}  // namespace kestrel::test
