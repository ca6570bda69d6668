// SPDX-License-Identifier: BSD-2-Clause
// Helpers shared by the fuzz targets: a scratch folder per process, files written from the
// fuzzer's bytes, the option switches taken from an input byte, and a failed check that
// libFuzzer records as a crash with its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kestrel/kestrel.h"

namespace kestrel::fuzz {

// An empty folder of this process (in memory-backed /dev/shm when there is one), removed
// when the process ends.
const std::string& ScratchFolder();

// Writes `size` bytes to `path`, replacing the file; aborts when it cannot.
void WriteBytes(const std::string& path, const uint8_t* data, std::size_t size);

// The four switches of an option record from the low four bits of `byte`: bit 0
// flagEpochs, bit 1 reportL2Slips, bit 2 clockCorrection, bit 3 verboseDecoder.
OptionRecord OptionsFromByte(uint8_t byte);

// The option byte of the factory defaults (reportL2Slips and clockCorrection on).
constexpr uint8_t kDefaultOptionByte = 0x06;

// Reports a broken expectation on standard error and aborts, so that libFuzzer keeps the
// input as a crash.
[[noreturn]] void Fail(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace kestrel::fuzz
