// SPDX-License-Identifier: BSD-2-Clause
#include "rtcm_station.h"

#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "args.h"
#include "help.h"

namespace kestrel::cli {
namespace {

// The antenna height 1006 can carry: metres from 0 to its largest, said in words when refused.
CLI::Validator HeightValidator() {
    return CLI::Validator(
        [](std::string& value) {
            char* end = nullptr;
            const double m = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(m >= 0.0 && m <= rtcm::kMaxAntennaHeightM)) {
                char limit[32];
                std::snprintf(limit, sizeof limit, "%.4f", rtcm::kMaxAntennaHeightM);
                return "'" + value + "' is not a height in metres from 0 to " + limit;
            }
            return std::string();
        },
        "", "");
}

}  // namespace

std::vector<CLI::Option*> AddStationOptions(CLI::App& sub, StationOptions& o) {
    std::vector<CLI::Option*> added;
    added.push_back(sub.add_option("--msg", o.messages,
                   "messages and their intervals in seconds: 1004, 1074 (MSM4), 1077 (MSM7), 1019, 1005, "
                   "1006, 1033; observations without an interval go out every epoch, ephemerides when a new "
                   "one arrives, station messages every epoch (default " + std::string(rtcm::kDefaultMessages) + ")")
        ->type_name("LIST")
        ->default_str(rtcm::kDefaultMessages));
    added.push_back(sub.add_option("--position", o.position,
                   "antenna reference point, Earth-fixed X,Y,Z in m (default: the median of the first ten "
                   "minutes of single-point solutions)")
        ->type_name("X,Y,Z")
        ->check(NumbersValidator(3)));
    added.push_back(sub.add_option("--antenna-height", o.antennaHeightM, "antenna reference point above the marker, m (in 1006)")
        ->type_name("M")
        ->check(HeightValidator()));
    added.push_back(sub.add_option("--antenna", o.antenna, "antenna IGS type with radome, and serial number (in 1033)")
        ->type_name("TYPE[,SERIAL]"));
    added.push_back(sub.add_option("--receiver", o.receiver, "receiver type, firmware version and serial number (in 1033)")
        ->type_name("TYPE[,FIRMWARE[,SERIAL]]"));
    added.push_back(sub.add_option("--station-id", o.stationId, "reference station id of every message")
        ->type_name("N")
        ->check(WholeNumberValidator(0, rtcm::kMaxStationId)));
    added.push_back(sub.add_flag("--doppler", o.doppler,
                 "MSM7 carries the L1 Doppler derived from successive code ranges as its phase-range rate (the "
                 "receiver sends none; it jumps where the receiver steps its clock)"));
    return added;
}

bool StationFromOptions(const StationOptions& o, const std::string& command, StationChoice& s) {
    std::string error;
    const auto messages = rtcm::ParseMessageList(o.messages, error);
    if (!messages) {
        PrintUsageError(command, "--msg: " + error);
        return false;
    }
    s.messages = *messages;
    for (const rtcm::MessageChoice& m : s.messages) s.positionChosen = s.positionChosen || m.number == 1005 || m.number == 1006;
    rtcm::StationDescription& d = s.description;
    d.stationId = o.stationId;
    if (!o.position.empty()) {
        const auto v = ParseNumbers(o.position, 3, error);
        if (!v) {
            PrintUsageError(command, "--position: " + error);
            return false;
        }
        d.positionM = std::array<double, 3>{(*v)[0], (*v)[1], (*v)[2]};
    }
    d.antennaHeightM = o.antennaHeightM;
    const auto antenna = SplitFields(o.antenna, 2);
    d.antennaType = antenna[0];
    d.antennaSerial = antenna[1];
    const auto receiver = SplitFields(o.receiver, 3);
    d.receiverType = receiver[0];
    d.receiverFirmware = receiver[1];
    d.receiverSerial = receiver[2];
    s.doppler = o.doppler;
    const std::string problem = rtcm::CheckStation(d);
    if (!problem.empty()) {
        PrintUsageError(command, problem);
        return false;
    }
    return true;
}

std::string MessagesText(const std::vector<rtcm::MessageChoice>& messages) {
    std::string text;
    for (const rtcm::MessageChoice& m : messages) {
        if (!text.empty()) text += ',';
        text += std::to_string(m.number);
        if (m.intervalS > 0.0) {
            char interval[32];
            std::snprintf(interval, sizeof interval, "(%g)", m.intervalS);
            text += interval;
        }
    }
    return text;
}

}  // namespace kestrel::cli
