// SPDX-License-Identifier: BSD-2-Clause
// The OBX writer's bytes, its refusals and failures, and the reader's walk of good and
// damaged files.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error_text.h"
#include "obx_read.h"
#include "plugin/obx_writer.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::ReadFileBytes;
using test::ScratchDir;

EpochHeader Epoch(double timeTag, uint8_t satCount, uint8_t flags = 0) {
    EpochHeader h{};
    h.time_tag = timeTag;
    h.corrected_time = timeTag;
    h.sat_count = satCount;
    h.flags = flags;
    return h;
}

std::vector<SatObservation> Observations(int count) {
    std::vector<SatObservation> obs(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        obs[i].prn = static_cast<uint8_t>(i + 1);
        obs[i].lock_time = static_cast<uint8_t>(10 + i);
        obs[i].ca_range = 20000000.0 + i;
        obs[i].l1_phase = -1234567.25 * (i + 1);
        obs[i].l1_doppler = 1000.5 - i;
    }
    return obs;
}

std::time_t HeaderTime(const std::vector<uint8_t>& bytes) {
    std::tm t{};
    t.tm_mon = le_s16(&bytes[8]);
    t.tm_mday = le_s16(&bytes[10]);
    t.tm_year = le_s16(&bytes[12]);
    t.tm_hour = le_s16(&bytes[14]);
    t.tm_min = le_s16(&bytes[16]);
    t.tm_sec = le_s16(&bytes[18]);
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TEST(ObxWriter, HeaderHoldsItsFieldsAtTheirOffsets) {
    ScratchDir dir;
    const std::string path = dir.file("day1.obx");
    const std::time_t before = std::time(nullptr);
    ObxFile* file = obx_create(path.c_str(), 32, 1.0f, 2048, 12);
    const std::time_t after = std::time(nullptr);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(obx_close(file), 0);

    const auto b = ReadFileBytes(path);
    ASSERT_EQ(b.size(), 202u);
    EXPECT_EQ(le_u16(&b[0]), 202);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 2, b.begin() + 6), (std::vector<uint8_t>{0xAE, 0x47, 0x81, 0x3F}));
    EXPECT_EQ(b[6], 32);
    EXPECT_EQ(b[7], 12);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 20, b.begin() + 24), (std::vector<uint8_t>{0, 0, 0x80, 0x3F}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[24])), path);  // the whole path, not the base name
    for (std::size_t i = 24 + path.size(); i < 168; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(le_s16(&b[172]), 2048);
    for (std::size_t i = 178; i < 202; ++i) EXPECT_EQ(b[i], 0) << i;
    // Local civil time of creation, month from 0 and year from 1900.
    const std::time_t created = HeaderTime(b);
    EXPECT_GE(created, before - 1);
    EXPECT_LE(created, after + 1);
    EXPECT_GE(le_s16(&b[8]), 0);
    EXPECT_LE(le_s16(&b[8]), 11);
    EXPECT_GE(le_s16(&b[12]), 100);
}

TEST(ObxWriter, LongPathIsStoredCutInsideTheNameField) {
    ScratchDir dir;
    const std::string path = dir.file(std::string(200, 'n') + ".obx");
    ObxFile* file = obx_create(path.c_str(), 32, 1.0f, 0, 12);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(obx_close(file), 0);
    const auto b = ReadFileBytes(path);
    ASSERT_EQ(b.size(), 202u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[24])), path.substr(0, 143));
    EXPECT_EQ(b[167], 0);
    EXPECT_EQ(le_s16(&b[172]), 0);  // no stream buffer of its own
}

TEST(ObxWriter, CreateTruncatesAnExistingFile) {
    ScratchDir dir;
    const std::string path = dir.file("old.obx");
    test::WriteFileBytes(path, std::vector<uint8_t>(5000, 0x55));
    ObxFile* file = obx_create(path.c_str(), 32, 1.0f, 2048, 12);
    ASSERT_NE(file, nullptr);
    obx_close(file);
    EXPECT_EQ(ReadFileBytes(path).size(), 202u);
}

TEST(ObxWriter, CreateFailureNamesThePath) {
    ScratchDir dir;
    const std::string path = dir.file("missing-folder/x.obx");
    EXPECT_EQ(obx_create(path.c_str(), 32, 1.0f, 2048, 12), nullptr);
    EXPECT_EQ(std::string(error_text()), "Error: Unable to open " + path + " for writing");
}

TEST(ObxWriter, EpochsFollowTheHeaderByteForByte) {
    ScratchDir dir;
    const std::string path = dir.file("epochs.obx");
    ObxFile* file = obx_create(path.c_str(), 32, 1.0f, 2048, 12);
    ASSERT_NE(file, nullptr);

    EpochHeader empty = Epoch(345600.0, 0);
    EXPECT_EQ(obx_write_epoch(file, &empty, nullptr), 0);
    EpochHeader seven = Epoch(345601.0, 7, KESTREL_EPOCH_FLAG_CLOCK_CORRECTED);
    seven.clock_offset = 299.792458;
    seven.corrected_time = 345601.0 - 1e-6;
    auto obs = Observations(8);
    obs[7].record_size = 0x7777;  // beyond sat_count: neither touched nor written
    EXPECT_EQ(obx_write_epoch(file, &seven, obs.data()), 0);
    EXPECT_EQ(obx_close(file), 0);

    // The caller's records carry their sizes after the call.
    EXPECT_EQ(empty.record_size, 68);
    EXPECT_EQ(seven.record_size, 68);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(obs[i].record_size, 44);
    EXPECT_EQ(obs[7].record_size, 0x7777);

    const auto b = ReadFileBytes(path);
    ASSERT_EQ(b.size(), 202u + 68u + 68u + 7u * 44u);
    EXPECT_EQ(std::memcmp(&b[202], &empty, 68), 0);
    EXPECT_EQ(std::memcmp(&b[270], &seven, 68), 0);
    EXPECT_EQ(std::memcmp(&b[338], obs.data(), 7 * 44), 0);
    EXPECT_EQ(le_u16(&b[338 + 6 * 44]), 44);  // the seventh record ends the file

    const auto contents = obx::ReadObx(path);
    ASSERT_EQ(contents.state, obx::ObxState::kComplete) << contents.problem;
    ASSERT_EQ(contents.epochs.size(), 2u);
    EXPECT_EQ(contents.epochs[1].offset, 270u);
    EXPECT_EQ(double{contents.epochs[1].position.clock_offset}, 299.792458);
    ASSERT_EQ(contents.epochs[1].measurements.size(), 7u);
    EXPECT_EQ(contents.epochs[1].measurements[6].prn, 7);
    EXPECT_EQ(double{contents.epochs[1].measurements[6].l1_phase}, -1234567.25 * 7);
}

TEST(ObxWriter, EpochWithMoreRecordsThanChannelsIsRefusedWhole) {
    ScratchDir dir;
    const std::string path = dir.file("busy.obx");
    ObxFile* file = obx_create(path.c_str(), 32, 1.0f, 2048, 12);
    ASSERT_NE(file, nullptr);
    EpochHeader thirteen = Epoch(345600.0, 13);
    auto obs = Observations(13);
    EXPECT_EQ(obx_write_epoch(file, &thirteen, obs.data()), 1);
    EXPECT_EQ(std::string(error_text()), "Error: Epoch 345600.0 has 13 measurements 12 channels in " + path);
    EXPECT_EQ(thirteen.record_size, 0);
    EXPECT_EQ(obs[0].record_size, 0);
    // The handle stays usable.
    EpochHeader twelve = Epoch(345601.0, 12);
    EXPECT_EQ(obx_write_epoch(file, &twelve, obs.data()), 0);
    EXPECT_EQ(obx_close(file), 0);
    EXPECT_EQ(ReadFileBytes(path).size(), 202u + 68u + 12u * 44u);
}

TEST(ObxWriter, FullDiskFailsTheEpochAndTheClose) {
    if (!test::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full on this platform";
    ObxFile* file = obx_create("/dev/full", 32, 1.0f, 2048, 12);
    ASSERT_NE(file, nullptr);  // the header is still in the stream buffer
    auto obs = Observations(12);
    int32_t result = 0;
    double failedAt = 0;
    for (int i = 0; i < 10 && result == 0; ++i) {
        EpochHeader epoch = Epoch(500000.0 + i, 12);
        result = obx_write_epoch(file, &epoch, obs.data());
        failedAt = epoch.time_tag;
    }
    EXPECT_EQ(result, 1);
    char expected[128];
    std::snprintf(expected, sizeof expected, "Error: Unable to write to /dev/full (disk full). Epoch %.1f", failedAt);
    EXPECT_EQ(std::string(error_text()), expected);
    EXPECT_EQ(obx_close(file), 1);
}

TEST(ObxWriter, CloseOfNoHandleIsRefused) { EXPECT_EQ(obx_close(nullptr), 1); }

// A sound file image: header, an epoch of two records, an epoch of none.
std::vector<uint8_t> SoundImage() {
    std::vector<uint8_t> image(202, 0);
    put_le16(&image[0], 202);
    image[7] = 12;
    EpochHeader e1 = Epoch(1.0, 2);
    e1.record_size = 68;
    auto obs = Observations(2);
    for (auto& o : obs) o.record_size = 44;
    EpochHeader e2 = Epoch(2.0, 0);
    e2.record_size = 68;
    const auto* p1 = reinterpret_cast<const uint8_t*>(&e1);
    const auto* po = reinterpret_cast<const uint8_t*>(obs.data());
    const auto* p2 = reinterpret_cast<const uint8_t*>(&e2);
    image.insert(image.end(), p1, p1 + 68);
    image.insert(image.end(), po, po + 88);
    image.insert(image.end(), p2, p2 + 68);
    return image;  // 202 + 68 + 88 + 68 = 426 bytes; epochs at 202 and 358
}

TEST(ObxReader, WalksToTheFirstProblem) {
    struct Case {
        const char* what;
        std::size_t keep;          // bytes of the image kept
        int poke;                  // offset of a byte to change (-1: none)
        uint8_t value;
        obx::ObxState state;
        std::size_t epochs;        // whole epochs read before the problem
        uint64_t problemOffset;
    };
    const Case cases[] = {
        {"complete", 426, -1, 0, obx::ObxState::kComplete, 2, 0},
        {"header only", 202, -1, 0, obx::ObxState::kComplete, 0, 0},
        {"short header", 201, -1, 0, obx::ObxState::kBadHeader, 0, 0},
        {"wrong header size", 426, 0, 203, obx::ObxState::kBadHeader, 0, 0},
        {"cut inside a position record", 425, -1, 0, obx::ObxState::kCutShort, 1, 358},
        {"cut inside measurements", 357, -1, 0, obx::ObxState::kCutShort, 0, 202},
        {"position record size wrong", 426, 358, 67, obx::ObxState::kDamaged, 1, 358},
        {"more records than channels", 426, 202 + 2, 13, obx::ObxState::kDamaged, 0, 202},
        {"measurement record size wrong", 426, 270 + 44, 45, obx::ObxState::kDamaged, 0, 314},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto image = SoundImage();
        image.resize(c.keep);
        if (c.poke >= 0) image[static_cast<std::size_t>(c.poke)] = c.value;
        const auto contents = obx::ParseObx(image.data(), image.size());
        EXPECT_EQ(contents.state, c.state);
        EXPECT_EQ(contents.epochs.size(), c.epochs);
        EXPECT_EQ(contents.problemOffset, c.problemOffset);
        EXPECT_EQ(contents.problem.empty(), c.state == obx::ObxState::kComplete);
    }
}

}  // namespace
}  // namespace kestrel
