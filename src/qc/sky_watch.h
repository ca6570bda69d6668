// SPDX-License-Identifier: BSD-2-Clause
// Which satellites stood above the elevation mask but were not observed: the receiver placed
// at the reference position given, else at the median of its first single-point solutions
// (the epochs before that wait, so that they are judged too), and elevations from the
// broadcast ephemerides received. At the end, the directions of the pictures' samples.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "common/gps_prn.h"
#include "common/gps_time.h"
#include "qc/bins.h"
#include "qc/qc_report.h"
#include "qc/sky.h"

namespace kestrel {

// Single-point solutions whose median places the receiver for the elevations, when no
// reference position is given.
constexpr int kSolutionsForElevations = 10;
// Epochs kept until the receiver is placed, so that the first epochs are judged too.
constexpr std::size_t kElevationBacklogEpochs = 4096;

// A satellite's direction at a time (seconds since the start of GPS time); none when unknown.
using DirectionAt = std::function<std::optional<SkyDirection>(int prn, double totalS)>;

class SkyWatch {
public:
    SkyWatch(double maskDeg, const std::optional<std::array<double, 3>>& reference, QcReport& report);

    void AddEphemeris(const GpsEphRecord& ephemeris, bool healthy) { sky_.AddEphemeris(ephemeris, healthy); }
    // An epoch checked, with the PRNs observed in it (bit PRN).
    void AddEpoch(const GpsTime& time, uint64_t present, VisibilityBins& bins, QcReport& report);
    // A single-point solution of the epoch just added.
    void AddSolution(const std::array<double, 3>& xyz, VisibilityBins& bins, QcReport& report);
    // The log has ended: the receiver is placed by what solutions there were.
    void Finish(VisibilityBins& bins, QcReport& report);

    bool ElevationKnown(int prn) const { return sats_[static_cast<std::size_t>(prn)].elevationKnown; }
    bool Expected(int prn) const { return sats_[static_cast<std::size_t>(prn)].expected; }
    int64_t Missing(int prn) const { return sats_[static_cast<std::size_t>(prn)].missing; }

    // Directions from the final position (the reference, else the median) and the ephemeris
    // store, which holds every healthy ephemeris of the log once it is read; the visibility
    // bins get theirs.
    static DirectionAt PlotDirections(QcReport& report);

private:
    struct Sat {
        bool elevationKnown = false;
        bool expected = false;  // stood above the mask at an epoch
        int64_t missing = 0;
    };

    void JudgeMissing(const GpsTime& time, uint64_t present, VisibilityBins& bins, QcReport& report);
    void PlaceFromSolutions(VisibilityBins& bins, QcReport& report);

    double maskDeg_;
    ElevationTable sky_;
    std::array<Sat, kGpsPrnSlots> sats_{};
    std::vector<std::array<double, 3>> firstSolutions_;
    std::deque<std::pair<GpsTime, uint64_t>> backlog_;
};

}  // namespace kestrel
