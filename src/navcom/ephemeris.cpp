// SPDX-License-Identifier: BSD-2-Clause
// EPHEMERIS (0x81) decoder. Its format facts come from the receiver's record layout (the
// frame: PRN, transmission time, payload) and, for the subframes' fields, bit positions and
// scale factors, from IS-GPS-200, the interface document of the GPS navigation message;
// both are written down once in navcom/record_layout.h.
#include "navcom/ephemeris.h"

#include <cstring>

#include "common/bytes.h"
#include "common/error_text.h"
#include "common/gps_prn.h"
#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "navcom/record_layout.h"
#include "positioning/eph_store.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr int32_t kInvalidPrn = -1;
constexpr int32_t kFillerValue = 9999;
constexpr int32_t kHandlerQueuedEphemeris = 2;
// A queued ephemeris is the 180-byte record followed by four zero bytes.
constexpr int32_t kQueuedEphemerisBytes = 184;
static_assert(kQueuedEphemerisBytes >= static_cast<int32_t>(sizeof(GpsEphRecord)));

constexpr const char* kInvalidPrnMessage = "Ephemeris received with invalid PRN number (%d)";
constexpr const char* kBadHealthMessage = "Ephemeris received for PRN %d with BAD HEALTH!!!";
constexpr const char* kHealthOkMessage = "Ephemeris received for PRN %d (health OK)";

// A whole-number field: week, health, IODE, and toc and toe in seconds.
int32_t Whole(const uint8_t* payload, const layout::Field& f) {
    return static_cast<int32_t>(layout::FieldReal(payload, f));
}

}  // namespace

int32_t DecodeEphemeris(const uint8_t* payload, int32_t prn, GpsEphRecord& record) {
    using layout::FieldReal;
    using layout::FieldValue;
    namespace sf1 = layout::sf1;
    namespace sf2 = layout::sf2;
    namespace sf3 = layout::sf3;
    record.Prn = prn;
    if (!IsGpsPrn(prn)) return kInvalidPrn;
    const uint8_t* p = payload;

    // Subframe 1: clock.
    record.Week = Whole(p, sf1::kWeek);
    const int32_t health = Whole(p, sf1::kHealth);
    record.Filler = kFillerValue;
    record.Tgd = FieldReal(p, sf1::kTgd);
    const int64_t iodcHigh = FieldValue(p, sf1::kIodcHigh);
    record.Iodc = static_cast<int32_t>((iodcHigh << sf1::kIodcLowBits) + FieldValue(p, sf1::kIodcLow));
    record.Toc = Whole(p, sf1::kToc);
    record.Af2 = FieldReal(p, sf1::kAf2);
    record.Af1 = FieldReal(p, sf1::kAf1);
    record.Af0 = FieldReal(p, sf1::kAf0);

    // Subframe 2: orbit, first half.
    record.Iode = Whole(p, sf2::kIode);
    record.Crs = FieldReal(p, sf2::kCrs);
    record.DeltaN = FieldReal(p, sf2::kDeltaN);
    record.M0 = FieldReal(p, sf2::kM0);
    record.Cuc = FieldReal(p, sf2::kCuc);
    record.Ecc = FieldReal(p, sf2::kEcc);
    record.Cus = FieldReal(p, sf2::kCus);
    record.SqrtA = FieldReal(p, sf2::kSqrtA);
    record.Toe = Whole(p, sf2::kToe);

    // Subframe 3: orbit, second half.
    record.Cic = FieldReal(p, sf3::kCic);
    record.Omega0 = FieldReal(p, sf3::kOmega0);
    record.Cis = FieldReal(p, sf3::kCis);
    record.I0 = FieldReal(p, sf3::kI0);
    record.Crc = FieldReal(p, sf3::kCrc);
    record.Omega = FieldReal(p, sf3::kOmega);
    record.OmegaDot = FieldReal(p, sf3::kOmegaDot);
    record.Idot = FieldReal(p, sf3::kIdot);
    return health;
}

namespace {

// The frame's decoded ephemeris with the frame's own fields and the broadcast fields that
// the GpsEphRecord leaves out (subframe 1 word 3: codes on L2, URA index; word 4: the L2 P
// data flag; subframe 2 word 10: the fit-interval flag).
DecodedEphemeris Describe(const uint8_t* frame, const GpsEphRecord& record, int32_t health) {
    namespace ephemeris = layout::ephemeris;
    const uint8_t* p = frame + ephemeris::kPayloadOffset;
    DecodedEphemeris d{};
    d.record = record;
    d.health = health;
    d.transmitWeek = le_u16(frame + ephemeris::kWeekOffset);
    d.transmitTime = le_u32(frame + ephemeris::kTimeOffset);
    d.l2Codes = Whole(p, layout::sf1::kL2Codes);
    d.uraIndex = Whole(p, layout::sf1::kUraIndex);
    d.l2PDataFlag = Whole(p, layout::sf1::kL2PFlag);
    d.fitIntervalFlag = Whole(p, layout::sf2::kFitInterval);
    return d;
}

}  // namespace

int32_t HandleEphemeris(int32_t port, uint8_t* threadBuf) {
    PortState* state = GetPortState(port);
    if (state == nullptr) return 0;
    namespace ephemeris = layout::ephemeris;
    const uint8_t* frame = state->frame;
    const int32_t prnByte = frame[ephemeris::kPrnOffset];
    // Messages about this ephemeris carry its transmission time.
    const double timeValue = static_cast<double>(le_u32(frame + ephemeris::kTimeOffset));

    GpsEphRecord record;
    std::memset(&record, 0, sizeof record);
    const int32_t health = DecodeEphemeris(frame + ephemeris::kPayloadOffset, prnByte, record);

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
