// SPDX-License-Identifier: BSD-2-Clause
// The data behind the long benchmark logs: the simulated station must be one the converter
// solves, and the RINEX writer must write what readers of that format read.
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
