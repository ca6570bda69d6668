// SPDX-License-Identifier: BSD-2-Clause
#include "positioning/single_point.h"

#include <cmath>
#include <cstring>

#include "common/error_text.h"
#include "positioning/eph_store.h"
#include "positioning/geodesy.h"
#include "positioning/matrix.h"
#include "positioning/sat_orbit.h"
#include "positioning/troposphere.h"

namespace kestrel {
namespace {

constexpr int32_t kLastGpsPrn = 32;        // higher numbers belong to another constellation
constexpr int32_t kListCapacity = kSolveMaxSats + 2;  // PRNs, a trial entry and the terminator
constexpr int32_t kDesignRows = 27;        // of which at most kSolveMaxSats are used
constexpr int32_t kUnknowns = 4;           // X, Y, Z, receiver clock

// Degrees and radians: 180/pi and pi/180 to 12 significant digits, the factors the solved
// latitude and longitude, the elevation mask and the a-priori position are computed with.
constexpr double kRadiansToDegrees = 57.2957795132;
constexpr double kDegreesToRadians = 0.0174532925199;
// The last solution's latitude and longitude go back to degrees, to seed the next epoch,
// through pi to ten digits. With kDegreesToRadians after it, the seed lands 1.3e-10 of
// itself (under a millimetre) off the last solution; the solutions that follow, and so the
// output files, depend on that seed to the last bit, so it stays as it is.
constexpr double kPiToTenDigits = 3.141592654;
constexpr double kSeedRadiansToDegrees = 180.0 / kPiToTenDigits;
static_assert(kSeedRadiansToDegrees == 57.29577950560105);

constexpr double kMinPseudorange = 100.0;    // m; shorter ranges are not real measurements
constexpr double kElevationMask = 10.0;      // degrees, once a solution exists
constexpr double kResidualLimit = 500.0;     // m, screening of the solved epoch
constexpr int kMaxIterations = 7;
constexpr double kConvergence = 0.1;         // m, every correction of an iteration

constexpr int32_t kFixConverged = 0;
constexpr int32_t kFixCountOrMemory = 1;
constexpr int32_t kFixNoConvergence = 2;
constexpr int32_t kFixNotInvertible = 3;
constexpr int32_t kFixTooFewRows = 4;

constexpr int32_t kScreenPassed = 0;
constexpr int32_t kScreenPassedWithoutOne = -1;
constexpr int32_t kScreenFailed = 60;
constexpr int32_t kScreenTrialFailed = 61;

constexpr const char* kTextCountOutOfRange = "Error: NumSats is out of range (ns=%d)";
constexpr const char* kTextTooFew = "Error: Not enough satellites, need at least 4: %d";
constexpr const char* kTextInversion =
    "Error: Inversion failure on solving position and clock shift computation";
constexpr const char* kTextNoConvergence = "Error: Solution did not converge";
constexpr const char* kTextBadPosition = "Error: Could not re-calculate position, bad data";
constexpr const char* kTextBadClock = "Error: Could not update clock shift, bad data";

struct LastSolution {
    double latitude;   // rad; all four zero: no solution
    double longitude;  // rad
    double height;     // m
    double clock;      // m
};

// Everything the solution keeps between epochs and between conversions.
struct SolverState {
    LastSolution last;
    PositionRecord receiver;          // working receiver position
    PositionRecord previousReceiver;  // receiver at the last success: seen from here, the mask
    SatObservation work[kSolveMaxSats];
    PositionRecord workRecords[kSolveMaxSats];
    SatObservation used[kSolveMaxSats];
    PositionRecord usedRecords[kSolveMaxSats];
    int32_t exclusions[kListCapacity];
    Matrix design;  // kDesignRows x kUnknowns, obtained once
    Matrix normal;  // kUnknowns x kUnknowns, obtained once
};
SolverState solver;

bool on_list(const int32_t* list, int32_t prn) {
    for (int32_t i = 0; list[i] != 0; ++i)
        if (list[i] == prn) return true;
    return false;
}

int32_t list_length(const int32_t* list) {
    int32_t n = 0;
    while (list[n] != 0) ++n;
    return n;
}

double distance(double x, double y, double z, const PositionRecord& sat) {
    const double dx = x - sat.x;
    const double dy = y - sat.y;
    const double dz = z - sat.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Whole seconds of week toward zero, as the ephemeris store is asked; false when the time
// tag cannot be one.
bool whole_seconds(double time, int32_t* seconds) {
    if (!(time > -2147483649.0 && time < 2147483648.0)) return false;
    *seconds = static_cast<int32_t>(time);
    return true;
}

bool finite_position(const PositionRecord& r) {
    return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.z);
}

void position_reset(EpochHeader* header) {
    header->latitude = 0.0;
    header->longitude = 0.0;
    header->height = 0.0f;
    solver.last = LastSolution{};
}

bool solves_position(int32_t mode) { return mode == kSolvePosition || mode == kSolveBoth; }
bool solves_clock(int32_t mode) { return mode == kSolveClock || mode == kSolveBoth; }

}  // namespace

int32_t lsq_fix(int32_t n, const SatObservation* observations, const int32_t* exclusions,
                const PositionRecord* records, double* x, double* y, double* z, double* clock) {
    if (n < 0 || n > kSolveMaxSats) {
        format_error_text(kTextCountOutOfRange, n);
        return kFixCountOrMemory;
    }
    if (!solver.design) solver.design = matrix_alloc(kDesignRows, kUnknowns);
    if (!solver.normal) solver.normal = matrix_alloc(kUnknowns, kUnknowns);
    if (!solver.design || !solver.normal) {
        set_error_text(kNoMemoryText);
        return kFixCountOrMemory;
    }
    Matrix h = solver.design;
    Matrix normal = solver.normal;
    double misclosure[kSolveMaxSats];

    *clock = 0.0;  // re-estimated from zero every time
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        int32_t rows = 0;
        for (int32_t i = 0; i < n; ++i) {
            const int32_t prn = observations[i].prn;
            if (on_list(exclusions, prn) || prn > kLastGpsPrn) continue;
            const PositionRecord& sat = records[i];
            const double dx = *x - sat.x;
            const double dy = *y - sat.y;
            const double dz = *z - sat.z;
            const double rho = std::sqrt(dx * dx + dy * dy + dz * dz);
            h[rows][0] = dx / rho;
            h[rows][1] = dy / rho;
            h[rows][2] = dz / rho;
            h[rows][3] = 1.0;
            misclosure[rows] = rho + *clock - observations[i].ca_range;
            ++rows;
        }
        if (rows < kUnknowns) {
            format_error_text(kTextTooFew, rows);
            return kFixTooFewRows;
        }

        matrix_multiply(h, rows, kUnknowns, h, rows, kUnknowns, normal, kProductAtB);
        if (invert_normal_matrix(normal, kUnknowns) != 0) {
            set_error_text(kTextInversion);
            return kFixNotInvertible;
        }
        double rhs[kUnknowns];
        for (int32_t c = 0; c < kUnknowns; ++c) {
            rhs[c] = 0.0;
            for (int32_t r = 0; r < rows; ++r) rhs[c] += h[r][c] * misclosure[r];
        }
        double delta[kUnknowns];
        matrix_times_vector(normal, kUnknowns, kUnknowns, rhs, kUnknowns, delta);

        *x -= delta[0];
        *y -= delta[1];
        *z -= delta[2];
        *clock -= delta[3];
        if (std::fabs(delta[0]) < kConvergence && std::fabs(delta[1]) < kConvergence &&
            std::fabs(delta[2]) < kConvergence && std::fabs(delta[3]) < kConvergence)
            return kFixConverged;
    }
    set_error_text(kTextNoConvergence);
    return kFixNoConvergence;
}

int32_t screen_residuals(int32_t n, const SatObservation* observations, const int32_t* exclusions,
                         const PositionRecord* records, double threshold, double x, double y,
                         double z, double clock, double* worst) {
    int32_t result = -1;
    *worst = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t prn = observations[i].prn;
        if (prn > kLastGpsPrn || on_list(exclusions, prn)) continue;
        const double residual =
            std::fabs(distance(x, y, z, records[i]) + clock - observations[i].ca_range);
        if (residual > threshold && residual > *worst) {
            *worst = residual;
            result = prn;
        }
    }
    return result;
}

int32_t exclude_one_satellite(int32_t n, const SatObservation* observations, int32_t* exclusions,
                              const PositionRecord* records, double threshold, double* x,
                              double* y, double* z, double* clock) {
    double worst = 0.0;
    if (screen_residuals(n, observations, exclusions, records, threshold, *x, *y, *z, *clock,
                         &worst) == -1)
        return kScreenPassed;

    int32_t candidates = 0;
    for (int32_t i = 0; i < n; ++i)
        if (!on_list(exclusions, observations[i].prn)) ++candidates;
    if (candidates < 6) return kScreenFailed;

    const int32_t listed = list_length(exclusions);
    if (listed + 2 > kListCapacity) return kScreenFailed;
    int32_t trial[kListCapacity];
    std::memcpy(trial, exclusions, sizeof(int32_t) * (listed + 1));
    for (int32_t i = 0; i < n; ++i) {
        const int32_t prn = observations[i].prn;
        if (on_list(exclusions, prn)) continue;
        trial[listed] = prn;
        trial[listed + 1] = 0;
        const int32_t r = lsq_fix(n, observations, trial, records, x, y, z, clock);
        if (r == kFixCountOrMemory) return kScreenTrialFailed;
        if (r != kFixConverged) continue;
        if (screen_residuals(n, observations, trial, records, threshold, *x, *y, *z, *clock,
                             &worst) == -1)
            return kScreenPassedWithoutOne;
    }
    return kScreenFailed;
}

int32_t solve_epoch(EpochHeader* header, const SatObservation* observations, int32_t mode,
                    double latitude, double longitude, double height, double* clock) {
    const int32_t n = static_cast<int8_t>(header->sat_count);
    if (n < 0 || n > kSolveMaxSats) return 1;

    // A-priori position in degrees; zero takes the last solution's.
    if (latitude == 0.0) latitude = solver.last.latitude * kSeedRadiansToDegrees;
    if (longitude == 0.0) longitude = solver.last.longitude * kSeedRadiansToDegrees;
    if (height == 0.0) height = solver.last.height;
    latitude *= kDegreesToRadians;
    longitude *= kDegreesToRadians;

    if (n > 0) std::memcpy(solver.work, observations, sizeof(SatObservation) * n);
    geodetic_to_ecef(latitude, longitude, height, &solver.receiver.x, &solver.receiver.y,
                     &solver.receiver.z);
    int32_t excluded = 0;
    int32_t used = 0;
    const LastSolution last = solver.last;
    const bool haveLast = last.latitude != 0.0 && last.longitude != 0.0;

    for (int32_t j = 0; j < n; ++j) {
        SatObservation& obs = solver.work[j];
        PositionRecord& rec = solver.workRecords[j];
        const int32_t prn = obs.prn;
        int32_t seconds = 0;
        const GpsEphRecord* eph = nullptr;
        if (prn > kLastGpsPrn) {
            // The second constellation's list is never filled, but it is asked all the same.
            if (whole_seconds(header->time_tag, &seconds)) eph_store_find_second(prn, seconds);
            solver.exclusions[excluded++] = prn;
            continue;
        }
        if (whole_seconds(header->time_tag, &seconds)) eph = eph_store_find(prn, seconds);
        if (!eph || !(std::fabs(obs.ca_range) >= kMinPseudorange)) {
            solver.exclusions[excluded++] = prn;
            continue;
        }

        const double t = header->time_tag - *clock / kSpeedOfLight;
        double tSv = t;
        gps_sat_clock(eph, t, &obs, &tSv);
        gps_sat_position(eph, tSv, obs.ca_range - last.clock, &solver.receiver, &rec);
        if (!finite_position(rec)) {
            // A damaged ephemeris cannot place its satellite: leave it out like a missing one.
            solver.exclusions[excluded++] = prn;
            continue;
        }

        double elevation = rec.elevation;
        double azimuth = rec.azimuth;
        elevation_azimuth(&rec, &solver.previousReceiver, last.latitude, last.longitude,
                          &elevation, &azimuth);
        if (haveLast && elevation * kRadiansToDegrees < kElevationMask) continue;

        double range = obs.ca_range;
        tropo_correct(&rec, &range, last.latitude, last.longitude, last.height);
        obs.ca_range = range;

        solver.used[used] = obs;
        solver.usedRecords[used] = rec;
        ++used;
    }
    solver.exclusions[excluded] = 0;

    // The satellite positions rest on the a-priori receiver position; the iterations and
    // the exclusion trials below reuse them.
    int32_t r = lsq_fix(used, solver.used, solver.exclusions, solver.usedRecords,
                        &solver.receiver.x, &solver.receiver.y, &solver.receiver.z, clock);
    if (r == kFixTooFewRows) {
        // Too few usable satellites counts as solved, with no clock offset (lsq_fix has set
        // `clock` to zero).
        if (solves_position(mode)) position_reset(header);
        if (solves_clock(mode)) solver.last.clock = 0.0;
        return 0;
    }
    if (r != kFixConverged) return 1;

    r = exclude_one_satellite(used, solver.used, solver.exclusions, solver.usedRecords,
                              kResidualLimit, &solver.receiver.x, &solver.receiver.y,
                              &solver.receiver.z, clock);
    if (r == kScreenTrialFailed) return 1;
    if (r == kScreenFailed) {
        if (solves_position(mode)) {
            position_reset(header);
            set_error_text(kTextBadPosition);
        } else {
            set_error_text(kTextBadClock);
        }
        return 1;
    }

    double solvedLatitude = 0.0;
    double solvedLongitude = 0.0;
    double solvedHeight = 0.0;
    ecef_to_geodetic(solver.receiver.x, solver.receiver.y, solver.receiver.z, kWgs84SemiMajorAxis,
                     kWgs84SemiMinorAxis, &solvedLatitude, &solvedLongitude, &solvedHeight);
    solver.last = {solvedLatitude, solvedLongitude, solvedHeight, *clock};
    solver.previousReceiver = solver.receiver;
    if (solves_position(mode)) {
        header->latitude = solvedLatitude * kRadiansToDegrees;
        header->longitude = solvedLongitude * kRadiansToDegrees;
        header->height = static_cast<float>(solvedHeight);
    }
    return 0;
}

bool last_solution_position(double position[3]) {
    const PositionRecord& r = solver.previousReceiver;
    if (r.x == 0.0 && r.y == 0.0 && r.z == 0.0) return false;
    position[0] = r.x;
    position[1] = r.y;
    position[2] = r.z;
    return true;
}

void reset_single_point_state() {
    solver.last = LastSolution{};
    solver.receiver = PositionRecord{};
    solver.previousReceiver = PositionRecord{};
}

}  // namespace kestrel
