// SPDX-License-Identifier: BSD-2-Clause
#include "bench_data.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "common/bytes.h"
#include "navcom/record_layout.h"
#include "positioning/eph_store.h"
#include "rinex/navcom_encode.h"
#include "rinex/navcom_log.h"
#include "rinex/rinex_obs.h"
#include "rinex/station_day.h"

namespace kestrel::bench {
namespace {

constexpr double kStation[3] = {-3976219.5082, 3382372.5671, 3652512.9849};  // GSI 0759

std::string DataFile(const std::string& name) { return std::string(KESTREL_BENCH_DATA_DIR) + "/" + name; }

rinex::ObsFile Simulate(double hours) {
    rinex::StationDay day(BroadcastDay(), DayOptions(hours * 3600.0));
    rinex::ObsFile file;
    file.header = day.Header();
    rinex::ObsEpoch epoch;
    while (day.Next(epoch)) file.epochs.push_back(epoch);
    return file;
}

[[noreturn]] void Die(const std::string& text) {
    std::fprintf(stderr, "kestrel_bench: %s\n", text.c_str());
    std::exit(1);
}

}  // namespace

rinex::StationDayOptions DayOptions(double seconds) {
    rinex::StationDayOptions o;
    o.station = {kStation[0], kStation[1], kStation[2]};
    o.start = rinex::GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0);
    o.duration = seconds;
    return o;
}

const std::vector<rinex::NavRecord>& BroadcastDay() {
    static const std::vector<rinex::NavRecord> nav = [] {
        std::vector<rinex::NavRecord> records;
        std::string error;
        if (!rinex::ReadNavFile(DataFile("orbits/brdc1820.10n"), records, error)) Die(error);
        return records;
    }();
    return nav;
}

const NavComLog& SimulatedLog(int hours) {
    static std::map<int, NavComLog> logs;
    auto found = logs.find(hours);
    if (found != logs.end()) return found->second;
    rinex::LogContents contents;
    std::string error;
    if (!rinex::BuildNavComLog(Simulate(hours), BroadcastDay(), rinex::LogOptions{}, contents, error)) Die(error);
    NavComLog& log = logs[hours];
    log.bytes = std::move(contents.bytes);
    log.epochs = contents.epochs.size();
    log.ephemerides = contents.ephemerides.size();
    return log;
}

std::vector<std::vector<uint8_t>> FramesOf(const std::vector<uint8_t>& log, uint8_t recordId) {
    // The simulated logs hold nothing but whole frames, back to back.
    std::vector<std::vector<uint8_t>> frames;
    std::size_t at = 0;
    namespace frame = layout::frame;
    while (at + frame::kBodyOffset <= log.size()) {
        const std::size_t end = at + frame::FrameBytes(le_u16(&log[at + frame::kLengthOffset]));
        if (end > log.size()) break;
        if (log[at + frame::kIdOffset] == recordId) frames.emplace_back(log.begin() + static_cast<long>(at), log.begin() + static_cast<long>(end));
        at = end;
    }
    return frames;
}

std::string LongLogPath() {
    static const std::string path = [] {
        if (const char* given = std::getenv("KESTREL_BENCH_LOG"); given && *given) return std::string(given);
        const std::string made = (std::filesystem::temp_directory_path() / "kestrel_bench_24h.nav").string();
        const NavComLog& log = SimulatedLog(24);
        std::FILE* f = std::fopen(made.c_str(), "wb");
        if (!f || std::fwrite(log.bytes.data(), 1, log.bytes.size(), f) != log.bytes.size() || std::fclose(f) != 0)
            Die("cannot write " + made);
        return made;
    }();
    return path;
}

void FillStore(const std::vector<rinex::NavRecord>& nav) {
    eph_store_clear();
    for (const rinex::NavRecord& n : nav) {
        const GpsEphRecord record = rinex::ToGpsEphRecord(n);
        eph_store_insert(&record);
    }
}

std::vector<SolveInput> SimulatedEpochs(int satellites, int count) {
    FillStore(BroadcastDay());
    rinex::StationDay day(BroadcastDay(), DayOptions(24 * 3600.0));
    std::vector<SolveInput> out;
    rinex::ObsEpoch epoch;
    while (static_cast<int>(out.size()) < count && day.Next(epoch)) {
        if (static_cast<int>(epoch.satellites.size()) < satellites) {
            out.clear();  // consecutive epochs only
            continue;
        }
        SolveInput in{};
        in.header.sat_count = static_cast<uint8_t>(satellites);
        in.header.time_tag = epoch.time.sow;
        in.header.corrected_time = epoch.time.sow;
        for (int i = 0; i < satellites; ++i) {
            SatObservation o{};
            o.prn = static_cast<uint8_t>(epoch.satellites[static_cast<std::size_t>(i)].prn);
            o.ca_range = epoch.satellites[static_cast<std::size_t>(i)].values[0].value;
            in.observations.push_back(o);
        }
        out.push_back(in);
    }
    if (static_cast<int>(out.size()) < count) Die("too few epochs with enough satellites");
    return out;
}

std::vector<SolveInput> RealHourEpochs() {
    std::vector<rinex::NavRecord> nav;
    rinex::ObsFile obs;
    std::string error;
    if (!rinex::ReadNavFile(DataFile("rinex/07590920.05n"), nav, error) ||
        !rinex::ReadObsFile(DataFile("rinex/07590920.05o"), obs, error))
        Die(error);
    FillStore(nav);
    std::vector<SolveInput> out;
    for (std::size_t i = 0; i < obs.epochs.size(); ++i) {
        SolveInput in{};
        in.header.time_tag = obs.epochs[i].time.sow;
        in.header.corrected_time = obs.epochs[i].time.sow;
        for (const rinex::SatMeasurement& m : rinex::GpsMeasurements(obs.TypesOf(i), obs.epochs[i])) {
            if (!m.c1) continue;
            SatObservation o{};
            o.prn = static_cast<uint8_t>(m.prn);
            o.ca_range = *m.c1;
            in.observations.push_back(o);
        }
        in.header.sat_count = static_cast<uint8_t>(in.observations.size());
        out.push_back(in);
    }
    return out;
}

}  // namespace kestrel::bench
