// SPDX-License-Identifier: BSD-2-Clause
#include "rtcm/station_stream.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <tuple>

namespace kestrel::rtcm {
namespace {

constexpr int kEphemerisMessage = 1019;
constexpr int kStationMessages[] = {1005, 1006, 1033};

std::optional<ObservationKind> ObservationKindOf(int number) {
    for (const ObservationKind k : {ObservationKind::k1004, ObservationKind::kMsm4, ObservationKind::kMsm7}) {
        if (MessageNumber(k) == number) return k;
    }
    return std::nullopt;
}

bool IsStationMessage(int number) {
    return std::find(std::begin(kStationMessages), std::end(kStationMessages), number) != std::end(kStationMessages);
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The same ephemeris as broadcast again: the receiver repeats what it holds.
bool SameEphemeris(const DecodedEphemeris& a, const DecodedEphemeris& b) {
    return std::tie(a.record.Week, a.record.Toe, a.record.Toc, a.record.Iode, a.record.Iodc, a.health) ==
           std::tie(b.record.Week, b.record.Toe, b.record.Toc, b.record.Iode, b.record.Iodc, b.health);
}

}  // namespace

std::optional<std::vector<MessageChoice>> ParseMessageList(const std::string& text, std::string& error) {
    std::vector<MessageChoice> list;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = Trimmed(text.substr(start, comma - start));
        start = comma + 1;
        if (item.empty()) {
            error = "'" + text + "': an empty item; give message numbers separated by commas";
            return std::nullopt;
        }
        MessageChoice choice;
        const std::size_t open = item.find('(');
        const std::string number = Trimmed(item.substr(0, open));
        char* end = nullptr;
        const long value = std::strtol(number.c_str(), &end, 10);
        const bool known = std::find(std::begin(kStreamMessages), std::end(kStreamMessages), value) != std::end(kStreamMessages);
        if (number.empty() || *end != '\0' || !known) {
            error = "'" + item + "' is not a message this stream carries (1004, 1074, 1077, 1019, 1005, 1006, 1033)";
            return std::nullopt;
        }
        choice.number = static_cast<int>(value);
        if (open != std::string::npos) {
            const std::size_t close = item.find(')', open);
            const std::string interval = Trimmed(item.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1));
            const double seconds = std::strtod(interval.c_str(), &end);
            if (close != item.size() - 1 || interval.empty() || *end != '\0' || !(seconds > 0.0 && seconds <= kLongestIntervalS)) {
                error = "'" + item + "': the interval in brackets must be a number of seconds above 0, at most 86400";
                return std::nullopt;
            }
            choice.intervalS = seconds;
        }
        for (const MessageChoice& c : list) {
            if (c.number == choice.number) {
                error = "message " + std::to_string(choice.number) + " is named twice";
                return std::nullopt;
            }
        }
        list.push_back(choice);
    }
    return list;
}

StationStream::StationStream(std::vector<MessageChoice> messages, StationDescription station, bool doppler)
    : station_(std::move(station)), doppler_(doppler), fromSolutions_(!station_.positionM) {
    for (const MessageChoice& m : messages) {
        if (const auto kind = ObservationKindOf(m.number)) {
            observers_.push_back(std::make_unique<ObservationEncoder>(*kind, station_.stationId));
            observationSchedules_.push_back(Schedule{m});
        } else if (m.number == kEphemerisMessage) {
            ephemerides_ = true;
            if (m.intervalS > 0.0) ephemerisSchedule_ = Schedule{m};
        } else if (IsStationMessage(m.number)) {
            stationSchedules_.push_back(Schedule{m});
        }
    }
}

StationStream::~StationStream() = default;

bool StationStream::Due(Schedule& s, double timeS) {
    if (s.choice.intervalS <= 0.0) return true;
    const auto slot = static_cast<int64_t>(std::floor(timeS / s.choice.intervalS));
    if (s.sent && slot <= s.lastSlot) return false;
    s.sent = true;
    s.lastSlot = slot;
    return true;
}

void StationStream::GatherPosition(const ObservationEpoch& epoch) {
    if (!positionPending()) return;
    const double t = epoch.time.Total();
    if (!firstEpochS_) firstEpochS_ = t;
    if (t - *firstEpochS_ >= kPositionSpanS) {
        Finish();
        return;
    }
    if (epoch.positionM) solutions_.Add(*epoch.positionM);
}

void StationStream::Finish() {
    if (!positionPending()) return;
    station_.positionM = AxisMedian(solutions_.samples());
    gathered_ = true;
    if (station_.positionM) ++startVersion_;
}

void StationStream::AppendStation(int number, std::vector<uint8_t>& out) const {
    if (number == 1033) {
        AppendDescriptors(out, station_);
    } else {
        AppendStationPosition(out, number, station_);
    }
}

void StationStream::OnEpoch(const ObservationEpoch& given, std::vector<uint8_t>& out) {
    ObservationEpoch epoch = given;
    if (!doppler_) {
        for (SatelliteObservation& s : epoch.sats) s.present = static_cast<uint8_t>(s.present & ~SatelliteObservation::Bit(Observable::kD1));
    }
    GatherPosition(epoch);
    const double t = epoch.time.Total();
    for (Schedule& s : stationSchedules_) {
        // Position messages wait for the position, and their schedule with them.
        if (IsPosition(s.choice.number) && !station_.positionM) continue;
        if (!Due(s, t)) continue;
        AppendStation(s.choice.number, out);
        Count(s.choice.number, 1);
    }
    if (ephemerisSchedule_ && !inForce_.empty() && Due(*ephemerisSchedule_, t)) {
        for (const auto& [prn, e] : inForce_) AppendEphemeris(out, e);
        Count(kEphemerisMessage, static_cast<int64_t>(inForce_.size()));
    }
    // Observation messages of one epoch say whether more of the epoch follow.
    std::vector<bool> due(observers_.size());
    std::size_t last = observers_.size();
    for (std::size_t i = 0; i < observers_.size(); ++i) {
        due[i] = Due(observationSchedules_[i], t);
        if (due[i]) last = i;
    }
    for (std::size_t i = 0; i < observers_.size(); ++i) {
        if (!due[i]) {
            observers_[i]->Skip(epoch);
            continue;
        }
        if (observers_[i]->Append(epoch, i != last, out)) Count(MessageNumber(observers_[i]->kind()), 1);
    }
}

void StationStream::OnEphemeris(const DecodedEphemeris& e, std::vector<uint8_t>& out) {
    if (!ephemerides_ || !IsGpsPrn(e.record.Prn)) return;
    const auto held = inForce_.find(e.record.Prn);
    if (held != inForce_.end() && SameEphemeris(held->second, e)) return;
    inForce_[e.record.Prn] = e;
    ++startVersion_;
    AppendEphemeris(out, e);
    Count(kEphemerisMessage, 1);
}

void StationStream::AppendStartFrames(std::vector<uint8_t>& out) const {
    for (const Schedule& s : stationSchedules_) {
        if (IsPosition(s.choice.number) && !station_.positionM) continue;
        AppendStation(s.choice.number, out);
    }
    for (const auto& [prn, e] : inForce_) AppendEphemeris(out, e);
}

void StationStream::AppendPositionFrames(std::vector<uint8_t>& out) const {
    for (const Schedule& s : stationSchedules_) {
        if (IsPosition(s.choice.number) && station_.positionM) AppendStation(s.choice.number, out);
    }
}

int64_t StationStream::rollovers() const {
    int64_t n = 0;
    for (const auto& o : observers_) n += o->rollovers();
    return n;
}

int64_t StationStream::satellitesLeftOut() const {
    int64_t n = 0;
    for (const auto& o : observers_) n += o->satellitesLeftOut();
    return n;
}

}  // namespace kestrel::rtcm
