// SPDX-License-Identifier: BSD-2-Clause
// AutoDetect: is this file a NavCom binary log? Looks at the start of the file only and
// counts well-formed MEASUREMENT frames; opens no port and changes no state.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "kestrel/kestrel.h"
#include "navcom/frame_parser.h"
#include "navcom/record_layout.h"

namespace kestrel {
namespace {

namespace frame = layout::frame;
namespace measurement = layout::measurement;

constexpr int32_t kScanBytes = 8000;
// No frame start is taken from the last 1024 bytes read, so short files are never examined.
constexpr int32_t kTailBytes = 1024;
// A MEASUREMENT frame's length L is 12 + 16 n; up to 16 blocks are taken here, one more
// than the count can announce.
constexpr int32_t kLengthBase = measurement::kBaseFrameBytes - frame::kSyncBytes;
constexpr int32_t kLengthStep = measurement::kBlockBytes;
constexpr int32_t kMostBlocks = 16;
constexpr int32_t kLengthMost = kLengthBase + kLengthStep * kMostBlocks;
// More than this many good frames make the file NavCom.
constexpr int32_t kHitsNeeded = 3;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// A well-formed MEASUREMENT frame of up to kMostBlocks blocks at `p`.
bool MeasurementFrameAt(const uint8_t* p, std::size_t available) {
    const int32_t bytes = FrameAt(p, available, measurement::kId);
    const int32_t length = bytes - frame::kSyncBytes;
    return bytes != 0 && length <= kLengthMost && (length - kLengthBase) % kLengthStep == 0;
}

}  // namespace
}  // namespace kestrel

extern "C" int32_t KESTREL_STDCALL AutoDetect(const char* path) {
    using namespace kestrel;
    if (path == nullptr) return 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) return 0;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kScanBytes]);
    if (!buffer) return 0;
    const auto n = static_cast<int32_t>(std::fread(buffer.get(), 1, kScanBytes, file.get()));
    // A frame of up to 271 bytes starting before the last 1024 bytes lies wholly inside
    // what was read.
    int32_t hits = 0;
    for (int32_t j = 0; j < n - kTailBytes; ++j) {
        if (MeasurementFrameAt(buffer.get() + j, static_cast<std::size_t>(n - j))) ++hits;
    }
    return hits > kHitsNeeded ? 1 : 0;
}
