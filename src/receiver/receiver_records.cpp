// SPDX-License-Identifier: BSD-2-Clause
#include "receiver/receiver_records.h"

#include <cstdio>
#include <iterator>
#include <numbers>

#include "common/bytes.h"
#include "navcom/record_layout.h"
#include "positioning/geodesy.h"

namespace kestrel {
namespace {

namespace id = layout::identification;
namespace pv = layout::pvt;

// Both records, checked by the frame parser's length and checksum rules: IDENTIFICATION is
// 58 bytes, or 20 more with the I/O processor's versions; PVT is always 89 bytes.
constexpr RecordDef kRecords[] = {
    {id::kId, "IDENTIFICATION", id::kEngineFrameBytes, id::kIopFrameBytes - id::kEngineFrameBytes, 0, 0, nullptr},
    {pv::kId, "PVT", pv::kFrameBytes, 0, 0, 0, nullptr},
};

struct EngineName {
    int code;
    const char* name;
    const char* igsType;  // null when the IGS table has no name for it
};
constexpr EngineName kEngines[] = {
    {0x00, "unknown engine", nullptr},
    {0x01, "NCT 2000 S", nullptr},
    {0x02, "NCT 2000 D", "NAVCOM NCT-2000D"},
    {0x03, "StarFire Single", nullptr},
    {0x04, "StarFire Dual", nullptr},
    {0x05, "Pole Mount RTK (Internal Radio)", nullptr},
    {0x06, "Pole Mount GIS (LBM)", nullptr},
    {0x07, "Black Box RTK (Internal Radio)", nullptr},
    {0x08, "Black Box GIS (LBM)", nullptr},
    {0x80, "R100", nullptr},
    {0x81, "R200", nullptr},
    {0x82, "R210", nullptr},
    {0x83, "R300", nullptr},
    {0x84, "R310", nullptr},
};
constexpr const char* kAsicNames[] = {"unknown ASIC", "A-ASIC", "B-ASIC", "C-ASIC", "M-ASIC"};
constexpr const char* kGenericType = "NAVCOM";
constexpr double kArcsecPerDegree = 3600.0;

const EngineName* FindEngine(int code) {
    for (const EngineName& e : kEngines) {
        if (e.code == code) return &e;
    }
    return nullptr;
}

// The printable characters of a NUL-padded text field, without blanks at either end.
std::string Text(const uint8_t* p, int bytes) {
    std::string text;
    for (int i = 0; i < bytes && p[i] != 0; ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7F) text += static_cast<char>(p[i]);
    }
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::optional<double> Dop(uint8_t raw) {
    if (raw == pv::kDopUnknown) return std::nullopt;
    return raw * pv::kDopUnit;
}

double Degrees(int32_t units, unsigned fraction) {
    // The fraction is the four bits below the angle's last unit: the angle is units * 16 +
    // fraction in 2^-15 arc-second, whatever its sign.
    return (units * pv::kAngleUnitArcsec + fraction * pv::kFractionUnitArcsec) / kArcsecPerDegree;
}

bool IsRecord(const uint8_t* frame, int32_t length, uint8_t recordId) {
    return frame != nullptr && length > layout::frame::kIdOffset && frame[layout::frame::kIdOffset] == recordId &&
           layout::frame::FrameBytes(le_u16(frame + layout::frame::kLengthOffset)) == length;
}

}  // namespace

bool DecodeIdentification(const uint8_t* f, int32_t length, ReceiverIdentity& out) {
    if (!IsRecord(f, length, id::kId) || (length != id::kEngineFrameBytes && length != id::kIopFrameBytes)) {
        return false;
    }
    ReceiverIdentity r;
    r.engineConfig = f[id::kEngineConfigOffset];
    r.asic = f[id::kAsicOffset];
    r.softwareMajor = f[id::kSoftwareMajorOffset];
    r.softwareMinor = f[id::kSoftwareMinorOffset];
    r.digitalCardSerial = le_u16(f + id::kDigitalSerialOffset);
    r.digitalCardClass = f[id::kDigitalClassOffset];
    r.rfCardSerial = le_u16(f + id::kRfSerialOffset);
    r.rfCardClass = f[id::kRfClassOffset];
    r.softwareBuildId = Text(f + id::kSoftwareBuildIdOffset, id::kTextBytes);
    r.bootSoftware = Text(f + id::kBootSoftwareOffset, id::kTextBytes);
    r.hasIop = length == id::kIopFrameBytes;
    if (r.hasIop) {
        r.iopMajor = f[id::kIopMajorOffset];
        r.iopMinor = f[id::kIopMinorOffset];
        r.iopBuildId = Text(f + id::kIopBuildIdOffset, id::kTextBytes);
        r.picVersion = f[id::kPicVersionOffset];
        r.softwareBuild = f[id::kSoftwareBuildIopFormOffset];
        r.iopBuild = f[id::kIopBuildNumberOffset];
    } else {
        r.softwareBuild = f[id::kSoftwareBuildEngineFormOffset];
    }
    out = r;
    return true;
}

const char* EngineConfigName(int engineConfig) {
    const EngineName* e = FindEngine(engineConfig);
    return e != nullptr ? e->name : kEngines[0].name;
}

std::string ReceiverIgsType(const ReceiverIdentity& identity) {
    const EngineName* e = FindEngine(identity.engineConfig);
    return e != nullptr && e->igsType != nullptr ? e->igsType : kGenericType;
}

std::string ReceiverSerialNumber(const ReceiverIdentity& identity) { return std::to_string(identity.digitalCardSerial); }

std::string ReceiverFirmwareVersion(const ReceiverIdentity& identity) {
    return std::to_string(identity.softwareMajor) + "." + std::to_string(identity.softwareMinor) + "." +
           std::to_string(identity.softwareBuild);
}

std::vector<std::string> ReceiverDescription(const ReceiverIdentity& r) {
    const char* asic = r.asic >= 0 && r.asic < static_cast<int>(std::size(kAsicNames)) ? kAsicNames[r.asic]
                                                                                        : kAsicNames[0];
    char text[160];
    std::snprintf(text, sizeof text, "Receiver: %s %s, software %s", EngineConfigName(r.engineConfig), asic,
                  ReceiverFirmwareVersion(r).c_str());
    std::vector<std::string> lines{text};
    std::string second = "Receiver: ";
    if (r.hasIop) {
        std::snprintf(text, sizeof text, "I/O %d.%d.%d, ", r.iopMajor, r.iopMinor, r.iopBuild);
        second += text;
    }
    std::snprintf(text, sizeof text, "cards %d.%d and %d.%d", r.digitalCardSerial, r.digitalCardClass,
                  r.rfCardSerial, r.rfCardClass);
    lines.push_back(second + text);
    return lines;
}

bool ReceiverFix::valid() const { return (navMode & pv::kNavValid) != 0; }
bool ReceiverFix::threeD() const { return valid() && (navMode & pv::kNav3d) != 0; }

std::array<double, 3> ReceiverFix::EarthFixed() const {
    constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;
    std::array<double, 3> xyz{};
    geodetic_to_ecef(latitudeDeg * kRadiansPerDegree, longitudeDeg * kRadiansPerDegree, ellipsoidHeightM, &xyz[0],
                     &xyz[1], &xyz[2]);
    return xyz;
}

bool DecodePvt(const uint8_t* f, int32_t length, ReceiverFix& out) {
    if (!IsRecord(f, length, pv::kId) || length != pv::kFrameBytes) return false;
    ReceiverFix r;
    r.week = le_u16(f + pv::kWeekOffset);
    r.timeOfWeekMs = le_u32(f + pv::kTimeOffset);
    r.satellitesUsed = le_u32(f + pv::kSatellitesOffset);
    const uint8_t fractions = f[pv::kFractionsOffset];
    r.latitudeDeg = Degrees(le_s32(f + pv::kLatitudeOffset), fractions >> 4);
    r.longitudeDeg = Degrees(le_s32(f + pv::kLongitudeOffset), fractions & 0x0F);
    r.navMode = f[pv::kNavModeOffset];
    r.ellipsoidHeightM = le_s32(f + pv::kEllipsoidHeightOffset) * pv::kHeightUnitM;
    r.seaLevelHeightM = le_s32(f + pv::kSeaLevelHeightOffset) * pv::kHeightUnitM;
    r.gdop = Dop(f[pv::kGdopOffset]);
    r.pdop = Dop(f[pv::kPdopOffset]);
    r.hdop = Dop(f[pv::kHdopOffset]);
    r.vdop = Dop(f[pv::kVdopOffset]);
    r.tdop = Dop(f[pv::kTdopOffset]);
    out = r;
    return true;
}

const RecordDef* ReceiverInfoRecords() { return kRecords; }
int32_t ReceiverInfoRecordCount() { return static_cast<int32_t>(std::size(kRecords)); }

std::optional<std::array<double, 3>> FixWithin(const uint8_t* frame, int32_t length, const std::optional<GpsTime>& from,
                                               const std::optional<GpsTime>& to) {
    ReceiverFix fix;
    if (!DecodePvt(frame, length, fix) || !fix.threeD()) return std::nullopt;
    const double total = GpsTime{fix.week, fix.timeOfWeekMs * layout::kTimeUnitS}.Total();
    if ((from && total < from->Total()) || (to && total > to->Total())) return std::nullopt;
    return fix.EarthFixed();
}

}  // namespace kestrel
