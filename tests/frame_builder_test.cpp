// SPDX-License-Identifier: BSD-2-Clause
// The test frame builder must produce what the receiver sends, or every decoder test lies.
#include <gtest/gtest.h>

#include "support/frame_builder.h"

namespace kestrel::test {
namespace {

TEST(FrameBuilder, MeasurementFrameHasReceiverLayout) {
    SatBlock sat;
    sat.prn = 5;
    sat.strengthCode = 3;
    sat.caRange = 0x01020304;
    sat.l1Offset = -1;
    sat.l1Lock = 2;
    const auto f = MeasurementFrame(123456789).Sat(sat).Bytes();
    ASSERT_EQ(f.size(), 15u + 16u);
    EXPECT_EQ(f[0], 0x02);
    EXPECT_EQ(f[1], 0x99);
    EXPECT_EQ(f[2], 0x66);
    EXPECT_EQ(f[3], 0xB0);
    EXPECT_EQ(f[4] | (f[5] << 8), 28);  // L = 12 + 16 n
    EXPECT_EQ(f[8] | (f[9] << 8) | (f[10] << 16) | (static_cast<uint32_t>(f[11]) << 24), 123456789u);
    EXPECT_EQ(f[13], 1);
    EXPECT_EQ(f[14], 0x85);
    EXPECT_EQ(f[15], 0x30);
    EXPECT_EQ(f[16], 0x04);
    EXPECT_EQ(f[20], 0xF2);  // lock counter 2, offset all ones
    EXPECT_EQ(f[21], 0xFF);
    EXPECT_EQ(f[22], 0xFF);
    uint8_t x = 0;
    for (std::size_t i = 3; i + 1 < f.size(); ++i) x ^= f[i];
    EXPECT_EQ(f.back(), x);
}

TEST(FrameBuilder, EphemerisFrameIs89Bytes) {
    std::array<uint8_t, 72> payload{};
    payload[0] = 0xAB;
    const auto f = EphemerisFrame(7, 0x11223344, payload);
    ASSERT_EQ(f.size(), 89u);
    EXPECT_EQ(f[4] | (f[5] << 8), 86);
    EXPECT_EQ(f[6], 7);
    EXPECT_EQ(f[9], 0x44);
    EXPECT_EQ(f[12], 0x11);
    EXPECT_EQ(f[15], 0xAB);
}

}  // namespace
}  // namespace kestrel::test
