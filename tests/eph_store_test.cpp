// SPDX-License-Identifier: BSD-2-Clause
// The ephemeris store: (Prn, Toe) key, insertion order, nearest-in-time lookup and its
// cache.
#include <gtest/gtest.h>

#include <cstring>

#include "common/error_text.h"
#include "positioning/eph_store.h"

namespace kestrel {
namespace {

GpsEphRecord Eph(int32_t prn, int32_t toe, int32_t iode = 0) {
    GpsEphRecord r;
    std::memset(&r, 0, sizeof r);
    r.Prn = prn;
    r.Toe = toe;
    r.Iode = iode;  // tells apart records that share a key
    r.Filler = 9999;
    return r;
}

class EphStore : public ::testing::Test {
protected:
    void SetUp() override {
        eph_store_fail_allocations(false);
        eph_store_clear();
    }
    void TearDown() override {
        eph_store_fail_allocations(false);
        eph_store_clear();
    }
    static int32_t Insert(int32_t prn, int32_t toe, int32_t iode = 0) {
        const GpsEphRecord r = Eph(prn, toe, iode);
        return eph_store_insert(&r);
    }
    // Toe of the record found, or -1 for none.
    static int32_t FoundToe(int32_t prn, int32_t time) {
        const GpsEphRecord* r = eph_store_find(prn, time);
        return r ? r->Toe : -1;
    }
};

TEST_F(EphStore, DuplicateKeyKeepsTheFirstRecord) {
    EXPECT_EQ(Insert(5, 7200, 1), 0);
    EXPECT_EQ(Insert(5, 7200, 2), 0);
    EXPECT_EQ(Insert(6, 7200, 3), 0);  // same Toe, other satellite: a new key
    const GpsEphRecord* r = eph_store_find(5, 7200);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Iode, 1);
    ASSERT_NE(eph_store_find(6, 7200), nullptr);
    EXPECT_EQ(eph_store_find(6, 7200)->Iode, 3);
}

TEST_F(EphStore, SameTimeOfWeekInALaterWeekReplacesTheRecord) {
    // A log that runs past a week boundary brings the same (Prn, Toe) again a week later;
    // last week's orbit must not be found for this week's epochs, cached or not.
    GpsEphRecord lastWeek = Eph(5, 7200, 1);
    lastWeek.Week = 386;
    GpsEphRecord thisWeek = Eph(5, 7200, 2);
    thisWeek.Week = 387;
    ASSERT_EQ(eph_store_insert(&lastWeek), 0);
    ASSERT_NE(eph_store_find(5, 7200), nullptr);  // now cached
    EXPECT_EQ(eph_store_insert(&thisWeek), 0);
    ASSERT_NE(eph_store_find(5, 7300), nullptr);
    EXPECT_EQ(eph_store_find(5, 7300)->Iode, 2);
    EXPECT_EQ(eph_store_find(5, 7300)->Week, 387);
    // The same key in the same week is a plain duplicate: the first record stays.
    GpsEphRecord repeat = thisWeek;
    repeat.Iode = 3;
    EXPECT_EQ(eph_store_insert(&repeat), 0);
    EXPECT_EQ(eph_store_find(5, 7300)->Iode, 2);
}

TEST_F(EphStore, StoresAFullCopy) {
    GpsEphRecord r = Eph(12, 345600, 77);
    r.SqrtA = 5153.7;
    r.Idot = -1.5e-10;
    ASSERT_EQ(eph_store_insert(&r), 0);
    GpsEphRecord original = r;
    r.SqrtA = 0;  // the caller's copy may change afterwards
    const GpsEphRecord* found = eph_store_find(12, 345600);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::memcmp(found, &original, sizeof original), 0);
}

TEST_F(EphStore, LookupRules) {
    // Each case starts from an empty store, inserts in order, then looks up once.
    struct Insertion {
        int32_t prn, toe;
    };
    struct Case {
        const char* what;
        std::vector<Insertion> inserted;
        int32_t prn, time, expectedToe;
    };
    const Case cases[] = {
        {"first within 4000 s ends the walk", {{3, 7200}, {3, 14400}}, 3, 11000, 7200},
        {"nearer later node wins when the first is 4000 s away",
         {{3, 7000}, {3, 14400}}, 3, 11000, 14400},
        {"nearest of several beyond 4000 s", {{3, 0}, {3, 18000}, {3, 4000}}, 3, 10000, 4000},
        {"equally near: the earlier one", {{3, 20000}, {3, 0}}, 3, 10000, 20000},
        {"21600 s away is too far", {{3, 14400}}, 3, 36000, -1},
        {"21599 s away is taken", {{3, 14400}}, 3, 35999, 14400},
        {"before the reference time", {{3, 36000}}, 3, 14401, 36000},
        {"other satellites are not taken", {{4, 7200}}, 3, 7200, -1},
        {"no wrap at the week boundary", {{3, 604784}}, 3, 10, -1},
        {"PRN 72 is beyond the cache", {{72, 7200}}, 72, 7200, -1},
        {"PRN 71 is the last one", {{71, 7200}}, 71, 7200, 7200},
        {"negative PRN finds nothing", {{3, 7200}}, -1, 7200, -1},
        {"extreme times do not overflow", {{3, 1048560}}, 3, -2147483647 - 1, -1},
    };
    for (const Case& c : cases) {
        eph_store_clear();
        for (const Insertion& i : c.inserted) ASSERT_EQ(Insert(i.prn, i.toe), 0) << c.what;
        EXPECT_EQ(FoundToe(c.prn, c.time), c.expectedToe) << c.what;
    }
}

TEST_F(EphStore, CachedChoiceAnswersWithinFourThousandSeconds) {
    Insert(5, 7200);
    Insert(5, 14400);
    ASSERT_EQ(FoundToe(5, 7000), 7200);
    EXPECT_EQ(FoundToe(5, 10500), 7200);
    // At 11300 the cached node is 4100 s away: the walk runs again and finds 14400.
    EXPECT_EQ(FoundToe(5, 11300), 14400);
    // 14400 is now cached and 3900 s from 10500, so it answers, although a walk would
    // stop at 7200 (3300 s away, met first).
    EXPECT_EQ(FoundToe(5, 10500), 14400);
}

// Two ephemerides of PRN 5 with Toe 10000 and 13000. A lookup at 16500 caches 13000;
// a lookup at 13500 then gets 13000 from the cache, where a walk would stop at 10000.
class EphStoreCache : public EphStore {
protected:
    void SetUp() override {
        EphStore::SetUp();
        Insert(5, 10000);
        Insert(5, 13000);
        ASSERT_EQ(FoundToe(5, 16500), 13000);
    }
    static constexpr int32_t kCachedAnswer = 13000;
    static constexpr int32_t kWalkAnswer = 10000;
};

TEST_F(EphStoreCache, AnswersOnlyStrictlyWithinFourThousandSeconds) {
    EXPECT_EQ(FoundToe(5, 9001), kCachedAnswer);  // 3999 s from the cached 13000
    ASSERT_EQ(FoundToe(5, 16500), kCachedAnswer);
    EXPECT_EQ(FoundToe(5, 9000), kWalkAnswer);    // 4000 s: the walk decides
}

TEST_F(EphStoreCache, InsertEmptiesTheSatellitesEntry) {
    Insert(5, 50000);
    EXPECT_EQ(FoundToe(5, 13500), kWalkAnswer);
}

TEST_F(EphStoreCache, DuplicateInsertKeepsTheEntry) {
    Insert(5, 10000);
    EXPECT_EQ(FoundToe(5, 13500), kCachedAnswer);
}

TEST_F(EphStoreCache, OtherSatellitesInsertKeepsTheEntry) {
    Insert(6, 13500);
    EXPECT_EQ(FoundToe(5, 13500), kCachedAnswer);
}

TEST_F(EphStoreCache, FailedLookupKeepsTheEntry) {
    EXPECT_EQ(FoundToe(5, 100000), -1);
    EXPECT_EQ(FoundToe(5, 13500), kCachedAnswer);
}

TEST_F(EphStoreCache, ClearEmptiesTheEntry) {
    eph_store_clear();
    EXPECT_EQ(FoundToe(5, 13500), -1);
    Insert(5, 10000);
    EXPECT_EQ(FoundToe(5, 13500), kWalkAnswer);
}

TEST_F(EphStore, ClearForgetsRecordsAndCache) {
    Insert(5, 7200);
    Insert(9, 7200);
    ASSERT_EQ(FoundToe(5, 7200), 7200);  // now cached
    eph_store_clear();
    EXPECT_EQ(FoundToe(5, 7200), -1);
    EXPECT_EQ(FoundToe(9, 7200), -1);
    // The store is usable again after a clear.
    EXPECT_EQ(Insert(5, 7200, 4), 0);
    ASSERT_NE(eph_store_find(5, 7200), nullptr);
    EXPECT_EQ(eph_store_find(5, 7200)->Iode, 4);
}

TEST_F(EphStore, OutOfMemoryLeavesStoreUnchanged) {
    Insert(5, 7200, 1);
    set_error_text("");
    eph_store_fail_allocations(true);
    EXPECT_EQ(Insert(8, 7200), 1);
    EXPECT_STREQ(error_text(), "Error: Not enough memory");
    // A duplicate needs no memory and is not a failure.
    set_error_text("");
    EXPECT_EQ(Insert(5, 7200, 2), 0);
    EXPECT_STREQ(error_text(), "");
    eph_store_fail_allocations(false);
    EXPECT_EQ(FoundToe(8, 7200), -1);
    ASSERT_NE(eph_store_find(5, 7200), nullptr);
    EXPECT_EQ(eph_store_find(5, 7200)->Iode, 1);
    EXPECT_EQ(Insert(8, 7200), 0);
    EXPECT_EQ(FoundToe(8, 7200), 7200);
}

TEST_F(EphStore, SecondListIsEmptyAndSeparate) {
    Insert(40, 7200);
    Insert(5, 7200);
    EXPECT_EQ(eph_store_find_second(40, 7200), nullptr);
    EXPECT_EQ(eph_store_find_second(5, 7200), nullptr);
}

TEST_F(EphStore, SecondListLookupRules) {
    struct Case {
        const char* what;
        std::vector<int32_t> toes;
        int32_t time, expectedToe;
    };
    const Case cases[] = {
        {"1999 s away is taken", {10000}, 11999, 10000},
        {"2000 s away is too far", {10000}, 12000, -1},
        {"900 s away ends the walk", {10000, 10950}, 10900, 10000},
        {"901 s away does not", {10000, 10950}, 10901, 10950},
    };
    for (const Case& c : cases) {
        eph_store_clear();
        for (int32_t toe : c.toes) {
            const GpsEphRecord r = Eph(40, toe);
            ASSERT_EQ(eph_store_insert_second(&r), 0);
        }
        const GpsEphRecord* found = eph_store_find_second(40, c.time);
        EXPECT_EQ(found ? found->Toe : -1, c.expectedToe) << c.what;
        EXPECT_EQ(eph_store_find(40, c.time), nullptr) << c.what;
    }
    // The cached choice answers while it lies within 900 s, inclusive: 10800 is cached by
    // the lookup at 11700 and answers at 9900, where a walk would stop at 10000.
    eph_store_clear();
    for (int32_t toe : {10000, 10800}) {
        const GpsEphRecord r = Eph(40, toe);
        ASSERT_EQ(eph_store_insert_second(&r), 0);
    }
    ASSERT_EQ(eph_store_find_second(40, 11700)->Toe, 10800);
    EXPECT_EQ(eph_store_find_second(40, 9900)->Toe, 10800);
    EXPECT_EQ(eph_store_find_second(40, 9899)->Toe, 10000);
}

}  // namespace
}  // namespace kestrel
