// SPDX-License-Identifier: BSD-2-Clause
// Byte layouts of the NavCom receiver's records that Kestrel reads and writes: the frame
// around every record, the MEASUREMENT record (0xB0) and the EPHEMERIS record (0x81), with
// their offsets, widths, units and status bits, and the IDENTIFICATION (0xAE) and PVT (0xB1)
// records the command reads for file headers. The decoders, the tests' frame builder and
// the log encoder of tools/ all take them from here, so that each fact is written once.
//
// Sources: the frame and both records follow the receiver's record layout; the ephemeris
// payload carries words 3 to 10 of GPS subframes 1 to 3, whose fields, bit positions and
// scale factors are those of IS-GPS-200, the GPS signal and navigation message interface.
// IDENTIFICATION and PVT follow the receiver's technical reference as gpsd's NavCom driver
// reads them. The receiver's captures in data/navcom confirm both (tests/record_layout_test.cpp).
#pragma once

#include <cstdint>

#include "common/bytes.h"

namespace kestrel::layout {

// ---- Frame ------------------------------------------------------------------------------
// 02 99 66 id lenLo lenHi body... checksum. The length L counts the id through the
// checksum, so a frame is L + 3 bytes; the checksum is the XOR of the id through the last
// body byte.
namespace frame {
inline constexpr uint8_t kSync[3] = {0x02, 0x99, 0x66};
constexpr int kSyncBytes = 3;
constexpr int kIdOffset = 3;
constexpr int kLengthOffset = 4;  // uint16, little-endian: L
constexpr int kBodyOffset = 6;    // first byte of the record's own fields
constexpr int kChecksumFrom = kIdOffset;
// Bytes L counts besides the body: the id, the two length bytes and the checksum.
constexpr int kLengthOverhead = 4;
// Bytes of a frame besides the body.
constexpr int kFrameOverhead = kSyncBytes + kLengthOverhead;

constexpr int FrameBytes(int length) { return length + kSyncBytes; }
constexpr int LengthOfBody(int bodyBytes) { return bodyBytes + kLengthOverhead; }
// Index in the body of a field at frame offset `frameOffset`.
constexpr int BodyIndex(int frameOffset) { return frameOffset - kBodyOffset; }

static_assert(kBodyOffset == kLengthOffset + 2);
static_assert(FrameBytes(LengthOfBody(0)) == kFrameOverhead);
}  // namespace frame

// ---- Units of the MEASUREMENT record ------------------------------------------------------

// L1 wavelength in metres as the receiver uses it (this decimal value, not c/f1): the unit
// of its code ranges and the step from range change to Doppler.
constexpr double kL1WavelengthM = 0.190293672798;
constexpr double kCodeUnitCycles = 0.0625;         // 1/16 L1 cycle: C/A range and P-code deltas
constexpr double kPhaseUnitCycles = 0.00390625;    // 1/256 cycle of the phase's own carrier
constexpr double kL2PerL1 = 0.7792207792207793;    // L2 cycles per L1 cycle, f2/f1 = 60/77
constexpr double kTimeUnitS = 0.001;               // the epoch's time of week is in ms

static_assert(kCodeUnitCycles * 16 == 1.0);
static_assert(kPhaseUnitCycles * 256 == 1.0);
static_assert(kL2PerL1 == 60.0 / 77.0);

// ---- MEASUREMENT (0xB0): one epoch, 15 + 16 n bytes for n satellite blocks ------------------
namespace measurement {
constexpr uint8_t kId = 0xB0;
constexpr int kWeekOffset = 6;         // uint16: full GPS week
constexpr int kTimeOffset = 8;         // uint32: GPS time of week, ms
constexpr int kCountOffset = 13;       // low nibble: number of satellite blocks
constexpr uint8_t kCountMask = 0x0F;   // the high nibble is not read
constexpr int kFirstBlockOffset = 14;
constexpr int kBlockBytes = 16;
constexpr int kMaxBlocks = kCountMask;
constexpr int kBaseFrameBytes = kFirstBlockOffset + 1;  // no blocks: up to the count, and the checksum

constexpr int FrameBytes(int blocks) { return kBaseFrameBytes + kBlockBytes * blocks; }
constexpr int BlockOffset(int index) { return kFirstBlockOffset + kBlockBytes * index; }

static_assert(kWeekOffset == frame::kBodyOffset);
static_assert(kTimeOffset == kWeekOffset + 2);
static_assert(kCountOffset >= kTimeOffset + 4 && kFirstBlockOffset == kCountOffset + 1);
static_assert(FrameBytes(kMaxBlocks) == 255);
}  // namespace measurement

// One 16-byte satellite block of a MEASUREMENT frame.
namespace block {
constexpr int kStatusOffset = 0;
constexpr uint8_t kValid = 0x80;
constexpr uint8_t kHasP1 = 0x40;       // the L1 P-code delta is present
constexpr uint8_t kHasL2 = 0x20;       // the L2 P-code delta and L2 phase are present
constexpr uint8_t kPrnMask = 0x1F;
constexpr int kStrengthOffset = 1;     // high nibble: strength code; the low nibble is not read
constexpr int kStrengthShift = 4;
constexpr int kStrengthBase = 35;      // strength figure (dB-Hz) = 35 + code
constexpr int kStrengthCodeMax = 0xFF >> kStrengthShift;
constexpr int kCaRangeOffset = 2;      // uint32: C/A code range, 1/16 L1 cycle
constexpr int kL1PhaseOffset = 6;      // phase word, around the C/A range
constexpr int kP1DeltaOffset = 9;      // int16: L1 P-code minus C/A range, 1/16 L1 cycle
constexpr int kP2DeltaOffset = 11;     // int16: L2 P-code minus C/A range, 1/16 L1 cycle
constexpr int kL2PhaseOffset = 13;     // phase word, around the L2 P-code range in L2 cycles

static_assert((kValid | kHasP1 | kHasL2 | kPrnMask) == 0xFF && (kValid & kHasP1 & kHasL2 & kPrnMask) == 0);
static_assert(kL1PhaseOffset == kCaRangeOffset + 4 && kP1DeltaOffset == kL1PhaseOffset + 3);
static_assert(kP2DeltaOffset == kP1DeltaOffset + 2 && kL2PhaseOffset == kP2DeltaOffset + 2);
static_assert(kL2PhaseOffset + 3 == measurement::kBlockBytes);
}  // namespace block

// A phase word: 3 bytes, little-endian; bits 3..0 the carrier's lock counter (it changes
// when the receiver loses lock), bits 23..4 a two's-complement offset of the phase from the
// code range, in 1/256 cycle.
namespace phase_word {
constexpr int kBytes = 3;
constexpr uint32_t kLockCounterMask = 0x0F;
constexpr int kOffsetShift = 4;
constexpr int kOffsetBits = 20;
constexpr int32_t kOffsetMin = -(int32_t{1} << (kOffsetBits - 1));
constexpr int32_t kOffsetMax = (int32_t{1} << (kOffsetBits - 1)) - 1;
constexpr uint32_t kOffsetMask = (uint32_t{1} << kOffsetBits) - 1;

static_assert(kLockCounterMask == (1u << kOffsetShift) - 1 && kOffsetShift + kOffsetBits == 8 * kBytes);

constexpr int32_t LockCounter(uint32_t word) { return static_cast<int32_t>(word & kLockCounterMask); }
constexpr int32_t Offset(uint32_t word) { return sign_extend(word >> kOffsetShift, kOffsetBits); }
constexpr uint32_t Pack(int32_t offsetUnits, uint32_t lockCounter) {
    const uint32_t offset = static_cast<uint32_t>(offsetUnits) & kOffsetMask;
    return (offset << kOffsetShift) | (lockCounter & kLockCounterMask);
}
}  // namespace phase_word

// The decoded carrier phase runs opposite to the code range and to the RINEX phase: it
// falls as the satellite moves away. A phase word carries only the phase's offset from the
// code, so this sign is the decoder's convention, the one its output has always had.
constexpr double kPhaseSign = -1.0;

// The phase, in cycles of its carrier, that a phase word's offset gives around a code range
// in cycles of the same carrier.
constexpr double PhaseCycles(int32_t offsetUnits, double codeCycles) {
    return kPhaseSign * (offsetUnits * kPhaseUnitCycles + codeCycles);
}

// The inverse: the offset, in 1/256 cycle and not yet rounded, that makes PhaseCycles give
// `phaseCycles` around `codeCycles`.
constexpr double PhaseOffsetUnits(double phaseCycles, double codeCycles) {
    return (kPhaseSign * phaseCycles - codeCycles) / kPhaseUnitCycles;
}

static_assert(PhaseCycles(256, 1000.0) == -1001.0 && PhaseOffsetUnits(-1001.0, 1000.0) == 256.0);

// ---- EPHEMERIS (0x81): one satellite's subframes 1 to 3, 89 bytes ---------------------------
namespace ephemeris {
constexpr uint8_t kId = 0x81;
constexpr int kFrameBytes = 89;
constexpr int kPrnOffset = 6;          // uint8: satellite PRN
constexpr int kWeekOffset = 7;         // uint16: full GPS week of transmission
constexpr int kTimeOffset = 9;         // uint32: transmission time, whole seconds of that week
constexpr int kIodcOffset = 13;        // uint16: the IODC again (not read; the encoder leaves it 0)
constexpr int kPayloadOffset = 15;
constexpr int kPayloadBytes = 72;      // subframes 1..3, words 3..10, parity removed
// Byte 87 is not read; byte 88 is the checksum.

static_assert(kPrnOffset == frame::kBodyOffset && kWeekOffset == kPrnOffset + 1);
static_assert(kTimeOffset == kWeekOffset + 2 && kIodcOffset == kTimeOffset + 4);
static_assert(kPayloadOffset == kIodcOffset + 2);
static_assert(kPayloadOffset + kPayloadBytes + 2 == kFrameBytes);
}  // namespace ephemeris

// ---- IDENTIFICATION (0xAE): the receiver's engine, cards and software, 58 or 78 bytes -------
// The command reads it for the RINEX header; the plug-in's record table does not hold it.
// Two forms: the engine alone (58 bytes), and with the input/output processor's versions
// (78 bytes, 20 more).
namespace identification {
constexpr uint8_t kId = 0xAE;
constexpr int kEngineConfigOffset = 6;     // uint8: engine configuration code
constexpr int kAsicOffset = 7;             // uint8: ASIC code
constexpr int kSoftwareMajorOffset = 8;    // uint8: software version, major
constexpr int kSoftwareMinorOffset = 9;    // uint8: software version, minor
constexpr int kDigitalSerialOffset = 10;   // uint16: digital card serial number
constexpr int kDigitalClassOffset = 12;    // uint8: digital card class
constexpr int kRfSerialOffset = 13;        // uint16: RF card serial number
constexpr int kRfClassOffset = 15;         // uint8: RF card class
constexpr int kSoftwareBuildIdOffset = 16; // 16 characters, NUL-padded: software build
constexpr int kBootSoftwareOffset = 32;    // 16 characters, NUL-padded: boot software
constexpr int kTextBytes = 16;
// Bytes 48..55 are not read.
constexpr int kEngineFrameBytes = 58;
constexpr int kSoftwareBuildEngineFormOffset = 56;  // uint8: software build number
constexpr int kIopFrameBytes = 78;
constexpr int kIopMajorOffset = 56;        // uint8: I/O processor version, major
constexpr int kIopMinorOffset = 57;        // uint8: I/O processor version, minor
constexpr int kIopBuildIdOffset = 58;      // 16 characters: I/O processor build
constexpr int kPicVersionOffset = 74;      // uint8
constexpr int kSoftwareBuildIopFormOffset = 75;  // uint8: software build number
constexpr int kIopBuildNumberOffset = 76;  // uint8: I/O processor build number

static_assert(kEngineConfigOffset == frame::kBodyOffset);
static_assert(kRfSerialOffset == kDigitalClassOffset + 1 && kSoftwareBuildIdOffset == kRfClassOffset + 1);
static_assert(kBootSoftwareOffset == kSoftwareBuildIdOffset + kTextBytes);
static_assert(kSoftwareBuildEngineFormOffset + 2 == kEngineFrameBytes);
static_assert(kIopBuildIdOffset + kTextBytes == kPicVersionOffset);
static_assert(kIopBuildNumberOffset + 2 == kIopFrameBytes && kSoftwareBuildIopFormOffset == kPicVersionOffset + 1);
}  // namespace identification

// ---- PVT (0xB1): the receiver's own position fix, 89 bytes -----------------------------------
// Read by the command (RINEX approximate position, qc); not in the plug-in's record table.
namespace pvt {
constexpr uint8_t kId = 0xB1;
constexpr int kFrameBytes = 89;
constexpr int kWeekOffset = 6;          // uint16: full GPS week
constexpr int kTimeOffset = 8;          // uint32: GPS time of week, ms
constexpr int kSatellitesOffset = 12;   // uint32: satellites used, bit n for PRN n (bit 0: PRN 32)
constexpr int kLatitudeOffset = 16;     // int32: latitude, 2^-11 arc-second
constexpr int kLongitudeOffset = 20;    // int32: longitude, 2^-11 arc-second
constexpr int kFractionsOffset = 24;    // uint8: high nibble latitude, low nibble longitude, 2^-15 arc-second
constexpr int kNavModeOffset = 25;      // uint8: navigation mode, bits below
constexpr int kEllipsoidHeightOffset = 26;  // int32: height over the WGS-84 ellipsoid, 2^-10 m
constexpr int kSeaLevelHeightOffset = 30;   // int32: height over mean sea level, 2^-10 m
// Bytes 34..42 hold the velocities, 43 the figure of merit; not read.
constexpr int kGdopOffset = 44;         // uint8 each, in 0.1; 255 when not computed
constexpr int kPdopOffset = 45;
constexpr int kHdopOffset = 46;
constexpr int kVdopOffset = 47;
constexpr int kTdopOffset = 48;
constexpr uint8_t kDopUnknown = 255;
constexpr double kDopUnit = 0.1;
constexpr double kAngleUnitArcsec = 0x1p-11;
constexpr double kFractionUnitArcsec = 0x1p-15;
constexpr double kHeightUnitM = 0x1p-10;
// Navigation mode: with bit 7 set the fix is valid, bit 6 a 3-D fix, bits 1..0 the kind
// (0 autonomous, 1 code differential, 2 carrier-phase, 3 RTK). Without bit 7, bits 6..0
// give the reason there is no fix.
constexpr uint8_t kNavValid = 0x80;
constexpr uint8_t kNav3d = 0x40;
constexpr uint8_t kNavKindMask = 0x03;

static_assert(kWeekOffset == frame::kBodyOffset && kTimeOffset == kWeekOffset + 2);
static_assert(kLatitudeOffset == kSatellitesOffset + 4 && kLongitudeOffset == kLatitudeOffset + 4);
static_assert(kFractionsOffset == kLongitudeOffset + 4 && kNavModeOffset == kFractionsOffset + 1);
static_assert(kEllipsoidHeightOffset == kNavModeOffset + 1 && kSeaLevelHeightOffset == kEllipsoidHeightOffset + 4);
static_assert(kTdopOffset == kGdopOffset + 4 && kTdopOffset < kFrameBytes - 1);
static_assert(kFractionUnitArcsec * 16 == kAngleUnitArcsec);
}  // namespace pvt

// ---- The ephemeris payload --------------------------------------------------------------
// Each subframe is sent as its words 3 to 10, 24 bits each, most significant byte first.
constexpr int kWordBytes = 3;
constexpr int kFirstWord = 3;
constexpr int kLastWord = 10;
constexpr int kSubframeBytes = kWordBytes * (kLastWord - kFirstWord + 1);

// Payload byte where word `word` (3..10) of subframe `subframe` (1..3) starts.
constexpr int WordOffset(int subframe, int word) {
    return kSubframeBytes * (subframe - 1) + kWordBytes * (word - kFirstWord);
}
static_assert(WordOffset(3, kLastWord) + kWordBytes == ephemeris::kPayloadBytes);

constexpr double kPi = 3.141592653589793;  // radians per semicircle, as the decoder multiplies
constexpr double kReferenceTimeUnitS = 16.0;  // toc and toe are sent in units of 16 s

// One field of the payload: `bits` wide, `shift` bits above the low end of the `bytes`
// big-endian bytes that start at payload byte `offset`. A field of 32 bits runs on from
// the last byte of one word into the next.
struct Field {
    int offset;
    int bytes;
    int shift;
    int bits;
    bool isSigned;
    double scale = 1.0;        // value of one count; the decimals the decoder applies
    bool semicircles = false;  // scale is in semicircles: the value is then multiplied by pi

    friend constexpr bool operator==(const Field&, const Field&) = default;
};

// The field's bits as an unsigned number.
constexpr uint32_t FieldBits(const uint8_t* payload, const Field& f) {
    uint64_t v = 0;
    for (int i = 0; i < f.bytes; ++i) v = (v << 8) | payload[f.offset + i];
    return static_cast<uint32_t>((v >> f.shift) & ((uint64_t{1} << f.bits) - 1));
}

// The field's integer: sign-extended when the field is signed.
constexpr int64_t FieldValue(const uint8_t* payload, const Field& f) {
    const uint32_t bits = FieldBits(payload, f);
    return f.isSigned ? int64_t{sign_extend(bits, f.bits)} : int64_t{bits};
}

// The field's value in its unit: the integer times the scale, then times pi for angles.
constexpr double FieldReal(const uint8_t* payload, const Field& f) {
    const double v = static_cast<double>(FieldValue(payload, f)) * f.scale;
    return f.semicircles ? v * kPi : v;
}

// Writes `value`, cut to the field's width, into the field's bits; the payload's other
// bits stay as they are.
constexpr void PutField(uint8_t* payload, const Field& f, int64_t value) {
    const uint64_t mask = ((uint64_t{1} << f.bits) - 1) << f.shift;
    const uint64_t placed = (static_cast<uint64_t>(value) << f.shift) & mask;
    for (int i = f.bytes - 1, k = 0; i >= 0; --i, k += 8) {
        const auto keep = static_cast<uint8_t>(payload[f.offset + i] & ~(mask >> k));
        payload[f.offset + i] = static_cast<uint8_t>(keep | (placed >> k));
    }
}

// Scale factors: powers of two, each written out to as many decimal digits as the decoder
// applies them (2^-29 and 2^-31 to 17 digits for some fields, to 12 for others). The
// ephemeris file prints several fields to 15 significant digits, where these roundings show,
// so the digits are kept as they are.
constexpr double kScale2m5 = 0.03125;                    // 2^-5, exact
constexpr double kScale2m19 = 1.9073486328125e-06;       // 2^-19, exact
constexpr double kScale2m29Long = 1.8626451492309603e-09;
constexpr double kScale2m29Short = 1.86264514923e-09;
constexpr double kScale2m31Long = 4.6566128730773895e-10;
constexpr double kScale2m31Short = 4.65661287308e-10;
constexpr double kScale2m33 = 1.16415321826935e-10;
constexpr double kScale2m43 = 1.13686837721616e-13;
constexpr double kScale2m55 = 2.77555756156289e-17;

// Subframe 1: week, health, clock.
namespace sf1 {
constexpr Field kWeek = {WordOffset(1, 3), 2, 6, 10, false};       // word 3 bits 1-10: week mod 1024
constexpr Field kL2Codes = {WordOffset(1, 3) + 1, 1, 4, 2, false};  // bits 11-12: codes on L2
constexpr Field kUraIndex = {WordOffset(1, 3) + 1, 1, 0, 4, false}; // bits 13-16: URA index
constexpr Field kHealth = {WordOffset(1, 3) + 2, 1, 2, 6, false};   // bits 17-22: satellite health
constexpr Field kIodcHigh = {WordOffset(1, 3) + 2, 1, 0, 2, false}; // bits 23-24: IODC bits 10-9
constexpr Field kL2PFlag = {WordOffset(1, 4), 1, 7, 1, false};      // word 4 bit 1: L2 P data flag
constexpr Field kTgd = {WordOffset(1, 7) + 2, 1, 0, 8, true, kScale2m31Long};  // s
constexpr Field kIodcLow = {WordOffset(1, 8), 1, 0, 8, false};      // word 8 bits 1-8: IODC bits 8-1
constexpr Field kToc = {WordOffset(1, 8) + 1, 2, 0, 16, false, kReferenceTimeUnitS};  // s of week
constexpr Field kAf2 = {WordOffset(1, 9), 1, 0, 8, true, kScale2m55};            // s/s^2
constexpr Field kAf1 = {WordOffset(1, 9) + 1, 2, 0, 16, true, kScale2m43};       // s/s
constexpr Field kAf0 = {WordOffset(1, 10), 3, 2, 22, true, kScale2m31Short};     // s
constexpr int kIodcLowBits = 8;

// User range accuracy: the upper bound in metres of each URA index 0 to 14; index 15 gives
// no accuracy prediction.
inline constexpr double kUraBoundsM[15] = {2.4,   3.4,   4.85,  6.85,   9.65,   13.65,  24.0,  48.0,
                                           96.0,  192.0, 384.0, 768.0, 1536.0, 3072.0, 6144.0};
constexpr int kUraNoPrediction = 15;
static_assert(kUraNoPrediction == (1 << kUraIndex.bits) - 1);
}  // namespace sf1

// Subframe 2: orbit, first half.
namespace sf2 {
constexpr Field kIode = {WordOffset(2, 3), 1, 0, 8, false};
constexpr Field kCrs = {WordOffset(2, 3) + 1, 2, 0, 16, true, kScale2m5};                // m
constexpr Field kDeltaN = {WordOffset(2, 4), 2, 0, 16, true, kScale2m43, true};          // rad/s
constexpr Field kM0 = {WordOffset(2, 4) + 2, 4, 0, 32, true, kScale2m31Long, true};      // rad
constexpr Field kCuc = {WordOffset(2, 6), 2, 0, 16, true, kScale2m29Long};               // rad
constexpr Field kEcc = {WordOffset(2, 6) + 2, 4, 0, 32, false, kScale2m33};
constexpr Field kCus = {WordOffset(2, 8), 2, 0, 16, true, kScale2m29Long};               // rad
constexpr Field kSqrtA = {WordOffset(2, 8) + 2, 4, 0, 32, false, kScale2m19};            // m^1/2
constexpr Field kToe = {WordOffset(2, 10), 2, 0, 16, false, kReferenceTimeUnitS};        // s of week
constexpr Field kFitInterval = {WordOffset(2, 10) + 2, 1, 7, 1, false};  // word 10 bit 17: 0 = 4 hours
constexpr Field kAodo = {WordOffset(2, 10) + 2, 1, 2, 5, false};         // bits 18-22, in 900 s
}  // namespace sf2

// Subframe 3: orbit, second half.
namespace sf3 {
constexpr Field kCic = {WordOffset(3, 3), 2, 0, 16, true, kScale2m29Short};               // rad
constexpr Field kOmega0 = {WordOffset(3, 3) + 2, 4, 0, 32, true, kScale2m31Short, true};  // rad
constexpr Field kCis = {WordOffset(3, 5), 2, 0, 16, true, kScale2m29Short};               // rad
constexpr Field kI0 = {WordOffset(3, 5) + 2, 4, 0, 32, true, kScale2m31Short, true};      // rad
constexpr Field kCrc = {WordOffset(3, 7), 2, 0, 16, true, kScale2m5};                     // m
constexpr Field kOmega = {WordOffset(3, 7) + 2, 4, 0, 32, true, kScale2m31Short, true};   // rad
constexpr Field kOmegaDot = {WordOffset(3, 9), 3, 0, 24, true, kScale2m43, true};         // rad/s
constexpr Field kIodeCopy = {WordOffset(3, 10), 1, 0, 8, false};  // equals subframe 2's IODE
constexpr Field kIdot = {WordOffset(3, 10) + 1, 2, 2, 14, true, kScale2m43, true};        // rad/s
}  // namespace sf3

// Every field, for the checks below and for tests that walk the payload.
inline constexpr Field kAllFields[] = {
    sf1::kWeek, sf1::kL2Codes, sf1::kUraIndex, sf1::kHealth, sf1::kIodcHigh, sf1::kL2PFlag,
    sf1::kTgd, sf1::kIodcLow, sf1::kToc, sf1::kAf2, sf1::kAf1, sf1::kAf0,
    sf2::kIode, sf2::kCrs, sf2::kDeltaN, sf2::kM0, sf2::kCuc, sf2::kEcc, sf2::kCus, sf2::kSqrtA,
    sf2::kToe, sf2::kFitInterval, sf2::kAodo,
    sf3::kCic, sf3::kOmega0, sf3::kCis, sf3::kI0, sf3::kCrc, sf3::kOmega, sf3::kOmegaDot,
    sf3::kIodeCopy, sf3::kIdot,
};

namespace detail {
// Every field lies inside the payload and its bytes, and no two fields share a bit.
constexpr bool FieldsAreDisjoint() {
    uint8_t used[ephemeris::kPayloadBytes] = {};
    for (const Field& f : kAllFields) {
        if (f.bytes < 1 || f.bytes > 4 || f.bits < 1 || f.shift < 0) return false;
        if (f.shift + f.bits > 8 * f.bytes) return false;
        if (f.offset < 0 || f.offset + f.bytes > ephemeris::kPayloadBytes) return false;
        for (int b = f.shift; b < f.shift + f.bits; ++b) {
            const int byte = f.offset + f.bytes - 1 - b / 8;
            const auto bit = static_cast<uint8_t>(1u << (b % 8));
            if (used[byte] & bit) return false;
            used[byte] = static_cast<uint8_t>(used[byte] | bit);
        }
    }
    return true;
}
// A scale is the power of two it stands for, to the 12 digits of its shortest writing.
constexpr bool Near(double scale, double power) {
    const double r = scale / power - 1.0;
    return r < 1e-12 && r > -1e-12;
}
}  // namespace detail

static_assert(detail::FieldsAreDisjoint());
static_assert(detail::Near(kScale2m29Long, 0x1p-29) && detail::Near(kScale2m29Short, 0x1p-29));
static_assert(detail::Near(kScale2m31Long, 0x1p-31) && detail::Near(kScale2m31Short, 0x1p-31));
static_assert(detail::Near(kScale2m33, 0x1p-33) && detail::Near(kScale2m43, 0x1p-43));
static_assert(detail::Near(kScale2m55, 0x1p-55));
static_assert(kScale2m5 == 0x1p-5 && kScale2m19 == 0x1p-19);

}  // namespace kestrel::layout
