// SPDX-License-Identifier: BSD-2-Clause
#include "support/hostile_logs.h"

#include <array>
#include <cstring>
#include <random>

#include "support/test_files.h"

namespace kestrel::test {

namespace {

constexpr uint8_t kMeasurementId = layout::measurement::kId;
constexpr uint8_t kEphemerisId = layout::ephemeris::kId;
constexpr uint32_t kWeekMs = 604800000;

std::vector<uint8_t> RealLog(const std::string& name) { return ReadFileBytes(DataPath("navcom/" + name)); }

std::vector<uint8_t> Head(const std::vector<uint8_t>& log, std::size_t size) {
    return std::vector<uint8_t>(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(size));
}

// The log with a stretch of noise before it and another amid its frames.
std::vector<uint8_t> WithNoise(const std::vector<uint8_t>& log) {
    std::vector<uint8_t> noise(3000);
    uint32_t seed = 12345;
    for (uint8_t& b : noise) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    const std::size_t half = log.size() / 2;
    std::vector<uint8_t> noisy = noise;
    noisy.insert(noisy.end(), log.begin(), log.begin() + static_cast<std::ptrdiff_t>(half));
    noisy.insert(noisy.end(), noise.begin(), noise.end());
    noisy.insert(noisy.end(), log.begin() + static_cast<std::ptrdiff_t>(half), log.end());
    return noisy;
}

// The log cut in the middle of its `n`th MEASUREMENT frame (from 0).
std::vector<uint8_t> CutInsideEpoch(const std::vector<uint8_t>& log, std::size_t n) {
    std::size_t seen = 0;
    for (const FoundFrame& f : FindFrames(log)) {
        if (f.id == kMeasurementId && seen++ == n) return Head(log, f.offset + f.bytes.size() / 2);
    }
    return log;
}

}  // namespace

SatBlock HandMadeSatellite(uint8_t prn, int second) {
    SatBlock s;
    s.prn = prn;
    s.strengthCode = 9;
    s.caRange = 110000000u + prn * 700000u + static_cast<uint32_t>(second) * 2500u;
    s.l1Offset = -second * 3;
    s.l1Lock = 5;
    if (prn % 2 == 0) {
        s.l2 = true;
        s.p2Delta = 40;
        s.l2Offset = second;
        s.l2Lock = 2;
    }
    return s;
}

std::vector<uint8_t> HandMadeEpoch(uint32_t timeMs, const std::vector<uint8_t>& prns, uint16_t week) {
    MeasurementFrame frame(timeMs);
    frame.Week(week);
    const int second = static_cast<int>(timeMs / 1000 % 100000);
    for (uint8_t prn : prns) frame.Sat(HandMadeSatellite(prn, second));
    return frame.Bytes();
}

std::vector<uint8_t> PrnRange(uint8_t first, uint8_t last) {
    std::vector<uint8_t> prns;
    for (int p = first; p <= last; ++p) prns.push_back(static_cast<uint8_t>(p));
    return prns;
}

std::vector<uint8_t> RandomBytesWithFrameStarts(uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> noise(20000);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    for (std::size_t at = 100; at + 4 < noise.size(); at += 997) {
        const auto& sync = layout::frame::kSync;
        const uint8_t start[] = {sync[0], sync[1], sync[2], (at / 997) % 2 ? kMeasurementId : kEphemerisId};
        std::memcpy(&noise[at], start, sizeof start);
    }
    return noise;
}

std::vector<uint8_t> RandomContentsInWellFormedFrames() {
    std::mt19937 random(7);
    std::vector<uint8_t> log;
    for (int i = 0; i < 300; ++i) {
        if (i % 4 == 0) {
            std::vector<uint8_t> body(82);  // frame offsets 6 to 87
            for (auto& b : body) b = static_cast<uint8_t>(random());
            body[0] = static_cast<uint8_t>(1 + random() % 40);  // PRN, in range or not
            body[9 + 2] &= 0x03;                                // healthy: payload byte 2 holds the health
            log = Concat({log, MakeFrameWithLength(kEphemerisId, 86, body)});
        } else {
            const int n = static_cast<int>(random() % 16);
            std::vector<uint8_t> body(8 + 16 * n);
            for (auto& b : body) b = static_cast<uint8_t>(random());
            body[7] = static_cast<uint8_t>((body[7] & 0xF0) | n);
            // Mostly one second apart, so that the slip test lets satellites through.
            const uint32_t timeMs = kHostileStartMs + static_cast<uint32_t>(i) * 1000u;
            std::memcpy(&body[2], &timeMs, sizeof timeMs);
            log = Concat({log, MakeFrameWithLength(kMeasurementId, static_cast<uint16_t>(12 + 16 * n), body)});
        }
    }
    return log;
}

std::vector<uint8_t> EveryHundredthByteInverted(std::vector<uint8_t> log) {
    for (std::size_t at = 99; at < log.size(); at += 100) log[at] = static_cast<uint8_t>(~log[at]);
    return log;
}

std::vector<uint8_t> RefusedLengthThenTwoEpochs(uint8_t id, uint16_t length, uint16_t week) {
    return Concat({MakeFrameWithLength(id, length, std::vector<uint8_t>(40, 0x55)),
                   HandMadeEpoch(kHostileStartMs, PrnRange(1, 5), week),
                   HandMadeEpoch(kHostileStartMs + 1000, PrnRange(1, 5), week)});
}

std::vector<uint8_t> MoreSatellitesThanChannels(uint8_t satellites, uint16_t week) {
    return Concat({HandMadeEpoch(kHostileStartMs, PrnRange(1, satellites), week),
                   HandMadeEpoch(kHostileStartMs + 1000, PrnRange(1, satellites), week),
                   HandMadeEpoch(kHostileStartMs + 2000, PrnRange(1, 12), week)});
}

std::vector<uint8_t> SixSatellitesAt(const std::vector<uint32_t>& timesMs, uint16_t week) {
    std::vector<uint8_t> log;
    uint32_t before = 0;
    for (uint32_t t : timesMs) {
        if (week != 0 && t + kWeekMs / 2 <= before) ++week;
        log = Concat({log, HandMadeEpoch(t, PrnRange(1, 6), week)});
        before = t;
    }
    return log;
}

std::vector<uint8_t> OutOfRangePrns(uint16_t week) {
    std::array<uint8_t, kPayloadBytes> payload{};
    std::vector<uint8_t> log;
    for (uint8_t prn : {0, 33, 200, 255}) log = Concat({log, EphemerisFrame(prn, 4242, payload)});
    for (int second = 0; second < 3; ++second) {
        MeasurementFrame frame(kHostileStartMs + 1000u * static_cast<uint32_t>(second));
        frame.Week(week).Sat(HandMadeSatellite(0, second)).Sat(HandMadeSatellite(31, second)).Sat(HandMadeSatellite(7, second));
        log = Concat({log, frame.Bytes()});
    }
    return log;
}

std::vector<uint8_t> EphemeridesOnly(const std::vector<uint8_t>& log) {
    std::vector<uint8_t> only;
    for (const FoundFrame& f : FindFrames(log)) {
        if (f.id == kEphemerisId) only = Concat({only, f.bytes});
    }
    return only;
}

std::vector<HostileLog> HostileLogCatalogue(uint16_t week) {
    const std::vector<uint8_t> hour = RealLog("gsi-0759-2005-092.nav");
    const std::vector<uint8_t> capture = RealLog("gpsd-navcom.log");
    const std::vector<uint8_t> longCapture = RealLog("gpsd-navcom-long-2012.log");
    const uint32_t t = kHostileStartMs;
    std::vector<HostileLog> logs = {
        {"station hour cut inside a frame", Head(hour, hour.size() / 2 + 7)},
        {"capture cut inside its third epoch", CutInsideEpoch(capture, 2)},
        {"noise before and amid the station hour", WithNoise(hour)},
        {"station hour, every hundredth byte inverted", EveryHundredthByteInverted(hour)},
        {"long capture, every hundredth byte inverted", EveryHundredthByteInverted(longCapture)},
        {"random contents in well-formed frames", RandomContentsInWellFormedFrames()},
        {"13 satellites", MoreSatellitesThanChannels(13, week)},
        {"15 satellites", MoreSatellitesThanChannels(15, week)},
        {"same epoch twice", SixSatellitesAt({t, t + 1000, t + 1000, t + 2000}, week)},
        {"a step back", SixSatellitesAt({t, t + 1000, t - 5000, t + 2000}, week)},
        {"a jump back", SixSatellitesAt({t, t + 1000, t - 100000, t + 2000}, week)},
        {"week rollover", SixSatellitesAt({kWeekMs - 1500, kWeekMs - 500, 500, 1500}, week)},
        {"out-of-range PRNs", OutOfRangePrns(week)},
        {"ephemerides only", EphemeridesOnly(capture)},
        {"empty", {}},
    };
    for (const uint32_t seed : {1u, 2u, 3u}) {
        logs.push_back({"random bytes, seed " + std::to_string(seed), RandomBytesWithFrameStarts(seed)});
    }
    for (const uint8_t id : {kMeasurementId, kEphemerisId}) {
        for (const uint16_t length : {0, 3, 4, 65535}) {
            logs.push_back({std::string(id == kMeasurementId ? "MEASUREMENT" : "EPHEMERIS") + " of length " +
                                std::to_string(length),
                            RefusedLengthThenTwoEpochs(id, length, week)});
        }
    }
    return logs;
}

}  // namespace kestrel::test
