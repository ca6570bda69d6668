// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/navcom_log.h"

#include <algorithm>
#include <cstdio>

namespace kestrel::rinex {

namespace {

// Epochs of the file that carry observations and lie in the window.
std::vector<std::size_t> KeptEpochs(const ObsFile& obs, const LogOptions& options, std::size_t& outside) {
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < obs.epochs.size(); ++i) {
        const double sow = obs.epochs[i].time.sow;
        if ((options.hasStart && sow < options.start) || (options.hasEnd && sow > options.end)) {
            ++outside;
            continue;
        }
        kept.push_back(i);
    }
    return kept;
}

void CountNotes(const EpochReport& report, std::vector<NoteCount>& notes) {
    for (const EpochNote& note : report.notes) {
        auto it = std::find_if(notes.begin(), notes.end(),
                               [&](const NoteCount& n) { return n.kind == note.kind && n.prn == note.prn; });
        if (it == notes.end()) {
            notes.push_back({note.kind, note.prn, 1, report.time.sow});
        } else {
            ++it->count;
        }
    }
}

void Append(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& frame) {
    bytes.insert(bytes.end(), frame.begin(), frame.end());
}

}  // namespace

bool BuildNavComLog(const ObsFile& obs, const std::vector<NavRecord>& nav, const LogOptions& options,
                    LogContents& log, std::string& error) {
    log = LogContents{};
    const std::vector<std::size_t> kept = KeptEpochs(obs, options, log.epochsOutsideWindow);
    if (kept.empty()) {
        error = "no observation epoch in the time window";
        return false;
    }
    if (options.repeatCount < 0 || options.repeatStep <= 0.0) {
        error = "the repeat count must not be negative";
        return false;
    }
    const double span = obs.epochs[kept.back()].time.Total() - obs.epochs[kept.front()].time.Total();
    if (options.repeatCount > 0 && span >= options.repeatStep) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the data span %.0f s, not less than the repeat step of %.0f s: the copies would overlap "
                      "(narrow the window or repeat by weeks)",
                      span, options.repeatStep);
        error = text;
        return false;
    }

    // Ephemerides the broadcast fields can carry, in order of transmission (file order on ties).
    std::vector<NavRecord> sendable;
    for (const NavRecord& n : nav) {
        const std::vector<std::string> problems = EphemerisFieldProblems(n);
        if (problems.empty()) {
            sendable.push_back(n);
            continue;
        }
        ++log.ephemeridesUnfit;
        char text[96];
        std::snprintf(text, sizeof text, "ephemeris of PRN %d with Toe %.0f left out: ", n.prn, n.toe);
        std::string line = text;
        for (std::size_t k = 0; k < problems.size(); ++k) line += (k ? "; " : "") + problems[k];
        log.warnings.push_back(line);
    }
    std::stable_sort(sendable.begin(), sendable.end(), [](const NavRecord& a, const NavRecord& b) {
        return a.TransmissionTotal() < b.TransmissionTotal();
    });

    for (int copy = 0; copy <= options.repeatCount; ++copy) {
        const double shift = copy * options.repeatStep;
        // Each copy starts with fresh arcs and lock counters: the gap before it is far longer
        // than any decoder keeps a satellite's history.
        MeasurementEncoder encoder;
        std::size_t nextEphemeris = 0;
        for (std::size_t index : kept) {
            const ObsEpoch& epoch = obs.epochs[index];
            const GpsTime time = GpsTimeFromTotal(epoch.time.Total() + shift);
            while (nextEphemeris < sendable.size() &&
                   sendable[nextEphemeris].TransmissionTotal() + shift <= time.Total()) {
                const NavRecord shifted = ShiftNavRecord(sendable[nextEphemeris++], shift);
                Append(log.bytes, EncodeEphemerisFrame(shifted));
                log.ephemerides.push_back({log.epochs.size(), shifted});
            }
            const auto sats = GpsMeasurements(obs.TypesOf(index), epoch, &log.otherSystems);
            EpochReport report;
            Append(log.bytes, encoder.Encode(time, sats, epoch.flag == kEpochPowerFailure, report));
            for (const SatReport& s : report.sats) {
                ++log.blocks;
                if (s.l2.sent) ++log.l2Blocks;
                ++log.l1Restarts[static_cast<int>(s.l1.start)];
                if (s.l2.sent) ++log.l2Restarts[static_cast<int>(s.l2.start)];
            }
            CountNotes(report, log.notes);
            log.epochs.push_back(std::move(report));
        }
        log.ephemeridesAfterLastEpoch += sendable.size() - nextEphemeris;
    }
    return true;
}

}  // namespace kestrel::rinex
