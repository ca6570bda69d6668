// SPDX-License-Identifier: BSD-2-Clause
// A reference station's RTCM 3 stream: the messages chosen, each on its schedule, from the
// decoding session's observation epochs and ephemerides, as whole frames. The same object
// serves a file and a live output; a client that joins a live stream mid-way is first given
// StartFrames (the station messages and every ephemeris in force).
//
// Schedules run on the data's own time. A message with an interval goes out at the first
// epoch it can and then at each epoch that reaches the next multiple of its interval in GPS
// time; without one, observations and station messages go out at every epoch and ephemerides
// when a new one arrives (with an interval they also go out, all of them, on that schedule).
//
// The station's position is the one given or, without one, the median of the single-point
// solutions of the first ten minutes of epochs: 1005 and 1006 wait until it is known, while
// observations go out from the first epoch.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "navcom/decode_observer.h"
#include "common/run_figures.h"
#include "pipeline/observation_epoch.h"
#include "rtcm/observation_messages.h"
#include "rtcm/station_messages.h"

namespace kestrel::rtcm {

// One message of the stream and its interval in seconds (0: none).
struct MessageChoice {
    int number = 0;
    double intervalS = 0.0;
    friend bool operator==(const MessageChoice&, const MessageChoice&) = default;
};

// The messages the stream can carry.
constexpr int kStreamMessages[] = {1004, 1074, 1077, 1019, 1005, 1006, 1033};
constexpr const char* kDefaultMessages = "1074,1019,1006(10),1033(10)";
constexpr double kLongestIntervalS = 86400.0;
// How long the solutions are gathered whose median becomes the station's position.
constexpr double kPositionSpanS = 600.0;

// A list like "1074,1019,1005(10),1033(10)": message numbers, each at most once, with an
// optional interval in seconds (more than 0, at most a day). None, with the reason in
// `error`, when the list does not read.
std::optional<std::vector<MessageChoice>> ParseMessageList(const std::string& text, std::string& error);

class StationStream {
public:
    // `doppler`: MSM7 carries the L1 Doppler the decoder derives from successive code ranges as
    // the phase-range rate (it jumps where the receiver steps its clock); without it the rates
    // are sent as invalid.
    StationStream(std::vector<MessageChoice> messages, StationDescription station, bool doppler = false);
    ~StationStream();
    StationStream(const StationStream&) = delete;
    StationStream& operator=(const StationStream&) = delete;

    // Appends the frames due at this epoch: station messages and ephemerides on their
    // schedules, then the observations. Every epoch of the session is to be given, in order.
    void OnEpoch(const ObservationEpoch& epoch, std::vector<uint8_t>& out);
    // Appends 1019 when the ephemeris is new for its satellite and 1019 is chosen.
    void OnEphemeris(const DecodedEphemeris& ephemeris, std::vector<uint8_t>& out);
    // The stream has ended: a position still being gathered is taken from the solutions so
    // far (none when there were none).
    void Finish();

    // What a client joining now receives before the next epoch: the chosen station messages
    // (1005/1006 once the position is known) and every chosen ephemeris in force.
    void AppendStartFrames(std::vector<uint8_t>& out) const;
    // The chosen position messages alone (none while the position is unknown).
    void AppendPositionFrames(std::vector<uint8_t>& out) const;
    // Changes whenever what AppendStartFrames gives changes (a new ephemeris in force, the
    // position known): a live output renews the set it gives joining clients when it moves.
    uint64_t startFramesVersion() const { return startVersion_; }

    // The station's position as 1005/1006 carry it; none while it is being gathered, or when
    // no solution came.
    const std::optional<std::array<double, 3>>& position() const { return station_.positionM; }
    // True when that position is (to be) the median of the solutions, not one given.
    bool positionFromSolutions() const { return fromSolutions_; }
    // True while the solutions are still being gathered.
    bool positionPending() const { return fromSolutions_ && !gathered_; }
    // Single-point solutions in that median.
    std::size_t positionSamples() const { return solutions_.seen(); }

    // Frames written so far, by message number.
    const std::map<int, int64_t>& framesByMessage() const { return frames_; }
    // Phases rolled over and satellites left out, over every observation message.
    int64_t rollovers() const;
    int64_t satellitesLeftOut() const;

private:
    struct Schedule {
        MessageChoice choice;
        bool sent = false;
        int64_t lastSlot = 0;  // floor(time / interval) when last sent
    };
    // True when the message is due at `timeS` (GPS seconds); marks it sent.
    static bool Due(Schedule& s, double timeS);
    void GatherPosition(const ObservationEpoch& epoch);
    void AppendStation(int number, std::vector<uint8_t>& out) const;
    static bool IsPosition(int number) { return number != 1033; }
    void Count(int number, int64_t frames) { frames_[number] += frames; }

    std::vector<Schedule> stationSchedules_;  // 1005, 1006, 1033
    std::optional<Schedule> ephemerisSchedule_;
    bool ephemerides_ = false;
    std::vector<std::unique_ptr<ObservationEncoder>> observers_;
    std::vector<Schedule> observationSchedules_;
    StationDescription station_;
    bool doppler_ = false;
    bool fromSolutions_ = false;
    bool gathered_ = false;
    std::optional<double> firstEpochS_;
    EvenSampler<std::array<double, 3>, 4096> solutions_;
    std::map<int, DecodedEphemeris> inForce_;  // by PRN
    std::map<int, int64_t> frames_;
    uint64_t startVersion_ = 0;
};

}  // namespace kestrel::rtcm
