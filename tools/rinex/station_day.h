// SPDX-License-Identifier: BSD-2-Clause
// Observations of a static GPS station simulated along real broadcast orbits: for long,
// self-consistent logs at any rate (benchmarks, soak runs) when recorded data is short.
//
// Every range follows the satellite of the ephemeris nearest in time, from the station's
// true position, with the satellite clock and group delay, a receiver clock that drifts and
// is stepped back by whole milliseconds, a tropospheric and an ionospheric delay (opposite
// on code and phase, scaled between L1 and L2) and white noise from a seeded generator, so
// the same options always give the same data.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/gps_prn.h"
#include "rinex/gps_time.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"

namespace kestrel::rinex {

struct StationDayOptions {
    std::array<double, 3> station{};  // Earth-fixed position, metres
    GpsTime start;                    // receiver time of the first epoch
    double duration = kSecondsPerDay; // epochs at start, start + interval, ... below start + duration
    double interval = 1.0;            // s
    double elevationMaskDeg = 5.0;    // satellites below are not tracked
    int channels = 12;                // the highest satellites are tracked, at most this many
    int highestPrn = 31;              // a NavCom satellite block carries PRNs 1 to 31
    double ephemerisReachS = 7200.0;  // a satellite is tracked only with an ephemeris this near
    double clockOffsetS = 2.0e-4;     // receiver clock at the start, s
    double clockDrift = 4.0e-8;       // s/s; the clock is stepped by 1 ms beyond +-0.5 ms
    bool troposphere = true;
    bool ionosphere = true;
    bool noise = true;
    uint64_t seed = 1;
};

// Types of every epoch, in this order.
constexpr const char* kStationDayTypes[] = {"C1", "L1", "P2", "L2", "S1"};
constexpr std::size_t kStationDayTypeCount = 5;

class StationDay {
public:
    StationDay(std::vector<NavRecord> nav, const StationDayOptions& options);

    // The observation file header of the simulation.
    ObsHeader Header() const;

    // The next epoch, satellites in PRN order; false when the duration is over.
    bool Next(ObsEpoch& epoch);

    // Receiver clock offset (s) of the epoch Next returned last.
    double LastClockOffset() const { return clock_; }

    // How long (s) the satellite has been tracked without a break at that epoch; 0 when it
    // is not tracked.
    double LockSeconds(int prn) const;

private:
    struct Arc {
        bool tracked = false;
        double l1Ambiguity = 0.0;  // cycles
        double l2Ambiguity = 0.0;
        double since = 0.0;        // receiver time the arc began, s since GPS start
    };
    const NavRecord* NearestEphemeris(int prn, double total) const;
    double Gaussian();

    std::vector<NavRecord> nav_;
    StationDayOptions options_;
    double latitude_ = 0.0, longitude_ = 0.0;  // rad
    double clock_ = 0.0;
    double lastTime_ = 0.0;  // receiver time of the last epoch, s since GPS start
    long long index_ = 0;
    uint64_t random_ = 0;
    Arc arcs_[kGpsPrnSlots];
};

// Broadcast orbit model: Earth-fixed position (m) of the satellite at GPS time `total`
// (seconds since the start of GPS time), and its clock offset (s, with the relativistic
// term, without the group delay).
void BroadcastSatellite(const NavRecord& nav, double total, double position[3], double* clock);

}  // namespace kestrel::rinex
