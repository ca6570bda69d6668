// SPDX-License-Identifier: BSD-2-Clause
// Runs one conversion through the exported functions, as a host does, and checks what a
// host finds afterwards: both files complete and readable by the formats' reading rules,
// and the counters written back equal to what the files hold. Needs no test framework, so
// the fuzz targets use it too.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/kestrel.h"
#include "obx_read.h"
#include "support/decoder_harness.h"
#include "support/eph_text.h"

namespace kestrel::test {

// What the host puts into the three result counters before the call, to see whether the
// conversion wrote them back.
constexpr int32_t kCountersUntouched = -7;

struct ConversionRun {
    int32_t result = -1;
    std::string errorText;  // GetErrString after the call
    int32_t epochsWritten = kCountersUntouched;
    int32_t ephemeridesWritten = kCountersUntouched;
    int32_t otherWritten = kCountersUntouched;
    std::vector<std::pair<int32_t, int32_t>> progress;  // (done, total) of every progress call
    std::vector<Message> messages;                      // every message callback, in order
    std::string obxPath;
    std::string ephemerisPath;
};

// Fills a host's blocks for converting `input` into `outputBase`: their sizes, the switches
// (factory defaults when `options` is null), the names, the result counters at
// kCountersUntouched and the two callbacks.
void PrepareHostBlocks(OptionBlock& block, CallbackBlock& callbacks, const std::string& input,
                       const std::string& outputBase, const OptionRecord* options, KestrelMessageCallback onMessage,
                       KestrelProgressCallback onProgress);

// Converts `input` into `outputBase`.obx / .epp with the given switches (factory defaults
// when `options` is null). `outputBase` must have no extension of its own.
ConversionRun RunConversion(const std::string& input, const std::string& outputBase,
                            const OptionRecord* options = nullptr);

struct OutputCheck {
    obx::ObxContents obx;
    EphTextCheck ephemeris;
    std::string problem;  // the first fault found; empty when the outputs are sound
};

// Checks the two files of a conversion that ran to its end (result 0, or 1 after an
// abort): both exist; the OBX file walks complete, every epoch holds 1 to `channels`
// measurement records of PRNs 1 to 32 and consistent clock fields; the ephemeris file is
// the header line and whole "GpsEph" blocks; the counters equal the epochs and blocks in
// the files and otherWritten is 0.
OutputCheck CheckOutputs(const ConversionRun& run);

}  // namespace kestrel::test
