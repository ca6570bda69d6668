// SPDX-License-Identifier: BSD-2-Clause
// A whole conversion through the exported ConvertFile, on a 24-hour 1 Hz log of the
// simulated station (or the log named by $KESTREL_BENCH_LOG).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_data.h"
#include "kestrel/kestrel.h"

namespace kestrel::bench {
namespace {

// ConvertFile with or without clock correction (argument); the outputs go to the
// temporary folder and are removed afterwards.
void BM_ConvertFile(benchmark::State& state) {
    const std::string input = LongLogPath();
    const auto out = std::filesystem::temp_directory_path() / "kestrel_bench_out";
    OptionBlock options{};
    options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    options.optionSize = KESTREL_OPTION_RECORD_SIZE;
    SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &options.options);
    options.options.clockCorrection = static_cast<int32_t>(state.range(0));
    std::snprintf(options.inputPath, sizeof options.inputPath, "%s", input.c_str());
    std::snprintf(options.outputName, sizeof options.outputName, "%s", out.string().c_str());
    CallbackBlock callbacks{};
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;

    int64_t epochs = 0;
    for (auto _ : state) {
        if (ConvertFile(&options, &callbacks, 0) != 0) {
            static char text[512];
            GetErrString(text);
            state.SkipWithError(text);
            break;
        }
        epochs += options.epochsWritten;
    }
    const auto bytes = static_cast<int64_t>(std::filesystem::file_size(input));
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["epochs/s"] = benchmark::Counter(static_cast<double>(epochs), benchmark::Counter::kIsRate);
    std::filesystem::remove(out.string() + ".obx");
    std::filesystem::remove(out.string() + ".epp");
}
BENCHMARK(BM_ConvertFile)->Arg(0)->Arg(1)->ArgName("clock")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kestrel::bench
