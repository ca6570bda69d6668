// SPDX-License-Identifier: BSD-2-Clause
// AutoDetect: which files are taken for NavCom logs, at the edges of its scan window.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "kestrel/kestrel.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel::test {
namespace {

std::vector<uint8_t> OneSat(uint32_t timeMs) {
    SatBlock sat;
    sat.prn = static_cast<uint8_t>(1 + timeMs % 31);
    sat.caRange = 0x00ABCDEF + timeMs;
    return MeasurementFrame(timeMs).Sat(sat).Bytes();
}

// `count` one-satellite frames (31 bytes each) back to back.
std::vector<uint8_t> Frames(int count) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        const auto f = OneSat(1000u * static_cast<uint32_t>(i + 1));
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

// A file of `size` bytes of filler with `content` placed at `at`.
std::vector<uint8_t> Placed(std::size_t size, std::size_t at, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out(size, 0x55);
    std::copy(content.begin(), content.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    return out;
}

class AutoDetectTest : public ::testing::Test {
protected:
    int32_t Detect(const std::vector<uint8_t>& bytes) {
        const std::string path = dir_.file("log.bin");
        WriteFileBytes(path, bytes);
        return AutoDetect(path.c_str());
    }
    ScratchDir dir_;
};

TEST_F(AutoDetectTest, NeedsFourGoodMeasurementFramesBeforeTheLast1024Bytes) {
    const struct {
        const char* what;
        std::vector<uint8_t> file;
        int32_t expected;
    } cases[] = {
        {"four frames and 1024 more bytes", Placed(124 + 1024, 0, Frames(4)), 1},
        {"three frames", Placed(93 + 2000, 0, Frames(3)), 0},
        {"four frames in 1000 bytes", Placed(1000, 0, Frames(4)), 0},
        {"four frames in 1024 bytes", Placed(1024, 0, Frames(4)), 0},
        // The fourth frame starts at 93: it is examined only when 93 < n - 1024.
        {"last start just examined", Placed(1118, 0, Frames(4)), 1},
        {"last start just not examined", Placed(1117, 0, Frames(4)), 0},
        // Only the first 8000 bytes are read; starts from 6976 on are never examined.
        {"last start at 6975", Placed(20000, 6975 - 93, Frames(4)), 1},
        {"first start at 6976", Placed(20000, 6976, Frames(4)), 0},
        {"frames beyond byte 8000", Placed(20000, 8000, Frames(10)), 0},
        {"fifty frames", Placed(3000, 10, Frames(50)), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Detect(c.file), c.expected);
    }
}

TEST_F(AutoDetectTest, CountsOnlyMeasurementLengthsUpToSixteenItems) {
    const struct {
        uint16_t length;
        bool counts;
    } cases[] = {{12, true}, {28, true}, {268, true}, {284, false}, {20, false},
                 {4, false},  {11, false}, {13, false}, {27, false}, {29, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        // Four frames of this length with correct checksums; the item count byte says 1
        // whatever the length, and is not looked at.
        std::vector<uint8_t> frames;
        for (int i = 0; i < 4; ++i) {
            std::vector<uint8_t> body(c.length - 4, static_cast<uint8_t>(0x10 + i));
            if (body.size() > 7) body[7] = 1;
            const auto f = MakeFrame(0xB0, body);
            frames.insert(frames.end(), f.begin(), f.end());
        }
        EXPECT_EQ(Detect(Placed(frames.size() + 1100, 0, frames)), c.counts ? 1 : 0);
    }
}

TEST_F(AutoDetectTest, ChecksumAndRecordIdMustBeRight) {
    auto frames = Frames(5);
    frames[31 + 20] ^= 0x01;  // the second frame's checksum no longer holds
    EXPECT_EQ(Detect(Placed(5000, 0, frames)), 1);
    frames[62 + 20] ^= 0x01;
    EXPECT_EQ(Detect(Placed(5000, 0, frames)), 0);

    std::vector<uint8_t> ephemerides;
    for (uint8_t prn = 1; prn <= 10; ++prn) {
        const auto f = EphemerisFrame(prn, 1000, std::array<uint8_t, 72>{});
        ephemerides.insert(ephemerides.end(), f.begin(), f.end());
    }
    EXPECT_EQ(Detect(Placed(5000, 0, ephemerides)), 0);
}

TEST_F(AutoDetectTest, ScanDoesNotSkipOverACountedFrame) {
    // One 16-item frame whose payload holds three one-item frames: four hits.
    std::vector<uint8_t> body(264, 0x00);
    const auto inner = Frames(3);
    std::copy(inner.begin(), inner.end(), body.begin() + 40);
    const auto outer = MakeFrame(0xB0, body);
    EXPECT_EQ(Detect(Placed(outer.size() + 1100, 0, outer)), 1);
    auto broken = outer;
    broken.back() ^= 0xFF;
    EXPECT_EQ(Detect(Placed(broken.size() + 1100, 0, broken)), 0);
}

TEST_F(AutoDetectTest, UnreadableFilesAreNotNavCom) {
    set_error_text("untouched");
    EXPECT_EQ(AutoDetect(dir_.file("missing.log").c_str()), 0);
    EXPECT_EQ(AutoDetect(dir_.path().c_str()), 0);  // a folder
    EXPECT_EQ(AutoDetect(""), 0);
    EXPECT_EQ(AutoDetect(nullptr), 0);
    EXPECT_EQ(Detect({}), 0);
    EXPECT_STREQ(error_text(), "untouched");
}

TEST_F(AutoDetectTest, RealCapturesAreNavCom) {
    // Both logs begin with 247 bytes of comments and 13 ephemerides; their first
    // MEASUREMENT frame starts at byte 3206, one every 530 bytes after it. The short log
    // (6627 bytes) has five of them before its last 1024 bytes, the long one eight
    // before byte 6976.
    EXPECT_EQ(AutoDetect(DataPath("navcom/gpsd-navcom.log").c_str()), 1);
    EXPECT_EQ(AutoDetect(DataPath("navcom/gpsd-navcom-long-2012.log").c_str()), 1);
    // Cut before its fourth measurement frame is examined, the short log is not.
    auto bytes = ReadFileBytes(DataPath("navcom/gpsd-navcom.log"));
    bytes.resize(4796 + 1024);
    EXPECT_EQ(Detect(bytes), 0);
    bytes.resize(4796 + 1025);
    EXPECT_EQ(Detect(bytes), 1);
}

}  // namespace
}  // namespace kestrel::test
