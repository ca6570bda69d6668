// SPDX-License-Identifier: BSD-2-Clause
#include "positioning/eph_store.h"

#include <cstdlib>
#include <cstring>

#include "common/error_text.h"

namespace kestrel {
namespace {

constexpr int32_t kCacheSlots = 72;  // indexed by satellite number 0..71

struct EphNode {
    int32_t prn;   // key, copied from the record
    int32_t toe;   // key, seconds of week
    EphNode* next;
    GpsEphRecord record;
};

// How one list answers a lookup. A cached choice is kept while it lies within
// `cacheLimit` (inclusive or not); the walk takes a node only strictly nearer than
// `takeLimit` and stops at the first node within `stopLimit`.
struct LookupRules {
    int64_t cacheLimit;
    bool cacheLimitInclusive;
    int64_t takeLimit;
    int64_t stopLimit;
    bool stopLimitInclusive;
};

constexpr LookupRules kGpsRules{4000, false, kEphemerisServesS, 4000, false};
constexpr LookupRules kSecondRules{900, true, 2000, 900, true};

struct EphList {
    EphNode* head = nullptr;
    EphNode* tail = nullptr;
    EphNode* cache[kCacheSlots] = {};
};

struct EphStoreState {
    EphList gps;
    EphList second;  // satellite numbers 33 and above; never filled by the decoders
    bool failAllocations = false;
};
EphStoreState state;

bool InCacheRange(int32_t prn) { return prn >= 0 && prn < kCacheSlots; }

// Seconds between a time and a reference time of week, as plain integers: no week
// boundary is crossed. Wide enough for any pair of int32 values.
int64_t TimeDistance(int32_t time, int32_t toe) {
    const int64_t d = static_cast<int64_t>(time) - static_cast<int64_t>(toe);
    return d < 0 ? -d : d;
}

bool Within(int64_t distance, int64_t limit, bool inclusive) {
    return inclusive ? distance <= limit : distance < limit;
}

void ClearList(EphList& list) {
    EphNode* node = list.head;
    while (node != nullptr) {
        EphNode* next = node->next;
        std::free(node);
        node = next;
    }
    list.head = nullptr;
    list.tail = nullptr;
    std::memset(list.cache, 0, sizeof list.cache);
}

int32_t Insert(EphList& list, const GpsEphRecord* record) {
    for (EphNode* node = list.head; node != nullptr; node = node->next) {
        if (node->prn != record->Prn || node->toe != record->Toe) continue;
        if (node->record.Week != record->Week) {
            // The same reference time of week in another week: a log that runs on past a
            // week boundary. The newer broadcast takes the place of last week's, which would
            // otherwise be found for every later epoch with that time of week.
            std::memcpy(&node->record, record, sizeof node->record);
            if (InCacheRange(record->Prn)) list.cache[record->Prn] = nullptr;
        }
        return 0;  // already held
    }
    EphNode* node = state.failAllocations ? nullptr
                                          : static_cast<EphNode*>(std::malloc(sizeof(EphNode)));
    if (node == nullptr) {
        set_error_text(kNoMemoryText);
        return 1;
    }
    node->prn = record->Prn;
    node->toe = record->Toe;
    node->next = nullptr;
    std::memcpy(&node->record, record, sizeof node->record);
    if (list.tail == nullptr) {
        list.head = node;
    } else {
        list.tail->next = node;
    }
    list.tail = node;
    // A newer ephemeris may now be the better choice: the next lookup walks the list.
    if (InCacheRange(record->Prn)) list.cache[record->Prn] = nullptr;
    return 0;
}

const GpsEphRecord* Find(EphList& list, const LookupRules& rules, int32_t prn, int32_t time) {
    if (!InCacheRange(prn)) return nullptr;
    const EphNode* cached = list.cache[prn];
    if (cached != nullptr &&
        Within(TimeDistance(time, cached->toe), rules.cacheLimit, rules.cacheLimitInclusive)) {
        return &cached->record;
    }
    EphNode* best = nullptr;
    int64_t bestDistance = rules.takeLimit;
    for (EphNode* node = list.head; node != nullptr; node = node->next) {
        if (node->prn != prn) continue;
        const int64_t d = TimeDistance(time, node->toe);
        if (d < bestDistance) {
            best = node;
            bestDistance = d;
        }
        if (Within(d, rules.stopLimit, rules.stopLimitInclusive)) break;
    }
    if (best == nullptr) return nullptr;
    list.cache[prn] = best;
    return &best->record;
}

}  // namespace

void eph_store_clear() {
    ClearList(state.gps);
    ClearList(state.second);
}

int32_t eph_store_insert(const GpsEphRecord* record) {
    return record == nullptr ? 0 : Insert(state.gps, record);
}

const GpsEphRecord* eph_store_find(int32_t prn, int32_t time) {
    return Find(state.gps, kGpsRules, prn, time);
}

const GpsEphRecord* eph_store_find_second(int32_t prn, int32_t time) {
    return Find(state.second, kSecondRules, prn, time);
}

int32_t eph_store_insert_second(const GpsEphRecord* record) {
    return record == nullptr ? 0 : Insert(state.second, record);
}

void eph_store_fail_allocations(bool fail) { state.failAllocations = fail; }

}  // namespace kestrel
