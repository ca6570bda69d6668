// SPDX-License-Identifier: BSD-2-Clause
// The data behind the long benchmark logs: the simulated station must be one the converter
// solves, and the RINEX and RTCM 3 writers must write what readers of those formats read.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kestrel/records.h"
#include "positioning/eph_store.h"
#include "positioning/single_point.h"
#include "rinex/gps_time.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"
#include "rinex/rinex_obs_write.h"
#include "rinex/rtcm3.h"
#include "rinex/station_day.h"
#include "support/test_files.h"

namespace kestrel::rinex {
namespace {

constexpr double kC = 299792458.0;
constexpr double kL1Wavelength = kC / 1575420000.0;
constexpr double kL2Wavelength = kC / 1227600000.0;
constexpr double kPi = 3.141592653589793;
constexpr double kStation[3] = {-3976219.5082, 3382372.5671, 3652512.9849};

std::vector<NavRecord> BroadcastDay() {
    std::vector<NavRecord> nav;
    std::string error;
    EXPECT_TRUE(ReadNavFile(test::DataPath("orbits/brdc1820.10n"), nav, error)) << error;
    return nav;
}

StationDayOptions DayOptions() {
    StationDayOptions o;
    o.station = {kStation[0], kStation[1], kStation[2]};
    o.start = GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0);
    return o;
}

// Reads big-endian bit fields the way RTCM 3 messages carry them.
class BitReader {
public:
    explicit BitReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    uint64_t U(int bits) {
        uint64_t v = 0;
        for (int i = 0; i < bits; ++i, ++pos_) v = (v << 1) | ((bytes_.at(pos_ / 8) >> (7 - pos_ % 8)) & 1);
        return v;
    }
    int64_t S(int bits) {
        const uint64_t v = U(bits);
        return (v >> (bits - 1)) ? static_cast<int64_t>(v) - (int64_t{1} << bits) : static_cast<int64_t>(v);
    }
    std::size_t pos() const { return pos_; }

private:
    const std::vector<uint8_t>& bytes_;
    std::size_t pos_ = 0;
};

TEST(GpsTime, CalendarAndGpsTimeRoundTrip) {
    struct Case {
        int year, month, day, hour, minute;
        double second;
    };
    const Case cases[] = {
        {1980, 1, 6, 0, 0, 0.0},    {1999, 12, 31, 23, 59, 59.5}, {2004, 2, 29, 12, 0, 0.0},
        {2005, 4, 2, 0, 0, 0.0},    {2010, 7, 1, 23, 59, 59.0},   {2019, 4, 7, 0, 0, 0.25},
        {2024, 12, 31, 6, 30, 1.0},
    };
    for (const Case& c : cases) {
        const GpsTime t = GpsTimeFromCalendar(c.year, c.month, c.day, c.hour, c.minute, c.second);
        const CalendarTime back = CalendarFromGpsTime(t);
        EXPECT_EQ(back.year, c.year);
        EXPECT_EQ(back.month, c.month);
        EXPECT_EQ(back.day, c.day) << c.year << "-" << c.month;
        EXPECT_EQ(back.hour, c.hour);
        EXPECT_EQ(back.minute, c.minute);
        EXPECT_NEAR(back.second, c.second, 1e-9);
    }
}

TEST(RinexObsWriter, WhatItWritesReadsBackThroughTheReader) {
    ObsHeader header;
    header.markerName = "STATION";
    header.approxPosition = {kStation[0], kStation[1], kStation[2]};
    header.types = {"C1", "L1", "P2", "L2", "S1", "D1"};  // six types: two lines per satellite
    header.interval = 1.0;

    ObsEpoch first;
    first.time = GpsTimeFromCalendar(2005, 4, 2, 0, 0, 1.0);
    first.hasClockOffset = true;
    first.clockOffset = 0.000123456;
    // Fourteen satellites: the epoch line needs a continuation line.
    for (int prn = 1; prn <= 14; ++prn) {
        ObsSatellite s;
        s.prn = prn;
        s.values = {{true, 20000000.0 + prn * 1000.125, 0, 7},
                    {true, -1234567.891 * prn, prn == 3 ? 1 : 0, 6},
                    {prn != 5, 20000003.5 + prn, 0, 0},
                    {true, 98765.432, 0, 0},
                    {true, 44.25, 0, 0},
                    {false, 0.0, 0, 0}};
        first.satellites.push_back(s);
    }
    ObsEpoch second;
    second.time = GpsTimeFromCalendar(2005, 4, 2, 23, 59, 59.5);
    second.flag = kEpochPowerFailure;
    ObsSatellite s;
    s.prn = 31;
    s.values = {{true, 21000000.0, 0, 0}, {true, 1e12, 0, 0}};  // the phase does not fit F14.3
    second.satellites.push_back(s);

    const std::string text = FormatObsHeader(header, first.time) + FormatObsEpoch(first, header.types) +
                             FormatObsEpoch(second, header.types);
    ObsFile file;
    std::string error;
    ASSERT_TRUE(ParseObsText(text, "written", file, error)) << error << "\n" << text;
    EXPECT_EQ(file.header.markerName, "STATION");
    EXPECT_EQ(file.header.types, header.types);
    EXPECT_DOUBLE_EQ(file.header.interval, 1.0);
    EXPECT_NEAR(file.header.approxPosition[2], kStation[2], 1e-4);
    ASSERT_EQ(file.epochs.size(), 2u);

    const ObsEpoch& a = file.epochs[0];
    EXPECT_EQ(a.time.week, first.time.week);
    EXPECT_NEAR(a.time.sow, first.time.sow, 1e-6);
    EXPECT_TRUE(a.hasClockOffset);
    EXPECT_NEAR(a.clockOffset, 0.000123456, 1e-12);
    ASSERT_EQ(a.satellites.size(), 14u);
    for (std::size_t i = 0; i < 14; ++i) {
        const ObsSatellite& got = a.satellites[i];
        const ObsSatellite& want = first.satellites[i];
        EXPECT_EQ(got.prn, want.prn);
        ASSERT_EQ(got.values.size(), header.types.size());
        for (std::size_t k = 0; k < header.types.size(); ++k) {
            EXPECT_EQ(got.values[k].present, want.values[k].present) << "PRN " << want.prn << " type " << k;
            if (want.values[k].present) {
                EXPECT_NEAR(got.values[k].value, want.values[k].value, 5e-4);
            }
            EXPECT_EQ(got.values[k].lli, want.values[k].lli);
            EXPECT_EQ(got.values[k].strength, want.values[k].strength);
        }
    }
    const ObsEpoch& b = file.epochs[1];
    EXPECT_EQ(b.flag, kEpochPowerFailure);
    EXPECT_NEAR(b.time.sow, second.time.sow, 1e-6);
    ASSERT_EQ(b.satellites.size(), 1u);
    EXPECT_TRUE(b.satellites[0].values[0].present);
    EXPECT_FALSE(b.satellites[0].values[1].present);
}

TEST(Rtcm3, FramesWithTheCrcOfTheStandardsExampleMessage) {
    // A message 1005 as the RTCM 3 standard prints it, CRC-24Q last.
    const std::vector<uint8_t> message = {0xD3, 0x00, 0x13, 0x3E, 0xD7, 0xD3, 0x02, 0x02, 0x98, 0x0E, 0xDE, 0xEF,
                                          0x34, 0xB4, 0xBD, 0x62, 0xAC, 0x09, 0x41, 0x98, 0x6F, 0x33, 0x36, 0x0B,
                                          0x98};
    EXPECT_EQ(Crc24q(message.data(), message.size() - 3), 0x360B98u);
    const std::vector<uint8_t> payload(message.begin() + 3, message.end() - 3);
    EXPECT_EQ(RtcmFrame(payload), message);
    EXPECT_TRUE(RtcmFrame(std::vector<uint8_t>(1024)).empty());
    EXPECT_EQ(RtcmFrame(std::vector<uint8_t>(1023)).size(), 1029u);
}

TEST(Rtcm3, LockIndicatorFollowsTheStepsOfTheMessage) {
    const std::pair<double, int> cases[] = {{0, 0},     {23.9, 23},  {24, 24},   {71, 47},   {72, 48},
                                            {167, 71},  {168, 72},   {359, 95},  {360, 96},  {743, 119},
                                            {744, 120}, {936, 126},  {937, 127}, {1e6, 127}, {-5, 0}};
    for (const auto& [seconds, indicator] : cases) EXPECT_EQ(RtcmLockIndicator(seconds), indicator) << seconds;
}

TEST(Rtcm3, Message1004CarriesRangesPhasesAndLocks) {
    RtcmObservation full;
    full.prn = 7;
    full.l1Range = 21345678.123;
    full.l1Phase = (full.l1Range - 3.25) / kL1Wavelength;
    full.l2Range = full.l1Range + 4.56;
    full.l2Phase = (full.l1Range - 7.5) / kL2Wavelength;
    full.l1LockSeconds = 100;
    full.l2LockSeconds = 30;
    full.l1Cnr = 45.25;
    full.l2Cnr = 38.0;
    RtcmObservation bare;
    bare.prn = 31;
    bare.l1Range = 24999999.99;
    bare.l1Phase = (bare.l1Range + 400.0) / kL1Wavelength;  // beyond the 20-bit phase field

    const std::vector<uint8_t> payload = EncodeRtcm1004(345600123, {full, bare});
    ASSERT_EQ(payload.size(), (64 + 2 * 125 + 7) / 8u);
    BitReader r(payload);
    EXPECT_EQ(r.U(12), 1004u);
    EXPECT_EQ(r.U(12), 0u);
    EXPECT_EQ(r.U(30), 345600123u);
    EXPECT_EQ(r.U(1), 0u);
    EXPECT_EQ(r.U(5), 2u);
    r.U(4);
    struct Read {
        uint64_t prn, code, range;
        int64_t l1Phase;
        uint64_t l1Lock, ambiguity, l1Cnr, l2Code;
        int64_t l2Delta, l2Phase;
        uint64_t l2Lock, l2Cnr;
    };
    auto next = [&r] {
        Read s{};
        s.prn = r.U(6);
        s.code = r.U(1);
        s.range = r.U(24);
        s.l1Phase = r.S(20);
        s.l1Lock = r.U(7);
        s.ambiguity = r.U(8);
        s.l1Cnr = r.U(8);
        s.l2Code = r.U(2);
        s.l2Delta = r.S(14);
        s.l2Phase = r.S(20);
        s.l2Lock = r.U(7);
        s.l2Cnr = r.U(8);
        return s;
    };
    const Read a = next();
    EXPECT_EQ(a.prn, 7u);
    const double range = a.ambiguity * 299792.458 + a.range * 0.02;
    EXPECT_NEAR(range, full.l1Range, 0.01);
    EXPECT_NEAR(range + a.l1Phase * 0.0005, full.l1Range - 3.25, 0.0003);
    EXPECT_NEAR(range + a.l2Delta * 0.02, full.l2Range, 0.01);
    EXPECT_NEAR(range + a.l2Phase * 0.0005, full.l1Range - 7.5, 0.0003);
    EXPECT_EQ(a.l1Lock, static_cast<uint64_t>(RtcmLockIndicator(100)));
    EXPECT_EQ(a.l2Lock, 27u);  // (30 + 24) / 2
    EXPECT_EQ(a.l1Cnr, 181u);
    EXPECT_EQ(a.l2Cnr, 152u);
    EXPECT_EQ(a.l2Code, 1u);

    const Read b = next();
    EXPECT_EQ(b.prn, 31u);
    EXPECT_NEAR(b.ambiguity * 299792.458 + b.range * 0.02, bare.l1Range, 0.01);
    EXPECT_EQ(b.l1Phase, -(1 << 19)) << "a phase that does not fit is sent as none";
    EXPECT_EQ(b.l2Delta, -(1 << 13));
    EXPECT_EQ(b.l2Phase, -(1 << 19));
    EXPECT_EQ(r.pos(), 64u + 2 * 125);
}

TEST(Rtcm3, Message1019CarriesEveryEphemerisField) {
    const std::vector<NavRecord> nav = BroadcastDay();
    ASSERT_FALSE(nav.empty());
    for (const NavRecord& n : {nav.front(), nav[nav.size() / 2], nav.back()}) {
        const std::vector<uint8_t> payload = EncodeRtcm1019(n);
        ASSERT_EQ(payload.size(), 61u);
        BitReader r(payload);
        const auto semicircles = [](int64_t v, int e) { return std::ldexp(static_cast<double>(v), e) * kPi; };
        EXPECT_EQ(r.U(12), 1019u);
        EXPECT_EQ(static_cast<int>(r.U(6)), n.prn);
        EXPECT_EQ(static_cast<int>(r.U(10)), n.week % 1024);
        r.U(4);
        EXPECT_EQ(static_cast<int>(r.U(2)), n.l2Codes);
        EXPECT_NEAR(semicircles(r.S(14), -43), n.idot, std::ldexp(kPi, -44));
        EXPECT_EQ(static_cast<int>(r.U(8)), n.iode);
        EXPECT_DOUBLE_EQ(r.U(16) * 16.0, n.toc);
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(8)), -55), n.af2, std::ldexp(1.0, -56));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(16)), -43), n.af1, std::ldexp(1.0, -44));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(22)), -31), n.af0, std::ldexp(1.0, -32));
        EXPECT_EQ(static_cast<int>(r.U(10)), n.iodc);
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(16)), -5), n.crs, 1.0 / 64);
        EXPECT_NEAR(semicircles(r.S(16), -43), n.deltaN, std::ldexp(kPi, -44));
        EXPECT_NEAR(semicircles(r.S(32), -31), n.m0, std::ldexp(kPi, -32));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(16)), -29), n.cuc, std::ldexp(1.0, -30));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.U(32)), -33), n.ecc, std::ldexp(1.0, -34));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(16)), -29), n.cus, std::ldexp(1.0, -30));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.U(32)), -19), n.sqrtA, std::ldexp(1.0, -20));
        EXPECT_DOUBLE_EQ(r.U(16) * 16.0, n.toe);
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(16)), -29), n.cic, std::ldexp(1.0, -30));
        EXPECT_NEAR(semicircles(r.S(32), -31), n.omega0, std::ldexp(kPi, -32));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(16)), -29), n.cis, std::ldexp(1.0, -30));
        EXPECT_NEAR(semicircles(r.S(32), -31), n.i0, std::ldexp(kPi, -32));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(16)), -5), n.crc, 1.0 / 64);
        EXPECT_NEAR(semicircles(r.S(32), -31), n.omega, std::ldexp(kPi, -32));
        EXPECT_NEAR(semicircles(r.S(24), -43), n.omegaDot, std::ldexp(kPi, -44));
        EXPECT_NEAR(std::ldexp(static_cast<double>(r.S(8)), -31), n.tgd, std::ldexp(1.0, -32));
        EXPECT_EQ(static_cast<int>(r.U(6)), n.health);
        r.U(2);
        EXPECT_EQ(r.pos(), 488u);
    }
}

// Without ionosphere and noise the simulated ranges differ from the converter's model only
// by the group delay and the tropospheric mapping: its single-point solution must find the
// station and the simulated receiver clock.
TEST(StationDay, TheConvertersSolutionFindsTheStationAndItsClock) {
    const std::vector<NavRecord> nav = BroadcastDay();
    eph_store_clear();
    for (const NavRecord& n : nav) {
        const GpsEphRecord record = ToGpsEphRecord(n);
        ASSERT_EQ(eph_store_insert(&record), 0);
    }
    StationDayOptions options = DayOptions();
    options.ionosphere = false;
    options.noise = false;
    options.interval = 1800.0;
    options.duration = 6 * 3600.0;
    StationDay day(nav, options);
    reset_single_point_state();
    ObsEpoch epoch;
    int solved = 0;
    while (day.Next(epoch)) {
        std::vector<SatObservation> obs;
        for (const ObsSatellite& s : epoch.satellites) {
            SatObservation o{};
            o.prn = static_cast<uint8_t>(s.prn);
            o.ca_range = s.values[0].value;
            obs.push_back(o);
        }
        // Twice: the second solution has the elevation mask and troposphere of the first.
        for (int pass = 0; pass < 2; ++pass) {
            EpochHeader h{};
            h.sat_count = static_cast<uint8_t>(obs.size());
            h.time_tag = epoch.time.sow;
            double clock = 0.0;
            ASSERT_EQ(solve_epoch(&h, obs.data(), kSolveBoth, 0, 0, 0, &clock), 0) << epoch.time.sow;
            if (pass == 0) continue;
            const double lat = h.latitude * kPi / 180, lon = h.longitude * kPi / 180;
            const double e2 = 0.00669437999014;
            const double n = 6378137.0 / std::sqrt(1 - e2 * std::sin(lat) * std::sin(lat));
            const double x = (n + h.height) * std::cos(lat) * std::cos(lon);
            const double y = (n + h.height) * std::cos(lat) * std::sin(lon);
            const double z = (n * (1 - e2) + h.height) * std::sin(lat);
            EXPECT_LT(std::hypot(x - kStation[0], y - kStation[1], z - kStation[2]), 5.0) << epoch.time.sow;
            EXPECT_NEAR(clock, day.LastClockOffset() * kC, 10.0) << epoch.time.sow;
            ++solved;
        }
    }
    EXPECT_EQ(solved, 12);
    reset_single_point_state();
    eph_store_clear();
}

TEST(StationDay, EpochsKeepTheReceiversChannelsClockAndPhaseArcs) {
    StationDayOptions options = DayOptions();
    options.interval = 10.0;
    options.duration = 8 * 3600.0;
    options.clockDrift = 1e-6;  // steps the clock every 1000 s
    StationDay day(BroadcastDay(), options);
    ObsEpoch epoch;
    int epochs = 0, steps = 0;
    double lastClock = options.clockOffsetS;
    while (day.Next(epoch)) {
        EXPECT_NEAR(epoch.time.Total(), options.start.Total() + epochs * 10.0, 1e-6);
        ++epochs;
        const double clock = day.LastClockOffset();
        EXPECT_LE(std::fabs(clock), 0.5e-3 + 1e-5);
        if (std::fabs(clock - lastClock) > 0.5e-3) ++steps;
        lastClock = clock;
        ASSERT_GE(epoch.satellites.size(), 5u);
        ASSERT_LE(epoch.satellites.size(), 12u);
        int previous = 0;
        for (const ObsSatellite& s : epoch.satellites) {
            EXPECT_GT(s.prn, previous);
            EXPECT_LE(s.prn, 31);
            previous = s.prn;
            const double c1 = s.values[0].value, l1 = s.values[1].value;
            const double p2 = s.values[2].value, l2 = s.values[3].value;
            // The phase follows its code range, apart from the ionosphere (twice, opposite)
            // and the group delay.
            EXPECT_NEAR(l1 * kL1Wavelength, c1, 80.0) << s.prn;
            EXPECT_NEAR(l2 * kL2Wavelength, p2, 120.0) << s.prn;
            EXPECT_GT(p2 - c1, -10.0);  // the L2 delay is the larger
            EXPECT_GE(s.values[4].value, 35.0);
        }
    }
    EXPECT_EQ(epochs, 2880);
    EXPECT_GE(steps, 25);

    // The same options give the same data; another seed other noise.
    StationDay again(BroadcastDay(), options), other(BroadcastDay(), [&] {
        StationDayOptions o = options;
        o.seed = 99;
        return o;
    }());
    ObsEpoch a, b, c;
    ASSERT_TRUE(again.Next(a) && other.Next(c));
    StationDay first(BroadcastDay(), options);
    ASSERT_TRUE(first.Next(b));
    ASSERT_EQ(a.satellites.size(), b.satellites.size());
    EXPECT_EQ(a.satellites[0].values[0].value, b.satellites[0].values[0].value);
    EXPECT_NE(a.satellites[0].values[0].value, c.satellites[0].values[0].value);
}

}  // namespace
}  // namespace kestrel::rinex
