// SPDX-License-Identifier: BSD-2-Clause
// The RINEX observation writer: one F14.3 field, and whole epochs of the simulated station
// with every type (C1 L1 D1 S1 P1 P2 L2), in both versions. A day at 1 Hz is about 800,000
// satellite lines.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_data.h"
#include "rinex_out/rinex_fields.h"
#include "rinex_out/rinex_obs_writer.h"
#include "rinex/rinex_obs_write.h"
#include "rinex/station_day.h"

namespace kestrel::bench {
namespace {

constexpr int kEpochs = 600;  // ten minutes at 1 Hz
constexpr double kDopplerHz = -1234.567;  // any value of the field's width
constexpr double kP1OffsetM = 0.35;

// The station's epochs with the five simulated types and a Doppler and P1 value.
const std::vector<RinexObsEpoch>& StationEpochs() {
    static const std::vector<RinexObsEpoch> epochs = [] {
        rinex::StationDay day(BroadcastDay(), DayOptions(kEpochs));
        std::vector<RinexObsEpoch> out;
        rinex::ObsEpoch epoch;
        const std::vector<RinexObsType> types = {RinexObsType::kC1, RinexObsType::kL1, RinexObsType::kP2,
                                                 RinexObsType::kL2, RinexObsType::kS1};
        while (day.Next(epoch)) {
            RinexObsEpoch e = rinex::WriterEpoch(epoch, types);
            e.clockOffsetS = day.LastClockOffset();
            for (RinexSatObs& sat : e.satellites) {
                sat.values[static_cast<std::size_t>(RinexObsType::kD1)] = {kDopplerHz, true, 0, 0};
                RinexObsValue p1 = sat.values[static_cast<std::size_t>(RinexObsType::kC1)];
                p1.value += kP1OffsetM;
                sat.values[static_cast<std::size_t>(RinexObsType::kP1)] = p1;
            }
            out.push_back(e);
        }
        return out;
    }();
    return epochs;
}

void BM_RinexF14_3(benchmark::State& state) {
    std::vector<double> values;
    for (const RinexObsEpoch& e : StationEpochs()) {
        for (const RinexSatObs& s : e.satellites) {
            for (const RinexObsValue& v : s.values) values.push_back(v.value);
        }
    }
    char field[14];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rinex_field::FormatF14_3(values[i], field));
        benchmark::DoNotOptimize(field);
        if (++i == values.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RinexF14_3);

// Items are satellite lines (a 2.11 satellite with seven types takes two text lines); with
// clock:1 every epoch line carries the receiver clock offset.
void BM_RinexObsEpoch(benchmark::State& state) {
    RinexObsHeader header;
    header.version = state.range(0) == 304 ? RinexVersion::k304 : RinexVersion::k211;
    header.types = RinexObsTypesFor(true, true);
    std::vector<RinexObsEpoch> epochs = StationEpochs();
    if (state.range(1) == 0) {
        for (RinexObsEpoch& e : epochs) e.clockOffsetS.reset();
    }
    std::size_t satellites = 0;
    for (const RinexObsEpoch& e : epochs) satellites += e.satellites.size();
    std::string out;
    out.reserve(satellites * 140 + epochs.size() * 100);
    for (auto _ : state) {
        out.clear();
        for (const RinexObsEpoch& e : epochs) AppendRinexObsEpoch(out, header, e);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(satellites));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
    state.counters["sats/epoch"] = static_cast<double>(satellites) / static_cast<double>(epochs.size());
}
BENCHMARK(BM_RinexObsEpoch)->ArgNames({"version", "clock"})->ArgsProduct({{304, 211}, {0, 1}});

}  // namespace
}  // namespace kestrel::bench
