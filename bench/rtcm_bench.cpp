// SPDX-License-Identifier: BSD-2-Clause
// The RTCM 3 observation messages: ten minutes of the simulated station at 1 Hz (C1 L1 D1 S1
// P1 P2 L2, 6 to 12 satellites) encoded as 1004, MSM4 and MSM7, epoch after epoch.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_data.h"
#include "pipeline/observation_epoch.h"
#include "rinex/station_day.h"
#include "rtcm/observation_messages.h"

namespace kestrel::bench {
namespace {

constexpr int kEpochs = 600;
constexpr double kDopplerHz = -1234.567;
constexpr double kP1OffsetM = 0.35;

const std::vector<ObservationEpoch>& StationEpochs() {
    static const std::vector<ObservationEpoch> epochs = [] {
        rinex::StationDay day(BroadcastDay(), DayOptions(kEpochs));
        std::vector<ObservationEpoch> out;
        rinex::ObsEpoch epoch;
        // The simulator's types, in its order.
        const Observable types[] = {Observable::kC1, Observable::kL1, Observable::kP2, Observable::kL2, Observable::kS1};
        while (day.Next(epoch)) {
            ObservationEpoch e;
            e.time = epoch.time;
            for (const rinex::ObsSatellite& s : epoch.satellites) {
                if (e.satCount == kMaxEpochSatellites) break;
                SatelliteObservation& sat = e.sats[static_cast<std::size_t>(e.satCount++)];
                sat.prn = s.prn;
                for (std::size_t k = 0; k < std::size(types); ++k) {
                    if (s.values[k].present) sat.Set(types[k], s.values[k].value);
                }
                sat.Set(Observable::kD1, kDopplerHz);
                sat.Set(Observable::kP1, sat.Value(Observable::kC1) + kP1OffsetM);
                if (s.values[1].lli & 1) sat.lockReasons[0] = lock_reason::kArcStart;
                if (s.values[3].lli & 1) sat.lockReasons[1] = lock_reason::kArcStart;
            }
            out.push_back(e);
        }
        return out;
    }();
    return epochs;
}

// Items are epochs; bytes the frames written.
void BM_RtcmObservations(benchmark::State& state) {
    const auto kind = static_cast<rtcm::ObservationKind>(state.range(0));
    const std::vector<ObservationEpoch>& epochs = StationEpochs();
    std::vector<uint8_t> out;
    out.reserve(epochs.size() * 1024);
    for (auto _ : state) {
        rtcm::ObservationEncoder encoder(kind, 0);
        out.clear();
        for (const ObservationEpoch& e : epochs) encoder.Append(e, false, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(epochs.size()));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
    state.SetLabel(std::to_string(rtcm::MessageNumber(kind)));
}
BENCHMARK(BM_RtcmObservations)->ArgName("kind")->DenseRange(0, 2);

}  // namespace
}  // namespace kestrel::bench
