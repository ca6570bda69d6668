// SPDX-License-Identifier: BSD-2-Clause
#include "support/eph_text.h"

#include <cstdlib>
#include <sstream>

namespace kestrel::test {
namespace {

// Value kinds of one keyword line: 'i' integer, 'r' real.
const std::map<std::string, std::string>& GpsEphKeywords() {
    static const std::map<std::string, std::string> table = {
        {"prn:", "i"},  {"el1:", "iirii"}, {"el2:", "rrr"}, {"el3:", "irrr"},
        {"el4:", "rrrr"}, {"el5:", "irrr"},  {"el6:", "rrrrr"},
    };
    return table;
}

bool IsInteger(const std::string& word) {
    std::size_t i = word[0] == '-' ? 1 : 0;
    if (i == word.size()) return false;
    for (; i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9') return false;
    }
    return true;
}

bool IsReal(const std::string& word) {
    char* end = nullptr;
    std::strtod(word.c_str(), &end);
    return end != word.c_str() && *end == '\0';
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

std::vector<std::string> Words(const std::string& line) {
    std::string content = line.substr(0, line.find(';'));
    for (char& c : content) {
        if (c == '\t' || c == '\r') c = ' ';
    }
    std::istringstream in(content);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// Checks the content lines of one "GpsEph" block; empty when sound.
std::string CheckGpsEph(const std::vector<std::string>& lines, int& prn) {
    std::map<std::string, int> seen;
    for (const std::string& line : lines) {
        const auto words = Words(line);
        if (words.empty()) continue;
        const std::string keyword = Lower(words[0]);
        const auto it = GpsEphKeywords().find(keyword);
        if (it == GpsEphKeywords().end()) return "unknown keyword " + words[0];
        const std::string& kinds = it->second;
        if (words.size() - 1 != kinds.size()) return "wrong value count on " + words[0];
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            const bool ok = kinds[i] == 'i' ? IsInteger(words[i + 1]) : IsReal(words[i + 1]);
            if (!ok) return "value '" + words[i + 1] + "' of " + words[0] + " is not of its kind";
        }
        if (keyword == "prn:") prn = std::atoi(words[1].c_str());
        ++seen[keyword];
    }
    for (const auto& [keyword, kinds] : GpsEphKeywords()) {
        if (seen[keyword] != 1) return "keyword " + keyword + " appears " + std::to_string(seen[keyword]) + " times";
    }
    return {};
}

}  // namespace

EphTextCheck CheckEphemerisText(const std::string& text) {
    EphTextCheck check;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line.rfind("$EPHREC", 0) != 0) {
        check.problem = "first line does not begin with $EPHREC";
        return check;
    }
    while (std::getline(in, line)) {
        const std::size_t brace = line.find('{');
        if (brace == std::string::npos) continue;
        const std::string before = line.substr(0, brace);
        const bool hasBlank = before.find_first_of(" \t") != std::string::npos;
        const bool hasOther = before.find_first_not_of(" \t") != std::string::npos;
        if (before.size() >= 16 || !hasBlank || !hasOther) continue;
        const std::string name = Words(before)[0];
        std::vector<std::string> content = {line.substr(brace + 1)};
        bool closed = false;
        while (!closed && std::getline(in, line)) {
            const std::size_t close = line.find('}');
            if (close != std::string::npos && close < line.find(';')) {
                content.push_back(line.substr(0, close));
                closed = true;
            } else {
                content.push_back(line);
            }
        }
        if (!closed) {
            check.problem = "block " + name + " is not closed";
            return check;
        }
        if (Lower(name) != "gpseph") {
            check.problem = "unexpected block " + name;
            return check;
        }
        int prn = 0;
        check.problem = CheckGpsEph(content, prn);
        if (!check.problem.empty()) return check;
        ++check.gpsEphBlocks;
        check.prns.push_back(prn);
    }
    return check;
}

}  // namespace kestrel::test
