#include "support/orbit_files.h"

#include <cmath>
#include <cstdlib>
#include <fstream>

namespace kestrel::test {
namespace {

// A FORTRAN-style number, 'D' exponents included; 0 for a blank field.
double Field(const std::string& line, std::size_t from, std::size_t width) {
    if (from >= line.size()) return 0.0;
    std::string text = line.substr(from, width);
    for (char& c : text)
        if (c == 'D' || c == 'd') c = 'E';
    return std::strtod(text.c_str(), nullptr);
}

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

std::vector<GpsEphRecord> ReadBroadcastFile(const std::string& path) {
    std::vector<GpsEphRecord> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.find("END OF HEADER") != std::string::npos) break;
    std::string lines[8];
    while (std::getline(in, lines[0])) {
        if (lines[0].size() < 22) continue;
        bool complete = true;
        for (int i = 1; i < 8; ++i) complete = complete && static_cast<bool>(std::getline(in, lines[i]));
        if (!complete) break;
        double v[8][4] = {};
        for (int i = 1; i < 8; ++i)
            for (int k = 0; k < 4; ++k) v[i][k] = Field(lines[i], 3 + 19 * k, 19);
        const std::string& l0 = lines[0];
        int yy = std::atoi(l0.substr(2, 3).c_str());
        const int year = yy < 80 ? 2000 + yy : 1900 + yy;
        int week = 0;
        double toc = 0.0;
        GpsTimeOf(year, std::atoi(l0.substr(5, 3).c_str()), std::atoi(l0.substr(8, 3).c_str()),
                  std::atoi(l0.substr(11, 3).c_str()), std::atoi(l0.substr(14, 3).c_str()),
                  std::strtod(l0.substr(17, 5).c_str(), nullptr), &week, &toc);

        GpsEphRecord r{};
        r.Prn = std::atoi(l0.substr(0, 2).c_str());
        r.Week = week;
        r.Filler = 9999;
        r.Toc = static_cast<int32_t>(toc);
        r.Af0 = Field(l0, 22, 19);
        r.Af1 = Field(l0, 41, 19);
        r.Af2 = Field(l0, 60, 19);
        r.Iode = static_cast<int32_t>(v[1][0]);
        r.Crs = v[1][1];
        r.DeltaN = v[1][2];
        r.M0 = v[1][3];
        r.Cuc = v[2][0];
        r.Ecc = v[2][1];
        r.Cus = v[2][2];
        r.SqrtA = v[2][3];
        r.Toe = static_cast<int32_t>(v[3][0]);
        r.Cic = v[3][1];
        r.Omega0 = v[3][2];
        r.Cis = v[3][3];
        r.I0 = v[4][0];
        r.Crc = v[4][1];
        r.Omega = v[4][2];
        r.OmegaDot = v[4][3];
        r.Idot = v[5][0];
        r.Tgd = v[6][2];
        r.Iodc = static_cast<int32_t>(v[6][3]);
        records.push_back(r);
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
