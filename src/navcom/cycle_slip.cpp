// SPDX-License-Identifier: BSD-2-Clause
#include "navcom/cycle_slip.h"

#include <cmath>

#include "common/error_text.h"
#include "common/gps_prn.h"
#include "navcom/record_layout.h"

namespace kestrel {
namespace {

// A time step beyond ±600000 s is a crossing of the week boundary, not a real step.
constexpr double kWeekRolloverThresholdS = 600000.0;
constexpr double kSecondsPerWeek = 604800.0;

// Largest gap in seconds, inclusive, over which a satellite's previous epoch still counts.
constexpr double kMaxGapS = 60.0;
// Epoch times are whole milliseconds scaled to seconds, so the difference of two of them
// can miss a whole number of seconds by a few picoseconds either way. Gaps are compared
// with this much slack, far below the 1 ms resolution of the receiver's time, so that a
// gap of exactly 60 s always counts as 60 s.
constexpr double kGapSlackS = 1e-6;

constexpr char kNonPositiveStepText[] = "Zero or negative DT!!!";
constexpr char kL1SlipFormat[] = "L1 cycle slip on PRN %d";
constexpr char kL2SlipFormat[] = "L2 cycle slip on PRN %d";

// The test itself; `found` says what it made of the satellite.
bool TestSatellite(PortState& port, SatState& sat, double time, SlipFindings& found) {
    found = SlipFindings{};
    if (!IsGpsPrn(sat.prn)) return false;

    sat.time = time;
    sat.l1_lock_time = 0.0;
    sat.l2_lock_time = 0.0;

    SatState& previous = port.history[sat.prn];
    double dt = time - previous.time;
    if (dt < -kWeekRolloverThresholdS) dt += kSecondsPerWeek;
    if (dt > kWeekRolloverThresholdS) dt -= kSecondsPerWeek;

    // A satellite new to this port, or back after more than a minute, starts afresh: it is
    // output from its next epoch on.
    if (previous.prn != sat.prn || std::fabs(dt) > kMaxGapS + kGapSlackS) {
        previous = sat;
        found.outcome = SlipOutcome::kNewArc;
        return false;
    }

    // The history is kept, so the next epoch is compared with the older one.
    if (dt <= 0.0) {
        ReportToPort(port, time, kNonPositiveStepText);
        found.outcome = SlipOutcome::kNoTimeStep;
        return false;
    }

    found.outcome = SlipOutcome::kContinued;
    sat.doppler = -((sat.ca_range - previous.ca_range) / layout::kL1WavelengthM) / dt;

    if (sat.l1_lock_counter == previous.l1_lock_counter) {
        sat.l1_lock_time = previous.l1_lock_time + dt;
    } else {
        found.l1Slip = true;
        if (port.portCallback != nullptr) ReportToPort(port, time, format_error_text(kL1SlipFormat, sat.prn));
    }

    if (sat.status & layout::block::kHasL2) {
        if (sat.l2_lock_counter == previous.l2_lock_counter) {
            sat.l2_lock_time = previous.l2_lock_time + dt;
        } else {
            found.l2Slip = true;
            if (port.portCallback != nullptr && port.options.reportL2Slips != 0) {
                ReportToPort(port, time, format_error_text(kL2SlipFormat, sat.prn));
            }
        }
    } else {
        // No L2 data in this block: keep the counter, so that a gap in L2 is not taken for
        // a slip when L2 returns.
        sat.l2_lock_counter = previous.l2_lock_counter;
    }

    previous = sat;
    return true;
}

}  // namespace

bool TestCycleSlip(PortState& port, SatState& sat, double time, SlipFindings* findings) {
    SlipFindings found;
    const bool output = TestSatellite(port, sat, time, found);
    if (findings != nullptr) *findings = found;
    return output;
}

}  // namespace kestrel
