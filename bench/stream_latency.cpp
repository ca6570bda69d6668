// SPDX-License-Identifier: BSD-2-Clause
// Latency of the stream's decoding path: from the moment a read has delivered the last byte of
// an epoch's MEASUREMENT frame to the moment that epoch has been handed to the RINEX period
// files' collector (RinexPeriods, which packs it into its scratch file), p50 and p99. The log is
// fed to one decoding session as a live stream is, one read ending at each MEASUREMENT frame's
// last byte, with the receiver's records as extra records and clock correction on, as
// `kestrel stream` runs it; periods of an hour are closed as they end, their files written into
// a scratch folder.
//
//     stream_latency LOG [DIR]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "live_reads.h"
#include "navcom/record_layout.h"
#include "rinex_run/rinex_convert.h"

namespace {

using Clock = std::chrono::steady_clock;

// Times each epoch's arrival at the collector against the start of the read that completed it.
class TimingSink : public kestrel::ObservationSink {
public:
    explicit TimingSink(kestrel::ObservationSink& next) : next_(next) {}
    void ReadDone(Clock::time_point at) { readDone_ = at; }
    bool OnEpoch(const kestrel::ObservationEpoch& epoch) override {
        const bool kept = next_.OnEpoch(epoch);
        latenciesUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - readDone_).count());
        return kept;
    }
    bool OnEphemeris(const kestrel::DecodedEphemeris& e) override { return next_.OnEphemeris(e); }
    bool OnExtraRecord(const uint8_t* frame, int32_t length) override { return next_.OnExtraRecord(frame, length); }
    std::vector<double> latenciesUs;

private:
    kestrel::ObservationSink& next_;
    Clock::time_point readDone_;
};


}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: stream_latency LOG [DIR]\n");
        return 2;
    }
    const auto read = kestrel::bench::ReadLogFile(argv[1]);
    if (!read) return 1;
    const std::vector<uint8_t>& log = *read;
    // The reads: each ends with the last byte of a MEASUREMENT frame.
    const std::vector<std::size_t> cuts = kestrel::bench::MeasurementCuts(log);

    const std::string dir = argc > 2 ? argv[2] : (std::filesystem::temp_directory_path() / "kestrel-stream-latency").string();
    std::filesystem::create_directories(dir);
    kestrel::RinexRunOptions o;
    o.directory = dir;
    o.periodS = 3600.0;
    o.program = "stream_latency";
    std::string error;
    auto rinex = kestrel::RinexPeriods::Open(o, error);
    if (!rinex) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    TimingSink sink(rinex->sink());
    kestrel::SessionOptions setup = kestrel::bench::LiveSessionOptions();
    setup.decoder = {0, 0, 1, 0};
    CallbackBlock callbacks{};
    kestrel::DecodingSession session(setup, callbacks, nullptr, &sink);
    if (!session.IsOpen()) return 1;

    std::size_t from = 0;
    std::vector<std::string> files;
    std::size_t epochsBefore = 0;
    std::size_t late = 0;  // epochs that reached the collector only at a later read
    for (const std::size_t cut : cuts) {
        sink.ReadDone(Clock::now());
        session.Push(log.data() + from, cut - from);
        from = cut;
        if (sink.latenciesUs.size() != epochsBefore + 1) late += 1;
        epochsBefore = sink.latenciesUs.size();
    }
    session.Push(log.data() + from, log.size() - from);
    session.Finish();
    rinex->Close(files);

    const std::vector<double>& v = sink.latenciesUs;
    std::printf("frames %zu epochs %zu reads-without-exactly-one-epoch %zu\n", cuts.size(), v.size(), late);
    std::printf("latency_us p50 %.1f p99 %.1f max %.1f\n", kestrel::bench::Percentile(v, 0.50), kestrel::bench::Percentile(v, 0.99),
                v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()));
    return 0;
}
