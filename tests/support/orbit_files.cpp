// SPDX-License-Identifier: BSD-2-Clause
#include "support/orbit_files.h"

#include <cmath>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "rinex/rinex_nav.h"

namespace kestrel::test {
namespace {

long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

void GpsTimeOf(int year, int month, int day, int hour, int minute, double second, int* week,
               double* secondsOfWeek) {
    const long days = DaysFromCivil(year, month, day) - DaysFromCivil(1980, 1, 6);
    *week = static_cast<int>(days / 7);
    *secondsOfWeek = static_cast<double>(days % 7) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
}

std::vector<GpsEphRecord> ReadBroadcastFile(const std::string& path, std::vector<int>* fullWeeks) {
    std::vector<rinex::NavRecord> nav;
    std::string error;
    std::vector<GpsEphRecord> records;
    if (!rinex::ReadNavFile(path, nav, error)) {
        ADD_FAILURE() << error;
        return records;
    }
    for (const rinex::NavRecord& n : nav) {
        records.push_back(rinex::ToGpsEphRecord(n));
        if (fullWeeks) fullWeeks->push_back(n.week);
    }
    return records;
}

std::vector<PreciseEpoch> ReadPreciseFile(const std::string& path) {
    std::vector<PreciseEpoch> epochs;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("* ", 0) == 0) {
            PreciseEpoch e{};
            GpsTimeOf(std::atoi(line.substr(3, 4).c_str()), std::atoi(line.substr(8, 2).c_str()),
                      std::atoi(line.substr(11, 2).c_str()), std::atoi(line.substr(14, 2).c_str()),
                      std::atoi(line.substr(17, 2).c_str()), std::strtod(line.substr(20).c_str(), nullptr),
                      &e.week, &e.secondsOfWeek);
            epochs.push_back(e);
        } else if (line.rfind("PG", 0) == 0 && !epochs.empty()) {
            PreciseEpoch::Satellite s{};
            s.prn = std::atoi(line.substr(2, 2).c_str());
            s.x = std::strtod(line.substr(4, 14).c_str(), nullptr) * 1000.0;
            s.y = std::strtod(line.substr(18, 14).c_str(), nullptr) * 1000.0;
            s.z = std::strtod(line.substr(32, 14).c_str(), nullptr) * 1000.0;
            const double clockUs = std::strtod(line.substr(46, 14).c_str(), nullptr);
            s.clock = clockUs >= 999999.0 ? std::nan("") : clockUs * 1e-6;
            epochs.back().satellites.push_back(s);
        }
    }
    return epochs;
}

}  // namespace kestrel::test
