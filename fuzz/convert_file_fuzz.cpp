// SPDX-License-Identifier: BSD-2-Clause
// A whole conversion of the bytes written as a file. The first byte chooses the option
// switches; the rest is the log. Afterwards both output files must read back whole by the
// formats' reading rules, the counters must match them, and progress must end at the
// file's length.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "support/conversion_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace kestrel;
    using fuzz::Fail;
    if (size == 0) return 0;
    const OptionRecord options = fuzz::OptionsFromByte(data[0]);
    const std::string input = fuzz::ScratchFolder() + "/input.log";
    fuzz::WriteBytes(input, data + 1, size - 1);

    const test::ConversionRun run = test::RunConversion(input, fuzz::ScratchFolder() + "/out", &options);
    if (run.result != 0) Fail("ConvertFile returned %d: %s", run.result, run.errorText.c_str());
    const test::OutputCheck check = test::CheckOutputs(run);
    if (!check.problem.empty()) Fail("%s", check.problem.c_str());

    const auto length = static_cast<int32_t>(size - 1);
    if (run.progress.empty() || run.progress.back() != std::make_pair(length, length)) {
        Fail("progress does not end at (%d, %d)", length, length);
    }
    for (const auto& message : run.messages) {
        if (message.text.size() >= KESTREL_ERROR_TEXT_SIZE) Fail("message of %zu bytes", message.text.size());
        if (message.time != -1.0 && !(message.time >= 0.0)) Fail("message time %f", message.time);
    }
    return 0;
}
