// SPDX-License-Identifier: BSD-2-Clause
// Reads an OBX observation file by the format's walking rules: the 202-byte header, then
// each 68-byte position record followed by its sat_count 44-byte measurement records, up
// to the end of the file or the first damage. Used by the `kestrel inspect` command and
// by tests; it needs nothing of the library but its record layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/records.h"

namespace kestrel::obx {

enum class ObxState {
    kComplete,    // ends right after the header or after an epoch's last record
    kUnreadable,  // the file could not be opened or read
    kBadHeader,   // shorter than a header, or its header_size is not 202
    kDamaged,     // a record size field is wrong, or an epoch holds more records than channels
    kCutShort,    // ends inside a position record or inside an epoch's measurement records
};

struct ObxEpoch {
    uint64_t offset = 0;  // file offset of the position record
    EpochHeader position{};
    std::vector<SatObservation> measurements;
};

struct ObxContents {
    ObxState state = ObxState::kUnreadable;
    ObxHeader header{};
    std::vector<ObxEpoch> epochs;  // every whole, sound epoch before the problem (if any)
    uint64_t problemOffset = 0;    // file offset where the damage or the cut was found
    std::string problem;           // the problem in words; empty when complete
};

// Reads and walks the file at `path`.
ObxContents ReadObx(const std::string& path);

// Walks a file image held in memory.
ObxContents ParseObx(const uint8_t* bytes, std::size_t size);

// Follows the time tags (seconds of GPS week) of a file's epochs in order and tells the epochs
// that do not advance in time: not later than the latest epoch before them. A time tag earlier
// by more than half a week is the next week's.
class TimeOrder {
public:
    // True when the epoch tagged `time` advances.
    bool Advances(double time);

private:
    bool any_ = false;
    double latest_ = 0.0;
};

// Epochs of the OBX file at `path` that do not advance in time (TimeOrder), walking only the
// position records (the file is not held in memory); -1 when it cannot be read.
long long CountEpochsNotAdvancing(const std::string& path);

// A short name of the state: "complete", "unreadable", "bad header", "damaged", "cut short".
const char* ObxStateName(ObxState state);

}  // namespace kestrel::obx
