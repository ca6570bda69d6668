// SPDX-License-Identifier: BSD-2-Clause
// Decoding of the EPHEMERIS record's subframes into a GpsEphRecord.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error_text.h"
#include "kestrel/kestrel.h"
#include "navcom/ephemeris.h"
#include "navcom/frame_parser.h"
#include "navcom/record_layout.h"
#include "positioning/eph_store.h"
#include "support/decoder_harness.h"
#include "support/frame_builder.h"
#include "support/test_files.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr double kPi = 3.141592653589793;

using Payload = std::array<uint8_t, layout::ephemeris::kPayloadBytes>;

// The broadcast integers of one ephemeris, placed into subframes 1..3 the way the satellite
// sends them.
struct BroadcastFields {
    uint32_t week = 0;      // 10 bits
    uint32_t health = 0;    // 6 bits
    uint32_t iodc = 0;      // 10 bits
    int32_t tgd = 0;        // 8 bits
    uint32_t toc = 0;       // 16 bits, 16 s units
    int32_t af2 = 0;        // 8 bits
    int32_t af1 = 0;        // 16 bits
    int32_t af0 = 0;        // 22 bits
    uint32_t iode = 0;      // 8 bits
    int32_t crs = 0;        // 16 bits
    int32_t deltaN = 0;     // 16 bits
    int32_t m0 = 0;         // 32 bits
    int32_t cuc = 0;        // 16 bits
    uint32_t ecc = 0;       // 32 bits
    int32_t cus = 0;        // 16 bits
    uint32_t sqrtA = 0;     // 32 bits
    uint32_t toe = 0;       // 16 bits, 16 s units
    int32_t cic = 0;        // 16 bits
    int32_t omega0 = 0;     // 32 bits
    int32_t cis = 0;        // 16 bits
    int32_t i0 = 0;         // 32 bits
    int32_t crc = 0;        // 16 bits
    int32_t omega = 0;      // 32 bits
    int32_t omegaDot = 0;   // 24 bits
    int32_t idot = 0;       // 14 bits

    // The bits the decoder does not read keep `unreadFill`.
    Payload Encode(uint8_t unreadFill = 0) const {
        namespace sf1 = layout::sf1;
        namespace sf2 = layout::sf2;
        namespace sf3 = layout::sf3;
        Payload payload{};
        payload.fill(unreadFill);
        uint8_t* p = payload.data();
        const struct {
            layout::Field field;
            int64_t value;
        } fields[] = {
            {sf1::kWeek, week},       {sf1::kHealth, health},   {sf1::kIodcHigh, iodc >> sf1::kIodcLowBits},
            {sf1::kTgd, tgd},         {sf1::kIodcLow, iodc},    {sf1::kToc, toc},
            {sf1::kAf2, af2},         {sf1::kAf1, af1},         {sf1::kAf0, af0},
            {sf2::kIode, iode},       {sf2::kCrs, crs},         {sf2::kDeltaN, deltaN},
            {sf2::kM0, m0},           {sf2::kCuc, cuc},         {sf2::kEcc, ecc},
            {sf2::kCus, cus},         {sf2::kSqrtA, sqrtA},     {sf2::kToe, toe},
            {sf3::kCic, cic},         {sf3::kOmega0, omega0},   {sf3::kCis, cis},
            {sf3::kI0, i0},           {sf3::kCrc, crc},         {sf3::kOmega, omega},
            {sf3::kOmegaDot, omegaDot}, {sf3::kIdot, idot},
        };
        for (const auto& f : fields) layout::PutField(p, f.field, f.value);
        return payload;
    }
};

// Packed doubles may sit on unaligned addresses: compare copies, never references.
double Val(double value) { return value; }

GpsEphRecord Decode(const Payload& payload, int32_t prn, int32_t* health = nullptr) {
    GpsEphRecord record;
    std::memset(&record, 0, sizeof record);
    const int32_t result = DecodeEphemeris(payload.data(), prn, record);
    if (health) *health = result;
    return record;
}

// Every field gets a distinct value, signed fields a negative one and unsigned 32-bit
// fields one with the top bit set, so a swapped offset, a lost sign or a sign wrongly
// taken shows as a wrong value.
BroadcastFields DistinctFields() {
    BroadcastFields f;
    f.week = 386;
    f.iodc = 0x2A5;
    f.tgd = -3;
    f.toc = 0x9C40;
    f.af2 = -7;
    f.af1 = -1234;
    f.af0 = -123456;
    f.iode = 0xA5;
    f.crs = -4321;
    f.deltaN = 12345;
    f.m0 = -987654321;
    f.cuc = -2222;
    f.ecc = 0x80001234u;
    f.cus = 3333;
    f.sqrtA = 0xA1000001u;
    f.toe = 0x9C41;
    f.cic = -44;
    f.omega0 = 1987654321;
    f.cis = 55;
    f.i0 = 661234567;
    f.crc = -6666;
    f.omega = -1555555555;
    f.omegaDot = -8000000;
    f.idot = 5000;
    return f;
}

TEST(EphemerisDecoding, EveryFieldFromKnownIntegers) {
    const BroadcastFields f = DistinctFields();
    int32_t health = -2;
    const GpsEphRecord r = Decode(f.Encode(), 7, &health);
    EXPECT_EQ(health, 0);
    EXPECT_EQ(r.Prn, 7);
    EXPECT_EQ(r.Week, 386);
    EXPECT_EQ(r.Filler, 9999);
    EXPECT_EQ(r.Iodc, 0x2A5);
    EXPECT_EQ(r.Toc, 0x9C40 * 16);
    EXPECT_EQ(r.Iode, 0xA5);
    EXPECT_EQ(r.Toe, 0x9C41 * 16);

    // Exact products with the receiver's decimal scale factors; angles as integer,
    // times scale, times pi, in that order.
    struct Real {
        const char* name;
        double actual;
        double expected;
    };
    const Real reals[] = {
        {"Tgd", r.Tgd, -3 * 4.6566128730773895e-10},
        {"Af2", r.Af2, -7 * 2.77555756156289e-17},
        {"Af1", r.Af1, -1234 * 1.13686837721616e-13},
        {"Af0", r.Af0, -123456 * 4.65661287308e-10},
        {"Crs", r.Crs, -4321 * 0.03125},
        {"DeltaN", r.DeltaN, 12345 * 1.13686837721616e-13 * kPi},
        {"M0", r.M0, -987654321 * 4.6566128730773895e-10 * kPi},
        {"Cuc", r.Cuc, -2222 * 1.8626451492309603e-09},
        {"Ecc", r.Ecc, 2147488308.0 * 1.16415321826935e-10},
        {"Cus", r.Cus, 3333 * 1.8626451492309603e-09},
        {"SqrtA", r.SqrtA, 2701131777.0 * 1.9073486328125e-06},
        {"Cic", r.Cic, -44 * 1.86264514923e-09},
        {"Omega0", r.Omega0, 1987654321 * 4.65661287308e-10 * kPi},
        {"Cis", r.Cis, 55 * 1.86264514923e-09},
        {"I0", r.I0, 661234567 * 4.65661287308e-10 * kPi},
        {"Crc", r.Crc, -6666 * 0.03125},
        {"Omega", r.Omega, -1555555555 * 4.65661287308e-10 * kPi},
        {"OmegaDot", r.OmegaDot, -8000000 * 1.13686837721616e-13 * kPi},
        {"Idot", r.Idot, 5000 * 1.13686837721616e-13 * kPi},
    };
    for (const Real& v : reals) EXPECT_EQ(v.actual, v.expected) << v.name;
}

TEST(EphemerisDecoding, ScaleFactorsAreTheReceiversDecimalDigits) {
    // The decimal digits differ from the exact powers of two in the last places; a
    // field printed to 15 significant digits shows which one was applied.
    const BroadcastFields f{.af0 = 2097151, .m0 = 2147483647, .cic = 32767, .omega0 = 2147483647};
    const GpsEphRecord r = Decode(f.Encode(), 1);
    char text[64];
    std::snprintf(text, sizeof text, "%.14e", r.Omega0);
    EXPECT_STREQ(text, "3.14159265212863e+00");
    EXPECT_EQ(Val(r.Af0), 2097151 * 4.65661287308e-10);
    EXPECT_NE(Val(r.Af0), std::ldexp(2097151.0, -31));
    EXPECT_EQ(Val(r.Cic), 32767 * 1.86264514923e-09);
    EXPECT_NE(Val(r.Cic), std::ldexp(32767.0, -29));
    // Integer times scale, then pi: the other grouping differs in the last bit here.
    EXPECT_EQ(Val(r.M0), 2147483647 * 4.6566128730773895e-10 * kPi);
    EXPECT_NE(Val(r.M0), 2147483647 * (4.6566128730773895e-10 * kPi));
}

TEST(EphemerisDecoding, FieldExtremes) {
    BroadcastFields f;
    f.iodc = 511;           // p[2] & 3 = 1 with p[15] = 0xFF
    f.toe = 0xFFFF;         // FF FF
    f.toc = 0xFFFF;
    f.af0 = -(1 << 21);     // 80 00 00
    f.idot = -8192;         // 80 00
    f.omegaDot = -(1 << 23);
    f.week = 1023;
    f.ecc = 0xFFFFFFFFu;
    f.sqrtA = 0xFFFFFFFFu;
    const Payload p = f.Encode();
    ASSERT_EQ(p[2] & 3, 1);
    ASSERT_EQ(p[15], 0xFF);
    ASSERT_EQ(p[21], 0x80);
    ASSERT_EQ(p[70], 0x80);
    const GpsEphRecord r = Decode(p, 32);
    EXPECT_EQ(r.Iodc, 511);
    EXPECT_EQ(r.Toe, 1048560);
    EXPECT_EQ(r.Toc, 1048560);
    EXPECT_EQ(Val(r.Af0), -2097152 * 4.65661287308e-10);
    EXPECT_EQ(Val(r.Idot), -8192 * 1.13686837721616e-13 * kPi);
    EXPECT_EQ(Val(r.OmegaDot), -8388608 * 1.13686837721616e-13 * kPi);
    EXPECT_EQ(r.Week, 1023);
    EXPECT_EQ(Val(r.Ecc), 4294967295.0 * 1.16415321826935e-10);
    EXPECT_EQ(Val(r.SqrtA), 4294967295.0 * 1.9073486328125e-06);
}

TEST(EphemerisDecoding, UnreadBitsDoNotLeakIntoFields) {
    // The same integers with every unread byte and spare bit set must decode alike:
    // words 4..6 of subframe 1, the L2 code and URA bits, the spare bits after af0
    // and IDOT, the fit flag and AODO byte, and the IODE copy of subframe 3.
    const BroadcastFields f = DistinctFields();
    const GpsEphRecord clean = Decode(f.Encode(0x00), 9);
    int32_t health = -2;
    const GpsEphRecord noisy = Decode(f.Encode(0xFF), 9, &health);
    EXPECT_EQ(health, 0);
    EXPECT_EQ(std::memcmp(&clean, &noisy, sizeof clean), 0);
}

TEST(EphemerisDecoding, HealthAndPrnOutcomes) {
    struct Case {
        int32_t prn;
        uint32_t health;
        int32_t expected;
    };
    const Case cases[] = {
        {1, 0, 0},    {32, 0, 0},    {5, 1, 1},     {5, 0x20, 0x20}, {5, 0x3F, 0x3F},
        {0, 0, -1},   {33, 0, -1},   {255, 0, -1},  {-1, 0, -1},     {0, 0x3F, -1},
    };
    for (const Case& c : cases) {
        BroadcastFields f = DistinctFields();
        f.health = c.health;
        f.iodc = 0x3FF;  // the IODC bits share the health byte
        int32_t health = -2;
        const GpsEphRecord r = Decode(f.Encode(), c.prn, &health);
        EXPECT_EQ(health, c.expected) << "prn " << c.prn << " health " << c.health;
        EXPECT_EQ(r.Prn, c.prn);
        if (c.expected == -1) {
            // Only the PRN is stored for an invalid satellite number.
            GpsEphRecord zero;
            std::memset(&zero, 0, sizeof zero);
            zero.Prn = c.prn;
            EXPECT_EQ(std::memcmp(&r, &zero, sizeof r), 0) << "prn " << c.prn;
        } else {
            EXPECT_EQ(r.Iodc, 0x3FF);
            EXPECT_EQ(r.Week, 386);
        }
    }
}

namespace eph = layout::ephemeris;

// The EPHEMERIS frames of a real capture: whole frames with a good checksum.
std::vector<std::vector<uint8_t>> EphemerisFramesOf(const std::vector<uint8_t>& log) {
    std::vector<std::vector<uint8_t>> frames;
    for (test::FoundFrame& f : test::FindFrames(log)) {
        const bool whole = f.id == eph::kId && f.checksumOk && f.bytes.size() == eph::kFrameBytes;
        if (whole) frames.push_back(std::move(f.bytes));
    }
    return frames;
}

TEST(EphemerisDecoding, RealCaptureIsPlausible) {
    const auto log = test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom.log"));
    ASSERT_FALSE(log.empty());
    const auto frames = EphemerisFramesOf(log);
    ASSERT_EQ(frames.size(), 13u);
    const int32_t expectedPrns[] = {3, 6, 7, 10, 12, 16, 18, 21, 22, 24, 25, 30, 31};
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const auto& f = frames[k];
        GpsEphRecord r;
        std::memset(&r, 0, sizeof r);
        const int32_t health = DecodeEphemeris(&f[eph::kPayloadOffset], f[eph::kPrnOffset], r);
        SCOPED_TRACE(::testing::Message() << "PRN " << r.Prn);
        EXPECT_EQ(r.Prn, expectedPrns[k]);
        EXPECT_EQ(health, 0);
        // The frame carries the full week and the IODC beside the subframes: the decoded
        // 10-bit week and IODC must agree with them.
        EXPECT_EQ(r.Week, 386);
        EXPECT_EQ(r.Week + 1024, le_u16(&f[eph::kWeekOffset]));
        EXPECT_EQ(r.Iodc, le_u16(&f[eph::kIodcOffset]));
        // IODE of subframe 2 equals the low byte of IODC and the IODE copy of subframe 3.
        EXPECT_EQ(r.Iode, r.Iodc & 0xFF);
        EXPECT_EQ(r.Iode, layout::FieldValue(&f[eph::kPayloadOffset], layout::sf3::kIodeCopy));
        EXPECT_EQ(r.Toe % 16, 0);
        EXPECT_EQ(r.Toe, r.Toc);
        // Received at 123623 s of week; the ephemerides are current.
        EXPECT_LT(std::abs(r.Toe - static_cast<int32_t>(le_u32(&f[eph::kTimeOffset]))), 7200);
        // GPS orbits: semi-major axis near 26560 km, nearly circular, inclined about 55
        // degrees, node regressing, clock corrections small.
        EXPECT_NEAR(Val(r.SqrtA), 5153.7, 2.0);
        EXPECT_GT(Val(r.Ecc), 0.0);
        EXPECT_LT(Val(r.Ecc), 0.03);
        EXPECT_NEAR(Val(r.I0), 55.0 * kPi / 180.0, 0.05);
        EXPECT_LT(Val(r.OmegaDot), -5e-9);
        EXPECT_GT(Val(r.OmegaDot), -1e-8);
        EXPECT_GT(Val(r.DeltaN), 0.0);
        EXPECT_LT(Val(r.DeltaN), 1e-8);
        EXPECT_LT(std::abs(r.M0), kPi);
        EXPECT_LT(std::abs(r.Omega0), kPi);
        EXPECT_LT(std::abs(r.Omega), kPi);
        EXPECT_LT(std::abs(r.Idot), 1e-9);
        EXPECT_LT(std::abs(r.Af0), 1e-3);
        EXPECT_LT(std::abs(r.Af1), 1e-10);
        EXPECT_LT(std::abs(r.Tgd), 5e-8);
        EXPECT_LT(std::abs(r.Crs), 200.0);
        EXPECT_LT(std::abs(r.Crc), 400.0);
        EXPECT_LT(std::abs(r.Cuc), 1e-5);
        EXPECT_LT(std::abs(r.Cus), 1e-5);
        EXPECT_LT(std::abs(r.Cic), 1e-6);
        EXPECT_LT(std::abs(r.Cis), 1e-6);
    }
}

// Port 0 opened with a collecting callback and the given options; frames fed byte by byte.
class EphemerisHandler : public ::testing::Test {
protected:
    void SetUp() override {
        eph_store_fail_allocations(false);
        eph_store_clear();
        SetThreadBufSize(kThreadBufDefaultSize);
        ASSERT_EQ(OpenPort(0, test::MessageLog::Callback), 0);
        SetOptions(1);
        queue_.assign(kThreadBufMemoryBytes, 0);
        ResetThreadBuf(queue_.data());
    }
    void TearDown() override {
        eph_store_fail_allocations(false);
        eph_store_clear();
        SetThreadBufSize(kThreadBufDefaultSize);
    }
    static void SetOptions(int32_t clockCorrection) {
        OptionRecord options{0, 1, clockCorrection, 0};
        SetPortOptions(0, &options, sizeof options);
    }
    // The result of the frame's last byte; every earlier byte must give 0.
    int32_t Feed(const std::vector<uint8_t>& frame) {
        for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
            EXPECT_EQ(FeedByte(0, frame[i], queue_.data()), 0) << "byte " << i;
        }
        return FeedByte(0, frame.back(), queue_.data());
    }
    int32_t Queued() const { return GetThreadBufRecCount(queue_.data(), KESTREL_TYPE_GPS_EPHEMERIS); }
    static int32_t Counter() {
        const PortState* port = GetPortState(0);
        return port ? port->ephemerisCounter : -1;
    }

    std::vector<uint8_t> queue_;
    test::MessageLog messageLog;
};

Payload HealthyPayload(uint32_t health = 0, uint32_t toe = 0x1FA4) {
    BroadcastFields f = DistinctFields();
    f.health = health;
    f.toe = toe;
    return f.Encode();
}

TEST_F(EphemerisHandler, HealthyEphemerisIsReportedQueuedAndStored) {
    const Payload payload = HealthyPayload();
    EXPECT_EQ(Feed(test::EphemerisFrame(12, 123623, payload)), 2);
    ASSERT_EQ(messageLog.messages().size(), 1u);
    EXPECT_EQ(messageLog.messages()[0].text, "Ephemeris received for PRN 12 (health OK)");
    EXPECT_EQ(messageLog.messages()[0].time, 123623.0);
    EXPECT_STREQ(error_text(), "Ephemeris received for PRN 12 (health OK)");

    // One type-3 record: the decoded record followed by four zero bytes.
    ASSERT_EQ(Queued(), 1);
    EXPECT_EQ(GetThreadBufRecSize(queue_.data(), KESTREL_TYPE_GPS_EPHEMERIS), 184);
    uint8_t entry[184];
    std::memset(entry, 0xEE, sizeof entry);
    ASSERT_EQ(ReadThreadBufData(queue_.data(), KESTREL_TYPE_GPS_EPHEMERIS, 1, entry), 1);
    const GpsEphRecord expected = Decode(payload, 12);
    EXPECT_EQ(std::memcmp(entry, &expected, sizeof expected), 0);
    EXPECT_EQ(le_u32(entry + 180), 0u);

    const GpsEphRecord* stored = eph_store_find(12, expected.Toe);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(std::memcmp(stored, &expected, sizeof expected), 0);
    EXPECT_EQ(Counter(), 1);
}

TEST_F(EphemerisHandler, RejectedEphemerisIsReportedOnly) {
    struct Case {
        uint8_t prn;
        uint32_t health;
        const char* message;
    };
    const Case cases[] = {
        {0, 0, "Ephemeris received with invalid PRN number (0)"},
        {33, 0, "Ephemeris received with invalid PRN number (33)"},
        {200, 0, "Ephemeris received with invalid PRN number (200)"},
        {5, 1, "Ephemeris received for PRN 5 with BAD HEALTH!!!"},
        {32, 0x3F, "Ephemeris received for PRN 32 with BAD HEALTH!!!"},
    };
    for (const Case& c : cases) {
        messageLog.Clear();
        // The time value is unsigned: all ones is 4294967295, not -1.
        EXPECT_EQ(Feed(test::EphemerisFrame(c.prn, 0xFFFFFFFFu, HealthyPayload(c.health))), 0) << c.message;
        ASSERT_EQ(messageLog.messages().size(), 1u) << c.message;
        EXPECT_EQ(messageLog.messages()[0].text, c.message);
        EXPECT_EQ(messageLog.messages()[0].time, 4294967295.0);
        EXPECT_STREQ(error_text(), c.message);
        EXPECT_EQ(Queued(), 0) << c.message;
        EXPECT_EQ(eph_store_find(c.prn, 0x1FA4 * 16), nullptr) << c.message;
        EXPECT_EQ(Counter(), 0) << c.message;
    }
}

TEST_F(EphemerisHandler, WithoutClockCorrectionQueuedButNotStored) {
    SetOptions(0);
    EXPECT_EQ(Feed(test::EphemerisFrame(7, 100, HealthyPayload())), 2);
    EXPECT_EQ(Queued(), 1);
    EXPECT_EQ(eph_store_find(7, 0x1FA4 * 16), nullptr);
    EXPECT_EQ(Counter(), 0);
}

TEST_F(EphemerisHandler, CounterGrowsForDuplicatesAndFailedInserts) {
    EXPECT_EQ(Feed(test::EphemerisFrame(7, 100, HealthyPayload())), 2);
    EXPECT_EQ(Feed(test::EphemerisFrame(7, 101, HealthyPayload())), 2);
    EXPECT_EQ(Counter(), 2);
    ASSERT_NE(eph_store_find(7, 0x1FA4 * 16), nullptr);

    eph_store_fail_allocations(true);
    EXPECT_EQ(Feed(test::EphemerisFrame(8, 102, HealthyPayload())), 2);
    EXPECT_EQ(Counter(), 3);
    EXPECT_STREQ(error_text(), "Error: Not enough memory");
    eph_store_fail_allocations(false);
    EXPECT_EQ(eph_store_find(8, 0x1FA4 * 16), nullptr);
    EXPECT_EQ(Queued(), 1);  // the record was still queued for the ephemeris file
}

TEST_F(EphemerisHandler, QueueFailureIsReportedAndNothingStored) {
    SetThreadBufSize(100);  // too small for a 184-byte record
    EXPECT_EQ(Feed(test::EphemerisFrame(7, 555, HealthyPayload())), 0);
    ASSERT_EQ(messageLog.messages().size(), 2u);
    EXPECT_EQ(messageLog.messages()[0].text, "Ephemeris received for PRN 7 (health OK)");
    EXPECT_EQ(messageLog.messages()[1].text, GetThreadBufErrorText(kThreadBufOverrun));
    EXPECT_EQ(messageLog.messages()[1].time, 555.0);
    EXPECT_EQ(Queued(), 0);
    EXPECT_EQ(eph_store_find(7, 0x1FA4 * 16), nullptr);
    EXPECT_EQ(Counter(), 0);
}

TEST_F(EphemerisHandler, WithoutCallbackNothingIsFormatted) {
    ASSERT_EQ(OpenPort(0, nullptr), 0);
    SetOptions(1);
    set_error_text("untouched");
    EXPECT_EQ(Feed(test::EphemerisFrame(0, 1, HealthyPayload())), 0);
    EXPECT_EQ(Feed(test::EphemerisFrame(5, 1, HealthyPayload(1))), 0);
    EXPECT_EQ(Feed(test::EphemerisFrame(5, 1, HealthyPayload())), 2);
    EXPECT_STREQ(error_text(), "untouched");
    EXPECT_EQ(Queued(), 1);
    EXPECT_EQ(Counter(), 1);
}

TEST_F(EphemerisHandler, RealCaptureGivesThirteenHealthyEphemerides) {
    const auto log = test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom.log"));
    ASSERT_FALSE(log.empty());
    int32_t ephemerides = 0;
    for (uint8_t byte : log) {
        if (FeedByte(0, byte, queue_.data()) == 2) ++ephemerides;
    }
    EXPECT_EQ(ephemerides, 13);
    EXPECT_EQ(Counter(), 13);
    int32_t healthOk = 0;
    for (const test::Message& m : messageLog.messages()) {
        if (m.text.find("(health OK)") != std::string::npos) {
            ++healthOk;
            EXPECT_EQ(m.time, 123623.0);
        }
    }
    EXPECT_EQ(healthOk, 13);
    const GpsEphRecord* prn6 = eph_store_find(6, 123624);
    ASSERT_NE(prn6, nullptr);
    EXPECT_EQ(prn6->Toe, 129584);
}

}  // namespace
}  // namespace kestrel
