// SPDX-License-Identifier: BSD-2-Clause
// The ephemerides of a RINEX run while the logs are read: each distinct one kept in a scratch
// file, and written into a navigation file in time order, the weeks resolved, the satellites
// and the span of the file chosen.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <tuple>

#include "navcom/decode_observer.h"
#include "rinex_out/rinex_nav_writer.h"
#include "files/output_file.h"
#include "rinex_run/run_files.h"

namespace kestrel {

// The ephemeris as the navigation file gives it, its weeks resolved against `referenceWeek`.
RinexGpsEphemeris ToRinex(const DecodedEphemeris& d, int referenceWeek);

class NavBody {
public:
    // `scratch`: where the ephemerides wait (null in a dry run: only the count is kept).
    explicit NavBody(std::FILE* scratch) : scratch_(scratch) {}

    // Keeps an ephemeris unless the same one (PRN, week, Toe, IODE) is kept already.
    void Add(const DecodedEphemeris& ephemeris);
    int32_t stored() const { return stored_; }

    // What one navigation file takes: ephemerides whose Toe lies within the span (none: all),
    // of the satellites `wanted` accepts, their broadcast weeks resolved against
    // `referenceWeek`.
    struct Choice {
        int referenceWeek = 0;
        std::optional<std::pair<double, double>> toeSpan;  // GPS seconds
        std::function<bool(int prn)> wanted;
    };

    // The header and the chosen ephemerides, in time order (clock reference time, then PRN),
    // into `out`; `written` receives how many. False when `out` took no more (its reason says
    // why) or the scratch file could not be read.
    bool Write(RunOutput& out, const RinexNavHeader& header, const Choice& choice, int32_t& written);

    // The system's errno of the first write the scratch file did not take; 0 while it took all.
    int scratchError() const { return scratchError_; }
    // Flushes the scratch file: 0 when everything written reached it, else why not (errno).
    int FlushScratch();

private:
    struct Key {
        int32_t prn, week10, toe, iode;
        bool operator<(const Key& o) const {
            return std::tie(prn, week10, toe, iode) < std::tie(o.prn, o.week10, o.toe, o.iode);
        }
    };
    std::FILE* scratch_;
    int scratchError_ = 0;
    std::set<Key> keys_;
    int32_t stored_ = 0;
};

}  // namespace kestrel
