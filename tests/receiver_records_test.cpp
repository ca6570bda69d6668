// SPDX-License-Identifier: BSD-2-Clause
// The receiver's IDENTIFICATION and PVT records: read from the long real capture and checked
// against what gpsd, a decoder no one here wrote, made of the same frames; the forms and
// corner cases of both records; and the frame parser taking them only on a port that asks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error_text.h"
#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "navcom/record_layout.h"
#include "pipeline/session.h"
#include "receiver/receiver_records.h"
#include "support/decoder_harness.h"
#include "support/frame_builder.h"
#include "support/test_files.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr const char* kLongCapture = "navcom/gpsd-navcom-long-2012.log";

std::vector<std::vector<uint8_t>> FramesOf(uint8_t id) {
    std::vector<std::vector<uint8_t>> frames;
    for (test::FoundFrame& f : test::FindFrames(test::ReadFileBytes(test::DataPath(kLongCapture)))) {
        if (f.id == id && f.checksumOk) frames.push_back(std::move(f.bytes));
    }
    return frames;
}

TEST(ReceiverRecords, IdentificationOfTheRealCapture) {
    const auto frames = FramesOf(layout::identification::kId);
    ASSERT_EQ(frames.size(), 1u);
    ReceiverIdentity r;
    ASSERT_TRUE(DecodeIdentification(frames[0].data(), static_cast<int32_t>(frames[0].size()), r));
    EXPECT_TRUE(r.hasIop);
    EXPECT_STREQ(EngineConfigName(r.engineConfig), "Black Box GIS (LBM)");
    EXPECT_EQ(ReceiverFirmwareVersion(r), "3.0.45");
    EXPECT_EQ(ReceiverSerialNumber(r), "45716");
    EXPECT_EQ(r.digitalCardClass, 3);
    EXPECT_EQ(r.rfCardSerial, 45253);
    EXPECT_EQ(r.softwareBuildId, "DAT 060302.1151");
    EXPECT_EQ(r.bootSoftware, "BootBlockV 0.040");
    EXPECT_EQ(r.iopBuildId, "xxx041102.0953");
    EXPECT_EQ(r.iopMajor * 100 + r.iopMinor * 10 + r.iopBuild, 290);
    EXPECT_EQ(r.picVersion, 8);
    // The engine configuration has no name in the IGS table: the maker's alone.
    EXPECT_EQ(ReceiverIgsType(r), "NAVCOM");
    EXPECT_EQ(ReceiverDescription(r),
              (std::vector<std::string>{"Receiver: Black Box GIS (LBM) M-ASIC, software 3.0.45",
                                        "Receiver: I/O 2.9.0, cards 45716.3 and 45253.0"}));
}

// gpsd's fixes of the same capture: the TPV reports of the .chk file, one per PVT frame.
struct GpsdFix {
    double lat, lon, altMsl;
};
std::vector<GpsdFix> GpsdFixes() {
    std::ifstream in(test::DataPath(std::string(kLongCapture) + ".chk"));
    std::vector<GpsdFix> fixes;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] != '{') continue;
        const auto j = nlohmann::json::parse(line);
        if (j.value("class", "") == "TPV" && j.value("tag", "") == "0xb1") {
            fixes.push_back({j["lat"].get<double>(), j["lon"].get<double>(), j["alt"].get<double>()});
        }
    }
    return fixes;
}

TEST(ReceiverRecords, PvtOfTheRealCaptureMatchesGpsdsFixes) {
    const auto frames = FramesOf(layout::pvt::kId);
    const auto gpsd = GpsdFixes();
    ASSERT_EQ(frames.size(), 22u);
    ASSERT_EQ(gpsd.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        ReceiverFix f;
        ASSERT_TRUE(DecodePvt(frames[i].data(), static_cast<int32_t>(frames[i].size()), f));
        EXPECT_EQ(f.week, 1410);
        EXPECT_EQ(f.timeOfWeekMs, 123624000u + 1000u * i);
        EXPECT_TRUE(f.valid());
        EXPECT_TRUE(f.threeD());
        EXPECT_NEAR(f.latitudeDeg, gpsd[i].lat, 1e-9);
        EXPECT_NEAR(f.longitudeDeg, gpsd[i].lon, 1e-9);
        // gpsd reports the sea-level height moved by the receiver's set antenna offset (-52 mm).
        EXPECT_NEAR(f.seaLevelHeightM - 0.052, gpsd[i].altMsl, 0.0015);
        EXPECT_NEAR(f.ellipsoidHeightM, 659.1, 0.1);
        ASSERT_TRUE(f.gdop && f.pdop && f.hdop && f.vdop && f.tdop);
    }
    // The first fix's DOPs are those gpsd shows from the receiver's channel status of the same
    // second (its first SKY report).
    ReceiverFix first;
    ASSERT_TRUE(DecodePvt(frames[0].data(), static_cast<int32_t>(frames[0].size()), first));
    EXPECT_NEAR(*first.gdop, 2.4, 1e-9);
    EXPECT_NEAR(*first.pdop, 2.0, 1e-9);
    EXPECT_NEAR(*first.hdop, 1.0, 1e-9);
    EXPECT_NEAR(*first.vdop, 1.8, 1e-9);
    EXPECT_NEAR(*first.tdop, 1.3, 1e-9);
}

// Builds a PVT frame from its fields.
std::vector<uint8_t> PvtFrame(int32_t lat, int32_t lon, uint8_t fractions, uint8_t mode, uint8_t gdop) {
    namespace pv = layout::pvt;
    std::vector<uint8_t> body(pv::kFrameBytes - layout::frame::kFrameOverhead, 0);
    const auto at = [&](int offset) { return &body[layout::frame::BodyIndex(offset)]; };
    put_le16(at(pv::kWeekOffset), 2200);
    put_le32(at(pv::kLatitudeOffset), static_cast<uint32_t>(lat));
    put_le32(at(pv::kLongitudeOffset), static_cast<uint32_t>(lon));
    *at(pv::kFractionsOffset) = fractions;
    *at(pv::kNavModeOffset) = mode;
    put_le32(at(pv::kEllipsoidHeightOffset), static_cast<uint32_t>(-10 * 1024));
    *at(pv::kGdopOffset) = gdop;
    return test::MakeFrame(pv::kId, body);
}

TEST(ReceiverRecords, PvtFieldsAndSigns) {
    struct Case {
        const char* what;
        int32_t lat, lon;
        uint8_t fractions, mode, gdop;
        double latDeg, lonDeg;
        bool valid, threeD;
        bool hasGdop;
    };
    const Case cases[] = {
        // 2^-11 arc-second units, then the four bits below them: a fraction of 8 is half a unit.
        {"north east", 2048 * 3600, 2048 * 7200, 0x80, 0xC0, 24, 1.0 + 0.5 / 2048 / 3600, 2.0, true, true, true},
        // Two's complement throughout: the fraction adds to a negative angle too.
        {"south west", -2048 * 3600, -1, 0x08, 0x80, 255, -1.0, (-16 + 8) / 32768.0 / 3600, true, false, false},
        {"no fix", 0, 0, 0, 0x05, 30, 0.0, 0.0, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto frame = PvtFrame(c.lat, c.lon, c.fractions, c.mode, c.gdop);
        ReceiverFix f;
        ASSERT_TRUE(DecodePvt(frame.data(), static_cast<int32_t>(frame.size()), f));
        EXPECT_DOUBLE_EQ(f.latitudeDeg, c.latDeg);
        EXPECT_DOUBLE_EQ(f.longitudeDeg, c.lonDeg);
        EXPECT_DOUBLE_EQ(f.ellipsoidHeightM, -10.0);
        EXPECT_EQ(f.valid(), c.valid);
        EXPECT_EQ(f.threeD(), c.threeD);
        EXPECT_EQ(f.gdop.has_value(), c.hasGdop);
    }
}

TEST(ReceiverRecords, EarthFixedPositionOfAFix) {
    ReceiverFix f;
    f.latitudeDeg = 0.0;
    f.longitudeDeg = 90.0;
    f.ellipsoidHeightM = 100.0;
    const auto xyz = f.EarthFixed();
    EXPECT_NEAR(xyz[0], 0.0, 1e-6);
    EXPECT_NEAR(xyz[1], 6378237.0, 1e-6);
    EXPECT_NEAR(xyz[2], 0.0, 1e-6);
}

TEST(ReceiverRecords, RefusesOtherRecordsAndLengths) {
    const auto pvt = PvtFrame(0, 0, 0, 0xC0, 10);
    const auto ident = FramesOf(layout::identification::kId).at(0);
    auto engineOnly = std::vector<uint8_t>(ident.begin() + layout::frame::kBodyOffset,
                                           ident.begin() + layout::identification::kEngineFrameBytes - 1);
    engineOnly.back() = 45;  // the engine form's software build number
    const auto engineFrame = test::MakeFrame(layout::identification::kId, engineOnly);
    ReceiverIdentity r;
    ReceiverFix f;
    EXPECT_FALSE(DecodePvt(ident.data(), static_cast<int32_t>(ident.size()), f));
    EXPECT_FALSE(DecodeIdentification(pvt.data(), static_cast<int32_t>(pvt.size()), r));
    EXPECT_FALSE(DecodePvt(pvt.data(), static_cast<int32_t>(pvt.size()) - 1, f));
    EXPECT_FALSE(DecodeIdentification(ident.data(), 60, r));
    ASSERT_TRUE(DecodeIdentification(engineFrame.data(), static_cast<int32_t>(engineFrame.size()), r));
    EXPECT_FALSE(r.hasIop);
    EXPECT_EQ(ReceiverFirmwareVersion(r), "3.0.45");
}

// The fixes a window keeps: the capture's 22 valid 3-D fixes, one a second, edges inclusive.
TEST(ReceiverRecords, FixesWithinAWindow) {
    const auto frames = FramesOf(layout::pvt::kId);
    ReceiverFix first;
    ASSERT_TRUE(DecodePvt(frames.front().data(), static_cast<int32_t>(frames.front().size()), first));
    const GpsTime start{first.week, first.timeOfWeekMs * layout::kTimeUnitS};
    const auto at = [&](double s) { return std::optional<GpsTime>(GpsTimeFromTotal(start.Total() + s)); };
    struct Case {
        const char* name;
        std::optional<GpsTime> from, to;
        int kept;
    };
    const Case cases[] = {
        {"open", std::nullopt, std::nullopt, 22},
        {"from the first", at(0.0), std::nullopt, 22},
        {"to the first", std::nullopt, at(0.0), 1},
        {"from after the last", at(3600.0), std::nullopt, 0},
        {"one second", at(5.0), at(6.0), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int kept = 0;
        for (const auto& f : frames) kept += FixWithin(f.data(), static_cast<int32_t>(f.size()), c.from, c.to) ? 1 : 0;
        EXPECT_EQ(kept, c.kept);
    }
    const auto ident = FramesOf(layout::identification::kId).at(0);
    EXPECT_FALSE(FixWithin(ident.data(), static_cast<int32_t>(ident.size()), std::nullopt, std::nullopt));
}

TEST(ReceiverRecords, IgsTypeWhereTheEngineTellsIt) {
    ReceiverIdentity r;
    r.engineConfig = 0x02;
    EXPECT_EQ(ReceiverIgsType(r), "NAVCOM NCT-2000D");
    r.engineConfig = 0x55;
    EXPECT_EQ(ReceiverIgsType(r), "NAVCOM");
    EXPECT_STREQ(EngineConfigName(0x55), "unknown engine");
}

// Keeps the frames a decoding session hands to OnExtraRecord.
class ExtraRecordCatcher : public ObservationSink {
public:
    bool OnEpoch(const ObservationEpoch&) override {
        ++epochs;
        return true;
    }
    bool OnEphemeris(const DecodedEphemeris&) override { return true; }
    bool OnExtraRecord(const uint8_t* frame, int32_t length) override {
        frames.emplace_back(frame, frame + length);
        return true;
    }
    std::vector<std::vector<uint8_t>> frames;
    int epochs = 0;
    ParserCounts counts{};
};

// The whole long capture through a decoding session, with or without the receiver's records.
ExtraRecordCatcher ReadCapture(bool extraRecords) {
    SessionOptions options;
    if (extraRecords) {
        options.extraRecords = ReceiverInfoRecords();
        options.extraRecordCount = ReceiverInfoRecordCount();
    }
    ExtraRecordCatcher catcher;
    const CallbackBlock callbacks{};
    DecodingSession session(options, callbacks, nullptr, &catcher);
    EXPECT_TRUE(session.IsOpen());
    const auto bytes = test::ReadFileBytes(test::DataPath(kLongCapture));
    EXPECT_TRUE(session.Push(bytes.data(), bytes.size()));
    EXPECT_TRUE(session.Finish());
    catcher.counts = session.Counts().parser;
    return catcher;
}

TEST(ReceiverRecords, OnlyASessionThatAsksTakesThem) {
    const auto without = ReadCapture(false);
    const auto with = ReadCapture(true);
    EXPECT_TRUE(without.frames.empty());
    // Every whole frame of both records, byte for byte as in the log (the last PVT is cut short).
    std::vector<std::vector<uint8_t>> expected;
    for (test::FoundFrame& f : test::FindFrames(test::ReadFileBytes(test::DataPath(kLongCapture)))) {
        if ((f.id == 0xAE || f.id == 0xB1) && f.checksumOk) expected.push_back(f.bytes);
    }
    EXPECT_EQ(with.frames, expected);
    EXPECT_EQ(with.epochs, without.epochs);
    // A session that takes them no longer passes them over; the parser's faults are the same.
    EXPECT_EQ(without.counts.otherRecords - with.counts.otherRecords, static_cast<int64_t>(expected.size()) + 1);
    EXPECT_EQ(with.counts.checksumFailures, without.counts.checksumFailures);
    EXPECT_EQ(with.counts.lengthFailures, without.counts.lengthFailures);
    EXPECT_EQ(with.counts.resyncs, without.counts.resyncs);
}

// A sink that refuses one of the receiver's records ends the run there, as for an epoch.
TEST(ReceiverRecords, ASinkRefusingOneEndsTheRun) {
    struct Refuser : ObservationSink {
        bool OnEpoch(const ObservationEpoch&) override { return true; }
        bool OnEphemeris(const DecodedEphemeris&) override { return true; }
        bool OnExtraRecord(const uint8_t*, int32_t) override {
            set_error_text("refused");
            return false;
        }
    } refuser;
    SessionOptions options;
    options.extraRecords = ReceiverInfoRecords();
    options.extraRecordCount = ReceiverInfoRecordCount();
    const CallbackBlock callbacks{};
    DecodingSession session(options, callbacks, nullptr, &refuser);
    const auto bytes = test::ReadFileBytes(test::DataPath(kLongCapture));
    EXPECT_FALSE(session.Push(bytes.data(), bytes.size()));
    EXPECT_EQ(session.End(), RunEnd::kSinkFailed);
    EXPECT_STREQ(error_text(), "refused");
}

}  // namespace
}  // namespace kestrel
