// SPDX-License-Identifier: BSD-2-Clause
// Writes the seed corpora of the fuzz targets into OUT/<target>/: the real receiver logs
// of DATA/navcom, and hand-made streams with the shapes of trouble a log can hold (slips,
// repeated and backward epochs, a week rollover, bad PRNs, lengths the parser refuses, a
// good frame inside a damaged one), plus ThreadBuf images built by the real appender.
//
//     fuzz_make_seeds DATA_DIR OUT_DIR
#include <algorithm>
#include <array>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fuzz_support.h"
#include "kestrel/records.h"
#include "navcom/record_layout.h"
#include "support/frame_builder.h"
#include "threadbuf/threadbuf.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using kestrel::test::Concat;
using kestrel::test::EphemerisFrame;
using kestrel::test::MakeFrameWithLength;
using kestrel::test::MeasurementFrame;
using kestrel::test::SatBlock;

constexpr uint8_t kMeasurementId = kestrel::layout::measurement::kId;
constexpr uint8_t kEphemerisId = kestrel::layout::ephemeris::kId;
constexpr uint32_t kStartMs = 345600000;  // 96 h into the week
constexpr uint32_t kWeekMs = 604800000;

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) kestrel::fuzz::Fail("cannot write %s", (dir / name).c_str());
}

Bytes WithOptions(uint8_t options, const Bytes& log) {
    Bytes out = {options};
    out.insert(out.end(), log.begin(), log.end());
    return out;
}

// One satellite at one epoch: ranges that grow, phases that follow, L2 on even PRNs.
SatBlock Satellite(uint8_t prn, int epoch, uint8_t lock) {
    SatBlock s;
    s.prn = prn;
    s.strengthCode = static_cast<uint8_t>(prn % 16);
    s.caRange = 2000000000u + prn * 1000000u + static_cast<uint32_t>(epoch) * 3000u;
    s.l1Offset = epoch * 17 - 40;
    s.l1Lock = lock;
    if (prn % 3 == 0) s.p1Delta = static_cast<int16_t>(prn * 5);
    if (prn % 2 == 0) {
        s.l2 = true;
        s.p2Delta = static_cast<int16_t>(-prn * 7);
        s.l2Offset = -epoch * 13;
        s.l2Lock = lock;
    }
    return s;
}

Bytes Epoch(uint32_t timeMs, int epoch, const std::vector<uint8_t>& prns, uint8_t lock = 1) {
    MeasurementFrame frame(timeMs);
    for (uint8_t prn : prns) frame.Sat(Satellite(prn, epoch, lock));
    return frame.Bytes();
}

// Healthy when `health` is 0; the rest of the payload is a plausible pattern.
Bytes Ephemeris(uint8_t prn, uint8_t health, uint16_t toe) {
    std::array<uint8_t, 72> p{};
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 37 + prn);
    p[2] = static_cast<uint8_t>((health << 2) | (p[2] & 3));
    kestrel::put_be16(&p[45], toe);
    kestrel::put_be32(&p[41], 2702000000u);  // sqrt(a) near a GPS orbit's
    p[35] = 0;                              // small eccentricity
    return EphemerisFrame(prn, 100000, p);
}

std::vector<std::pair<std::string, Bytes>> HandMadeLogs() {
    const std::vector<uint8_t> six = {3, 6, 9, 12, 17, 22};
    std::vector<std::pair<std::string, Bytes>> logs;
    Bytes ephemerides;
    for (uint8_t prn : six) ephemerides = Concat({ephemerides, Ephemeris(prn, 0, 6000)});

    Bytes steady = ephemerides;
    for (int e = 0; e < 4; ++e) steady = Concat({steady, Epoch(kStartMs + 1000u * e, e, six)});
    logs.emplace_back("steady", steady);

    logs.emplace_back("slips", Concat({Epoch(kStartMs, 0, six, 1), Epoch(kStartMs + 1000, 1, six, 1),
                                        Epoch(kStartMs + 2000, 2, six, 2), Epoch(kStartMs + 3000, 3, six, 2)}));

    std::vector<uint8_t> fifteen;
    for (uint8_t prn = 1; prn <= 15; ++prn) fifteen.push_back(prn);
    logs.emplace_back("fifteen-satellites", Concat({Epoch(kStartMs, 0, fifteen), Epoch(kStartMs + 1000, 1, fifteen),
                                                    Epoch(kStartMs + 2000, 2, fifteen)}));

    logs.emplace_back("same-epoch-twice", Concat({Epoch(kStartMs, 0, six), Epoch(kStartMs + 1000, 1, six),
                                                  Epoch(kStartMs + 1000, 1, six), Epoch(kStartMs + 2000, 2, six)}));
    logs.emplace_back("time-backwards", Concat({Epoch(kStartMs, 0, six), Epoch(kStartMs + 1000, 1, six),
                                                Epoch(kStartMs - 5000, 2, six), Epoch(kStartMs + 2000, 3, six)}));
    logs.emplace_back("week-rollover", Concat({Epoch(kWeekMs - 1500, 0, six), Epoch(kWeekMs - 500, 1, six),
                                               Epoch(500, 2, six), Epoch(1500, 3, six)}));

    MeasurementFrame badPrns(kStartMs);
    SatBlock invalid = Satellite(5, 0, 1);
    invalid.valid = false;
    badPrns.Sat(Satellite(0, 0, 1)).Sat(Satellite(31, 0, 1)).Sat(invalid);
    logs.emplace_back("bad-prns", Concat({badPrns.Bytes(), Ephemeris(0, 0, 100), Ephemeris(33, 0, 100),
                                          Ephemeris(255, 0, 100), Ephemeris(7, 1, 100)}));

    const Bytes good = Epoch(kStartMs, 0, six);
    logs.emplace_back("refused-lengths",
                      Concat({MakeFrameWithLength(kMeasurementId, 0, {}), MakeFrameWithLength(kMeasurementId, 3, {}),
                              MakeFrameWithLength(kMeasurementId, 4, {}),
                              MakeFrameWithLength(kEphemerisId, 65535, Bytes(40, 0x55)),
                              MakeFrameWithLength(kEphemerisId, 85, Bytes(82, 0)), good}));
    // A frame cut short by lost bytes, then a good one: the rescan must find it.
    const Bytes cut(good.begin(), good.begin() + 50);
    logs.emplace_back("cut-then-good", Concat({cut, good, Epoch(kStartMs + 1000, 1, six)}));
    logs.emplace_back("ephemerides-only", ephemerides);
    return logs;
}

Bytes ThreadBufImage(const std::vector<std::pair<int32_t, Bytes>>& appends, int32_t count = 1) {
    Bytes block(kestrel::kThreadBufMemoryBytes, 0);
    kestrel::ResetThreadBuf(block.data());
    for (const auto& [type, data] : appends) {
        const int32_t records = type == kestrel::kThreadBufVariableType ? 1 : count;
        kestrel::AddThreadBufData(block.data(), data.data(), records, type);
    }
    const int32_t used = kestrel::le_s32(block.data() + 12);
    block.resize(static_cast<std::size_t>(used));
    return block;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DATA_DIR OUT_DIR\n", argv[0]);
        return 2;
    }
    const fs::path data = argv[1];
    const fs::path out = argv[2];
    const fs::path feed = out / "feed_byte";
    const fs::path convert = out / "convert_file";
    const fs::path detect = out / "auto_detect";
    const fs::path threadbuf = out / "threadbuf_read";
    const fs::path rinex = out / "rinex_convert";
    const fs::path stream = out / "stream_raw";
    const Bytes quarterHours = {0x00, 0x01};  // stream_raw: 15-minute periods, first read sizes
    const Bytes hours = {0x01, 0x02};
    constexpr uint8_t kRinexDefaults = 0x02;   // 3.04 with clock correction
    constexpr uint8_t kRinexWithWeek = 0x0B;   // 2.11, clock correction, week given
    constexpr uint8_t kDefaults = kestrel::fuzz::kDefaultOptionByte;
    constexpr uint8_t kAllOn = 0x0F;
    constexpr uint8_t kAllOff = 0x00;

    for (const auto& entry : fs::directory_iterator(data / "navcom")) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".log" && ext != ".nav") continue;
        const Bytes log = ReadFile(entry.path());
        const std::string name = entry.path().stem().string();
        Write(feed, name, WithOptions(kDefaults, log));
        Write(convert, name, WithOptions(kDefaults, log));
        Write(detect, name, log);
        Write(rinex, name, WithOptions(kRinexDefaults, log));
        Write(stream, name, Concat({quarterHours, log}));
    }
    for (const auto& [name, log] : HandMadeLogs()) {
        Write(feed, name, WithOptions(kDefaults, log));
        Write(feed, name + "-all-on", WithOptions(kAllOn, log));
        Write(convert, name, WithOptions(kDefaults, log));
        Write(convert, name + "-all-off", WithOptions(kAllOff, log));
        Write(rinex, name, WithOptions(kRinexWithWeek, log));
        Write(stream, name, Concat({hours, log}));
    }

    // Site logs: the tests' log whole, and its head alone.
    for (const auto& entry : fs::directory_iterator(data / "sitelog")) {
        if (entry.path().extension() != ".log") continue;
        const Bytes text = ReadFile(entry.path());
        Write(out / "site_log", entry.path().stem().string(), text);
        const auto head = static_cast<std::ptrdiff_t>(std::min<std::size_t>(text.size(), 1500));
        Write(out / "site_log", entry.path().stem().string() + "-head", Bytes(text.begin(), text.begin() + head));
    }

    // Detection: four good one-item frames before 1024 more bytes, and three.
    const Bytes frame = Epoch(kStartMs, 0, {5});
    const Bytes pad(1024, 0);
    Write(detect, "four-frames", Concat({frame, frame, frame, frame, pad}));
    Write(detect, "three-frames", Concat({frame, frame, frame, pad}));

    // ThreadBuf images: byte 0 type, byte 1 capacity in records, byte 2 mode, then the image.
    const Bytes epoch(sizeof(EpochHeader), 1);
    const Bytes observations(3 * sizeof(SatObservation), 2);
    const Bytes locks(3 * sizeof(SatLockInfo), 4);
    const Bytes eph(184, 3);
    Bytes variable(14, 10);
    kestrel::put_le32(variable.data(), 10);
    const Bytes measurement = ThreadBufImage({{1, epoch}, {2, Bytes(sizeof(SatObservation), 2)}, {4, Bytes(32, 4)}});
    const Bytes ephemeris = ThreadBufImage({{3, eph}});
    const Bytes mixed = ThreadBufImage({{10, variable}, {2, Bytes(sizeof(SatObservation), 2)}, {2, Bytes(44, 9)}});
    const Bytes three = ThreadBufImage({{2, observations}}, 3);
    for (uint8_t type : {1, 2, 3, 4, 10, 0, 19}) {
        for (uint8_t capacity : {1, 24, 0xFF}) {
            for (const auto& [name, image] : {std::pair{"measurement", measurement}, std::pair{"ephemeris", ephemeris},
                                              std::pair{"mixed", mixed}, std::pair{"three", three}}) {
                Bytes seed = {type, capacity, static_cast<uint8_t>(type & 1)};
                seed.insert(seed.end(), image.begin(), image.end());
                Write(threadbuf, std::string(name) + "-" + std::to_string(type) + "-" + std::to_string(capacity), seed);
            }
        }
    }
    // The RTCM 3 encoder: byte 0 chooses the messages (all, with intervals, a position given or
    // not), the rest is read as epochs and ephemerides; a fixed pseudo-random run of records.
    const fs::path rtcm = out / "rtcm_encode";
    for (const uint8_t choice : {0x7F, 0xFF, 0x7E, 0x03, 0x48}) {
        Bytes seed = {choice};
        uint32_t x = choice;
        for (int i = 0; i < 4000; ++i) {
            x = x * 1664525u + 1013904223u;
            seed.push_back(static_cast<uint8_t>(x >> 24));
        }
        Write(rtcm, "records-" + std::to_string(choice), seed);
    }
    // Requests a caster reads, answers a push reads, chunked data.
    const fs::path ntrip = out / "ntrip_request";
    const std::pair<const char*, const char*> texts[] = {
        {"get-v1", "GET /KEST HTTP/1.0\r\nUser-Agent: NTRIP RTKLIB/2.4.3\r\nAuthorization: Basic cm92ZXI6cHc=\r\n\r\n"},
        {"get-v2", "GET /KEST HTTP/1.1\r\nHost: h\r\nNtrip-Version: Ntrip/2.0\r\nConnection: close\r\n\r\n"},
        {"table", "GET / HTTP/1.0\r\n\r\n"},
        {"source", "SOURCE pw /BASE\r\nSource-Agent: NTRIP x\r\nSTR: STR;BASE;;RTCM 3.3;\r\n\r\n\xd3\x00\x13"},
        {"post", "POST /BASE HTTP/1.1\nNtrip-Version: Ntrip/2.0\nTransfer-Encoding: chunked\n\n5\r\nhello\r\n0\r\n\r\n"},
        {"answer-icy", "ICY 200 OK\r\n"},
        {"answer-401", "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"/BASE\"\r\n\r\n"},
        {"answer-error", "ERROR - Mount Point Taken or Invalid\r\n"},
        {"chunks", "1a;x=y\r\nabcdefghijklmnopqrstuvwxyz\r\nA\r\n0123456789\r\n0\r\nT: 1\r\n\r\n"},
        {"base64", "cm92ZXI6cEBzcw=="},
    };
    for (const auto& [name, text] : texts) Write(ntrip, name, Bytes(text, text + std::strlen(text)));
    std::printf("seed corpora written under %s\n", out.c_str());
    return 0;
}
