// SPDX-License-Identifier: BSD-2-Clause
// The receiver's own records that the command reads besides its observations: the
// IDENTIFICATION record (0xAE: engine, cards, software versions and serial numbers) and the
// PVT record (0xB1: the receiver's position fix). The plug-in does not decode them; the
// command's decoding port accepts them through SetPortExtraRecords and hands their frames here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"
#include "navcom/port_state.h"

namespace kestrel {

struct ReceiverIdentity {
    int engineConfig = 0;      // engine configuration code
    int asic = 0;              // ASIC code
    int softwareMajor = 0;
    int softwareMinor = 0;
    int softwareBuild = 0;
    int digitalCardSerial = 0;
    int digitalCardClass = 0;
    int rfCardSerial = 0;
    int rfCardClass = 0;
    std::string softwareBuildId;  // printable characters of the build text, trimmed
    std::string bootSoftware;
    bool hasIop = false;          // the form with the input/output processor's versions
    int iopMajor = 0;
    int iopMinor = 0;
    int iopBuild = 0;
    int picVersion = 0;
    std::string iopBuildId;
};

// Decodes a whole IDENTIFICATION frame (`length` bytes, sync through checksum) of either
// form; false for another record or length.
bool DecodeIdentification(const uint8_t* frame, int32_t length, ReceiverIdentity& out);

// The engine configuration as the receiver's documentation names it ("NCT 2000 D");
// "unknown engine" for codes it does not list.
const char* EngineConfigName(int engineConfig);

// The receiver type in the IGS naming (rcvr_ant.tab) where the engine configuration tells
// it, else "NAVCOM".
std::string ReceiverIgsType(const ReceiverIdentity& identity);

// The receiver's serial number: its digital card's.
std::string ReceiverSerialNumber(const ReceiverIdentity& identity);

// The firmware version "major.minor.build" of the engine software.
std::string ReceiverFirmwareVersion(const ReceiverIdentity& identity);

// Header comment lines of at most 60 columns: the engine and its software version, then the
// I/O processor's version (when sent) and both cards' serial numbers and classes.
std::vector<std::string> ReceiverDescription(const ReceiverIdentity& identity);

struct ReceiverFix {
    int week = 0;
    uint32_t timeOfWeekMs = 0;
    uint32_t satellitesUsed = 0;   // bit n: PRN n, bit 0: PRN 32
    double latitudeDeg = 0.0;
    double longitudeDeg = 0.0;
    double ellipsoidHeightM = 0.0;
    double seaLevelHeightM = 0.0;
    uint8_t navMode = 0;           // see layout::pvt
    std::optional<double> gdop, pdop, hdop, vdop, tdop;

    bool valid() const;            // the receiver flags the fix as valid
    bool threeD() const;
    // Earth-fixed X, Y, Z (m) of the fix on the WGS-84 ellipsoid.
    std::array<double, 3> EarthFixed() const;
};

// Decodes a whole PVT frame; false for another record or length.
bool DecodePvt(const uint8_t* frame, int32_t length, ReceiverFix& out);

// The Earth-fixed position (m) of a PVT frame's valid 3-D fix timed within `from` .. `to`
// (each inclusive, none: open); none for any other frame or fix.
std::optional<std::array<double, 3>> FixWithin(const uint8_t* frame, int32_t length, const std::optional<GpsTime>& from,
                                               const std::optional<GpsTime>& to);

// The table to hand SetPortExtraRecords so that a port accepts both records.
const RecordDef* ReceiverInfoRecords();
int32_t ReceiverInfoRecordCount();

}  // namespace kestrel
