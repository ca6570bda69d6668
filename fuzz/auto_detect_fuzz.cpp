// SPDX-License-Identifier: BSD-2-Clause
// File detection on the bytes written as a file.
#include <string>

#include "fuzz_support.h"

namespace {
// Frame starts are never taken from the last 1024 bytes read.
constexpr std::size_t kTailBytes = 1024;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const std::string path = fuzz::ScratchFolder() + "/detect.bin";
    fuzz::WriteBytes(path, data, size);
    const int32_t result = AutoDetect(path.c_str());
    if (result != 0 && result != 1) fuzz::Fail("AutoDetect returned %d", result);
    if (result == 1 && size <= kTailBytes) fuzz::Fail("a file of %zu bytes taken for NavCom", size);
    return 0;
}
