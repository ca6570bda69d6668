// SPDX-License-Identifier: BSD-2-Clause
#include "sitelog/site_log.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrel {
namespace {

// The sections of the form that hold what a RINEX header takes.
constexpr int kIdentificationSection = 1;
constexpr int kReceiverSection = 3;
constexpr int kAntennaSection = 4;
constexpr int kOnSiteAgencySection = 11;
constexpr int kResponsibleAgencySection = 12;
constexpr std::size_t kFourCharacters = 4;
constexpr std::size_t kNineCharacters = 9;
constexpr const char* kDatePlaceholder = "CCYY-MM-DDTHH:MMZ";

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

// Keys compared without case and with runs of blanks as one.
std::string KeyOf(std::string_view s) {
    std::string key;
    for (char c : Trim(s)) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!key.empty() && key.back() != ' ') key += ' ';
        } else {
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return key;
}

bool StartsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The form's own hints, "(A9)", "(CCYY-MM-DDThh:mmZ)", stand where nothing was filled in.
std::string_view Value(std::string_view raw) {
    const std::string_view v = Trim(raw);
    if (v.size() >= 2 && v.front() == '(' && v.back() == ')') return {};
    if (Upper(v) == kDatePlaceholder) return {};
    return v;
}

bool ReadInt(std::string_view s, std::size_t at, std::size_t digits, int& out) {
    if (at + digits > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// CCYY-MM-DD, optionally followed by Thh:mm (or a blank and hh:mm) and Z; UTC.
bool ParseDate(std::string_view s, GpsTime& out) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (!ReadInt(s, 0, 4, year) || s.size() < 10 || s[4] != '-' || !ReadInt(s, 5, 2, month) || s[7] != '-' ||
        !ReadInt(s, 8, 2, day)) {
        return false;
    }
    std::string_view rest = s.substr(10);
    if (!rest.empty() && (rest[0] == 'T' || rest[0] == 't' || rest[0] == ' ')) {
        if (!ReadInt(rest, 1, 2, hour) || rest.size() < 6 || rest[3] != ':' || !ReadInt(rest, 4, 2, minute)) {
            return false;
        }
        rest.remove_prefix(6);
    }
    if (!rest.empty() && (rest[0] == 'Z' || rest[0] == 'z')) rest.remove_prefix(1);
    if (!Trim(rest).empty()) return false;
    if (year < 1980 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59) return false;
    out = GpsFromUtc(CalendarTime{year, month, day, hour, minute, 0.0});
    return true;
}

bool ParseNumber(std::string_view s, double& out) {
    const std::string text(s);
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return errno == 0 && end != text.c_str() && Trim(std::string_view(end)).empty();
}

// Where the line stands in the form: a new section ("3.   GNSS Receiver Information"), a new
// entry of one ("3.2  Receiver Type : ..."), or an entry the form leaves blank ("3.x").
struct Heading {
    int section = 0;
    bool entry = false;     // a numbered entry of the section
    bool template_ = false; // the form's blank "n.x" entry
    std::size_t length = 0; // characters of the number
};

bool ReadHeading(std::string_view line, Heading& h) {
    std::size_t i = 0;
    int section = 0;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])) && i < 3) {
        section = section * 10 + (line[i] - '0');
        ++i;
    }
    if (i == 0 || i >= line.size() || line[i] != '.') return false;
    ++i;
    h = Heading{};
    h.section = section;
    if (i < line.size() && (line[i] == 'x' || line[i] == 'X')) {
        h.template_ = true;
        ++i;
    } else if (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
        h.entry = true;
        while (i < line.size() && (std::isdigit(static_cast<unsigned char>(line[i])) || line[i] == '.')) ++i;
    }
    h.length = i;
    return true;
}

class Parser {
public:
    explicit Parser(SiteLog& out) : log_(out) {}

    void Line(std::string_view line) {
        Heading h;
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) && ReadHeading(line, h)) {
            section_ = h.section;
            kind_ = Kind::kNone;
            if (h.entry && section_ == kReceiverSection) {
                log_.receivers.emplace_back();
                kind_ = Kind::kReceiver;
            } else if (h.entry && section_ == kAntennaSection) {
                log_.antennas.emplace_back();
                radomeFromType_.emplace_back();
                kind_ = Kind::kAntenna;
            }
            entryName_ = std::string(Trim(line.substr(0, h.length)));
            line.remove_prefix(h.length);
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return;
        const std::string key = KeyOf(line.substr(0, colon));
        if (key.empty()) return;  // a continuation line of a longer value
        Field(key, Value(line.substr(colon + 1)));
    }

    bool Finish(std::string& error) {
        if (!error_.empty()) {
            error = error_;
            return false;
        }
        // The radome field, when filled in, names the radome; else the type field's second word.
        for (std::size_t i = 0; i < log_.antennas.size(); ++i) {
            if (log_.antennas[i].radome.empty()) log_.antennas[i].radome = radomeFromType_[i];
        }
        if (log_.fourCharacterId.empty() && log_.nineCharacterId.size() == kNineCharacters) {
            log_.fourCharacterId = log_.nineCharacterId.substr(0, kFourCharacters);
        }
        if (log_.fourCharacterId.empty()) {
            error = "no Four Character ID or Nine Character ID in section 1: not an IGS site log";
            return false;
        }
        log_.agency = !responsibleAgency_.empty() ? responsibleAgency_ : onSiteAgency_;
        return true;
    }

private:
    enum class Kind { kNone, kReceiver, kAntenna };

    bool Fail(const std::string& key, std::string_view value) {
        if (error_.empty()) error_ = entryName_ + " " + key + ": cannot read '" + std::string(value) + "'";
        return false;
    }

    bool Date(const std::string& key, std::string_view value, std::optional<GpsTime>& out) {
        if (value.empty()) return true;
        GpsTime t;
        if (!ParseDate(value, t)) return Fail(key, value);
        out = t;
        return true;
    }

    bool Eccentricity(const std::string& key, std::string_view value, double& out) {
        if (value.empty()) return true;
        if (!ParseNumber(value, out)) return Fail(key, value);
        return true;
    }

    bool Field(const std::string& key, std::string_view value) {
        switch (section_) {
            case kIdentificationSection:
                if (key == "site name") log_.siteName = value;
                if (key == "four character id") log_.fourCharacterId = Upper(value.substr(0, kFourCharacters));
                if (key == "nine character id") log_.nineCharacterId = Upper(value.substr(0, kNineCharacters));
                if (key == "iers domes number") log_.domesNumber = value;
                return true;
            case kOnSiteAgencySection:
                if (key == "preferred abbreviation") onSiteAgency_ = value;
                return true;
            case kResponsibleAgencySection:
                if (key == "preferred abbreviation") responsibleAgency_ = value;
                return true;
            default:
                break;
        }
        if (kind_ == Kind::kReceiver) {
            SiteLogReceiver& r = log_.receivers.back();
            if (key == "receiver type") r.type = value;
            if (key == "serial number") r.serialNumber = value;
            if (key == "firmware version") r.firmware = value;
            if (key == "date installed") return Date(key, value, r.installed);
            if (key == "date removed") return Date(key, value, r.removed);
        } else if (kind_ == Kind::kAntenna) {
            SiteLogAntenna& a = log_.antennas.back();
            if (key == "antenna type") {
                // The type in the form's A20: the antenna's name, then its radome.
                const std::string_view v = Trim(value);
                const std::size_t blank = v.find_first_of(" \t");
                a.type = v.substr(0, blank);
                if (blank != std::string_view::npos) radomeFromType_.back() = Trim(v.substr(blank));
            }
            if (key == "serial number") a.serialNumber = value;
            if (key == "antenna radome type") a.radome = value;
            if (StartsWith(key, "marker->arp up")) return Eccentricity(key, value, a.upM);
            if (StartsWith(key, "marker->arp north")) return Eccentricity(key, value, a.northM);
            if (StartsWith(key, "marker->arp east")) return Eccentricity(key, value, a.eastM);
            if (key == "date installed") return Date(key, value, a.installed);
            if (key == "date removed") return Date(key, value, a.removed);
        }
        return true;
    }

    SiteLog& log_;
    int section_ = 0;
    Kind kind_ = Kind::kNone;
    std::string entryName_;
    std::vector<std::string> radomeFromType_;
    std::string onSiteAgency_;
    std::string responsibleAgency_;
    std::string error_;
};

template <typename Entry>
const Entry* InForce(const std::vector<Entry>& entries, const GpsTime& time) {
    const double t = time.Total();
    const Entry* found = nullptr;
    for (const Entry& e : entries) {
        if (e.installed && e.installed->Total() > t) continue;
        if (e.removed && e.removed->Total() <= t) continue;
        found = &e;
    }
    return found;
}

}  // namespace

bool ParseSiteLog(std::string_view text, SiteLog& out, std::string& error) {
    SiteLog log;
    Parser parser(log);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        parser.Line(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    if (!parser.Finish(error)) return false;
    out = std::move(log);
    return true;
}

bool ReadSiteLog(const std::string& path, SiteLog& out, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text(kSiteLogMaxBytes + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), f));
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = path + ": cannot be read";
        return false;
    }
    if (text.size() > kSiteLogMaxBytes) {
        error = path + ": larger than a site log can be (1 MiB)";
        return false;
    }
    if (!ParseSiteLog(text, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

const SiteLogReceiver* ReceiverInForce(const SiteLog& log, const GpsTime& time) { return InForce(log.receivers, time); }
const SiteLogAntenna* AntennaInForce(const SiteLog& log, const GpsTime& time) { return InForce(log.antennas, time); }

}  // namespace kestrel
