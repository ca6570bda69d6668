// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/rinex_obs_write.h"

#include <stdexcept>

#include "rinex_out/rinex_obs_writer.h"

namespace kestrel::rinex {

namespace {

constexpr const char* kProgram = "kestrel tools";

RinexObsType TypeOf(const std::string& name) {
    for (std::size_t k = 0; k < kRinexObsTypeCount; ++k) {
        const auto type = static_cast<RinexObsType>(k);
        if (name == RinexObsTypeName(type, RinexVersion::k211)) return type;
    }
    throw std::invalid_argument("no RINEX writer type for observation type " + name);
}

// The library's header for the tools' types; only the version and types matter to epochs.
RinexObsHeader WriterHeader(const std::vector<std::string>& types) {
    RinexObsHeader h;
    h.version = RinexVersion::k211;
    h.program = kProgram;
    for (const std::string& t : types) h.types.push_back(TypeOf(t));
    return h;
}

}  // namespace

std::string FormatObsHeader(const ObsHeader& header, const GpsTime& first) {
    RinexObsHeader h = WriterHeader(header.types);
    h.markerName = header.markerName;
    h.approxPositionM = header.approxPosition;
    h.intervalS = header.interval;
    h.firstObs = first;
    std::string out;
    if (!AppendRinexObsHeader(out, h)) throw std::invalid_argument("observation header the RINEX writer refuses");
    return out;
}

RinexObsEpoch WriterEpoch(const ObsEpoch& epoch, const std::vector<RinexObsType>& types) {
    RinexObsEpoch e;
    e.time = epoch.time;
    e.flag = epoch.flag;
    if (epoch.hasClockOffset) e.clockOffsetS = epoch.clockOffset;
    for (const ObsSatellite& s : epoch.satellites) {
        if (s.system != 'G') throw std::invalid_argument("the RINEX writer writes GPS satellites only");
        RinexSatObs sat;
        sat.prn = s.prn;
        for (std::size_t k = 0; k < types.size() && k < s.values.size(); ++k) {
            const ObsValue& v = s.values[k];
            RinexObsValue& out = sat.values[static_cast<std::size_t>(types[k])];
            out.value = v.value;
            out.present = v.present;
            out.lli = static_cast<uint8_t>(v.lli >= 0 && v.lli <= 9 ? v.lli : 0);
            out.strength = static_cast<uint8_t>(v.strength >= 0 && v.strength <= 9 ? v.strength : 0);
        }
        e.satellites.push_back(sat);
    }
    return e;
}

std::string FormatObsEpoch(const ObsEpoch& epoch, const std::vector<std::string>& types) {
    const RinexObsHeader h = WriterHeader(types);
    const RinexObsEpoch e = WriterEpoch(epoch, h.types);
    std::string out;
    if (!AppendRinexObsEpoch(out, h, e)) throw std::invalid_argument("observation epoch the RINEX writer refuses");
    return out;
}

}  // namespace kestrel::rinex
