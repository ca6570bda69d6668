// SPDX-License-Identifier: BSD-2-Clause
// kestrel_make_day: simulates a static GPS station along the broadcast orbits of a RINEX
// navigation file and writes the observations as a RINEX 2.11 file. rinex2navcom turns it into
// a NavCom log (and `kestrel rtcm` that into RTCM 3), so Kestrel and other GNSS software can
// be run on the same observations.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs_write.h"
#include "rinex/station_day.h"

namespace {

using namespace kestrel::rinex;

constexpr const char* kUsage =
    "usage: kestrel_make_day NAV -o OBS [--hours H] [--interval S] [--start WEEK:SOW]\n"
    "                        [--station X,Y,Z] [--mask DEG] [--channels N] [--seed N]\n"
    "\n"
    "Simulates a static GPS station (by default the GSI station of data/rinex) along the\n"
    "broadcast orbits of NAV and writes the observations (C1 L1 P2 L2 S1) to the RINEX file\n"
    "OBS. The start defaults\n"
    "to 00:00 of the day most of NAV's ephemerides refer to; --hours defaults to 24, the\n"
    "elevation mask to 5 degrees and the receiver's channels to 12.\n";

// The GSI station 0759 of data/rinex (APPROX POSITION XYZ of its observation file).
constexpr double kDefaultStation[3] = {-3976219.5082, 3382372.5671, 3652512.9849};

int Fail(const std::string& text) {
    std::fprintf(stderr, "kestrel_make_day: %s\n", text.c_str());
    return 1;
}

bool ParseDouble(const char* text, double& v) {
    char* end = nullptr;
    errno = 0;
    v = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(v);
}

// 00:00 of the day that the median reference time of the ephemerides falls on.
GpsTime DefaultStart(const std::vector<NavRecord>& nav) {
    std::vector<double> toes;
    for (const NavRecord& n : nav) toes.push_back(n.week * kSecondsPerWeek + n.toe);
    std::nth_element(toes.begin(), toes.begin() + static_cast<long>(toes.size() / 2), toes.end());
    const double median = toes[toes.size() / 2];
    return GpsTimeFromTotal(std::floor(median / kSecondsPerDay) * kSecondsPerDay);
}

bool WriteAll(std::FILE* f, const std::string& text) { return std::fwrite(text.data(), 1, text.size(), f) == text.size(); }

}  // namespace

int main(int argc, char** argv) {
    std::string navPath, obsPath;
    StationDayOptions options;
    options.station = {kDefaultStation[0], kDefaultStation[1], kDefaultStation[2]};
    double hours = 24.0;
    bool haveStart = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        double v = 0.0;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "-o" && more) {
            obsPath = argv[++i];
        } else if (a == "--hours" && more) {
            if (!ParseDouble(argv[++i], hours) || hours <= 0.0 || hours > 24.0 * 366) return Fail("--hours wants a positive number");
        } else if (a == "--interval" && more) {
            if (!ParseDouble(argv[++i], options.interval) || options.interval < 0.05) return Fail("--interval wants seconds, at least 0.05");
        } else if (a == "--mask" && more) {
            if (!ParseDouble(argv[++i], options.elevationMaskDeg) || options.elevationMaskDeg < -5 ||
                options.elevationMaskDeg > 60)
                return Fail("--mask wants degrees, -5 to 60");
        } else if (a == "--channels" && more) {
            if (!ParseDouble(argv[++i], v) || v < 4 || v > 31) return Fail("--channels wants 4 to 31");
            options.channels = static_cast<int>(v);
        } else if (a == "--seed" && more) {
            if (!ParseDouble(argv[++i], v) || v < 0) return Fail("--seed wants a number");
            options.seed = static_cast<uint64_t>(v);
        } else if (a == "--start" && more) {
            int week = 0;
            double sow = 0.0;
            if (std::sscanf(argv[++i], "%d:%lf", &week, &sow) != 2 || week < 0 || sow < 0 || sow >= kSecondsPerWeek)
                return Fail("--start wants WEEK:SOW");
            options.start = {week, sow};
            haveStart = true;
        } else if (a == "--station" && more) {
            double x = 0, y = 0, z = 0;
            if (std::sscanf(argv[++i], "%lf,%lf,%lf", &x, &y, &z) != 3) return Fail("--station wants X,Y,Z in metres");
            options.station = {x, y, z};
        } else if (!a.empty() && a[0] == '-') {
            std::fputs(kUsage, stderr);
            return Fail("unknown option or missing value: " + a);
        } else if (navPath.empty()) {
            navPath = a;
        } else {
            std::fputs(kUsage, stderr);
            return 1;
        }
    }
    if (navPath.empty() || obsPath.empty()) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    std::vector<NavRecord> nav;
    std::string error;
    if (!ReadNavFile(navPath, nav, error)) return Fail(error);
    if (nav.empty()) return Fail(navPath + ": no ephemeris");
    if (!haveStart) options.start = DefaultStart(nav);
    options.duration = hours * 3600.0;

    StationDay day(nav, options);
    std::FILE* obs = std::fopen(obsPath.c_str(), "wb");
    if (!obs) return Fail(obsPath + ": " + std::strerror(errno));
    const ObsHeader header = day.Header();
    bool ok = WriteAll(obs, FormatObsHeader(header, options.start));
    std::size_t epochs = 0, blocks = 0, fewest = 99, most = 0;
    ObsEpoch epoch;
    while (ok && day.Next(epoch)) {
        ok = WriteAll(obs, FormatObsEpoch(epoch, header.types));
        ++epochs;
        blocks += epoch.satellites.size();
        fewest = std::min(fewest, epoch.satellites.size());
        most = std::max(most, epoch.satellites.size());
    }
    ok = std::fclose(obs) == 0 && ok;
    if (!ok) return Fail("cannot write the output");
    std::fprintf(stderr, "kestrel_make_day: %zu epochs from week %d %.0f s, %zu to %zu satellites (%.2f on average)\n",
                 epochs, options.start.week, options.start.sow, fewest, most,
                 epochs ? static_cast<double>(blocks) / static_cast<double>(epochs) : 0.0);
    return 0;
}
