// SPDX-License-Identifier: BSD-2-Clause
// The byte feed and the two record handlers, on a simulated hour of 1 Hz data at the GSI
// station (about 9 satellites an epoch).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_data.h"
#include "kestrel/kestrel.h"
#include "navcom/ephemeris.h"
#include "navcom/frame_parser.h"
#include "navcom/measurement.h"
#include "navcom/record_layout.h"
#include "positioning/eph_store.h"
#include "positioning/single_point.h"
#include "threadbuf/threadbuf.h"

namespace kestrel::bench {
namespace {

constexpr int32_t kPort = 0;
constexpr int kLogHours = 1;

// The receiver's record shapes without their handlers: what is left is the framing alone.
constexpr RecordDef kFramingOnly[] = {
    {layout::measurement::kId, "MEASUREMENT", layout::measurement::kBaseFrameBytes, layout::measurement::kBlockBytes,
     layout::measurement::kCountOffset, 1, nullptr},
    {layout::ephemeris::kId, "EPHEMERIS", layout::ephemeris::kFrameBytes, 0, 0, 0, nullptr},
};

struct Queue {
    alignas(8) uint8_t threadBuf[kThreadBufMemoryBytes] = {};
    EpochHeader header{};
    SatObservation observations[24]{};
    uint8_t ephemeris[184]{};
};

// What the conversion driver does after a byte that completed a record, without the files.
void Drain(Queue& q) {
    if (GetThreadBufRecCount(q.threadBuf, KESTREL_TYPE_EPOCH_HEADER) != 0 &&
        GetThreadBufRecCount(q.threadBuf, KESTREL_TYPE_SAT_OBSERVATION) != 0) {
        if (ReadThreadBufData(q.threadBuf, KESTREL_TYPE_EPOCH_HEADER, 1, &q.header) == 0) return;
        ReadThreadBufData(q.threadBuf, KESTREL_TYPE_SAT_OBSERVATION, 24, q.observations);
    } else if (GetThreadBufRecCount(q.threadBuf, KESTREL_TYPE_GPS_EPHEMERIS) != 0) {
        ReadThreadBufData(q.threadBuf, KESTREL_TYPE_GPS_EPHEMERIS, 1, q.ephemeris);
    }
}

void OpenWithOptions(int32_t clockCorrection) {
    OpenPort(kPort, nullptr);
    const OptionRecord options{0, 1, clockCorrection, 0};
    SetPortOptions(kPort, &options, sizeof options);
}

void FeedLog(benchmark::State& state, const NavComLog& log, Queue& q) {
    int64_t decoded = 0;
    for (auto _ : state) {
        for (const uint8_t byte : log.bytes) {
            if (FeedByte(kPort, byte, q.threadBuf) > 0) {
                Drain(q);
                ++decoded;
            }
        }
    }
    benchmark::DoNotOptimize(decoded);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(log.bytes.size()));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(log.frames()));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(log.frames()) * state.iterations(), benchmark::Counter::kIsRate);
}

// FeedByte over the log with the receiver's record shapes but no handlers: frame search,
// length and count rules and the checksum.
void BM_FrameParser(benchmark::State& state) {
    const NavComLog& log = SimulatedLog(kLogHours);
    static Queue q;
    UseRecordTable(kFramingOnly, 2);
    OpenWithOptions(0);
    FeedLog(state, log, q);
    UseRecordTable(nullptr, 0);
}
BENCHMARK(BM_FrameParser)->Unit(benchmark::kMillisecond);

// FeedByte with the real handlers and the driver's draining; argument: clock correction.
void BM_FeedByteWithHandlers(benchmark::State& state) {
    const NavComLog& log = SimulatedLog(kLogHours);
    static Queue q;
    eph_store_clear();
    reset_single_point_state();
    OpenWithOptions(static_cast<int32_t>(state.range(0)));
    FeedLog(state, log, q);
    eph_store_clear();
}
BENCHMARK(BM_FeedByteWithHandlers)->Arg(0)->Arg(1)->ArgName("clock")->Unit(benchmark::kMillisecond);

// One record handler alone, frame after frame from the first again after the last (when
// `startOver` runs): each frame put into the port's frame buffer as the parser leaves it, and
// handled into a freshly emptied ThreadBuf. The store is emptied at the end.
template <typename Handle, typename StartOver>
void HandleFrames(benchmark::State& state, const std::vector<std::vector<uint8_t>>& frames, Queue& q, Handle handle,
                  StartOver startOver) {
    PortState* port = GetPortState(kPort);
    std::size_t next = 0;
    for (auto _ : state) {
        const std::vector<uint8_t>& frame = frames[next];
        if (++next == frames.size()) {
            next = 0;
            startOver();
        }
        std::memcpy(port->frame, frame.data(), frame.size());
        ResetThreadBuf(q.threadBuf);
        benchmark::DoNotOptimize(handle(kPort, q.threadBuf));
    }
    state.SetItemsProcessed(state.iterations());
    eph_store_clear();
}

// The MEASUREMENT handler alone, frame after frame in log order; argument: clock
// correction (then every epoch is solved with the ephemerides of the day).
void BM_MeasurementHandler(benchmark::State& state) {
    const auto frames = FramesOf(SimulatedLog(kLogHours).bytes, layout::measurement::kId);
    static Queue q;
    const int32_t clock = static_cast<int32_t>(state.range(0));
    if (clock) FillStore(BroadcastDay());
    reset_single_point_state();
    OpenWithOptions(clock);
    GetPortState(kPort)->ephemerisCounter = clock ? 100 : 0;  // as if the ephemerides had come in the log
    const auto handle = [](int32_t port, uint8_t* threadBuf) { return HandleMeasurement(port, threadBuf); };
    HandleFrames(state, frames, q, handle, [] {});
}
BENCHMARK(BM_MeasurementHandler)->Arg(0)->Arg(1)->ArgName("clock");

// The EPHEMERIS handler alone on the day's ephemerides; with clock correction each goes
// into the store, which is emptied after every pass over the day.
void BM_EphemerisHandler(benchmark::State& state) {
    const auto frames = FramesOf(SimulatedLog(24).bytes, layout::ephemeris::kId);
    static Queue q;
    const int32_t clock = static_cast<int32_t>(state.range(0));
    eph_store_clear();
    OpenWithOptions(clock);
    const auto handle = [](int32_t port, uint8_t* threadBuf) { return HandleEphemeris(port, threadBuf); };
    HandleFrames(state, frames, q, handle, [] { eph_store_clear(); });
}
BENCHMARK(BM_EphemerisHandler)->Arg(0)->Arg(1)->ArgName("clock");

}  // namespace
}  // namespace kestrel::bench
