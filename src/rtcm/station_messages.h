// SPDX-License-Identifier: BSD-2-Clause
// The RTCM 3 messages that describe the station and the satellites rather than one epoch:
// the antenna reference point (1005, and 1006 with the antenna height), the antenna and
// receiver descriptors (1033) and GPS broadcast ephemerides (1019). Each is appended to a
// byte stream as one whole frame.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "navcom/decode_observer.h"

namespace kestrel::rtcm {

constexpr int kMaxStationId = 4095;
constexpr std::size_t kMaxDescriptorChars = 31;
constexpr double kMaxAntennaHeightM = 6.5535;          // 16 bits of 0.1 mm
constexpr double kMaxCoordinateM = 13743895.3471;      // 38 bits of 0.1 mm, signed

struct StationDescription {
    int stationId = 0;                                   // 0..4095
    std::optional<std::array<double, 3>> positionM;      // antenna reference point, Earth-fixed X, Y, Z
    double antennaHeightM = 0.0;                         // of the reference point over the marker, for 1006
    std::string antennaType;                             // IGS name with radome, at most 31 characters
    std::string antennaSerial;
    int antennaSetupId = 0;                              // 0..255; 0: use the standard model
    std::string receiverType;
    std::string receiverFirmware;
    std::string receiverSerial;
};

// What is wrong with a description, in a sentence naming the field; empty when nothing is.
std::string CheckStation(const StationDescription& station);

// 1005 or 1006 (`messageNumber`) with the station's position; false (nothing appended) when
// the position is unknown or out of range.
bool AppendStationPosition(std::vector<uint8_t>& out, int messageNumber, const StationDescription& station);

// 1033 with the descriptors (each cut to 31 characters).
void AppendDescriptors(std::vector<uint8_t>& out, const StationDescription& station);

// 1019 with one ephemeris as the satellite broadcast it: every field back in the broadcast
// units the decoder scaled it from.
void AppendEphemeris(std::vector<uint8_t>& out, const DecodedEphemeris& ephemeris);

}  // namespace kestrel::rtcm
