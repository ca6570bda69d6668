#include "navcom/ephemeris.h"

#include <cstring>

#include "common/bytes.h"
#include "common/error_text.h"
#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "positioning/eph_store.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

// Frame layout of record 0x81 (89 bytes in all).
constexpr int32_t kPrnOffset = 6;         // satellite PRN, one unsigned byte
constexpr int32_t kTransmitWeekOffset = 7;  // uint16: full GPS week of the frame's time value
constexpr int32_t kTimeValueOffset = 9;   // 32-bit little-endian time value for messages
constexpr int32_t kPayloadOffset = 15;    // 72 bytes: subframes 1..3, words 3..10

constexpr int32_t kFirstPrn = 1;
constexpr int32_t kLastPrn = 32;
constexpr int32_t kInvalidPrn = -1;
constexpr int32_t kFillerValue = 9999;
constexpr int32_t kHandlerQueuedEphemeris = 2;
// A queued ephemeris is the 180-byte record followed by four zero bytes.
constexpr int32_t kQueuedEphemerisBytes = 184;
static_assert(kQueuedEphemerisBytes >= static_cast<int32_t>(sizeof(GpsEphRecord)));

// Scale factors of the broadcast fields. Each is a power of two written out to a fixed
// number of decimal digits, and these exact digits are the ones applied: the ephemeris
// file prints several fields to 15 significant digits, where the rounding shows.
constexpr double kPi = 3.141592653589793;
constexpr double kTgdScale = 4.6566128730773895e-10;        // 2^-31 s
constexpr double kAf2Scale = 2.77555756156289e-17;          // 2^-55 s/s^2
constexpr double kAf1Scale = 1.13686837721616e-13;          // 2^-43 s/s
constexpr double kAf0Scale = 4.65661287308e-10;             // 2^-31 s
constexpr double kDeltaNScale = 1.13686837721616e-13;       // 2^-43 semicircles/s
constexpr double kM0Scale = 4.6566128730773895e-10;         // 2^-31 semicircles
constexpr double kEccScale = 1.16415321826935e-10;          // 2^-33
constexpr double kSqrtAScale = 1.9073486328125e-06;         // 2^-19 m^1/2, exact
constexpr double kCicScale = 1.86264514923e-09;             // 2^-29 rad
constexpr double kCisScale = 1.86264514923e-09;             // 2^-29 rad
constexpr double kCucScale = 1.8626451492309603e-09;        // 2^-29 rad
constexpr double kCusScale = 1.8626451492309603e-09;        // 2^-29 rad
constexpr double kCrcScale = 0.03125;                       // 2^-5 m
constexpr double kCrsScale = 0.03125;                       // 2^-5 m
constexpr double kOmega0Scale = 4.65661287308e-10;          // 2^-31 semicircles
constexpr double kOmegaScale = 4.65661287308e-10;           // 2^-31 semicircles
constexpr double kI0Scale = 4.65661287308e-10;              // 2^-31 semicircles
constexpr double kOmegaDotScale = 1.13686837721616e-13;     // 2^-43 semicircles/s
constexpr double kIdotScale = 1.13686837721616e-13;         // 2^-43 semicircles/s
constexpr int32_t kTimeScaleSeconds = 16;                   // toc and toe are sent in 16 s units

// Payload byte offsets. Subframe k starts at 24 (k - 1), word w of it at 3 (w - 3).
namespace sf1 {
constexpr int kWeek = 0;       // word 3: week (10 bits), L2 code, URA, health (6), IODC high 2
constexpr int kHealth = 2;
constexpr int kTgd = 14;       // word 7, last byte
constexpr int kIodcLow = 15;   // word 8: IODC low 8, toc 16
constexpr int kToc = 16;
constexpr int kAf2 = 18;       // word 9: af2 8, af1 16
constexpr int kAf1 = 19;
constexpr int kAf0 = 21;       // word 10: af0 22, two spare bits
}  // namespace sf1
namespace sf2 {
constexpr int kIode = 24;      // word 3: IODE 8, Crs 16
constexpr int kCrs = 25;
constexpr int kDeltaN = 27;    // word 4: delta n 16, M0 high 8; word 5: M0 low 24
constexpr int kM0 = 29;
constexpr int kCuc = 33;       // word 6: Cuc 16, e high 8; word 7: e low 24
constexpr int kEcc = 35;
constexpr int kCus = 39;       // word 8: Cus 16, sqrt A high 8; word 9: sqrt A low 24
constexpr int kSqrtA = 41;
constexpr int kToe = 45;       // word 10: toe 16, fit flag, AODO
}  // namespace sf2
namespace sf3 {
constexpr int kCic = 48;       // word 3: Cic 16, Omega0 high 8; word 4: Omega0 low 24
constexpr int kOmega0 = 50;
constexpr int kCis = 54;       // word 5: Cis 16, i0 high 8; word 6: i0 low 24
constexpr int kI0 = 56;
constexpr int kCrc = 60;       // word 7: Crc 16, omega high 8; word 8: omega low 24
constexpr int kOmega = 62;
constexpr int kOmegaDot = 66;  // word 9: Omega dot 24
constexpr int kIdot = 70;      // word 10: IODE copy 8, IDOT 14, two spare bits
}  // namespace sf3

constexpr const char* kInvalidPrnMessage = "Ephemeris received with invalid PRN number (%d)";
constexpr const char* kBadHealthMessage = "Ephemeris received for PRN %d with BAD HEALTH!!!";
constexpr const char* kHealthOkMessage = "Ephemeris received for PRN %d (health OK)";

constexpr double Semicircles(int32_t value, double scale) {
    // The receiver's order: integer times scale, then times pi.
    return static_cast<double>(value) * scale * kPi;
}

constexpr int32_t SignedByte(uint8_t value) { return sign_extend(value, 8); }

}  // namespace

int32_t DecodeEphemeris(const uint8_t* payload, int32_t prn, GpsEphRecord& record) {
    record.Prn = prn;
    if (prn < kFirstPrn || prn > kLastPrn) return kInvalidPrn;
    const uint8_t* p = payload;

    // Subframe 1: clock.
    record.Week = (p[sf1::kWeek] << 2) + (p[sf1::kWeek + 1] >> 6);
    const int32_t health = (p[sf1::kHealth] >> 2) & 0x3F;
    record.Filler = kFillerValue;
    record.Tgd = SignedByte(p[sf1::kTgd]) * kTgdScale;
    record.Iodc = ((p[sf1::kHealth] & 0x03) << 8) + p[sf1::kIodcLow];
    record.Toc = static_cast<int32_t>(be_u16(p + sf1::kToc)) * kTimeScaleSeconds;
    record.Af2 = SignedByte(p[sf1::kAf2]) * kAf2Scale;
    record.Af1 = be_s16(p + sf1::kAf1) * kAf1Scale;
    record.Af0 = sign_extend(be_u24(p + sf1::kAf0) >> 2, 22) * kAf0Scale;

    // Subframe 2: orbit, first half.
    record.Iode = p[sf2::kIode];
    record.Crs = be_s16(p + sf2::kCrs) * kCrsScale;
    record.DeltaN = Semicircles(be_s16(p + sf2::kDeltaN), kDeltaNScale);
    record.M0 = Semicircles(be_s32(p + sf2::kM0), kM0Scale);
    record.Cuc = be_s16(p + sf2::kCuc) * kCucScale;
    record.Ecc = static_cast<double>(be_u32(p + sf2::kEcc)) * kEccScale;
    record.Cus = be_s16(p + sf2::kCus) * kCusScale;
    record.SqrtA = static_cast<double>(be_u32(p + sf2::kSqrtA)) * kSqrtAScale;
    record.Toe = static_cast<int32_t>(be_u16(p + sf2::kToe)) * kTimeScaleSeconds;

    // Subframe 3: orbit, second half.
    record.Cic = be_s16(p + sf3::kCic) * kCicScale;
    record.Omega0 = Semicircles(be_s32(p + sf3::kOmega0), kOmega0Scale);
    record.Cis = be_s16(p + sf3::kCis) * kCisScale;
    record.I0 = Semicircles(be_s32(p + sf3::kI0), kI0Scale);
    record.Crc = be_s16(p + sf3::kCrc) * kCrcScale;
    record.Omega = Semicircles(be_s32(p + sf3::kOmega), kOmegaScale);
    record.OmegaDot = Semicircles(sign_extend(be_u24(p + sf3::kOmegaDot), 24), kOmegaDotScale);
    record.Idot = Semicircles(sign_extend(static_cast<uint32_t>(be_u16(p + sf3::kIdot)) >> 2, 14),
                              kIdotScale);
    return health;
}

namespace {

// The frame's decoded ephemeris with the frame's own fields and the broadcast fields that
// the GpsEphRecord leaves out (subframe 1 word 3: codes on L2, URA index; word 4: the L2 P
// data flag; subframe 2 word 10: the fit-interval flag).
DecodedEphemeris Describe(const uint8_t* frame, const GpsEphRecord& record, int32_t health) {
    const uint8_t* p = frame + kPayloadOffset;
    DecodedEphemeris d{};
    d.record = record;
    d.health = health;
    d.transmitWeek = le_u16(frame + kTransmitWeekOffset);
    d.transmitTime = le_u32(frame + kTimeValueOffset);
    d.l2Codes = (p[1] >> 4) & 0x03;
    d.uraIndex = p[1] & 0x0F;
    d.l2PDataFlag = p[3] >> 7;
    d.fitIntervalFlag = p[47] >> 7;
    return d;
}

}  // namespace

int32_t HandleEphemeris(int32_t port, uint8_t* threadBuf) {
    PortState* state = GetPortState(port);
    if (state == nullptr) return 0;
    const uint8_t* frame = state->frame;
    const int32_t prnByte = frame[kPrnOffset];
    const double timeValue = static_cast<double>(le_u32(frame + kTimeValueOffset));

    GpsEphRecord record;
    std::memset(&record, 0, sizeof record);
    const int32_t health = DecodeEphemeris(frame + kPayloadOffset, prnByte, record);

    if (health == kInvalidPrn) {
        if (state->portCallback != nullptr)
            ReportToPort(*state, timeValue, format_error_text(kInvalidPrnMessage, prnByte));
        return 0;
    }
    // An observer hears of every ephemeris with a valid PRN, once what is to be queued is.
    struct TellObserver {
        PortState& port;
        const GpsEphRecord& record;
        int32_t health;
        ~TellObserver() {
            if (port.observer != nullptr) port.observer->OnEphemeris(Describe(port.frame, record, health));
        }
    } tell{*state, record, health};
    if (health > 0) {
        if (state->portCallback != nullptr)
            ReportToPort(*state, timeValue, format_error_text(kBadHealthMessage, prnByte));
        return 0;
    }
    if (state->portCallback != nullptr)
        ReportToPort(*state, timeValue, format_error_text(kHealthOkMessage, prnByte));

    uint8_t queued[kQueuedEphemerisBytes] = {};
    store_record(queued, record);
    const int32_t appendResult = AddThreadBufData(threadBuf, queued, 1, KESTREL_TYPE_GPS_EPHEMERIS);
    if (appendResult != kThreadBufNoError) {
        if (state->portCallback != nullptr)
            ReportToPort(*state, timeValue, GetThreadBufErrorText(appendResult));
        return 0;
    }

    if (state->options.clockCorrection != 0) {
        // The clock step reads this count; it grows for every healthy ephemeris queued,
        // whether the store kept a copy, already held one, or ran out of memory.
        eph_store_insert(&record);
        ++state->ephemerisCounter;
    }
    return kHandlerQueuedEphemeris;
}

}  // namespace kestrel
