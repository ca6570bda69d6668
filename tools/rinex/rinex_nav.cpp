// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/rinex_nav.h"

#include <cmath>
#include <cstdio>

#include "rinex/gps_time.h"
#include "rinex/rinex_text.h"

namespace kestrel::rinex {

namespace {

constexpr int kLinesPerRecord = 8;
constexpr std::size_t kFieldWidth = 19;
constexpr std::size_t kFirstLineFields = 22;  // column of the clock bias on the record's first line
constexpr std::size_t kOrbitFields = 3;       // column of the first value on the other lines
constexpr std::size_t kFirstLineFields3 = 23; // the same in RINEX 3
constexpr std::size_t kOrbitFields3 = 4;
constexpr int kBroadcastWeekModulus = 1024;
constexpr int32_t kGpsEphFiller = 9999;

std::string Where(const std::string& name, std::size_t lineIndex) {
    return name + ":" + std::to_string(lineIndex + 1) + ": ";
}

// The navigation header: checks the version and file type, returns the index of the first
// line after END OF HEADER.
bool ReadHeader(const std::vector<std::string>& lines, const std::string& name, double& version,
                std::size_t& next, std::string& error) {
    if (lines.empty() || HeaderLabel(lines[0]) != "RINEX VERSION / TYPE") {
        error = Where(name, 0) + "not a RINEX file (no RINEX VERSION / TYPE line)";
        return false;
    }
    if (!ParseReal(Columns(lines[0], 0, 9), version) || version < 2.0 || version >= 4.0) {
        error = Where(name, 0) + "only RINEX versions 2 and 3 of navigation files are read";
        return false;
    }
    const std::string_view type = Columns(lines[0], 20, 1);
    if (type != "N") {
        error = Where(name, 0) + "not a GPS navigation file (file type '" + std::string(type) + "')";
        return false;
    }
    const std::string_view system = Columns(lines[0], 40, 1);
    if (version >= 3.0 && system != "G" && system != "M") {
        error = Where(name, 0) + "not a GPS navigation file (system '" + std::string(system) + "')";
        return false;
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (HeaderLabel(lines[i]) == "END OF HEADER") {
            next = i + 1;
            return true;
        }
    }
    error = Where(name, lines.size() - 1) + "no END OF HEADER line";
    return false;
}

// Reads the four values of one line starting at `column`; the first line has only three.
bool ReadValues(const std::string& line, std::size_t column, int count, double* values,
                const std::string& where, std::string& error) {
    for (int k = 0; k < count; ++k) {
        const std::size_t begin = column + static_cast<std::size_t>(k) * kFieldWidth;
        if (!ParseReal(Columns(line, begin, kFieldWidth), values[k])) {
            error = where + "unreadable number in columns " + std::to_string(begin + 1) + ".." +
                    std::to_string(begin + kFieldWidth);
            return false;
        }
    }
    return true;
}

int AsInt(double value) { return static_cast<int>(std::lround(value)); }

// The satellite and clock epoch of a record's first line: RINEX 2 "pp yy mm dd hh mm ss.s",
// RINEX 3 "Gpp yyyy mm dd hh mm ss".
bool ReadRecordStart(const std::string& head, bool v3, int& prn, int& year, int& month, int& day, int& hour,
                     int& minute, double& second) {
    if (v3) {
        return ParseInt(Columns(head, 1, 2), prn) && ParseInt(Columns(head, 4, 4), year) &&
               ParseInt(Columns(head, 9, 2), month) && ParseInt(Columns(head, 12, 2), day) &&
               ParseInt(Columns(head, 15, 2), hour) && ParseInt(Columns(head, 18, 2), minute) &&
               ParseReal(Columns(head, 21, 2), second);
    }
    return ParseInt(Columns(head, 0, 2), prn) && ParseInt(Columns(head, 2, 3), year) &&
           ParseInt(Columns(head, 5, 3), month) && ParseInt(Columns(head, 8, 3), day) &&
           ParseInt(Columns(head, 11, 3), hour) && ParseInt(Columns(head, 14, 3), minute) &&
           ParseReal(Columns(head, 17, 5), second);
}

bool ReadRecord(const std::vector<std::string>& lines, std::size_t first, bool v3, const std::string& name,
                NavRecord& r, std::string& error) {
    const std::string& head = lines[first];
    int prn = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
    if (!ReadRecordStart(head, v3, prn, year, month, day, hour, minute, second) || prn < 1 || month < 1 ||
        month > 12 || day < 1 || day > 31) {
        error = Where(name, first) + "unreadable PRN or clock epoch";
        return false;
    }
    if (first + kLinesPerRecord > lines.size()) {
        error = Where(name, lines.size() - 1) + "file ends inside the ephemeris of PRN " + std::to_string(prn);
        return false;
    }
    // Values in file order: the clock line's three, then seven orbit lines of four.
    double v[3 + 4 * (kLinesPerRecord - 1)] = {};
    if (!ReadValues(head, v3 ? kFirstLineFields3 : kFirstLineFields, 3, v, Where(name, first), error)) return false;
    for (int line = 1; line < kLinesPerRecord; ++line) {
        const std::size_t index = first + static_cast<std::size_t>(line);
        if (!ReadValues(lines[index], v3 ? kOrbitFields3 : kOrbitFields, 4, v + 3 + 4 * (line - 1),
                        Where(name, index), error))
            return false;
    }
    const GpsTime toc = GpsTimeFromCalendar(year, month, day, hour, minute, second);
    r = NavRecord{};
    r.prn = prn;
    r.tocWeek = toc.week;
    r.toc = toc.sow;
    r.af0 = v[0];
    r.af1 = v[1];
    r.af2 = v[2];
    r.iode = AsInt(v[3]);
    r.crs = v[4];
    r.deltaN = v[5];
    r.m0 = v[6];
    r.cuc = v[7];
    r.ecc = v[8];
    r.cus = v[9];
    r.sqrtA = v[10];
    r.toe = v[11];
    r.cic = v[12];
    r.omega0 = v[13];
    r.cis = v[14];
    r.i0 = v[15];
    r.crc = v[16];
    r.omega = v[17];
    r.omegaDot = v[18];
    r.idot = v[19];
    r.l2Codes = AsInt(v[20]);
    r.week = AsInt(v[21]);
    r.l2PFlag = AsInt(v[22]);
    r.accuracy = v[23];
    r.health = AsInt(v[24]);
    r.tgd = v[25];
    r.iodc = AsInt(v[26]);
    r.transmissionTime = v[27];
    r.fitInterval = v[28];
    // A few writers leave the week out; the clock epoch's week is then the best guess.
    if (r.week == 0) r.week = toc.week;
    return true;
}

}  // namespace

bool ParseNavText(const std::string& text, const std::string& name, std::vector<NavRecord>& records,
                  std::string& error) {
    const std::vector<std::string> lines = SplitLines(text);
    std::size_t i = 0;
    double version = 0.0;
    if (!ReadHeader(lines, name, version, i, error)) return false;
    const bool v3 = version >= 3.0;
    records.clear();
    while (i < lines.size()) {
        if (IsBlank(lines[i])) {
            ++i;
            continue;
        }
        if (v3 && lines[i][0] != 'G') {
            // Another system's record, of its own length: its lines after the first are indented.
            do {
                ++i;
            } while (i < lines.size() && !lines[i].empty() && lines[i][0] == ' ');
            continue;
        }
        NavRecord record;
        if (!ReadRecord(lines, i, v3, name, record, error)) return false;
        records.push_back(record);
        i += kLinesPerRecord;
    }
    return true;
}

bool ReadNavFile(const std::string& path, std::vector<NavRecord>& records, std::string& error) {
    std::string text;
    if (!ReadTextFile(path, text)) {
        error = path + ": cannot read the file";
        return false;
    }
    return ParseNavText(text, path, records, error);
}

GpsEphRecord ToGpsEphRecord(const NavRecord& nav) {
    GpsEphRecord e{};
    e.Prn = nav.prn;
    e.Week = ((nav.week % kBroadcastWeekModulus) + kBroadcastWeekModulus) % kBroadcastWeekModulus;
    e.Filler = kGpsEphFiller;
    e.Tgd = nav.tgd;
    e.Iodc = nav.iodc;
    e.Toc = static_cast<int32_t>(std::lround(nav.toc));
    e.Af2 = nav.af2;
    e.Af1 = nav.af1;
    e.Af0 = nav.af0;
    e.Iode = nav.iode;
    e.DeltaN = nav.deltaN;
    e.M0 = nav.m0;
    e.Ecc = nav.ecc;
    e.SqrtA = nav.sqrtA;
    e.Toe = static_cast<int32_t>(std::lround(nav.toe));
    e.Cic = nav.cic;
    e.Crc = nav.crc;
    e.Cis = nav.cis;
    e.Crs = nav.crs;
    e.Cuc = nav.cuc;
    e.Cus = nav.cus;
    e.Omega0 = nav.omega0;
    e.Omega = nav.omega;
    e.I0 = nav.i0;
    e.OmegaDot = nav.omegaDot;
    e.Idot = nav.idot;
    return e;
}

}  // namespace kestrel::rinex
