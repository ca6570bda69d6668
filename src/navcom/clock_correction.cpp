// SPDX-License-Identifier: BSD-2-Clause
#include "navcom/clock_correction.h"

#include <climits>

#include "common/error_text.h"
#include "positioning/position_record.h"
#include "positioning/single_point.h"

namespace kestrel {
namespace {

// The solution needs at least four ephemerides and four satellites.
constexpr int32_t kTooFew = 3;
// Epochs in a row that are told why no correction was made; the final warning comes when
// the counter stands at kFinalWarningAt.
constexpr int32_t kReasonedWarnings = 4;
constexpr int32_t kFinalWarningAt = 5;

constexpr const char* kTextTooFewEphemerides =
    "Could not apply clock correction--too few ephemerides";
constexpr const char* kTextTooFewSatellites = "Could not apply clock correction--too few satellites";
constexpr const char* kTextNotEnabled = "Could not apply clock correction--computation not enabled";
constexpr const char* kTextSolutionFailed =
    "Could not apply clock correction--single point solution failed";
constexpr const char* kTextTooManyWarnings = "Too many clock warnings--clock correction invalid!!!";
constexpr const char* kTextOkAgain = "Clock correction OK again";

// The one place the epoch's clock fields are set: moved by the receiver clock offset
// (metres) and flagged, or left at the receiver's time tag.
void SetEpochClock(EpochHeader& epoch, bool corrected, double offsetM) {
    epoch.clock_offset = corrected ? offsetM : 0.0;
    epoch.corrected_time = corrected ? epoch.time_tag - offsetM / kSpeedOfLight : epoch.time_tag;
    if (corrected) epoch.flags = static_cast<uint8_t>(epoch.flags | KESTREL_EPOCH_FLAG_CLOCK_CORRECTED);
}

// Why an epoch went uncorrected, in the order the reasons are tested.
const char* reason(const PortState& port, int32_t satCount) {
    if (port.ephemerisCounter <= kTooFew) return kTextTooFewEphemerides;
    if (satCount <= kTooFew) return kTextTooFewSatellites;
    if (port.options.clockCorrection == 0) return kTextNotEnabled;
    return kTextSolutionFailed;
}

}  // namespace

void CorrectEpochClock(PortState& port, int32_t satCount) {
    EpochHeader& epoch = port.epoch;
    const double t = epoch.time_tag;
    bool corrected = false;

    if (port.options.clockCorrection != 0 && port.ephemerisCounter > kTooFew &&
        satCount > kTooFew) {
        // The solver works on a copy of its own: the queued observations keep their ranges.
        const int32_t result =
            solve_epoch(&epoch, port.observations, kSolveBoth, port.aprioriLatitude,
                        port.aprioriLongitude, port.aprioriHeight, &port.clockOffset);
        if (result != 0) {
            ReportToPort(port, t, error_text());
            port.clockOffset = 0.0;
        } else {
            corrected = true;
        }
    }
    SetEpochClock(epoch, corrected, port.clockOffset);

    if (corrected) {
        if (port.clockWarnings != 0) ReportToPort(port, t, kTextOkAgain);
        port.clockWarnings = 0;
        return;
    }

    if (port.clockWarnings < kReasonedWarnings) {
        set_error_text(reason(port, satCount));
        ReportToPort(port, t, error_text());
    } else if (port.clockWarnings == kFinalWarningAt) {
        ReportToPort(port, t, kTextTooManyWarnings);
    }
    if (port.clockWarnings < INT_MAX) ++port.clockWarnings;
}

}  // namespace kestrel
