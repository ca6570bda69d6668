// SPDX-License-Identifier: BSD-2-Clause
// IGS site logs: the text form in which station operators keep a station's identity, its
// receivers and antennas over time. What a RINEX header can take from one: the marker's
// name, nine-character ID and DOMES number, the agency, and each receiver and antenna with
// the time it was installed and removed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/gps_time.h"

namespace kestrel {

struct SiteLogReceiver {
    std::string type;              // IGS receiver name, e.g. "TRIMBLE NETR9"
    std::string serialNumber;
    std::string firmware;
    std::optional<GpsTime> installed;  // none: not given
    std::optional<GpsTime> removed;    // none: still in place
};

struct SiteLogAntenna {
    std::string type;              // IGS antenna name without the radome, e.g. "TRM59800.00"
    std::string radome;            // four characters, e.g. "NONE", "SCIS"
    std::string serialNumber;
    double upM = 0.0;              // marker to antenna reference point
    double northM = 0.0;
    double eastM = 0.0;
    std::optional<GpsTime> installed;
    std::optional<GpsTime> removed;
};

struct SiteLog {
    std::string siteName;
    std::string fourCharacterId;   // upper case
    std::string nineCharacterId;   // upper case, SSSSMRCCC; empty in logs of the older form
    std::string domesNumber;
    std::string agency;            // preferred abbreviation of the responsible agency, else of the on-site one
    std::vector<SiteLogReceiver> receivers;          // in the log's order
    std::vector<SiteLogAntenna> antennas;
};

// Reads a site log's text. False, with the reason in `error`, for a text that names no
// station (no four- or nine-character ID) or holds a receiver or antenna entry whose dates or
// eccentricities cannot be read. Fields left as the form's placeholders, "(A9)" and the like,
// count as not given.
bool ParseSiteLog(std::string_view text, SiteLog& out, std::string& error);

// The largest site log read from a file: real ones are some tens of kB.
constexpr std::size_t kSiteLogMaxBytes = 1 << 20;

// Reads and parses a site log file; false with the reason (the file's too) in `error`.
bool ReadSiteLog(const std::string& path, SiteLog& out, std::string& error);

// The entry in force at `time`: installed at or before it (or no date given) and not removed
// by then; the latest such entry of the log. Null when none is.
const SiteLogReceiver* ReceiverInForce(const SiteLog& log, const GpsTime& time);
const SiteLogAntenna* AntennaInForce(const SiteLog& log, const GpsTime& time);

}  // namespace kestrel
