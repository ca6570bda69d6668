// SPDX-License-Identifier: BSD-2-Clause
// The ThreadBuf: byte layout of entries, append codes, capacity, and readers that stay
// inside the used part of a block whatever its header and entries claim.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "kestrel/kestrel.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

int32_t At(const std::vector<uint8_t>& b, std::size_t offset) { return le_s32(b.data() + offset); }
void Put(std::vector<uint8_t>& b, std::size_t offset, int32_t v) {
    put_le32(b.data() + offset, static_cast<uint32_t>(v));
}

std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), seed);
    return v;
}

class ThreadBufTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedCapacity_ = GetThreadBufSize();
        SetThreadBufSize(kThreadBufDefaultSize);
        buf_.assign(kThreadBufMemoryBytes, 0xEE);
        ResetThreadBuf(buf_.data());
    }
    void TearDown() override { SetThreadBufSize(savedCapacity_); }

    int32_t Add(const std::vector<uint8_t>& data, int32_t count, int32_t type) {
        return AddThreadBufData(buf_.data(), data.data(), count, type);
    }

    std::vector<uint8_t> buf_;
    int32_t savedCapacity_ = 0;
};

TEST_F(ThreadBufTest, ResetEmptiesHeaderAndLeavesEntriesUnreachable) {
    ASSERT_EQ(Add(Pattern(68, 1), 1, 1), 0);
    ResetThreadBuf(buf_.data());
    EXPECT_EQ(At(buf_, 0), 0);
    EXPECT_EQ(At(buf_, 4), 0);
    EXPECT_EQ(At(buf_, 8), 0);
    EXPECT_EQ(At(buf_, 12), 16);
    EXPECT_EQ(At(buf_, 16 + 4), 1);  // the old entry's bytes stay as they were
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 1), 0);
    EXPECT_EQ(GetThreadBufRecSize(buf_.data(), 1), 0);
    std::vector<uint8_t> dest(68, 0x5A);
    EXPECT_EQ(ReadThreadBufData(buf_.data(), 1, 1, dest.data()), 0);
    EXPECT_EQ(dest, std::vector<uint8_t>(68, 0x5A));
}

TEST_F(ThreadBufTest, OneAppendMakesOneEntryWithItsRecordsBackToBack) {
    const auto obs = Pattern(3 * 44, 7);
    ASSERT_EQ(Add(obs, 3, 2), 0);
    EXPECT_EQ(At(buf_, 0), 1);         // entryCount
    EXPECT_EQ(At(buf_, 4), 0x2);       // typeMask bit 1
    EXPECT_EQ(At(buf_, 8), 1);         // hasEntries
    EXPECT_EQ(At(buf_, 12), 16 + 20 + 132);
    EXPECT_EQ(At(buf_, 16), 1);        // inUse
    EXPECT_EQ(At(buf_, 20), 2);        // type
    EXPECT_EQ(At(buf_, 24), 3);        // count
    EXPECT_EQ(At(buf_, 28), 132);      // dataSize
    EXPECT_EQ(At(buf_, 32), 0);        // hasNext
    EXPECT_TRUE(std::equal(obs.begin(), obs.end(), buf_.begin() + 36));

    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 2), 3);
    EXPECT_EQ(GetThreadBufRecSize(buf_.data(), 2), 132);
    std::vector<uint8_t> dest(24 * 44, 0x5A);
    EXPECT_EQ(ReadThreadBufData(buf_.data(), 2, 2, dest.data()), 0);
    EXPECT_EQ(dest, std::vector<uint8_t>(24 * 44, 0x5A));
    EXPECT_EQ(ReadThreadBufData(buf_.data(), 2, 3, dest.data()), 3);
    EXPECT_TRUE(std::equal(obs.begin(), obs.end(), dest.begin()));
    EXPECT_EQ(dest[132], 0x5A);  // nothing past the entry's data
    std::fill(dest.begin(), dest.end(), 0);
    EXPECT_EQ(ReadThreadBufData(buf_.data(), 2, 24, dest.data()), 3);  // reading consumes nothing
    EXPECT_TRUE(std::equal(obs.begin(), obs.end(), dest.begin()));
}

TEST_F(ThreadBufTest, EntriesChainInAppendOrderAndOnlyTheFirstOfATypeIsVisible) {
    ASSERT_EQ(Add(Pattern(68, 1), 1, 1), 0);
    ASSERT_EQ(Add(Pattern(2 * 44, 2), 2, 2), 0);
    ASSERT_EQ(Add(Pattern(44, 3), 1, 2), 0);
    ASSERT_EQ(Add(Pattern(32, 4), 1, 4), 0);
    EXPECT_EQ(At(buf_, 0), 4);
    EXPECT_EQ(At(buf_, 4), 0x1 | 0x2 | 0x8);
    EXPECT_EQ(At(buf_, 12), 16 + 4 * 20 + 68 + 88 + 44 + 32);
    EXPECT_EQ(At(buf_, 16 + 16), 1);  // first entry links to the second
    const std::size_t second = 16 + 20 + 68;
    EXPECT_EQ(At(buf_, second + 4), 2);
    EXPECT_EQ(At(buf_, second + 16), 1);
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 2), 2);
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 4), 1);
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 3), 0);
    std::vector<uint8_t> dest(32);
    ASSERT_EQ(ReadThreadBufData(buf_.data(), 4, 1, dest.data()), 1);
    EXPECT_EQ(dest, Pattern(32, 4));
}

TEST_F(ThreadBufTest, EveryTypeHasItsRecordSize) {
    constexpr int32_t kSizes[] = {68, 44, 184, 32, 20, 64, 72, 272, 4, 0, 40, 92, 28, 136, 224, 32, 64, 32};
    for (int32_t type = 1; type <= 18; ++type) {
        SCOPED_TRACE("type " + std::to_string(type));
        EXPECT_EQ(ThreadBufRecordSize(type), kSizes[type - 1]);
        if (type == kThreadBufVariableType) continue;
        ResetThreadBuf(buf_.data());
        ASSERT_EQ(Add(Pattern(2 * kSizes[type - 1], 0), 2, type), 0);
        EXPECT_EQ(GetThreadBufRecSize(buf_.data(), type), 2 * kSizes[type - 1]);
    }
    EXPECT_EQ(ThreadBufRecordSize(0), 0);
    EXPECT_EQ(ThreadBufRecordSize(19), 0);
}

TEST_F(ThreadBufTest, VariableRecordOccupiesItsLengthPlusPrefix) {
    std::vector<uint8_t> rec = Pattern(14, 0);
    put_le32(rec.data(), 10);
    ASSERT_EQ(Add(rec, 5, 10), 0);
    EXPECT_EQ(At(buf_, 24), 5);  // the count is stored as given
    EXPECT_EQ(GetThreadBufRecSize(buf_.data(), 10), 14);
    std::vector<uint8_t> dest(14);
    EXPECT_EQ(ReadThreadBufData(buf_.data(), 10, 5, dest.data()), 5);
    EXPECT_EQ(dest, rec);
}

TEST_F(ThreadBufTest, AppendsWithoutDataAreRefusedWithCode2) {
    std::vector<uint8_t> negativePrefix(8, 0);
    put_le32(negativePrefix.data(), static_cast<uint32_t>(-1));
    const struct {
        const char* what;
        int32_t type;
        int32_t count;
        const std::vector<uint8_t>* data;
    } cases[] = {
        {"type 0", 0, 1, nullptr},       {"type 19", 19, 1, nullptr},
        {"type -1", -1, 1, nullptr},     {"count 0", 2, 0, nullptr},
        {"count -3", 2, -3, nullptr},    {"negative length prefix", 10, 1, &negativePrefix},
    };
    const auto filler = Pattern(184, 0);
    ASSERT_EQ(Add(Pattern(68, 0), 1, 1), 0);
    const auto before = buf_;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Add(c.data ? *c.data : filler, c.count, c.type), 2);
        EXPECT_EQ(buf_, before);
    }
}

TEST_F(ThreadBufTest, CapacityBoundsUsedBytes) {
    SetThreadBufSize(100);
    EXPECT_EQ(GetThreadBufSize(), 100);
    EXPECT_EQ(Add(Pattern(44, 0), 1, 2), 0);  // 16 + 20 + 44 = 80
    const auto before = buf_;
    EXPECT_EQ(Add(Pattern(44, 0), 1, 2), 1);  // 80 + 64 = 144
    EXPECT_EQ(buf_, before);
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 2), 1);  // what went in first stays readable

    ResetThreadBuf(buf_.data());
    EXPECT_EQ(Add(Pattern(68, 0), 1, 1), 1);  // 16 + 20 + 68 = 104
    SetThreadBufSize(104);
    EXPECT_EQ(Add(Pattern(68, 0), 1, 1), 0);  // exactly full
}

TEST_F(ThreadBufTest, LargestMeasurementOutputFitsTheDefaultCapacity) {
    ASSERT_EQ(Add(Pattern(68, 0), 1, 1), 0);
    ASSERT_EQ(Add(Pattern(15 * 44, 0), 15, 2), 0);
    ASSERT_EQ(Add(Pattern(15 * 32, 0), 15, 4), 0);
    EXPECT_EQ(At(buf_, 12), 1284);
}

TEST_F(ThreadBufTest, TinyOrNegativeCapacityFailsEveryAppendCleanly) {
    for (int32_t capacity : {INT_MIN, -1, 0, 16, 35, 79}) {
        SCOPED_TRACE(capacity);
        SetThreadBufSize(capacity);
        EXPECT_EQ(GetThreadBufSize(), capacity);
        ResetThreadBuf(buf_.data());
        const auto before = buf_;
        EXPECT_EQ(Add(Pattern(44, 0), 1, 2), 1);
        EXPECT_EQ(buf_, before);
    }
}

TEST_F(ThreadBufTest, CapacityBeyondTheBlockNeverCarriesAnAppendPastIt) {
    // The block is exactly kThreadBufMemoryBytes long, so any write past it is caught
    // by the address sanitizer as well as by the byte count below.
    SetThreadBufSize(INT_MAX);
    EXPECT_EQ(GetThreadBufSize(), INT_MAX);
    const auto rec = Pattern(272, 0);
    int appended = 0;
    while (Add(rec, 1, 8) == 0) ++appended;
    EXPECT_EQ(appended, (kThreadBufMemoryBytes - 16) / (20 + 272));
    EXPECT_LE(At(buf_, 12), kThreadBufMemoryBytes);
    EXPECT_EQ(Add(rec, 1, 8), 1);
    // A count whose size overflows 32 bits is an overrun, not a wrapped small size.
    ResetThreadBuf(buf_.data());
    EXPECT_EQ(Add(rec, INT_MAX, 8), 1);
    EXPECT_EQ(Add(rec, 0x10000000, 8), 1);
}

TEST_F(ThreadBufTest, AppendToADamagedChainIsAnInternalError) {
    ASSERT_EQ(Add(Pattern(68, 0), 1, 1), 0);
    Put(buf_, 16 + 12, 5000);  // the entry's data now runs past usedBytes
    auto before = buf_;
    EXPECT_EQ(Add(Pattern(44, 0), 1, 2), 3);
    EXPECT_EQ(buf_, before);

    Put(buf_, 12, 0);  // a block that was never reset
    before = buf_;
    EXPECT_EQ(Add(Pattern(44, 0), 1, 2), 3);
    EXPECT_EQ(buf_, before);
}

TEST(ThreadBufErrorText, CodesAndUnknownCodes) {
    EXPECT_STREQ(GetThreadBufErrorText(0), "No Error");
    EXPECT_STREQ(GetThreadBufErrorText(1), "Thread Buffer overrun--No more space for output data");
    EXPECT_STREQ(GetThreadBufErrorText(2), "Zero record size or invalid ThreadBuf record type received");
    EXPECT_STREQ(GetThreadBufErrorText(3), "Internal error filling ThreadBuf");
    for (int32_t code : {4, -1, INT_MIN, INT_MAX}) {
        EXPECT_STREQ(GetThreadBufErrorText(code), "Unknown ThreadBuf error") << code;
    }
}

// A host may hand the readers a block whose header or entries are damaged. The block
// here is a first good type-1 entry followed by a type-2 entry that each case damages;
// the readers must find the type-1 entry and treat the type-2 one as absent, reading
// nothing outside the used part (the destination is exactly one record long).
TEST_F(ThreadBufTest, ReadersTreatDamagedEntriesAsAbsent) {
    constexpr std::size_t kSecond = 16 + 20 + 68;
    const struct {
        const char* what;
        std::size_t offset;
        int32_t value;
    } cases[] = {
        {"dataSize negative", kSecond + 12, -44},
        {"dataSize past usedBytes", kSecond + 12, 44 + 4},
        {"dataSize far past the block", kSecond + 12, INT_MAX},
        {"count larger than its data", kSecond + 8, 1000},
        {"count zero", kSecond + 8, 0},
        {"first entry's data runs onto the second", 16 + 12, 68 + 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ResetThreadBuf(buf_.data());
        ASSERT_EQ(Add(Pattern(68, 1), 1, 1), 0);
        ASSERT_EQ(Add(Pattern(44, 2), 1, 2), 0);
        Put(buf_, c.offset, c.value);
        std::vector<uint8_t> dest(44, 0x5A);
        EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 2), 0);
        EXPECT_EQ(GetThreadBufRecSize(buf_.data(), 2), 0);
        EXPECT_EQ(ReadThreadBufData(buf_.data(), 2, INT_MAX, dest.data()), 0);
        EXPECT_EQ(dest, std::vector<uint8_t>(44, 0x5A));
        if (c.offset != 16 + 12) {
            EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 1), 1);
        }
    }
}

TEST_F(ThreadBufTest, ReadersRefuseAUsedSizeOutsideTheBlock) {
    ASSERT_EQ(Add(Pattern(68, 1), 1, 1), 0);
    for (int32_t used : {INT_MIN, -1, 0, 15, kThreadBufDefaultSize + 1, INT_MAX}) {
        SCOPED_TRACE(used);
        Put(buf_, 12, used);
        EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 1), 0);
        EXPECT_EQ(GetThreadBufRecSize(buf_.data(), 1), 0);
    }
    // An entry that lies past a shrunken usedBytes is outside the used part.
    Put(buf_, 12, 16 + 20 + 67);
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 1), 0);
}

TEST_F(ThreadBufTest, ChainThatNeverEndsStopsAtUsedBytes) {
    // Every entry claims a successor and the type sought is absent: the walk must end at
    // usedBytes, whatever lies beyond it in the block.
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Add(Pattern(4, 0), 1, 9), 0);
    const int32_t used = At(buf_, 12);
    Put(buf_, used - 24 + 16, 1);  // the last entry claims a successor too
    Put(buf_, 4, -1);              // and every type claims to be present
    for (int32_t type = 1; type <= 18; ++type) {
        if (type == 9) continue;
        EXPECT_EQ(GetThreadBufRecCount(buf_.data(), type), 0) << type;
    }
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 9), 1);
    // A chain of empty entries all claiming a successor, filling the whole block.
    std::vector<uint8_t> block(256, 0);
    Put(block, 8, 1);
    Put(block, 4, -1);
    Put(block, 12, 256);
    for (std::size_t at = 16; at + 20 <= block.size(); at += 20) {
        Put(block, at + 4, 7);
        Put(block, at + 16, 1);
    }
    EXPECT_EQ(GetThreadBufRecCount(block.data(), 3), 0);
    EXPECT_EQ(GetThreadBufRecCount(block.data(), 7), 0);  // no data for its count
}

TEST_F(ThreadBufTest, ChainThatPointsBackwardsEnds) {
    // A negative dataSize would put the next entry at or before this one: an entry that
    // links to itself (-20) or to an earlier one. The walk must end, and append too.
    for (int32_t dataSize : {-20, -40, -68, INT_MIN}) {
        SCOPED_TRACE(dataSize);
        ResetThreadBuf(buf_.data());
        ASSERT_EQ(Add(Pattern(68, 1), 1, 1), 0);
        ASSERT_EQ(Add(Pattern(44, 2), 1, 2), 0);
        Put(buf_, 16 + 12, dataSize);
        Put(buf_, 16 + 16, 1);
        EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 2), 0);
        EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 1), 0);
        EXPECT_EQ(Add(Pattern(32, 3), 1, 4), 3);
    }
}

TEST_F(ThreadBufTest, ReadersIgnoreAbsentTypesAndInvalidTypes) {
    ASSERT_EQ(Add(Pattern(44, 0), 1, 2), 0);
    Put(buf_, 4, 0);  // mask says nothing is there
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 2), 0);
    Put(buf_, 4, 0x2);
    Put(buf_, 8, 0);  // header says empty
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 2), 0);
    Put(buf_, 8, 1);
    EXPECT_EQ(GetThreadBufRecCount(buf_.data(), 2), 1);
    for (int32_t type : {0, 19, -1, INT_MIN}) {
        EXPECT_EQ(GetThreadBufRecCount(buf_.data(), type), 0);
        EXPECT_EQ(GetThreadBufRecSize(buf_.data(), type), 0);
    }
    EXPECT_EQ(GetThreadBufRecCount(nullptr, 2), 0);
}

}  // namespace
}  // namespace kestrel
