// SPDX-License-Identifier: BSD-2-Clause
#include "pipeline/epoch_builder.h"

#include "common/error_text.h"
#include "navcom/clock_correction.h"
#include "navcom/record_layout.h"
#include "pipeline/epoch_selector.h"

namespace kestrel {
namespace {

constexpr const char* kNoWeek =
    "Error: the MEASUREMENT frames of %s carry no GPS week (at %.3f s of week); give the week of the first epoch";
constexpr const char* kWeekJump =
    "Error: the GPS week of %s jumps from %d to %d at %.3f s of week; give the week of the first epoch";
constexpr const char* kWeekConflict =
    "Error: --week %d was given, but the frames of %s carry GPS week %d (at %.3f s of week); --week is only for "
    "logs whose frames carry no week";

// The values of one decoded satellite block, in the RINEX sense.
void SetValues(const SatState& sat, bool continued, SatelliteObservation& o) {
    o.Set(Observable::kC1, sat.ca_range);
    o.Set(Observable::kL1, layout::kPhaseSign * sat.l1_phase);
    // Doppler comes from the range change since the satellite's previous epoch.
    if (continued) o.Set(Observable::kD1, sat.doppler);
    o.Set(Observable::kS1, sat.strength);
    if (sat.status & layout::block::kHasP1) o.Set(Observable::kP1, sat.p1_range);
    if (sat.status & layout::block::kHasL2) {
        o.Set(Observable::kP2, sat.p2_range);
        o.Set(Observable::kL2, layout::kPhaseSign * sat.l2_phase);
    }
}

}  // namespace

DecodingSession::EpochBuilder::EpochBuilder(const SessionOptions& options, ObservationSink& sink,
                                            DecodeCounts& counts)
    : tolerateWeekFaults_(options.tolerateWeekFaults),
      skipWeekJumps_(options.skipWeekJumps),
      givenWeek_(options.week),
      sink_(sink),
      counts_(counts),
      placer_(options.week) {}

void DecodingSession::EpochBuilder::Stop(RunEnd end, const char* text) {
    end_ = end;
    stopText_ = text;
}

bool DecodingSession::EpochBuilder::Place(const DecodedEpoch& decoded, GpsTime& time) {
    if (!placerChosen_) {
        // A log whose first frame carries no week is counted from week 0, when that is allowed.
        placerChosen_ = true;
        if (tolerateWeekFaults_ && decoded.week <= 0) {
            placer_ = EpochPlacer(0);
            weekKnown_ = false;
        }
    }
    const EpochPlacer::Outcome outcome = placer_.Place(decoded.week, decoded.time, time);
    if (outcome == EpochPlacer::Outcome::kPlaced) {
        // A week given for frames that carry another would date the data wrongly.
        if (!givenWeek_ || decoded.week <= 0 || decoded.week == time.week) return true;
        Stop(RunEnd::kRefused, format_error_text(kWeekConflict, *givenWeek_, logName_.c_str(), decoded.week,
                                                 decoded.time));
        return false;
    }
    if (tolerateWeekFaults_ || (skipWeekJumps_ && outcome == EpochPlacer::Outcome::kWeekJump)) {
        ++counts_.weekFaults;
    } else if (outcome == EpochPlacer::Outcome::kNoWeek) {
        Stop(RunEnd::kRefused, format_error_text(kNoWeek, logName_.c_str(), decoded.time));
    } else {
        Stop(RunEnd::kRefused, format_error_text(kWeekJump, logName_.c_str(), placer_.lastWeek(), decoded.week,
                                                 decoded.time));
    }
    return false;
}

void DecodingSession::EpochBuilder::OnEpoch(const DecodedEpoch& decoded) {
    if (end_ != RunEnd::kComplete) return;
    ObservationEpoch& e = epoch_;
    if (!Place(decoded, e.time)) return;
    e.weekKnown = weekKnown_;
    const EpochHeader* header = decoded.header;
    e.clockOffsetM.reset();
    if (header != nullptr && HasClockSolution(*header)) e.clockOffsetM = header->clock_offset;
    e.positionM.reset();
    if (decoded.solved) e.positionM = {decoded.position[0], decoded.position[1], decoded.position[2]};
    e.satCount = 0;
    for (int i = 0; i < decoded.satCount; ++i) {
        const DecodedSat& d = decoded.sats[i];
        if (d.outcome == SlipOutcome::kBadPrn) {
            ++counts_.invalidPrnBlocks;
            continue;
        }
        if (d.outcome == SlipOutcome::kNoTimeStep) {
            ++counts_.noTimeStepBlocks;
            continue;
        }
        const int prn = d.sat.prn;
        SatelliteObservation& o = e.sats[static_cast<std::size_t>(e.satCount++)];
        o = SatelliteObservation{};
        o.prn = prn;
        SetValues(d.sat, d.outcome == SlipOutcome::kContinued, o);
        // The slip test starts a satellite afresh at its first epoch and after more than a
        // minute without one; it compares lock counters only within an arc.
        uint8_t arc = 0;
        if (d.outcome == SlipOutcome::kNewArc) arc = seen_[prn] ? lock_reason::kReturnAfterGap : lock_reason::kArcStart;
        seen_[prn] = true;
        o.lockReasons[0] = static_cast<uint8_t>(arc | (d.l1Slip ? lock_reason::kCounterChanged : 0));
        o.lockReasons[1] = static_cast<uint8_t>(arc | (d.l2Slip ? lock_reason::kCounterChanged : 0) |
                                                (o.HasPhase(Carrier::kL2) ? 0 : lock_reason::kNoPhase));
        o.lockTimeS = {d.sat.l1_lock_time, d.sat.l2_lock_time};
        FoldLockReasons(o, waiting_[static_cast<std::size_t>(prn)]);
    }
    if (!sink_.OnEpoch(e)) Stop(RunEnd::kSinkFailed, error_text());
}

void DecodingSession::EpochBuilder::OnEphemeris(const DecodedEphemeris& ephemeris) {
    if (end_ != RunEnd::kComplete) return;
    if (!sink_.OnEphemeris(ephemeris)) Stop(RunEnd::kSinkFailed, error_text());
}

void DecodingSession::EpochBuilder::OnExtraRecord(const uint8_t* frame, int32_t length) {
    if (end_ != RunEnd::kComplete) return;
    if (!sink_.OnExtraRecord(frame, length)) Stop(RunEnd::kSinkFailed, error_text());
}

}  // namespace kestrel
