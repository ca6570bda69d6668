// SPDX-License-Identifier: BSD-2-Clause
// Receiver clock correction end to end: NavCom logs converted through the exported
// functions with clock correction on, and the solved epochs of the OBX file compared with
// the receiver's known position.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "obx_read.h"
#include "positioning/geodesy.h"
#include "positioning/single_point.h"
#include "rinex/navcom_log.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr double kC = 299792458.0;
constexpr double kDeg = std::numbers::pi / 180.0;

std::vector<std::string> messages;
void KESTREL_STDCALL RecordMessage(double, const char* text) { messages.push_back(text); }

// Converts `input` with the factory defaults (clock correction on) and reads the OBX file.
obx::ObxContents Convert(const std::string& input, const std::string& outBase) {
    messages.clear();
    OptionBlock options{};
    options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    options.optionSize = KESTREL_OPTION_RECORD_SIZE;
    SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &options.options);
    std::snprintf(options.inputPath, sizeof options.inputPath, "%s", input.c_str());
    std::snprintf(options.outputName, sizeof options.outputName, "%s", outBase.c_str());
    CallbackBlock callbacks{};
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    callbacks.messageCallback = RecordMessage;
    EXPECT_EQ(ConvertFile(&options, &callbacks, 0), 0);
    const obx::ObxContents obx = obx::ReadObx(outBase + ".obx");
    EXPECT_EQ(obx.state, obx::ObxState::kComplete) << obx.problem;
    return obx;
}

// Horizontal and vertical distance of a solved epoch from a reference point.
struct Offset {
    double horizontal, vertical;
};
Offset OffsetFrom(const EpochHeader& h, double refLat, double refLon, double refHeight) {
    double x, y, z, rx, ry, rz;
    geodetic_to_ecef(h.latitude * kDeg, h.longitude * kDeg, h.height, &x, &y, &z);
    geodetic_to_ecef(refLat, refLon, refHeight, &rx, &ry, &rz);
    const double dx = x - rx, dy = y - ry, dz = z - rz;
    const double east = -std::sin(refLon) * dx + std::cos(refLon) * dy;
    const double north = -std::sin(refLat) * std::cos(refLon) * dx -
                         std::sin(refLat) * std::sin(refLon) * dy + std::cos(refLat) * dz;
    const double up = std::cos(refLat) * std::cos(refLon) * dx +
                      std::cos(refLat) * std::sin(refLon) * dy + std::sin(refLat) * dz;
    return {std::sqrt(east * east + north * north), std::fabs(up)};
}

struct Spread {
    double median, p95, worst;
};
Spread SpreadOf(std::vector<double> v) {
    if (v.empty()) return {0, 0, 0};
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
    return {at(0.5), at(0.95), v.back()};
}

// Every corrected epoch carries its offset and the time it implies.
void ExpectConsistentTimes(const obx::ObxContents& obx) {
    for (const auto& e : obx.epochs) {
        const EpochHeader& h = e.position;
        if (h.flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED) {
            EXPECT_EQ(double(h.corrected_time), double(h.time_tag) - double(h.clock_offset) / kC);
        } else {
            EXPECT_EQ(double(h.corrected_time), double(h.time_tag));
            EXPECT_EQ(double(h.clock_offset), 0.0);
        }
    }
}

TEST(ClockEndToEnd, StationHourSolvesNearTheStation) {
    reset_single_point_state();
    rinex::ObsFile obsFile;
    std::vector<rinex::NavRecord> nav;
    std::string error;
    ASSERT_TRUE(rinex::ReadObsFile(test::DataPath("rinex/07590920.05o"), obsFile, error)) << error;
    ASSERT_TRUE(rinex::ReadNavFile(test::DataPath("rinex/07590920.05n"), nav, error)) << error;
    rinex::LogContents log;
    ASSERT_TRUE(rinex::BuildNavComLog(obsFile, nav, rinex::LogOptions{}, log, error)) << error;
    ASSERT_GE(log.ephemerides.size(), 4u);
    const size_t fourthEphemerisBefore = log.ephemerides[3].beforeEpoch;

    test::ScratchDir dir;
    test::WriteFileBytes(dir.file("station.log"), log.bytes);
    const obx::ObxContents obx = Convert(dir.file("station.log"), dir.file("station"));
    ASSERT_GT(obx.epochs.size(), 100u);
    ExpectConsistentTimes(obx);

    // The station's coordinates, as its observation file's header gives them.
    double lat, lon, height;
    ecef_to_geodetic(-3976219.5082, 3382372.5671, 3652512.9849, kWgs84SemiMajorAxis,
                     kWgs84SemiMinorAxis, &lat, &lon, &height);

    // Epochs in the OBX file keep the log's order; those after the fourth ephemeris with
    // four or more satellites are expected to be corrected.
    const double firstCounted = log.epochs[std::min(fourthEphemerisBefore, log.epochs.size() - 1)].time.sow;
    size_t counted = 0, corrected = 0;
    std::vector<double> horizontal, vertical;
    for (const auto& e : obx.epochs) {
        const EpochHeader& h = e.position;
        if (h.time_tag < firstCounted || h.sat_count < 4) continue;
        ++counted;
        if (!(h.flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED)) continue;
        ++corrected;
        const Offset off = OffsetFrom(h, lat, lon, height);
        horizontal.push_back(off.horizontal);
        vertical.push_back(off.vertical);
    }
    ASSERT_GT(counted, 100u);
    EXPECT_GE(corrected * 100, counted * 95) << corrected << " of " << counted;
    const Spread hs = SpreadOf(horizontal), vs = SpreadOf(vertical);
    EXPECT_LT(hs.p95, 5.0);
    EXPECT_LT(vs.p95, 15.0);
    std::printf("station hour: %zu of %zu epochs corrected; horizontal median %.2f m, 95%% %.2f m, "
                "worst %.2f m; vertical median %.2f m, 95%% %.2f m, worst %.2f m\n",
                corrected, counted, hs.median, hs.p95, hs.worst, vs.median, vs.p95, vs.worst);
    RecordProperty("corrected", static_cast<int>(corrected));
    RecordProperty("horizontal_p95_m", std::to_string(hs.p95));
    RecordProperty("vertical_p95_m", std::to_string(vs.p95));
}

TEST(ClockEndToEnd, RealCapturesSolveNearTheReceiversOwnFix) {
    // The receiver's own fix (from the captures' decoded output).
    const double lat = 30.341683 * kDeg, lon = 12.228736 * kDeg, height = 659.1;
    for (const char* name : {"gpsd-navcom.log", "gpsd-navcom-long-2012.log"}) {
        SCOPED_TRACE(name);
        reset_single_point_state();
        test::ScratchDir dir;
        const obx::ObxContents obx =
            Convert(test::DataPath(std::string("navcom/") + name), dir.file("capture"));
        ASSERT_FALSE(obx.epochs.empty());
        ExpectConsistentTimes(obx);
        std::vector<double> horizontal;
        size_t solved = 0;
        for (const auto& e : obx.epochs) {
            if (!(e.position.flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED)) continue;
            ++solved;
            horizontal.push_back(OffsetFrom(e.position, lat, lon, height).horizontal);
        }
        ASSERT_GT(solved, 0u);
        const Spread hs = SpreadOf(horizontal);
        EXPECT_LT(hs.worst, 10.0);
        std::printf("%s: %zu of %zu epochs solved; horizontal median %.2f m, 95%% %.2f m, worst %.2f m\n",
                    name, solved, obx.epochs.size(), hs.median, hs.p95, hs.worst);
    }
}

}  // namespace
}  // namespace kestrel
