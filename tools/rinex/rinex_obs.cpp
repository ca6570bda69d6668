// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/rinex_obs.h"

#include <cctype>

#include "rinex/rinex_text.h"

namespace kestrel::rinex {

namespace {

constexpr int kTypesPerLine = 9;        // on a TYPES OF OBSERV line
constexpr int kValuesPerLine = 5;       // on an observation line
constexpr std::size_t kValueWidth = 16; // F14.3, loss-of-lock digit, strength digit
constexpr int kSatsPerLine = 12;        // on an epoch line and each of its continuation lines
constexpr std::size_t kSatListColumn = 32;
constexpr int kFlagCycleSlipRecords = 6;
constexpr int kLastEventFlag = 5;
constexpr std::size_t kFlagColumn2 = 28;  // epoch flag of a RINEX 2 epoch line
constexpr std::size_t kFlagColumn3 = 31;  // and of a RINEX 3 one
constexpr int kCodesPerLine = 13;          // on a RINEX 3 SYS / # / OBS TYPES line
constexpr std::size_t kFirstValue3 = 3;    // RINEX 3 observation lines start with the satellite

std::string Where(const std::string& name, std::size_t lineIndex) {
    return name + ":" + std::to_string(lineIndex + 1) + ": ";
}

std::string Trimmed(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return std::string(s.substr(b, e - b));
}

int Digit(std::string_view field) {
    if (field.empty() || !std::isdigit(static_cast<unsigned char>(field[0]))) return 0;
    return field[0] - '0';
}

// Reads one header record into `header`; `pendingTypes` counts types still to come on
// continuation lines of a TYPES OF OBSERV record.
bool ReadHeaderRecord(const std::string& line, std::string_view label, ObsHeader& header, int& pendingTypes,
                      const std::string& where, std::string& error) {
    if (label == "MARKER NAME") {
        header.markerName = Trimmed(Columns(line, 0, 60));
    } else if (label == "APPROX POSITION XYZ") {
        for (std::size_t k = 0; k < 3; ++k) {
            if (!ParseReal(Columns(line, 14 * k, 14), header.approxPosition[k])) {
                error = where + "unreadable APPROX POSITION XYZ";
                return false;
            }
        }
        header.hasApproxPosition = true;
    } else if (label == "# / TYPES OF OBSERV") {
        int count = 0;
        if (!ParseInt(Columns(line, 0, 6), count) || count < 0) {
            error = where + "unreadable number of observation types";
            return false;
        }
        if (!IsBlank(Columns(line, 0, 6))) {
            header.types.clear();
            pendingTypes = count;
        }
        for (int k = 0; k < kTypesPerLine && pendingTypes > 0; ++k, --pendingTypes) {
            const std::string type = Trimmed(Columns(line, 6 + 6 * static_cast<std::size_t>(k), 6));
            if (type.empty()) {
                error = where + "missing observation type";
                return false;
            }
            header.types.push_back(type);
        }
    } else if (label == "INTERVAL") {
        if (!ParseReal(Columns(line, 0, 10), header.interval)) {
            error = where + "unreadable INTERVAL";
            return false;
        }
    }
    return true;
}

// The RINEX 2 name of a RINEX 3 GPS code: the code letter and band, with P for ranges of the
// P(Y) code (attributes P, W, Y) and C for the others; empty for a code of another form.
std::string Rinex2Name(const std::string& code) {
    if (code.size() != 3 || !std::isdigit(static_cast<unsigned char>(code[1]))) return std::string();
    const char kind = code[0];
    const char band = code[1];
    const char attribute = code[2];
    if (kind == 'C') {
        const bool pCode = attribute == 'P' || attribute == 'W' || attribute == 'Y';
        return std::string(1, pCode ? 'P' : 'C') + band;
    }
    if (kind == 'L' || kind == 'D' || kind == 'S') return std::string(1, kind) + band;
    return std::string();
}

// Names for a RINEX 3 code list: RINEX 2 names where free, else the codes themselves.
std::vector<std::string> NamesOfCodes(const std::vector<std::string>& codes) {
    std::vector<std::string> names;
    for (const std::string& code : codes) {
        std::string name = Rinex2Name(code);
        bool taken = name.empty();
        for (const std::string& earlier : names) taken = taken || earlier == name;
        names.push_back(taken ? code : name);
    }
    return names;
}

// A RINEX 3 SYS / # / OBS TYPES record being read over its continuation lines.
struct CodeListState {
    char system = ' ';
    int pending = 0;  // codes still to come
};

// Reads one RINEX 3 header record; the GPS codes go to `header.codes`.
bool ReadHeaderRecord3(const std::string& line, std::string_view label, ObsHeader& header, CodeListState& state,
                       const std::string& where, std::string& error) {
    if (label != "SYS / # / OBS TYPES") {
        int unused = 0;
        return ReadHeaderRecord(line, label, header, unused, where, error);
    }
    const char system = line.empty() ? ' ' : line[0];
    if (system != ' ') {
        int count = 0;
        if (!ParseInt(Columns(line, 3, 3), count) || count < 0) {
            error = where + "unreadable number of observation types";
            return false;
        }
        state.system = system;
        state.pending = count;
        if (system == 'G') header.codes.clear();
    } else if (state.pending <= 0) {
        error = where + "SYS / # / OBS TYPES continuation line without its record";
        return false;
    }
    for (int k = 0; k < kCodesPerLine && state.pending > 0; ++k, --state.pending) {
        const std::string code = Trimmed(Columns(line, 7 + 4 * static_cast<std::size_t>(k), 3));
        if (code.empty()) {
            error = where + "missing observation type";
            return false;
        }
        if (state.system == 'G') header.codes.push_back(code);
    }
    return true;
}

bool ReadHeader(const std::vector<std::string>& lines, const std::string& name, ObsHeader& header,
                std::size_t& next, std::string& error) {
    if (lines.empty() || HeaderLabel(lines[0]) != "RINEX VERSION / TYPE") {
        error = Where(name, 0) + "not a RINEX file (no RINEX VERSION / TYPE line)";
        return false;
    }
    if (!ParseReal(Columns(lines[0], 0, 9), header.version) || header.version < 2.0 || header.version >= 4.0) {
        error = Where(name, 0) + "only RINEX versions 2 and 3 of observation files are read";
        return false;
    }
    if (Columns(lines[0], 20, 1) != "O") {
        error = Where(name, 0) + "not an observation file (file type '" + std::string(Columns(lines[0], 20, 1)) + "')";
        return false;
    }
    const std::string_view system = Columns(lines[0], 40, 1);
    header.system = (system.empty() || system == " ") ? 'G' : system[0];
    const bool v3 = header.version >= 3.0;
    int pendingTypes = 0;
    CodeListState codeList;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view label = HeaderLabel(lines[i]);
        if (label == "END OF HEADER") {
            if (v3) {
                if (header.codes.empty() || codeList.pending > 0) {
                    error = Where(name, i) + "no complete GPS SYS / # / OBS TYPES record in the header";
                    return false;
                }
                header.types = NamesOfCodes(header.codes);
            } else if (header.types.empty() || pendingTypes > 0) {
                error = Where(name, i) + "no complete # / TYPES OF OBSERV record in the header";
                return false;
            }
            next = i + 1;
            return true;
        }
        const bool ok = v3 ? ReadHeaderRecord3(lines[i], label, header, codeList, Where(name, i), error)
                           : ReadHeaderRecord(lines[i], label, header, pendingTypes, Where(name, i), error);
        if (!ok) return false;
    }
    error = Where(name, lines.size() - 1) + "no END OF HEADER line";
    return false;
}

std::size_t LinesPerSatellite(std::size_t typeCount) {
    return (typeCount + kValuesPerLine - 1) / kValuesPerLine;
}

std::size_t SatListLines(int satCount) {
    return satCount <= 0 ? 1 : static_cast<std::size_t>((satCount + kSatsPerLine - 1) / kSatsPerLine);
}

// Where an epoch line keeps its time and receiver clock offset: column (from 0) and width.
struct EpochColumns {
    int year[2], month[2], day[2], hour[2], minute[2], second[2], clock[2];
    int earliestYear;  // a RINEX 2 year has two digits (FullYear makes it four)
};
constexpr EpochColumns kEpochLine2 = {{1, 2}, {4, 2}, {7, 2}, {10, 2}, {13, 2}, {15, 11}, {68, 12}, 0};
constexpr EpochColumns kEpochLine3 = {{2, 4}, {7, 2}, {10, 2}, {13, 2}, {16, 2}, {18, 11}, {41, 15}, 1980};

// The time, flag and clock offset of an epoch line; false with `error` naming the fault.
bool ReadEpochLine(const std::string& line, const EpochColumns& c, int flag, const std::string& name, std::size_t i,
                   ObsEpoch& epoch, std::string& error) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
    if (!ParseInt(Columns(line, c.year[0], c.year[1]), year) || !ParseInt(Columns(line, c.month[0], c.month[1]), month) ||
        !ParseInt(Columns(line, c.day[0], c.day[1]), day) || !ParseInt(Columns(line, c.hour[0], c.hour[1]), hour) ||
        !ParseInt(Columns(line, c.minute[0], c.minute[1]), minute) ||
        !ParseReal(Columns(line, c.second[0], c.second[1]), second) || year < c.earliestYear || month < 1 ||
        month > 12 || day < 1 || day > 31 || hour > 24 || minute > 59 || second < 0.0 || second > 61.0) {
        error = Where(name, i) + "unreadable epoch time";
        return false;
    }
    epoch.line = i + 1;
    epoch.flag = flag;
    epoch.time = GpsTimeFromCalendar(year, month, day, hour, minute, second);
    const std::string_view clock = Columns(line, c.clock[0], c.clock[1]);
    if (!IsBlank(clock)) {
        if (!ParseReal(clock, epoch.clockOffset)) {
            error = Where(name, i) + "unreadable receiver clock offset";
            return false;
        }
        epoch.hasClockOffset = true;
    }
    return true;
}

bool ReadSatelliteId(std::string_view id, char fileSystem, ObsSatellite& sat) {
    if (id.size() < 3) return false;
    sat.system = id[0] == ' ' ? (fileSystem == 'M' ? 'G' : fileSystem) : id[0];
    int prn = 0;
    if (!ParseInt(id.substr(1, 2), prn) || prn < 1 || IsBlank(id.substr(1, 2))) return false;
    sat.prn = prn;
    return true;
}

// The values of one satellite from line `first` on, `perLine` to a line from `firstColumn`.
bool ReadObservations(const std::vector<std::string>& lines, std::size_t first, std::size_t typeCount,
                      std::size_t perLine, std::size_t firstColumn, const std::string& name, ObsSatellite& sat,
                      std::string& error) {
    sat.values.assign(typeCount, ObsValue{});
    for (std::size_t j = 0; j < typeCount; ++j) {
        const std::size_t index = first + j / perLine;
        const std::string& line = lines[index];
        const std::size_t column = firstColumn + (j % perLine) * kValueWidth;
        ObsValue& v = sat.values[j];
        const std::string_view number = Columns(line, column, 14);
        if (!ParseReal(number, v.value)) {
            error = Where(name, index) + "unreadable observation in columns " + std::to_string(column + 1) + ".." +
                    std::to_string(column + 14);
            return false;
        }
        v.present = !IsBlank(number) && v.value != 0.0;
        if (!v.present) v.value = 0.0;
        v.lli = Digit(Columns(line, column + 14, 1));
        v.strength = Digit(Columns(line, column + 15, 1));
    }
    return true;
}

}  // namespace

int ObsHeader::TypeIndex(const std::string& type) const {
    for (std::size_t i = 0; i < types.size(); ++i) {
        if (types[i] == type) return static_cast<int>(i);
    }
    return -1;
}

namespace {

// The next line from `i` on that is not blank; lines.size() when none is left.
std::size_t NextRecord(const std::vector<std::string>& lines, std::size_t i) {
    while (i < lines.size() && IsBlank(lines[i])) ++i;
    return i;
}

// The epoch flag (one column from `flagColumn`) and the count of records after the epoch line
// (the next three columns): false when either is unreadable or out of range.
bool ReadFlagAndCount(const std::string& line, std::size_t flagColumn, int& flag, int& count) {
    return ParseInt(Columns(line, flagColumn, 1), flag) && ParseInt(Columns(line, flagColumn + 1, 3), count) &&
           flag >= 0 && flag <= kFlagCycleSlipRecords && count >= 0;
}

// An event flag: header records follow the epoch line instead of satellites.
bool IsEvent(int flag) { return flag > kEpochPowerFailure && flag <= kLastEventFlag; }

// The `count` header records after an event's epoch line at `i`, each given to `read` with
// where it stands for its messages; false at the first it refuses.
template <typename Read>
bool ReadEventRecords(const std::vector<std::string>& lines, std::size_t i, int count, const std::string& name,
                      Read read) {
    for (int k = 1; k <= count; ++k) {
        const std::size_t index = i + static_cast<std::size_t>(k);
        if (!read(lines[index], Where(name, index))) return false;
    }
    return true;
}

// The epoch records of a RINEX 3 file from line `i` on: an epoch line starting with '>', then
// one line per satellite (or, for events, per header record).
bool ParseEpochs3(const std::vector<std::string>& lines, std::size_t i, const std::string& name, ObsFile& file,
                  std::string& error) {
    std::vector<std::string> codes = file.header.codes;
    std::vector<std::string> types = file.header.types;
    bool typesChanged = false;
    while ((i = NextRecord(lines, i)) < lines.size()) {
        const std::string& line = lines[i];
        int flag = 0, count = 0;
        if (line[0] != '>' || !ReadFlagAndCount(line, kFlagColumn3, flag, count)) {
            error = Where(name, i) + "unreadable epoch line (record identifier, flag or satellite count)";
            return false;
        }
        if (i + 1 + static_cast<std::size_t>(count) > lines.size()) {
            error = Where(name, i) + "file ends inside the epoch record";
            return false;
        }
        if (IsEvent(flag)) {
            // An event: `count` header records follow, which may bring new GPS types.
            ObsHeader update;
            update.codes = codes;
            CodeListState state;
            const auto read = [&](const std::string& record, const std::string& where) {
                return ReadHeaderRecord3(record, HeaderLabel(record), update, state, where, error);
            };
            if (!ReadEventRecords(lines, i, count, name, read)) return false;
            if (update.codes != codes && !update.codes.empty()) {
                codes = update.codes;
                types = NamesOfCodes(codes);
                typesChanged = true;
            }
            i += 1 + static_cast<std::size_t>(count);
            continue;
        }
        if (flag == kFlagCycleSlipRecords) {
            i += 1 + static_cast<std::size_t>(count);
            continue;
        }
        ObsEpoch epoch;
        if (!ReadEpochLine(line, kEpochLine3, flag, name, i, epoch, error)) return false;
        for (int k = 1; k <= count; ++k) {
            const std::size_t index = i + static_cast<std::size_t>(k);
            const std::string_view id = Columns(lines[index], 0, 3);
            if (id.empty() || id[0] != 'G') continue;  // only GPS satellites are kept
            ObsSatellite sat;
            if (!ReadSatelliteId(id, 'G', sat)) {
                error = Where(name, index) + "unreadable satellite in columns 1..3";
                return false;
            }
            if (!ReadObservations(lines, index, types.size(), types.size(), kFirstValue3, name, sat, error))
                return false;
            epoch.satellites.push_back(std::move(sat));
        }
        file.epochs.push_back(std::move(epoch));
        file.epochTypes.push_back(types);
        i += 1 + static_cast<std::size_t>(count);
    }
    if (!typesChanged) file.epochTypes.clear();
    return true;
}

}  // namespace

bool ParseObsText(const std::string& text, const std::string& name, ObsFile& file, std::string& error) {
    const std::vector<std::string> lines = SplitLines(text);
    file = ObsFile{};
    std::size_t i = 0;
    if (!ReadHeader(lines, name, file.header, i, error)) return false;
    if (file.header.version >= 3.0) return ParseEpochs3(lines, i, name, file, error);
    std::vector<std::string> types = file.header.types;
    bool typesChanged = false;
    while ((i = NextRecord(lines, i)) < lines.size()) {
        const std::string& line = lines[i];
        int flag = 0, satCount = 0;
        if (!ReadFlagAndCount(line, kFlagColumn2, flag, satCount)) {
            error = Where(name, i) + "unreadable epoch flag or satellite count";
            return false;
        }
        if (IsEvent(flag)) {
            // An event: `satCount` header records follow, which may bring new observation types.
            if (i + 1 + static_cast<std::size_t>(satCount) > lines.size()) {
                error = Where(name, i) + "file ends inside an event record";
                return false;
            }
            ObsHeader update;
            update.types = types;
            int pending = 0;
            const auto read = [&](const std::string& record, const std::string& where) {
                return ReadHeaderRecord(record, HeaderLabel(record), update, pending, where, error);
            };
            if (!ReadEventRecords(lines, i, satCount, name, read)) return false;
            if (update.types != types && !update.types.empty()) {
                types = update.types;
                typesChanged = true;
            }
            i += 1 + static_cast<std::size_t>(satCount);
            continue;
        }
        const std::size_t listLines = SatListLines(satCount);
        const std::size_t perSat = LinesPerSatellite(types.size());
        const std::size_t recordLines = listLines + static_cast<std::size_t>(satCount) * perSat;
        if (i + recordLines > lines.size()) {
            error = Where(name, i) + "file ends inside the epoch record";
            return false;
        }
        if (flag == kFlagCycleSlipRecords) {
            i += recordLines;
            continue;
        }
        ObsEpoch epoch;
        if (!ReadEpochLine(line, kEpochLine2, flag, name, i, epoch, error)) return false;
        epoch.satellites.resize(static_cast<std::size_t>(satCount));
        for (int k = 0; k < satCount; ++k) {
            const std::size_t listLine = i + static_cast<std::size_t>(k / kSatsPerLine);
            const std::size_t column = kSatListColumn + 3 * static_cast<std::size_t>(k % kSatsPerLine);
            if (!ReadSatelliteId(Columns(lines[listLine], column, 3), file.header.system, epoch.satellites[k])) {
                error = Where(name, listLine) + "unreadable satellite in columns " + std::to_string(column + 1) +
                        ".." + std::to_string(column + 3);
                return false;
            }
            const std::size_t first = i + listLines + static_cast<std::size_t>(k) * perSat;
            if (!ReadObservations(lines, first, types.size(), kValuesPerLine, 0, name, epoch.satellites[k], error))
                return false;
        }
        file.epochs.push_back(std::move(epoch));
        file.epochTypes.push_back(types);
        i += recordLines;
    }
    if (!typesChanged) file.epochTypes.clear();
    return true;
}

bool ReadObsFile(const std::string& path, ObsFile& file, std::string& error) {
    std::string text;
    if (!ReadTextFile(path, text)) {
        error = path + ": cannot read the file";
        return false;
    }
    return ParseObsText(text, path, file, error);
}

}  // namespace kestrel::rinex
