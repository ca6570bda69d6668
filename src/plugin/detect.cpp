// AutoDetect: is this file a NavCom binary log? Looks at the start of the file only and
// counts well-formed MEASUREMENT frames; opens no port and changes no state.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "common/bytes.h"
#include "kestrel/kestrel.h"
#include "navcom/frame_parser.h"

namespace kestrel {
namespace {

constexpr int32_t kScanBytes = 8000;
// No frame start is taken from the last 1024 bytes read, so short files are never examined.
constexpr int32_t kTailBytes = 1024;
constexpr uint8_t kMeasurementStart[4] = {0x02, 0x99, 0x66, 0xB0};
// L = 12 + 16 n for 0 to 16 satellite blocks.
constexpr int32_t kLengthLimit = 272;
constexpr int32_t kLengthBase = 12;
constexpr int32_t kLengthStep = 16;
constexpr int32_t kSyncBytes = 3;
// More than this many good frames make the file NavCom.
constexpr int32_t kHitsNeeded = 3;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool MeasurementFrameAt(const uint8_t* p) {
    for (int32_t i = 0; i < 4; ++i) {
        if (p[i] != kMeasurementStart[i]) return false;
    }
    const int32_t length = le_u16(p + 4);
    if (length >= kLengthLimit || (length - kLengthBase) % kLengthStep != 0) return false;
    return VerifyChecksum(p, length + kSyncBytes);
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
        if (MeasurementFrameAt(buffer.get() + j)) ++hits;
    }
    return hits > kHitsNeeded ? 1 : 0;
}
