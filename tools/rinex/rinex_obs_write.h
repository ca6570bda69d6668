// RINEX 2.11 observation files written from the reader's own structures, so that data made
// or changed by the tools can be handed to other GNSS software.
#pragma once

#include <string>

#include "rinex/rinex_obs.h"

namespace kestrel::rinex {

// The header of an observation file: version 2.11, the header's system, marker, approximate
// position, observation types, interval and the time of the first observation (`first`).
std::string FormatObsHeader(const ObsHeader& header, const GpsTime& first);

// One epoch record: the epoch line (with continuation lines past 12 satellites) and, per
// satellite, the values of every header type, five to a line, each F14.3 with its
// loss-of-lock and strength digits. A missing value is left blank; a value too large for the
// field is written as missing.
std::string FormatObsEpoch(const ObsEpoch& epoch, std::size_t typeCount);

}  // namespace kestrel::rinex
