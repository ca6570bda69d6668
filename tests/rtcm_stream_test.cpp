// SPDX-License-Identifier: BSD-2-Clause
// A station's RTCM 3 stream: the message list, each message on its schedule in the data's
// time, the position gathered from the first ten minutes of solutions, and what a client
// joining mid-way receives first.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "rtcm/station_stream.h"
#include "support/rtcm_reader.h"

namespace kestrel::rtcm {
namespace {

TEST(RtcmMessageList, ReadsNumbersAndIntervals) {
    struct Case {
        const char* text;
        std::vector<MessageChoice> expected;  // empty: refused
        const char* error;                    // a word of the refusal
    };
    const Case cases[] = {
        {"1074,1019,1005(10),1033(10)", {{1074, 0}, {1019, 0}, {1005, 10}, {1033, 10}}, ""},
        {" 1077 , 1006( 0.5 ) ", {{1077, 0}, {1006, 0.5}}, ""},
        {"1004(1),1019(86400)", {{1004, 1}, {1019, 86400}}, ""},
        {"", {}, "empty"},
        {"1074,,1019", {}, "empty"},
        {"1074,", {}, "empty"},
        {"1075", {}, "not a message"},
        {"1074x", {}, "not a message"},
        {"abc", {}, "not a message"},
        {"1005(0)", {}, "interval"},
        {"1005(-3)", {}, "interval"},
        {"1005(86401)", {}, "interval"},
        {"1005(10", {}, "interval"},
        {"1005(10)x", {}, "interval"},
        {"1005()", {}, "interval"},
        {"1005(nan)", {}, "interval"},
        {"1074,1019,1074(5)", {}, "twice"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto list = ParseMessageList(c.text, error);
        if (c.expected.empty()) {
            EXPECT_FALSE(list) << c.text;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
        } else {
            ASSERT_TRUE(list) << c.text << ": " << error;
            EXPECT_EQ(*list, c.expected) << c.text;
        }
    }
    std::string error;
    EXPECT_TRUE(ParseMessageList(kDefaultMessages, error)) << error;
}

SatelliteObservation Sat(int prn, double rangeM) {
    SatelliteObservation s;
    s.prn = prn;
    s.Set(Observable::kC1, rangeM);
    s.Set(Observable::kL1, rangeM / 0.19029367279836487);
    s.Set(Observable::kS1, 45.0);
    return s;
}

ObservationEpoch Epoch(double sow, std::optional<std::array<double, 3>> position = std::nullopt) {
    ObservationEpoch e;
    e.time = GpsTime{1316, sow};
    e.positionM = position;
    e.satCount = 2;
    e.sats[0] = Sat(3, 2.1e7);
    e.sats[1] = Sat(8, 2.2e7);
    return e;
}

DecodedEphemeris Ephemeris(int prn, int iode) {
    DecodedEphemeris e{};
    e.record.Prn = prn;
    e.record.Week = 292;
    e.record.Iode = iode;
    e.record.Iodc = iode;
    e.record.Toe = 518400;
    e.record.Toc = 518400;
    e.record.SqrtA = 5153.6;
    return e;
}

// The message numbers of a run of frames, in order.
std::vector<int> Numbers(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> frames;
    std::string error;
    EXPECT_TRUE(test::SplitRtcmFrames(bytes, frames, error)) << error;
    std::vector<int> numbers;
    for (const auto& f : frames) numbers.push_back(test::RtcmMessageNumber(f));
    return numbers;
}

StationDescription Placed() {
    StationDescription s;
    s.positionM = std::array<double, 3>{-3976219.5082, 3382372.5671, 3652512.9849};
    s.antennaType = "TRM41249.00     NONE";
    return s;
}

TEST(StationStream, EachMessageGoesOutOnItsScheduleInTheDatasTime) {
    std::string error;
    StationStream stream(*ParseMessageList("1006(10),1033(30),1077,1004(2),1019(20)", error), Placed());
    std::map<int, std::vector<double>> sent;  // message number: epochs it went out at
    std::vector<uint8_t> out;
    stream.OnEphemeris(Ephemeris(3, 10), out);
    stream.OnEphemeris(Ephemeris(3, 10), out);  // the receiver repeats it: not new
    stream.OnEphemeris(Ephemeris(8, 20), out);
    EXPECT_EQ(Numbers(out), (std::vector<int>{1019, 1019}));
    for (double t = 518395.0; t <= 518425.0; t += 1.0) {
        out.clear();
        stream.OnEpoch(Epoch(t), out);
        if (t == 518405.0) stream.OnEphemeris(Ephemeris(3, 11), out);
        for (const int n : Numbers(out)) sent[n].push_back(t);
    }
    EXPECT_EQ(sent[1006], (std::vector<double>{518395, 518400, 518410, 518420}));
    EXPECT_EQ(sent[1033], (std::vector<double>{518395, 518400}));
    EXPECT_EQ(sent[1077].size(), 31u);
    EXPECT_EQ(sent[1004].size(), 16u);  // 518395, then each even second
    // Both in force at the start and at the 20 s mark, and the new one for PRN 3 on arrival.
    EXPECT_EQ(sent[1019], (std::vector<double>{518395, 518395, 518400, 518400, 518405, 518420, 518420}));
    EXPECT_EQ(stream.framesByMessage().at(1019), 9);

    // An observation message says whether another follows for its epoch.
    out.clear();
    stream.OnEpoch(Epoch(518426.0), out);
    std::vector<std::vector<uint8_t>> frames;
    ASSERT_TRUE(test::SplitRtcmFrames(out, frames, error));
    std::vector<bool> more;
    for (const auto& f : frames) {
        test::RtcmObservations obs;
        if (test::ReadRtcmObservations(f, obs, error)) more.push_back(obs.moreFollow);
    }
    EXPECT_EQ(more, (std::vector<bool>{true, false}));
}

TEST(StationStream, PositionIsTheMedianOfTheFirstTenMinutesOfSolutions) {
    std::string error;
    StationDescription unplaced = Placed();
    unplaced.positionM.reset();
    StationStream stream(*ParseMessageList("1074,1005(60),1033(60)", error), unplaced);
    std::vector<uint8_t> out;
    // Solutions scattered about a point, one epoch in three without one; after the first
    // ten minutes the solutions move away, and must not count.
    int firstPosition = -1;
    for (int k = 0; k < 900; ++k) {
        std::optional<std::array<double, 3>> solution;
        const double d = (k % 7) - 3.0;
        if (k % 3 != 0) solution = std::array<double, 3>{1000.0 + d, 2000.0 - d, 3000.0 + 2 * d};
        if (k >= 600) solution = std::array<double, 3>{9e5, 9e5, 9e5};
        out.clear();
        stream.OnEpoch(Epoch(518400.0 + k, solution), out);
        const std::vector<int> numbers = Numbers(out);
        const bool has1005 = std::count(numbers.begin(), numbers.end(), 1005) > 0;
        if (firstPosition < 0 && has1005) firstPosition = k;
        EXPECT_EQ(std::count(numbers.begin(), numbers.end(), 1074), 1) << "observations go out while it waits, epoch " << k;
        EXPECT_EQ(stream.positionPending(), k < 600) << k;
        if (k == 0) {
            EXPECT_EQ(numbers, (std::vector<int>{1033, 1074}));
        }
    }
    EXPECT_EQ(firstPosition, 600);
    ASSERT_TRUE(stream.position());
    EXPECT_EQ(*stream.position(), (std::array<double, 3>{1000.0, 2000.0, 3000.0}));
    EXPECT_TRUE(stream.positionFromSolutions());
    EXPECT_EQ(stream.positionSamples(), 400u);
}

TEST(StationStream, ShortStreamTakesTheSolutionsItHasAndNoneGivesNoPosition) {
    std::string error;
    StationDescription unplaced = Placed();
    unplaced.positionM.reset();
    for (const bool solved : {true, false}) {
        StationStream stream(*ParseMessageList("1074,1006", error), unplaced);
        std::vector<uint8_t> out;
        for (int k = 0; k < 5; ++k) {
            std::optional<std::array<double, 3>> solution;
            if (solved) solution = std::array<double, 3>{10.0 * k, 1.0, 2.0};
            stream.OnEpoch(Epoch(518400.0 + k, solution), out);
        }
        EXPECT_TRUE(stream.positionPending());
        const uint64_t before = stream.startFramesVersion();
        stream.Finish();
        EXPECT_EQ(stream.startFramesVersion() != before, solved) << "the position joins the start set";
        EXPECT_FALSE(stream.positionPending()) << "the stream has ended, solutions or none";
        EXPECT_EQ(stream.position().has_value(), solved);
        if (solved) {
            EXPECT_EQ((*stream.position())[0], 20.0);
        }
        out.clear();
        stream.AppendStartFrames(out);
        EXPECT_EQ(Numbers(out), solved ? std::vector<int>{1006} : std::vector<int>{});
        out.clear();
        stream.AppendPositionFrames(out);
        EXPECT_EQ(Numbers(out), solved ? std::vector<int>{1006} : std::vector<int>{});
    }
}

TEST(StationStream, AJoiningClientGetsTheStationAndEveryEphemerisInForce) {
    std::string error;
    StationStream stream(*ParseMessageList("1077,1019,1005(10),1033(10)", error), Placed());
    std::vector<uint8_t> out;
    // A live output renews its joining clients' set when the version moves: at each new
    // ephemeris, not at a repeated one nor at an epoch.
    const struct {
        int prn, iode;
        bool renews;
    } arrivals[] = {{3, 10, true}, {8, 20, true}, {8, 20, false}, {3, 11, true}};  // 11 replaces PRN 3's
    for (const auto& a : arrivals) {
        const uint64_t before = stream.startFramesVersion();
        stream.OnEphemeris(Ephemeris(a.prn, a.iode), out);
        EXPECT_EQ(stream.startFramesVersion() != before, a.renews) << a.prn << " " << a.iode;
    }
    const uint64_t beforeEpoch = stream.startFramesVersion();
    stream.OnEpoch(Epoch(518400.0), out);
    EXPECT_EQ(stream.startFramesVersion(), beforeEpoch);
    out.clear();
    stream.AppendStartFrames(out);
    EXPECT_EQ(Numbers(out), (std::vector<int>{1005, 1033, 1019, 1019}));
    std::vector<std::vector<uint8_t>> frames;
    ASSERT_TRUE(test::SplitRtcmFrames(out, frames, error));
    // The 1019 of PRN 3 is IODE 11: after 12 bits of number, 6 of PRN, 10 of week, 4 of URA,
    // 2 of codes and 14 of IDOT, the IODE is the 49th to 56th payload bits.
    const auto iode = [](const std::vector<uint8_t>& f) { return f[3 + 6]; };
    EXPECT_EQ(iode(frames[2]), 11);
    EXPECT_EQ(iode(frames[3]), 20);
    out.clear();
    stream.AppendPositionFrames(out);
    EXPECT_EQ(Numbers(out), (std::vector<int>{1005}));

    StationStream noEphemerides(*ParseMessageList("1077,1033", error), Placed());
    out.clear();
    noEphemerides.OnEphemeris(Ephemeris(3, 10), out);
    EXPECT_TRUE(out.empty());
    noEphemerides.AppendStartFrames(out);
    EXPECT_EQ(Numbers(out), (std::vector<int>{1033}));
}

TEST(StationStream, Msm7CarriesTheDopplerOnlyWhenAsked) {
    std::string error;
    for (const bool doppler : {false, true}) {
        StationStream stream(*ParseMessageList("1077", error), Placed(), doppler);
        ObservationEpoch epoch = Epoch(518400.0);
        epoch.sats[0].Set(Observable::kD1, -1234.5);
        std::vector<uint8_t> out;
        stream.OnEpoch(epoch, out);
        test::RtcmObservations obs;
        ASSERT_TRUE(test::ReadRtcmObservations(out, obs, error)) << error;
        ASSERT_EQ(obs.satellites.size(), 2u);
        EXPECT_EQ(obs.satellites[0].signals[0].hasRate, doppler);
        EXPECT_FALSE(obs.satellites[1].signals[0].hasRate) << "a satellite without a Doppler";
    }
}

}  // namespace
}  // namespace kestrel::rtcm
