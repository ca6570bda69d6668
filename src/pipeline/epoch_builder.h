// SPDX-License-Identifier: BSD-2-Clause
// The decode observer of a session with observation sinks: turns each decoded MEASUREMENT
// frame into an ObservationEpoch (placed in GPS time, values in the RINEX sense, the lock
// reasons of each carrier) and hands it and every ephemeris to the sink. Private to the
// session.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "navcom/decode_observer.h"
#include "pipeline/epoch_placer.h"
#include "pipeline/session.h"

namespace kestrel {

class DecodingSession::EpochBuilder : public DecodeObserver {
public:
    EpochBuilder(const SessionOptions& options, ObservationSink& sink, DecodeCounts& counts);

    void OnEpoch(const DecodedEpoch& decoded) override;
    void OnEphemeris(const DecodedEphemeris& ephemeris) override;
    void OnExtraRecord(const uint8_t* frame, int32_t length) override;

    // The log whose frames come next, for the refusal's text.
    void SetLogName(const std::string& name) { logName_ = name; }

    // kComplete until the sink ended the run or a frame could not be placed; then nothing more
    // reaches the sink, and `stopText()` holds the error text of that moment.
    RunEnd end() const { return end_; }
    const std::string& stopText() const { return stopText_; }

private:
    bool Place(const DecodedEpoch& decoded, GpsTime& time);
    void Stop(RunEnd end, const char* text);

    const bool tolerateWeekFaults_;
    const bool skipWeekJumps_;
    const std::optional<int> givenWeek_;  // the user's week, for frames that carry none
    ObservationSink& sink_;
    DecodeCounts& counts_;
    EpochPlacer placer_;
    bool placerChosen_ = false;
    bool weekKnown_ = true;
    std::string logName_ = "the input";
    RunEnd end_ = RunEnd::kComplete;
    std::string stopText_;
    std::array<bool, kGpsPrnSlots> seen_{};
    // Reasons waiting for each carrier's next phase, by PRN.
    std::array<std::array<uint8_t, kCarrierCount>, kGpsPrnSlots> waiting_{};
    ObservationEpoch epoch_;
};

}  // namespace kestrel
