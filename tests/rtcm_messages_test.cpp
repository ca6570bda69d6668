// SPDX-License-Identifier: BSD-2-Clause
// RTCM 3 frames, bit packing, and the station and ephemeris messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "navcom/ephemeris.h"
#include "navcom/record_layout.h"
#include "rtcm/bits.h"
#include "rtcm/station_messages.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel::rtcm {
namespace {

// A message 1005 as the RTCM 3 standard prints it, CRC-24Q last.
const std::vector<uint8_t> kExample1005 = {0xD3, 0x00, 0x13, 0x3E, 0xD7, 0xD3, 0x02, 0x02, 0x98,
                                           0x0E, 0xDE, 0xEF, 0x34, 0xB4, 0xBD, 0x62, 0xAC, 0x09,
                                           0x41, 0x98, 0x6F, 0x33, 0x36, 0x0B, 0x98};

// The payload of the one frame in `frame`, after checking the frame whole.
BitReader PayloadOf(const std::vector<uint8_t>& frame) {
    EXPECT_EQ(CompleteFrameBytes(frame.data(), frame.size()), frame.size());
    return BitReader(frame.data() + kHeaderBytes, frame.size() - kFrameOverheadBytes);
}

TEST(RtcmFrame, CarriesTheCrcOfTheStandardsExample) {
    EXPECT_EQ(Crc24q(kExample1005.data(), kExample1005.size() - kCrcBytes), 0x360B98u);
    std::vector<uint8_t> framed;
    ASSERT_TRUE(AppendFrame(framed, kExample1005.data() + kHeaderBytes, kExample1005.size() - kFrameOverheadBytes));
    EXPECT_EQ(framed, kExample1005);

    std::vector<uint8_t> longest;
    const std::vector<uint8_t> payload(kMaxPayloadBytes + 1, 0x55);
    EXPECT_FALSE(AppendFrame(longest, payload.data(), payload.size()));
    EXPECT_TRUE(longest.empty());
    ASSERT_TRUE(AppendFrame(longest, payload.data(), kMaxPayloadBytes));
    EXPECT_EQ(CompleteFrameBytes(longest.data(), longest.size()), kMaxPayloadBytes + kFrameOverheadBytes);
}

TEST(RtcmFrame, CompleteFrameBytesRefusesDamagedOrCutFrames) {
    struct Case {
        const char* name;
        std::size_t byte;  // byte changed (XOR 0x01), or none
        std::size_t available;
        std::size_t expected;
    };
    constexpr std::size_t kNone = ~std::size_t{0};
    const std::size_t whole = kExample1005.size();
    const Case cases[] = {
        {"whole", kNone, whole, whole},
        {"with bytes after it", kNone, whole + 4, whole},
        {"cut in the CRC", kNone, whole - 1, 0},
        {"cut in the header", kNone, 2, 0},
        {"payload bit flipped", 10, whole, 0},
        {"CRC bit flipped", whole - 1, whole, 0},
        {"reserved bit set", 1, whole, 0},
        {"preamble damaged", 0, whole, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = kExample1005;
        bytes.resize(whole + 4, 0xD3);
        if (c.byte != kNone) bytes[c.byte] ^= (c.byte == 1 ? 0x04 : 0x01);
        EXPECT_EQ(CompleteFrameBytes(bytes.data(), c.available), c.expected) << c.name;
    }
}

TEST(RtcmBits, FieldsOfEveryWidthReadBackInOrder) {
    struct Field {
        int bits;
        int64_t value;
        bool isSigned;
    };
    const Field fields[] = {
        {1, 1, false},          {12, 1005, false},       {38, -48507297108, true}, {2, 3, false},
        {64, -1, true},         {30, 604799999, false},  {7, -64, true},           {33, 0x1FFFFFFFF, false},
        {57, (int64_t{1} << 56) - 3, false}, {14, -8192, true}, {5, 0, false},    {64, INT64_MIN, true},
    };
    std::vector<uint8_t> payload;
    std::size_t total = 0;
    {
        BitWriter w(payload);
        for (const Field& f : fields) {
            if (f.isSigned) {
                w.Signed(f.value, f.bits);
            } else {
                w.Unsigned(static_cast<uint64_t>(f.value), f.bits);
            }
            total += static_cast<std::size_t>(f.bits);
            EXPECT_EQ(w.Count(), total);
        }
    }
    EXPECT_EQ(payload.size(), (total + 7) / 8);
    BitReader r(payload.data(), payload.size());
    for (const Field& f : fields) {
        const int64_t read = f.isSigned ? r.Signed(f.bits) : static_cast<int64_t>(r.Unsigned(f.bits));
        EXPECT_EQ(read, f.value) << f.bits << " bits";
    }
    EXPECT_FALSE(r.overrun());
    EXPECT_EQ(r.Unsigned(8), 0u) << "the last byte is padded with zeros";
    EXPECT_TRUE(r.overrun());
}

StationDescription Station() {
    StationDescription s;
    s.stationId = 2003;
    s.positionM = std::array<double, 3>{1114104.5999, -4850729.7108, 3975521.4643};
    s.antennaHeightM = 1.5432;
    s.antennaType = "TRM57971.00     NONE";
    s.antennaSerial = "1441112345";
    s.receiverType = "NAVCOM SF-2050";
    s.receiverFirmware = "2.6.4";
    s.receiverSerial = "12345";
    return s;
}

TEST(StationMessages, PositionCarriesTheStationAndTheHeightIn1006Only) {
    const std::array<double, 3> positions[] = {
        {1114104.5999, -4850729.7108, 3975521.4643},
        {-3976219.5082, 3382372.5671, 3652512.9849},
        {kMaxCoordinateM, -kMaxCoordinateM, 0.0},
    };
    for (const int number : {1005, 1006}) {
        for (const auto& position : positions) {
            StationDescription s = Station();
            s.positionM = position;
            std::vector<uint8_t> frame;
            ASSERT_TRUE(AppendStationPosition(frame, number, s));
            BitReader r = PayloadOf(frame);
            EXPECT_EQ(r.Unsigned(12), static_cast<uint64_t>(number));
            EXPECT_EQ(r.Unsigned(12), 2003u);
            r.Unsigned(6);
            EXPECT_EQ(r.Unsigned(4), 0b1000u) << "GPS only, a physical station";
            EXPECT_NEAR(r.Signed(38) * 1e-4, position[0], 0.5e-4);
            r.Unsigned(2);
            EXPECT_NEAR(r.Signed(38) * 1e-4, position[1], 0.5e-4);
            r.Unsigned(2);
            EXPECT_NEAR(r.Signed(38) * 1e-4, position[2], 0.5e-4);
            if (number == 1006) {
                EXPECT_EQ(r.Unsigned(16), 15432u);
            }
            EXPECT_EQ(r.BitsLeft(), 0u);
            EXPECT_EQ(frame.size(), kFrameOverheadBytes + (number == 1005 ? 19u : 21u));
        }
    }
    StationDescription unknown = Station();
    unknown.positionM.reset();
    std::vector<uint8_t> none;
    EXPECT_FALSE(AppendStationPosition(none, 1005, unknown));
    EXPECT_TRUE(none.empty());
}

TEST(StationMessages, DescriptorsCarryEveryTextInOrder) {
    const StationDescription s = Station();
    std::vector<uint8_t> frame;
    AppendDescriptors(frame, s);
    BitReader r = PayloadOf(frame);
    EXPECT_EQ(r.Unsigned(12), 1033u);
    EXPECT_EQ(r.Unsigned(12), 2003u);
    const auto text = [&r] {
        std::string t(r.Unsigned(8), ' ');
        for (char& c : t) c = static_cast<char>(r.Unsigned(8));
        return t;
    };
    EXPECT_EQ(text(), s.antennaType);
    EXPECT_EQ(r.Unsigned(8), 0u);
    EXPECT_EQ(text(), s.antennaSerial);
    EXPECT_EQ(text(), s.receiverType);
    EXPECT_EQ(text(), s.receiverFirmware);
    EXPECT_EQ(text(), s.receiverSerial);
    EXPECT_LT(r.BitsLeft(), 8u);
}

TEST(StationMessages, CheckStationNamesWhatIsWrong) {
    struct Case {
        const char* expected;  // a word of the message; empty: accepted
        void (*change)(StationDescription&);
    };
    const Case cases[] = {
        {"", [](StationDescription&) {}},
        {"", [](StationDescription& s) { s.antennaType = std::string(31, 'A'); }},
        {"station id", [](StationDescription& s) { s.stationId = 4096; }},
        {"station id", [](StationDescription& s) { s.stationId = -1; }},
        {"antenna height", [](StationDescription& s) { s.antennaHeightM = 6.6; }},
        {"antenna height", [](StationDescription& s) { s.antennaHeightM = -0.1; }},
        {"antenna height", [](StationDescription& s) { s.antennaHeightM = std::nan(""); }},
        {"coordinate", [](StationDescription& s) { (*s.positionM)[2] = 2e7; }},
        {"antenna type", [](StationDescription& s) { s.antennaType = std::string(32, 'A'); }},
        {"receiver serial", [](StationDescription& s) { s.receiverSerial = "caf\xc3\xa9"; }},
        {"firmware", [](StationDescription& s) { s.receiverFirmware = "1\n2"; }},
    };
    for (const Case& c : cases) {
        StationDescription s = Station();
        c.change(s);
        const std::string problem = CheckStation(s);
        if (*c.expected == '\0') {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(c.expected), std::string::npos) << problem;
        }
    }
}

// Every field of 1019 is the very count the satellite broadcast: the ephemerides of the
// station's log, decoded as the receiver's records, encoded and read back field by field
// against the subframes' bits.
TEST(StationMessages, EphemerisCarriesTheBroadcastCounts) {
    namespace sf1 = layout::sf1;
    namespace sf2 = layout::sf2;
    namespace sf3 = layout::sf3;
    const std::vector<uint8_t> log = test::ReadFileBytes(test::DataPath("navcom/gsi-0759-2005-092.nav"));
    int checked = 0;
    for (const test::FoundFrame& f : test::FindFrames(log)) {
        if (f.id != layout::ephemeris::kId) continue;
        const uint8_t* payload = f.bytes.data() + layout::ephemeris::kPayloadOffset;
        const auto count = [payload](const layout::Field& field) { return layout::FieldValue(payload, field); };
        DecodedEphemeris e{};
        e.health = DecodeEphemeris(payload, f.bytes[layout::ephemeris::kPrnOffset], e.record);
        e.uraIndex = static_cast<int32_t>(count(sf1::kUraIndex));
        e.l2Codes = static_cast<int32_t>(count(sf1::kL2Codes));
        e.l2PDataFlag = static_cast<int32_t>(count(sf1::kL2PFlag));
        e.fitIntervalFlag = static_cast<int32_t>(count(sf2::kFitInterval));
        std::vector<uint8_t> frame;
        AppendEphemeris(frame, e);
        ASSERT_EQ(frame.size(), kFrameOverheadBytes + 61);
        BitReader r = PayloadOf(frame);
        EXPECT_EQ(r.Unsigned(12), 1019u);
        EXPECT_EQ(static_cast<int>(r.Unsigned(6)), e.record.Prn);
        const std::pair<const layout::Field*, int> fields[] = {
            {&sf1::kWeek, 10}, {&sf1::kUraIndex, 4}, {&sf1::kL2Codes, 2}, {&sf3::kIdot, 14},
            {&sf2::kIode, 8},  {&sf1::kToc, 16},     {&sf1::kAf2, 8},     {&sf1::kAf1, 16},
            {&sf1::kAf0, 22},  {nullptr, 10},        {&sf2::kCrs, 16},    {&sf2::kDeltaN, 16},
            {&sf2::kM0, 32},   {&sf2::kCuc, 16},     {&sf2::kEcc, 32},    {&sf2::kCus, 16},
            {&sf2::kSqrtA, 32}, {&sf2::kToe, 16},    {&sf3::kCic, 16},    {&sf3::kOmega0, 32},
            {&sf3::kCis, 16},  {&sf3::kI0, 32},      {&sf3::kCrc, 16},    {&sf3::kOmega, 32},
            {&sf3::kOmegaDot, 24}, {&sf1::kTgd, 8},  {&sf1::kHealth, 6},  {&sf1::kL2PFlag, 1},
            {&sf2::kFitInterval, 1},
        };
        for (const auto& [field, bits] : fields) {
            if (field == nullptr) {  // the IODC, split over two words in the subframe
                EXPECT_EQ(static_cast<int>(r.Unsigned(bits)), e.record.Iodc);
                continue;
            }
            const int64_t sent = field->isSigned ? r.Signed(bits) : static_cast<int64_t>(r.Unsigned(bits));
            EXPECT_EQ(sent, count(*field)) << "PRN " << e.record.Prn << " field at byte " << field->offset;
        }
        EXPECT_EQ(r.BitsLeft(), 0u);
        ++checked;
    }
    EXPECT_EQ(checked, 23);
}

}  // namespace
}  // namespace kestrel::rtcm
