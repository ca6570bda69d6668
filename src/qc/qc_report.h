// SPDX-License-Identifier: BSD-2-Clause
// What a quality check finds in one NavCom log: completeness, per-satellite counts, slips,
// code multipath, the receiver clock, the position, ephemerides and the frame parser's
// complaints, and the bounded samples the pictures are drawn from. A figure that could not be
// computed is empty (std::nullopt), never 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"

namespace kestrel {

// How the run went.
enum class QcStatus {
    kComplete,    // the whole log was read
    kAborted,     // stopped by Abort: the report covers what came before
    kUnreadable,  // the log could not be opened or read; the error text says why
};

// Where the position for the elevations came from.
enum class ElevationSource {
    kNone,            // no --reference and no solution: no elevations
    kReference,       // the position given
    kFirstSolutions,  // the median of the first single-point solutions
};

struct QcGap {
    GpsTime start;     // last epoch before the gap
    double lengthS;    // time to the next epoch
};

// One observation flagged for lost lock, or a jump of the ionospheric delay that the lock
// counters did not report.
struct QcSlip {
    GpsTime time;
    int prn = 0;
    bool l1 = false;
    bool l2 = false;
    bool ionosphere = false;  // found by the ionospheric delay rate alone
};

struct QcClockStep {
    GpsTime time;   // first epoch after the step
    double sizeS;   // jump of the offset less what the drift explains
};

struct QcSatellite {
    int prn = 0;
    int64_t observations = 0;
    int64_t withL2 = 0;
    // Epochs at which the satellite stood above the mask but was not observed; none when no
    // elevation could be computed for it.
    std::optional<int64_t> missing;
    int64_t l1Slips = 0;
    int64_t l2Slips = 0;
    int64_t ionosphereSlips = 0;  // slips the lock counters missed
    std::optional<double> meanStrengthDbHz;
    std::optional<double> mp1RmsM;
    std::optional<double> mp2RmsM;
    int32_t multipathArcs = 0;     // arcs of 10 epochs or more in the RMS
    int32_t shortArcs = 0;         // arcs left out
    std::optional<double> ionosphereRateRmsMpm;  // RMS of the ionospheric delay rate, m/min
    int32_t ephemerides = 0;       // distinct ephemerides received (any health)
    bool unhealthy = false;        // its latest ephemeris was flagged unhealthy
};

struct QcParserCounts {
    int64_t checksumFailures = 0;
    int64_t lengthFailures = 0;   // record length and item count rules
    int64_t resyncs = 0;          // frames given up after a failed check, parsing resumed at their second byte
    int64_t bufferOverruns = 0;
    int64_t invalidPrnBlocks = 0;  // satellite blocks with a PRN outside 1..32
    int64_t noTimeStep = 0;        // blocks whose time did not move on
    int64_t weekFaults = 0;        // epochs left out: GPS week missing or inconsistent
    int64_t otherRecords = 0;      // frames of records not decoded here, passed over
    int64_t receiverRecords = 0;   // IDENTIFICATION and PVT frames, read for the receiver's own fix
};

// Samples kept for the pictures, bounded whatever the length of the log.
struct QcPlotData {
    // Visibility: time bins from `binOriginS` (seconds since the start of GPS time), each
    // `binWidthS` long; per PRN slot (index = PRN) and bin the counts below.
    double binOriginS = 0.0;
    double binWidthS = 0.0;
    int32_t binCount = 0;  // bins in use
    struct Bin {
        uint32_t observations = 0;
        uint32_t missing = 0;
        uint16_t l1Slips = 0;
        uint16_t l2Slips = 0;
        uint16_t ionosphereSlips = 0;
        // Direction at the bin's centre, from the final position; NaN when unknown.
        float elevationDeg = 0.0f;
        float azimuthDeg = 0.0f;
    };
    std::vector<std::vector<Bin>> bins;  // [PRN][bin]; empty rows for PRNs never seen
    std::vector<uint32_t> epochsPerBin;

    struct Point {
        double timeS;              // seconds since the start of GPS time
        int prn;
        float elevationDeg;        // NaN when unknown
        float strengthDbHz;
        float mp1M;                // arc mean removed; NaN when not in a kept arc
        float mp2M;
    };
    std::vector<Point> points;

    struct ClockSample {
        double timeS;
        double offsetS;
    };
    std::vector<ClockSample> clock;

    struct PositionSample {
        double timeS;
        std::array<double, 3> enuM;  // from the median position
    };
    std::vector<PositionSample> positions;
};

struct QcReport {
    std::string file;
    QcStatus status = QcStatus::kComplete;
    std::string error;  // why the log was unreadable

    // Span.
    bool weekKnown = true;  // false: the frames carry no GPS week; times are of an unknown week
    std::optional<GpsTime> first;
    std::optional<GpsTime> last;
    int64_t epochs = 0;
    std::optional<int64_t> expectedEpochs;
    std::optional<double> intervalS;
    int64_t gapCount = 0;
    std::optional<QcGap> longestGap;
    std::vector<QcGap> gaps;      // in time order; at most kQcListedGaps
    int64_t epochsOutsideWindow = 0;  // decoded but left out by --from / --to / --interval
    int64_t epochsOutOfOrder = 0;     // not later than the epoch before: left out

    // Satellites and totals.
    std::vector<QcSatellite> satellites;  // by PRN: those observed, expected or with ephemerides
    int64_t observations = 0;
    int64_t observationsL1Only = 0;
    int64_t observationsWithL2 = 0;
    int64_t l1Slips = 0;
    int64_t l2Slips = 0;
    int64_t ionosphereSlips = 0;
    int64_t slipObservations = 0;  // observations flagged on L1 or L2 or by the ionosphere
    std::optional<double> slipsPer1000;
    std::optional<double> observationsPerSlip;
    std::optional<double> mp1RmsM;
    std::optional<double> mp2RmsM;
    std::vector<QcSlip> slips;     // in time order; at most kQcListedSlips
    double maskDeg = 0.0;
    ElevationSource elevationSource = ElevationSource::kNone;
    std::optional<std::array<double, 3>> elevationPosition;
    int32_t elevationSolutions = 0;  // solutions in that median (first solutions)
    std::optional<int64_t> missing;  // all satellites
    int64_t epochsWithoutElevations = 0;  // before a position was known, beyond the backlog

    // Receiver clock.
    int64_t clockEpochs = 0;  // epochs with a solved clock offset
    std::optional<double> clockStartS;
    std::optional<double> clockEndS;
    std::optional<double> clockDrift;  // s/s
    int64_t clockStepCount = 0;
    std::vector<QcClockStep> clockSteps;  // at most kQcListedClockSteps

    // Position.
    int64_t solutions = 0;
    std::optional<std::array<double, 3>> position;  // median, Earth-fixed, m
    std::optional<std::array<double, 3>> geodetic;  // latitude, longitude (degrees), height (m)
    std::optional<std::array<double, 3>> scatterStdM;  // east, north, up
    std::optional<std::array<double, 3>> scatter95M;   // 95 % of |east|, |north|, |up|
    std::optional<std::array<double, 3>> reference;
    std::optional<std::array<double, 3>> referenceOffsetEnuM;  // median less the reference
    // The receiver's own valid 3-D fixes (PVT records) inside the window, and how far the
    // median of the single-point solutions lies from their median.
    int64_t receiverFixes = 0;
    std::optional<std::array<double, 3>> receiverFixPosition;   // median, Earth-fixed, m
    std::optional<std::array<double, 3>> solutionLessFixEnuM;   // east, north, up
    std::optional<double> solutionToFixM;                       // the distance

    // Ephemerides.
    int64_t ephemerides = 0;  // distinct ephemerides received
    std::vector<int> observedWithoutEphemeris;

    QcParserCounts parser;
    QcPlotData plot;
};

constexpr std::size_t kQcListedGaps = 1000;
constexpr std::size_t kQcListedSlips = 10000;
constexpr std::size_t kQcListedClockSteps = 10000;

}  // namespace kestrel
