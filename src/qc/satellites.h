// SPDX-License-Identifier: BSD-2-Clause
// Per-satellite figures of a log: observations, slips as the observation epoch's rule counts
// them, code multipath (MP1, MP2) over continuous arcs, jumps of the ionospheric delay that the
// lock counters missed, signal strength, ephemerides received, and the scatter plot's points.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>

#include "common/gps_prn.h"
#include "common/run_figures.h"
#include "navcom/decode_observer.h"
#include "pipeline/observation_epoch.h"
#include "qc/bins.h"
#include "qc/multipath.h"
#include "qc/qc_report.h"
#include "qc/sky_watch.h"

namespace kestrel {

class SatelliteWatch {
public:
    SatelliteWatch();

    // One satellite of an epoch checked (its lock reasons include those of the epochs left
    // out), in visibility bin `bin`.
    void Observe(const SatelliteObservation& sat, const GpsTime& time, int32_t bin, QcReport& report);
    // An ephemeris received, whatever its health.
    void AddEphemeris(const DecodedEphemeris& ephemeris, QcReport& report);
    // The log has ended: the open arcs are closed and the per-satellite figures and totals
    // written, with what the sky watch found missing.
    void Finish(const SkyWatch& sky, QcReport& report);
    // The scatter plot's points, with their directions.
    void PlotPoints(const DirectionAt& direction, QcReport& report) const;

private:
    static constexpr std::size_t kPlotPoints = 16384;      // observations kept for the scatter plots
    static constexpr std::size_t kRecentEphemerisKeys = 8;  // per satellite, to count distinct ones

    struct Sat {
        int64_t observations = 0;
        int64_t withL2 = 0;
        int64_t l1Slips = 0, l2Slips = 0, ionosphereSlips = 0;
        double strengthSum = 0.0;
        // The open arc of the multipath combinations.
        ArcMoments mp1, mp2;
        uint32_t arcId = 0;
        bool arcSampled = false;  // a plot point of the open arc was kept
        RmsSum mp1Rms, mp2Rms;
        int32_t arcs = 0, shortArcs = 0;
        IonosphereWatch ionosphere;
        RmsSum ionosphereRate;  // m/min
        // Ephemerides.
        int32_t ephemerides = 0;
        bool unhealthy = false;
        struct Key {
            int32_t toe, iode, week;
        } recent[kRecentEphemerisKeys]{};
        std::size_t recentCount = 0, recentNext = 0;
    };
    struct RawPoint {
        double timeS;
        uint32_t arcId;
        uint8_t prn;
        float strength;
        float mp1FromFirst;  // MP less the first value of its arc; NaN without L2
        float mp2FromFirst;
    };
    struct ArcMean {
        float mp1;  // mean less the arc's first value
        float mp2;
        bool kept;  // long enough to count
    };

    // The multipath and ionosphere of an observation with L2; true for an ionospheric jump.
    bool Combine(const SatelliteObservation& o, Sat& s, double totalS, bool broken, float& mp1, float& mp2,
                 QcReport& report);
    void CloseArc(Sat& s);
    void ForgetUnusedArcs();

    std::array<Sat, kGpsPrnSlots> sats_{};
    uint32_t nextArcId_ = kGpsPrnSlots;  // each satellite starts with its PRN as arc number
    RmsSum mp1Rms_, mp2Rms_;
    EvenSampler<RawPoint, kPlotPoints> points_;
    std::unordered_map<uint32_t, ArcMean> arcMeans_;
};

}  // namespace kestrel
