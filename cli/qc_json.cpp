// SPDX-License-Identifier: BSD-2-Clause
#include "qc_json.h"

#include <nlohmann/json.hpp>

#include "qc_summary.h"

namespace kestrel::cli {
namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

const char* StatusName(QcStatus status) {
    switch (status) {
        case QcStatus::kComplete: return "complete";
        case QcStatus::kAborted: return "aborted";
        case QcStatus::kUnreadable: return "unreadable";
    }
    return "unknown";
}

Json Time(const GpsTime& t, bool weekKnown) {
    Json j;
    j["week"] = weekKnown ? Json(t.week) : Json(nullptr);
    j["sow"] = t.sow;
    j["utc"] = weekKnown ? Json(UtcText(t, true)) : Json(nullptr);
    return j;
}

Json Enu(const std::optional<std::array<double, 3>>& v) {
    if (!v) return nullptr;
    return Json{{"east", (*v)[0]}, {"north", (*v)[1]}, {"up", (*v)[2]}};
}

Json Gaps(const QcReport& r) {
    Json list = Json::array();
    for (const QcGap& g : r.gaps) {
        Json j = Time(g.start, r.weekKnown);
        j["length_s"] = g.lengthS;
        list.push_back(j);
    }
    Json longest = nullptr;
    if (r.longestGap) {
        longest = Time(r.longestGap->start, r.weekKnown);
        longest["length_s"] = r.longestGap->lengthS;
    }
    return Json{{"count", r.gapCount}, {"longest", longest}, {"list", list}};
}

Json Satellites(const QcReport& r) {
    Json list = Json::array();
    for (const QcSatellite& s : r.satellites) {
        Json j;
        j["prn"] = s.prn;
        j["observations"] = s.observations;
        j["observations_with_l2"] = s.withL2;
        j["missing"] = OrNull(s.missing);
        j["l1_slips"] = s.l1Slips;
        j["l2_slips"] = s.l2Slips;
        j["ionosphere_slips"] = s.ionosphereSlips;
        j["mean_strength_dbhz"] = OrNull(s.meanStrengthDbHz);
        j["mp1_rms_m"] = OrNull(s.mp1RmsM);
        j["mp2_rms_m"] = OrNull(s.mp2RmsM);
        j["multipath_arcs"] = s.multipathArcs;
        j["short_arcs"] = s.shortArcs;
        j["ionosphere_rate_rms_m_per_min"] = OrNull(s.ionosphereRateRmsMpm);
        j["ephemerides"] = s.ephemerides;
        j["unhealthy"] = s.unhealthy;
        list.push_back(j);
    }
    return list;
}

Json Log(const QcReport& r) {
    Json j;
    j["file"] = r.file;
    j["status"] = StatusName(r.status);
    j["error"] = r.error.empty() ? Json(nullptr) : Json(r.error);
    j["week_known"] = r.weekKnown;
    j["first_epoch"] = r.first ? Time(*r.first, r.weekKnown) : Json(nullptr);
    j["last_epoch"] = r.last ? Time(*r.last, r.weekKnown) : Json(nullptr);
    j["epochs"] = r.epochs;
    j["expected_epochs"] = OrNull(r.expectedEpochs);
    j["interval_s"] = OrNull(r.intervalS);
    j["epochs_outside_window"] = r.epochsOutsideWindow;
    j["epochs_out_of_order"] = r.epochsOutOfOrder;
    j["gaps"] = Gaps(r);
    j["observations"] = r.observations;
    j["observations_l1_only"] = r.observationsL1Only;
    j["observations_with_l2"] = r.observationsWithL2;
    j["l1_slips"] = r.l1Slips;
    j["l2_slips"] = r.l2Slips;
    j["ionosphere_slips"] = r.ionosphereSlips;
    j["slip_observations"] = r.slipObservations;
    j["slips_per_1000_observations"] = OrNull(r.slipsPer1000);
    j["observations_per_slip"] = OrNull(r.observationsPerSlip);
    Json slips = Json::array();
    for (const QcSlip& s : r.slips) {
        slips.push_back(Json{{"time", s.time.sow},
                             {"week", r.weekKnown ? Json(s.time.week) : Json(nullptr)},
                             {"prn", s.prn},
                             {"l1", s.l1},
                             {"l2", s.l2},
                             {"ionosphere", s.ionosphere}});
    }
    j["slips"] = slips;
    j["mp1_rms_m"] = OrNull(r.mp1RmsM);
    j["mp2_rms_m"] = OrNull(r.mp2RmsM);
    j["elevation_mask_deg"] = r.maskDeg;
    if (r.elevationPosition) {
        const auto& p = *r.elevationPosition;
        j["elevation_position"] = Json{
            {"source", r.elevationSource == ElevationSource::kReference ? "reference" : "first_solutions"},
            {"solutions", r.elevationSolutions},
            {"x", p[0]},
            {"y", p[1]},
            {"z", p[2]}};
    } else {
        j["elevation_position"] = nullptr;
    }
    j["missing_observations"] = OrNull(r.missing);
    j["epochs_without_elevations"] = r.epochsWithoutElevations;
    j["satellites"] = Satellites(r);
    j["clock"] = Json{{"solved_epochs", r.clockEpochs},
                      {"offset_start_s", OrNull(r.clockStartS)},
                      {"offset_end_s", OrNull(r.clockEndS)},
                      {"drift_s_per_s", OrNull(r.clockDrift)},
                      {"step_count", r.clockStepCount}};
    Json steps = Json::array();
    for (const QcClockStep& s : r.clockSteps) {
        steps.push_back(Json{{"time", s.time.sow}, {"week", r.weekKnown ? Json(s.time.week) : Json(nullptr)}, {"size_s", s.sizeS}});
    }
    j["clock_steps"] = steps;
    if (r.position) {
        const auto& p = *r.position;
        Json position{{"x", p[0]}, {"y", p[1]}, {"z", p[2]}};
        position["latitude_deg"] = r.geodetic ? Json((*r.geodetic)[0]) : Json(nullptr);
        position["longitude_deg"] = r.geodetic ? Json((*r.geodetic)[1]) : Json(nullptr);
        position["height_m"] = r.geodetic ? Json((*r.geodetic)[2]) : Json(nullptr);
        position["solutions"] = r.solutions;
        position["scatter_std_m"] = Enu(r.scatterStdM);
        position["scatter_95_m"] = Enu(r.scatter95M);
        j["position"] = position;
    } else {
        j["position"] = nullptr;
    }
    if (r.reference) {
        const auto& p = *r.reference;
        j["reference"] = Json{{"x", p[0]}, {"y", p[1]}, {"z", p[2]}, {"offset_m", Enu(r.referenceOffsetEnuM)}};
    } else {
        j["reference"] = nullptr;
    }
    if (r.receiverFixPosition) {
        const auto& p = *r.receiverFixPosition;
        j["receiver_fix"] = Json{{"x", p[0]},
                                 {"y", p[1]},
                                 {"z", p[2]},
                                 {"fixes", r.receiverFixes},
                                 {"solution_distance_m", OrNull(r.solutionToFixM)},
                                 {"solution_offset_m", Enu(r.solutionLessFixEnuM)}};
    } else {
        j["receiver_fix"] = nullptr;
    }
    j["ephemerides"] = Json{{"received", r.ephemerides}, {"observed_without", r.observedWithoutEphemeris}};
    const QcParserCounts& p = r.parser;
    j["parser"] = Json{{"checksum_failures", p.checksumFailures},
                       {"length_failures", p.lengthFailures},
                       {"resyncs", p.resyncs},
                       {"other_records_skipped", p.otherRecords},
                       {"receiver_records_read", p.receiverRecords},
                       {"buffer_overruns", p.bufferOverruns},
                       {"invalid_prn_blocks", p.invalidPrnBlocks},
                       {"no_time_step_blocks", p.noTimeStep},
                       {"week_faults", p.weekFaults}};
    return j;
}

}  // namespace

std::string QcJsonLog(const QcReport& report) { return Log(report).dump(); }

std::string QcJsonDocument(const std::vector<std::string>& logs, const std::string& program) {
    Json doc;
    doc["format"] = "kestrel-qc";
    doc["version"] = kQcJsonVersion;
    doc["program"] = program;
    Json array = Json::array();
    for (const std::string& log : logs) array.push_back(Json::parse(log));
    doc["logs"] = array;
    return doc.dump(2) + "\n";
}

}  // namespace kestrel::cli
