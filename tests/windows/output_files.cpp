// SPDX-License-Identifier: BSD-2-Clause
#include "output_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "kestrel/records.h"

namespace abi {
namespace {

constexpr std::size_t kHeaderBytes = 202;
constexpr std::size_t kPositionBytes = 68;
constexpr std::size_t kMeasurementBytes = 44;
constexpr uint8_t kVersionBytes[4] = {0xAE, 0x47, 0x81, 0x3F};  // 1.01f
constexpr uint8_t kSatLimit = 32;
constexpr uint8_t kChannels = 12;
constexpr int16_t kStreamBufferBytes = 2048;
constexpr std::size_t kFileNameOffset = 24;
constexpr std::size_t kFileNameBytes = 144;
constexpr std::size_t kZeroTailOffset = 178;
constexpr uint8_t kKnownFlagBits = 0x03;

constexpr const char* kEppHeaderLine = "$EPHREC Ver6.03 KESTREL NavComBinary";

// Keyword lines of a "GpsEph" block after its head line, with their value counts.
struct KeywordLine {
    const char* keyword;
    int values;
};
constexpr KeywordLine kGpsEphLines[] = {
    {"El1:", 5}, {"El2:", 3}, {"El3:", 4}, {"El4:", 4}, {"El5:", 4}, {"El6:", 5},
};

uint16_t u16_at(const std::vector<uint8_t>& b, std::size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

template <typename T>
T value_at(const std::vector<uint8_t>& b, std::size_t at) {
    T value;
    std::memcpy(&value, b.data() + at, sizeof value);
    return value;
}

std::string at_offset(std::size_t offset, const std::string& what) {
    return what + " at offset " + std::to_string(offset);
}

// Words of a line, split at blanks and tabs.
std::vector<std::string> words_of(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// A value of a keyword line: an integer or a real as printf writes them.
bool is_number(const std::string& word) {
    char* end = nullptr;
    std::strtod(word.c_str(), &end);
    return !word.empty() && end == word.c_str() + word.size();
}

std::string check_block(const std::vector<std::string>& lines, std::size_t first) {
    const std::string& head = lines[first];
    auto head_words = words_of(head);
    if (head.rfind("GpsEph { Prn: ", 0) != 0 || head_words.size() != 4 || !is_number(head_words[3]))
        return "bad block head \"" + head + "\"";
    for (std::size_t i = 0; i < std::size(kGpsEphLines); ++i) {
        const std::string& line = lines[first + 1 + i];
        auto w = words_of(line);
        if (line.empty() || line[0] != '\t' || w.empty() || w[0] != kGpsEphLines[i].keyword ||
            static_cast<int>(w.size()) != kGpsEphLines[i].values + 1)
            return "bad line \"" + line + "\" where " + kGpsEphLines[i].keyword + " belongs";
        for (std::size_t v = 1; v < w.size(); ++v)
            if (!is_number(w[v])) return "value \"" + w[v] + "\" in \"" + line + "\" is no number";
    }
    if (lines[first + 7] != "}") return "block does not end in a line holding only }";
    return {};
}

}  // namespace

FileSummary inspect_obx(const std::vector<uint8_t>& b, const std::string& stored_name) {
    FileSummary s;
    if (b.size() < kHeaderBytes) {
        s.problem = "shorter than its 202-byte header (" + std::to_string(b.size()) + " bytes)";
        return s;
    }
    if (u16_at(b, 0) != kHeaderBytes) {
        s.problem = "header_size is " + std::to_string(u16_at(b, 0));
        return s;
    }
    if (std::memcmp(b.data() + 2, kVersionBytes, 4) != 0) s.problem = "version is not 1.01";
    else if (b[6] != kSatLimit) s.problem = "sat_limit is " + std::to_string(b[6]);
    else if (b[7] != kChannels) s.problem = "channels is " + std::to_string(b[7]);
    else if (value_at<float>(b, 20) != 1.0f) s.problem = "nominal_value is not 1.0";
    else if (value_at<int16_t>(b, 172) != kStreamBufferBytes)
        s.problem = "buffer_size is " + std::to_string(value_at<int16_t>(b, 172));
    if (!s.problem.empty()) return s;

    const int16_t month = value_at<int16_t>(b, 8), day = value_at<int16_t>(b, 10);
    const int16_t year = value_at<int16_t>(b, 12), hour = value_at<int16_t>(b, 14);
    const int16_t minute = value_at<int16_t>(b, 16), second = value_at<int16_t>(b, 18);
    if (month < 0 || month > 11 || day < 1 || day > 31 || year < 100 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60) {
        s.problem = "creation time fields out of range";
        return s;
    }

    std::string name(reinterpret_cast<const char*>(b.data() + kFileNameOffset),
                     strnlen(reinterpret_cast<const char*>(b.data() + kFileNameOffset), kFileNameBytes));
    if (name != stored_name) {
        s.problem = "file_name is \"" + name + "\", expected \"" + stored_name + "\"";
        return s;
    }
    for (std::size_t i = kFileNameOffset + name.size(); i < kFileNameOffset + kFileNameBytes; ++i)
        if (b[i] != 0) {
            s.problem = at_offset(i, "non-zero byte after the file name");
            return s;
        }
    for (std::size_t i = kZeroTailOffset; i < kHeaderBytes; ++i)
        if (b[i] != 0) {
            s.problem = at_offset(i, "non-zero reserved header byte");
            return s;
        }

    std::size_t at = kHeaderBytes;
    while (b.size() - at >= kPositionBytes) {
        if (u16_at(b, at) != kPositionBytes) {
            s.problem = at_offset(at, "position record without record_size 68");
            return s;
        }
        const uint8_t sats = b[at + 2];
        if (sats > kChannels) {
            s.problem = at_offset(at, "epoch with " + std::to_string(sats) + " measurements");
            return s;
        }
        if ((b[at + 3] & ~kKnownFlagBits) != 0) {
            s.problem = at_offset(at, "unknown epoch flag bits");
            return s;
        }
        const std::size_t measurements = at + kPositionBytes;
        if (b.size() - measurements < sats * kMeasurementBytes) {
            s.problem = at_offset(at, "epoch cut short");
            return s;
        }
        for (std::size_t m = 0; m < sats; ++m) {
            const std::size_t rec = measurements + m * kMeasurementBytes;
            if (u16_at(b, rec) != kMeasurementBytes) {
                s.problem = at_offset(rec, "measurement record without record_size 44");
                return s;
            }
        }
        at = measurements + sats * kMeasurementBytes;
        ++s.records;
    }
    if (at != b.size()) s.problem = at_offset(at, "trailing bytes after the last epoch");
    return s;
}

FileSummary inspect_epp(const std::vector<uint8_t>& b, bool crlf) {
    FileSummary s;
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t c : b) {
        if (c != '\n') {
            line.push_back(static_cast<char>(c));
            continue;
        }
        const bool has_cr = !line.empty() && line.back() == '\r';
        if (has_cr != crlf) {
            s.problem = "line " + std::to_string(lines.size() + 1) +
                        (crlf ? " does not end in CR LF" : " ends in CR LF");
            return s;
        }
        if (has_cr) line.pop_back();
        if (line.find('\r') != std::string::npos) {
            s.problem = "carriage return inside line " + std::to_string(lines.size() + 1);
            return s;
        }
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) {
        s.problem = "last line has no line end";
        return s;
    }
    if (lines.empty() || lines[0] != kEppHeaderLine) {
        s.problem = "first line is not the $EPHREC header line";
        return s;
    }
    constexpr std::size_t kBlockLines = 8;
    if ((lines.size() - 1) % kBlockLines != 0) {
        s.problem = std::to_string(lines.size() - 1) + " lines after the header: not whole blocks";
        return s;
    }
    for (std::size_t first = 1; first < lines.size(); first += kBlockLines) {
        s.problem = check_block(lines, first);
        if (!s.problem.empty()) return s;
        ++s.records;
    }
    return s;
}

namespace {

// Header bytes that hold the creation time and the writer's working slots.
bool header_byte_may_differ(std::size_t offset) {
    return (offset >= 8 && offset < 20) || (offset >= 168 && offset < 178);
}

// Fields of the position record, by offset, named in a difference report.
enum class FieldType { kBytes, kDouble, kFloat };
struct PositionField {
    std::size_t offset;
    std::size_t size;
    const char* name;
    FieldType type;
};
constexpr PositionField kPositionFields[] = {
    {0, 2, "record_size", FieldType::kBytes},       {2, 1, "sat_count", FieldType::kBytes},
    {3, 1, "flags", FieldType::kBytes},             {4, 4, "reserved1", FieldType::kBytes},
    {8, 8, "latitude", FieldType::kDouble},         {16, 8, "longitude", FieldType::kDouble},
    {24, 4, "height", FieldType::kFloat},           {28, 8, "time_tag", FieldType::kDouble},
    {36, 8, "corrected_time", FieldType::kDouble},  {44, 8, "clock_offset", FieldType::kDouble},
    {52, 16, "reserved2", FieldType::kBytes},
};

// "latitude differs (0.58… and 0.58…) at offset 1234": the field and, for numbers, both
// values.
std::string position_difference(const std::vector<uint8_t>& w, const std::vector<uint8_t>& n,
                                std::size_t record, std::size_t offset_in_record) {
    for (const PositionField& f : kPositionFields) {
        if (offset_in_record < f.offset || offset_in_record >= f.offset + f.size) continue;
        std::string what = std::string(f.name) + " differs";
        const std::size_t at = record + f.offset;
        if (f.type != FieldType::kBytes) {
            const bool d = f.type == FieldType::kDouble;
            const double a = d ? value_at<double>(w, at) : value_at<float>(w, at);
            const double b = d ? value_at<double>(n, at) : value_at<float>(n, at);
            char values[96];
            std::snprintf(values, sizeof values, " (%.17g and %.17g)", a, b);
            what += values;
        }
        return at_offset(at, what);
    }
    return at_offset(record + offset_in_record, "position records differ");
}

}  // namespace

std::string compare_obx(const std::vector<uint8_t>& w, const std::vector<uint8_t>& n) {
    if (w.size() != n.size())
        return "sizes differ (" + std::to_string(w.size()) + " and " + std::to_string(n.size()) + " bytes)";
    if (w.size() < kHeaderBytes) return "shorter than a header";
    for (std::size_t i = 0; i < kHeaderBytes; ++i)
        if (w[i] != n[i] && !header_byte_may_differ(i)) return at_offset(i, "headers differ");

    std::size_t at = kHeaderBytes;
    while (w.size() - at >= kPositionBytes) {
        for (std::size_t i = 0; i < kPositionBytes; ++i)
            if (w[at + i] != n[at + i]) return position_difference(w, n, at, i);
        const std::size_t measurements = at + kPositionBytes;
        const std::size_t bytes = std::min<std::size_t>(w[at + 2] * kMeasurementBytes, w.size() - measurements);
        for (std::size_t i = 0; i < bytes; ++i)
            if (w[measurements + i] != n[measurements + i])
                return at_offset(measurements + i, "measurement records differ");
        at = measurements + bytes;
    }
    for (; at < w.size(); ++at)
        if (w[at] != n[at]) return at_offset(at, "trailing bytes differ");
    return {};
}

std::string compare_epp(const std::vector<uint8_t>& w, const std::vector<uint8_t>& n) {
    std::vector<uint8_t> as_lf;
    as_lf.reserve(w.size());
    std::size_t lines = 0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (w[i] == '\n') {
            if (i == 0 || w[i - 1] != '\r') return "line " + std::to_string(lines + 1) + " does not end in CR LF";
            as_lf.back() = '\n';
            ++lines;
            continue;
        }
        as_lf.push_back(w[i]);
    }
    if (std::find(n.begin(), n.end(), '\r') != n.end()) return "the native file holds a carriage return";
    if (as_lf != n) {
        std::size_t i = 0;
        while (i < as_lf.size() && i < n.size() && as_lf[i] == n[i]) ++i;
        const std::size_t line = static_cast<std::size_t>(std::count(n.begin(), n.begin() + i, '\n')) + 1;
        return "files differ from line " + std::to_string(line) + " on";
    }
    return {};
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace abi
