// SPDX-License-Identifier: BSD-2-Clause
// RINEX 2.11 observation files written from the reader's own structures, so that data made
// or changed by the tools can be handed to other GNSS software. The library's RINEX
// observation writer does the writing.
#pragma once

#include <string>
#include <vector>

#include "rinex/rinex_obs.h"
#include "rinex_out/rinex_obs_writer.h"

namespace kestrel::rinex {

// The header of an observation file: version 2.11, program "kestrel tools", the marker,
// approximate position, observation types, interval and the time of the first observation
// (`first`). The types must be among C1 L1 D1 S1 P1 P2 L2 (GPS); std::invalid_argument
// otherwise.
std::string FormatObsHeader(const ObsHeader& header, const GpsTime& first);

// The epoch in the library writer's terms: its values, given in the order of `types`, each
// under its type; loss-of-lock and strength digits outside 0..9 left out.
RinexObsEpoch WriterEpoch(const ObsEpoch& epoch, const std::vector<RinexObsType>& types);

// One epoch record of the header's `types`: the epoch line (with continuation lines past 12
// satellites) and, per satellite, its values five to a line, each F14.3 with its
// loss-of-lock and strength digits. A missing value is left blank; a value too large for the
// field is written as missing. std::invalid_argument for a satellite other than GPS or a
// type as FormatObsHeader refuses it.
std::string FormatObsEpoch(const ObsEpoch& epoch, const std::vector<std::string>& types);

}  // namespace kestrel::rinex
