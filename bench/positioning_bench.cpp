// SPDX-License-Identifier: BSD-2-Clause
// The single-point solution and the broadcast orbit, on epochs simulated along the real
// broadcast orbits of one day and on the station's real hour.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_data.h"
#include "positioning/eph_store.h"
#include "positioning/position_record.h"
#include "positioning/sat_orbit.h"
#include "positioning/single_point.h"
#include "rinex/rinex_nav.h"

namespace kestrel::bench {
namespace {

constexpr int kEpochs = 64;
constexpr double kStation[3] = {-3976219.5082, 3382372.5671, 3652512.9849};

void Solve(benchmark::State& state, const std::vector<SolveInput>& epochs) {
    reset_single_point_state();
    std::size_t next = 0;
    int64_t failed = 0;
    for (auto _ : state) {
        const SolveInput& in = epochs[next];
        next = next + 1 == epochs.size() ? 0 : next + 1;
        EpochHeader header = in.header;
        double clock = 0.0;
        failed += solve_epoch(&header, in.observations.data(), kSolveBoth, 0.0, 0.0, 0.0, &clock);
        benchmark::DoNotOptimize(header);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = static_cast<double>(failed);
    eph_store_clear();
}

// One epoch's solution: argument the number of satellites (the steady state: the mask and
// troposphere of the previous solution apply, the iteration starts from its position).
void BM_SolveEpoch(benchmark::State& state) {
    Solve(state, SimulatedEpochs(static_cast<int>(state.range(0)), kEpochs));
}
BENCHMARK(BM_SolveEpoch)->Arg(6)->Arg(9)->Arg(12)->ArgName("sats");

// The station's real hour of observations, 7 to 9 satellites an epoch.
void BM_SolveEpochRealHour(benchmark::State& state) { Solve(state, RealHourEpochs()); }
BENCHMARK(BM_SolveEpochRealHour);

struct OrbitInput {
    GpsEphRecord eph;
    PositionRecord receiver{};
};

OrbitInput FirstEphemeris() {
    OrbitInput in;
    in.eph = rinex::ToGpsEphRecord(BroadcastDay().front());
    in.receiver.x = kStation[0];
    in.receiver.y = kStation[1];
    in.receiver.z = kStation[2];
    return in;
}

// Satellite position with light time from the station, over an hour around Toe.
void BM_GpsSatPosition(benchmark::State& state) {
    const OrbitInput in = FirstEphemeris();
    PositionRecord sat{};
    double offset = -1800.0;
    for (auto _ : state) {
        offset = offset >= 1800.0 ? -1800.0 : offset + 1.0;
        gps_sat_position(&in.eph, in.eph.Toe + offset, 2.2e7, &in.receiver, &sat);
        benchmark::DoNotOptimize(sat);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GpsSatPosition);

void BM_GpsSatClock(benchmark::State& state) {
    const OrbitInput in = FirstEphemeris();
    SatObservation obs{};
    obs.ca_range = 2.2e7;
    double offset = -1800.0;
    double tSv = 0.0;
    for (auto _ : state) {
        offset = offset >= 1800.0 ? -1800.0 : offset + 1.0;
        gps_sat_clock(&in.eph, in.eph.Toe + offset, &obs, &tSv);
        benchmark::DoNotOptimize(tSv);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GpsSatClock);

}  // namespace
}  // namespace kestrel::bench
