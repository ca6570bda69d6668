// SPDX-License-Identifier: BSD-2-Clause
#include "support/conversion_check.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "kestrel/records.h"

namespace kestrel::test {
namespace {

const char kEphemerisHeader[] = "$EPHREC Ver6.03 KESTREL NavComBinary\n";
constexpr int kFirstPrn = 1;
constexpr int kLastPrn = 32;
constexpr uint8_t kKnownFlags = KESTREL_EPOCH_FLAG_CLOCK_CORRECTED | KESTREL_EPOCH_FLAG_MARKED;
// The receiver's time of week is an unsigned 32-bit count of milliseconds.
constexpr double kLargestTimeTag = 4294967.295;

// The callbacks carry no context: the run in progress is kept here.
ConversionRun* activeRun = nullptr;

void KESTREL_STDCALL OnMessage(double time, const char* text) {
    if (activeRun != nullptr) activeRun->messages.push_back({time, text != nullptr ? text : "(null)"});
}

void KESTREL_STDCALL OnProgress(int32_t done, int32_t total) {
    if (activeRun != nullptr) activeRun->progress.emplace_back(done, total);
}

bool ReadWhole(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string Describe(const char* format, double a, double b = 0.0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// The first fault of one epoch read back from the file; empty when sound.
std::string CheckEpoch(const obx::ObxEpoch& epoch) {
    const EpochHeader& h = epoch.position;
    if (h.sat_count == 0) return Describe("epoch %.3f holds no measurement record", h.time_tag);
    if ((h.flags & ~kKnownFlags) != 0) return Describe("epoch %.3f has unknown flag bits %.0f", h.time_tag, h.flags);
    if (!(h.time_tag >= 0.0 && h.time_tag <= kLargestTimeTag)) return Describe("time tag %.3f out of range", h.time_tag);
    if ((h.flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED) == 0) {
        if (h.corrected_time != h.time_tag || h.clock_offset != 0.0) {
            return Describe("uncorrected epoch %.3f carries a corrected time %.3f", h.time_tag, h.corrected_time);
        }
    } else if (!std::isfinite(h.corrected_time) || !std::isfinite(h.clock_offset)) {
        return Describe("corrected epoch %.3f has a corrected time %f", h.time_tag, h.corrected_time);
    }
    for (const SatObservation& m : epoch.measurements) {
        if (m.prn < kFirstPrn || m.prn > kLastPrn) return Describe("epoch %.3f holds PRN %.0f", h.time_tag, m.prn);
    }
    return {};
}

}  // namespace

void PrepareHostBlocks(OptionBlock& block, CallbackBlock& callbacks, const std::string& input,
                       const std::string& outputBase, const OptionRecord* options, KestrelMessageCallback onMessage,
                       KestrelProgressCallback onProgress) {
    std::memset(&block, 0, sizeof block);
    std::memset(&callbacks, 0, sizeof callbacks);
    block.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    block.optionSize = KESTREL_OPTION_RECORD_SIZE;
    if (options != nullptr) {
        block.options = *options;
    } else {
        SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &block.options);
    }
    std::snprintf(block.inputPath, sizeof block.inputPath, "%s", input.c_str());
    std::snprintf(block.outputName, sizeof block.outputName, "%s", outputBase.c_str());
    block.epochsWritten = block.ephemeridesWritten = block.otherWritten = kCountersUntouched;
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    callbacks.messageCallback = onMessage;
    callbacks.progressCallback = onProgress;
}

ConversionRun RunConversion(const std::string& input, const std::string& outputBase, const OptionRecord* options) {
    ConversionRun run;
    run.obxPath = outputBase + ".obx";
    run.ephemerisPath = outputBase + ".epp";

    OptionBlock block;
    CallbackBlock callbacks;
    PrepareHostBlocks(block, callbacks, input, outputBase, options, OnMessage, OnProgress);

    activeRun = &run;
    run.result = ConvertFile(&block, &callbacks, 0);
    activeRun = nullptr;

    char text[KESTREL_ERROR_TEXT_SIZE];
    GetErrString(text);
    run.errorText = text;
    run.epochsWritten = block.epochsWritten;
    run.ephemeridesWritten = block.ephemeridesWritten;
    run.otherWritten = block.otherWritten;
    return run;
}

OutputCheck CheckOutputs(const ConversionRun& run) {
    OutputCheck check;
    check.obx = obx::ReadObx(run.obxPath);
    if (check.obx.state != obx::ObxState::kComplete) {
        check.problem = std::string("OBX file ") + obx::ObxStateName(check.obx.state) + ": " + check.obx.problem;
        return check;
    }
    for (const obx::ObxEpoch& epoch : check.obx.epochs) {
        check.problem = CheckEpoch(epoch);
        if (!check.problem.empty()) return check;
    }

    std::string text;
    if (!ReadWhole(run.ephemerisPath, text)) {
        check.problem = "ephemeris file cannot be read";
        return check;
    }
    if (text.rfind(kEphemerisHeader, 0) != 0) {
        check.problem = "ephemeris file does not start with its header line";
        return check;
    }
    if (text.size() > std::strlen(kEphemerisHeader) && text.compare(text.size() - 2, 2, "}\n") != 0) {
        check.problem = "ephemeris file does not end with a whole block";
        return check;
    }
    check.ephemeris = CheckEphemerisText(text);
    if (!check.ephemeris.problem.empty()) {
        check.problem = "ephemeris file: " + check.ephemeris.problem;
        return check;
    }

    if (run.epochsWritten != static_cast<int32_t>(check.obx.epochs.size())) {
        check.problem = "epochsWritten " + std::to_string(run.epochsWritten) + " but the OBX file holds " +
                        std::to_string(check.obx.epochs.size()) + " epochs";
    } else if (run.ephemeridesWritten != check.ephemeris.gpsEphBlocks) {
        check.problem = "ephemeridesWritten " + std::to_string(run.ephemeridesWritten) +
                        " but the ephemeris file holds " + std::to_string(check.ephemeris.gpsEphBlocks) + " blocks";
    } else if (run.otherWritten != 0) {
        check.problem = "otherWritten is " + std::to_string(run.otherWritten);
    }
    return check;
}

}  // namespace kestrel::test
