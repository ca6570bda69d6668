// SPDX-License-Identifier: BSD-2-Clause
// The byte images of the records hosts and files see.
#include <gtest/gtest.h>

#include <cstring>

#include "common/bytes.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"

namespace kestrel {
namespace {

TEST(Bytes, ReadersHandleEndianAndSign) {
    const uint8_t b[] = {0xFE, 0xFF, 0x80, 0x01};
    EXPECT_EQ(le_u16(b), 0xFFFE);
    EXPECT_EQ(le_s16(b), -2);
    EXPECT_EQ(be_u16(b), 0xFEFF);
    EXPECT_EQ(le_u32(b), 0x0180FFFEu);
    EXPECT_EQ(be_u24(b + 1), 0xFF8001u);
    EXPECT_EQ(be_s32(b), static_cast<int32_t>(0xFEFF8001u));
    EXPECT_EQ(sign_extend(0xFFFFF, 20), -1);
    EXPECT_EQ(sign_extend(0x80000, 20), -524288);
    EXPECT_EQ(sign_extend(0x7FFFF, 20), 524287);
    EXPECT_EQ(sign_extend(0x2000, 14), -8192);
}

TEST(HostRecords, OptionBlockFieldsLandAtTheirOffsets) {
    OptionBlock block;
    std::memset(&block, 0, sizeof block);
    block.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    block.optionSize = 16;
    block.options.clockCorrection = 1;
    block.epochsWritten = 0x01020304;
    uint8_t bytes[sizeof block];
    std::memcpy(bytes, &block, sizeof block);
    EXPECT_EQ(le_s32(bytes + 0), 2672);
    EXPECT_EQ(le_s32(bytes + 516), 16);
    EXPECT_EQ(le_s32(bytes + 528), 1);
    EXPECT_EQ(le_s32(bytes + 2568), 0x01020304);
}

TEST(QueueRecords, EpochHeaderDoublesArePackedOnFourByteBoundaries) {
    EpochHeader h{};
    h.sat_count = 7;
    h.time_tag = 345600.5;
    h.height = 12.5f;
    uint8_t bytes[sizeof h];
    std::memcpy(bytes, &h, sizeof h);
    double t;
    std::memcpy(&t, bytes + 28, sizeof t);
    float height;
    std::memcpy(&height, bytes + 24, sizeof height);
    EXPECT_EQ(bytes[2], 7);
    EXPECT_EQ(t, 345600.5);
    EXPECT_EQ(height, 12.5f);
}

}  // namespace
}  // namespace kestrel
