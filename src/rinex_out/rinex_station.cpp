// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_out/rinex_station.h"

#include <cstdio>

namespace kestrel {
namespace {

// The first of the values given.
const std::string& First(std::initializer_list<const std::string*> values) {
    static const std::string none;
    for (const std::string* v : values) {
        if (v != nullptr && !v->empty()) return *v;
    }
    return none;
}

std::string UtcText(const GpsTime& time) {
    const CalendarTime t = UtcFromGps(time);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d UTC", t.year, t.month, t.day, t.hour, t.minute);
    return text;
}

std::string PositionComment(PositionSource source, const StationEvidence& e) {
    switch (source) {
        case PositionSource::kGiven:
            return "APPROX POSITION XYZ: as given";
        case PositionSource::kReceiverFixes:
            return "APPROX POSITION XYZ: median of the receiver's " + std::to_string(e.fixes) + " fixes";
        case PositionSource::kSolutions:
            return "APPROX POSITION XYZ: median of Kestrel's " + std::to_string(e.solutions) + " solutions";
        case PositionSource::kNone:
            break;
    }
    return "APPROX POSITION XYZ: unknown (no fix, no solution)";
}

}  // namespace

StationFacts GatherStationFacts(const StationOptions& o, const SiteLog* log, const StationEvidence& e,
                                const GpsTime& firstEpoch) {
    StationFacts f;
    const SiteLogReceiver* rec = log != nullptr ? ReceiverInForce(*log, firstEpoch) : nullptr;
    const SiteLogAntenna* ant = log != nullptr ? AntennaInForce(*log, firstEpoch) : nullptr;
    if (log != nullptr && rec == nullptr) {
        f.warnings.push_back("the site log has no receiver in force at " + UtcText(firstEpoch));
    }
    if (log != nullptr && ant == nullptr) {
        f.warnings.push_back("the site log has no antenna in force at " + UtcText(firstEpoch));
    }

    const std::string idMarker = o.stationId.substr(0, 4);
    f.markerName = First({&o.markerName, log ? &log->fourCharacterId : nullptr, &idMarker, &e.logMarker});
    f.markerNumber = First({&o.markerNumber, log ? &log->domesNumber : nullptr});
    if (log != nullptr) f.markerType = "GEODETIC";
    f.stationId = First({&o.stationId, log ? &log->nineCharacterId : nullptr});
    if (!o.country.empty()) f.country = o.country;
    f.observer = o.observer;
    f.agency = First({&o.agency, log ? &log->agency : nullptr});

    // The receiver: the user, the site log, then the receiver's own identification.
    std::string idSerial, idType, idVersion;
    if (e.identity) {
        idSerial = ReceiverSerialNumber(*e.identity);
        idType = ReceiverIgsType(*e.identity);
        idVersion = ReceiverFirmwareVersion(*e.identity);
        for (std::string& line : ReceiverDescription(*e.identity)) f.comments.push_back(std::move(line));
    }
    const std::string defaultType = kDefaultReceiverType;
    f.receiverNumber = First({&o.receiverNumber, rec ? &rec->serialNumber : nullptr, &idSerial});
    f.receiverType = First({&o.receiverType, rec ? &rec->type : nullptr, &idType, &defaultType});
    f.receiverVersion = First({&o.receiverVersion, rec ? &rec->firmware : nullptr, &idVersion});
    if (rec != nullptr && e.identity && !rec->serialNumber.empty() && rec->serialNumber != idSerial) {
        f.warnings.push_back("the site log's receiver serial number " + rec->serialNumber +
                             " is not the receiver's own, " + idSerial);
    }

    // The antenna: the user, then the site log.
    f.antennaNumber = First({&o.antennaNumber, ant ? &ant->serialNumber : nullptr});
    if (!o.antennaType.empty()) {
        f.antennaType = o.antennaType;
    } else if (ant != nullptr) {
        f.antennaType = ant->type;
        f.antennaRadome = ant->radome;
    }
    if (o.antennaDeltaHenM) {
        f.antennaDeltaHenM = *o.antennaDeltaHenM;
    } else if (ant != nullptr) {
        f.antennaDeltaHenM = {ant->upM, ant->eastM, ant->northM};
    }

    // The position: given, the receiver's own fixes, then the single-point solutions.
    if (o.positionM) {
        f.positionM = *o.positionM;
        f.positionSource = PositionSource::kGiven;
    } else if (e.fixMedianM) {
        f.positionM = *e.fixMedianM;
        f.positionSource = PositionSource::kReceiverFixes;
    } else if (e.solutionMedianM) {
        f.positionM = *e.solutionMedianM;
        f.positionSource = PositionSource::kSolutions;
    }
    f.comments.push_back(PositionComment(f.positionSource, e));
    return f;
}

}  // namespace kestrel
