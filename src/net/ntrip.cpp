// SPDX-License-Identifier: BSD-2-Clause
#include "net/ntrip.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace kestrel::net {

namespace {

constexpr std::size_t kMaxHeaderLines = 64;

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool IStartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && IEquals(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A header line may hold printable ASCII and tabs only.
bool TextLine(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u < 0x7f);
    });
}

// Splits the header into lines (without their CR LF or LF); stops at the empty line.
// Returns the header's size including that line, or 0 while it has not arrived.
std::size_t HeaderLines(std::string_view bytes, std::vector<std::string_view>* lines) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t lf = bytes.find('\n', pos);
        if (lf == std::string_view::npos) return 0;
        std::string_view line = bytes.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = lf + 1;
        if (line.empty()) return pos;
        lines->push_back(line);
    }
    return 0;
}

RequestParse Invalid(int status, std::string reason) {
    RequestParse r;
    r.status = ParseStatus::Invalid;
    r.http_status = status;
    r.reason = std::move(reason);
    return r;
}

// "/MOUNT" or "MOUNT" -> "MOUNT". The HTTP status that refuses a name too long (414) or one
// holding a tab (400); 0 when it is taken.
int TakeMount(std::string_view target, std::string* mount) {
    if (!target.empty() && target.front() == '/') target.remove_prefix(1);
    if (target.size() > kMaxMountLength) return 414;
    if (target.find('\t') != std::string_view::npos) return 400;
    mount->assign(target);
    return 0;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while (true) {
        const std::size_t sp = line.find(' ', pos);
        words.push_back(line.substr(pos, sp == std::string_view::npos ? sp : sp - pos));
        if (sp == std::string_view::npos) return words;
        pos = sp + 1;
    }
}

// Reads the request line into `request`; an empty string when it is one the caster serves.
std::string RequestLine(std::string_view line, Request* request, int* status) {
    *status = 400;
    if (!TextLine(line)) return "request line is not text";
    const std::vector<std::string_view> words = Words(line);
    if (words[0] == "SOURCE") {
        // NTRIP 1.0 server: "SOURCE password /MOUNT" (some servers leave out the slash).
        if (words.size() != 3) return "SOURCE request line is not \"SOURCE password mount\"";
        request->method = Method::Source;
        request->has_credentials = true;
        request->password.assign(words[1]);
        if ((*status = TakeMount(words[2], &request->mount)) != 0) return "mount point name too long or not text";
        return {};
    }
    if (words.size() != 3) return "request line is not \"METHOD /mount HTTP/1.x\"";
    if (words[2] != "HTTP/1.0" && words[2] != "HTTP/1.1") return "not an HTTP/1.0 or HTTP/1.1 request";
    if (words[0] == "GET") {
        request->method = Method::Get;
    } else if (words[0] == "POST") {
        request->method = Method::Post;
        request->ntrip_version = 2;
    } else {
        *status = 405;
        return "method not served";
    }
    if (words[1].empty() || words[1].front() != '/') return "request target does not start with '/'";
    if ((*status = TakeMount(words[1], &request->mount)) != 0) return "mount point name too long or not text";
    return {};
}

void Credentials(std::string_view value, Request* request) {
    request->has_credentials = true;
    if (!IStartsWith(value, "Basic ")) return;  // other schemes: no user, no password
    std::string decoded;
    if (!Base64Decode(Trim(value.substr(6)), &decoded)) return;
    const std::size_t colon = decoded.find(':');
    request->user = decoded.substr(0, colon);
    if (colon != std::string::npos) request->password = decoded.substr(colon + 1);
}

}  // namespace

RequestParse ParseRequest(std::string_view bytes, std::size_t max_header) {
    const std::string_view window = bytes.substr(0, std::min(bytes.size(), max_header));
    // A request line that cannot be served is refused as soon as it is complete.
    const std::size_t first_lf = window.find('\n');
    Request request;
    int status = 400;
    if (first_lf != std::string_view::npos) {
        std::string_view line = window.substr(0, first_lf);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::string why = RequestLine(line, &request, &status);
        if (!why.empty()) return Invalid(status, why);
    }
    std::vector<std::string_view> lines;
    const std::size_t size = HeaderLines(window, &lines);
    if (size == 0) {
        if (bytes.size() >= max_header) return Invalid(431, "request header longer than its limit");
        return {};
    }
    if (lines.empty()) return Invalid(400, "empty request");
    if (lines.size() > kMaxHeaderLines) return Invalid(431, "too many header lines");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (!TextLine(line)) return Invalid(400, "header line is not text");
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return Invalid(400, "header line without a name");
        const std::string_view name = Trim(line.substr(0, colon));
        const std::string_view value = Trim(line.substr(colon + 1));
        if (IEquals(name, "Authorization")) {
            Credentials(value, &request);
        } else if (IEquals(name, "Ntrip-Version")) {
            if (IEquals(value, "Ntrip/2.0")) request.ntrip_version = 2;
        } else if (IEquals(name, "Transfer-Encoding")) {
            request.chunked = IEquals(value, "chunked");
        } else if (IEquals(name, "User-Agent") || IEquals(name, "Source-Agent")) {
            request.agent.assign(value);
        } else if (IEquals(name, "STR") || IEquals(name, "Ntrip-STR")) {
            request.str.assign(value);
        }
    }
    if (request.method == Method::Source) request.ntrip_version = 1;
    RequestParse r;
    r.status = ParseStatus::Complete;
    r.header_size = size;
    r.request = std::move(request);
    return r;
}

bool ValidMountName(std::string_view name) {
    if (name.empty() || name.size() > kMaxMountLength) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

Answer ParseAnswer(std::string_view bytes, std::size_t max_header) {
    Answer a;
    const std::string_view window = bytes.substr(0, std::min(bytes.size(), max_header));
    const std::size_t lf = window.find('\n');
    if (lf == std::string_view::npos) {
        if (bytes.size() >= max_header) {
            a.kind = AnswerKind::Other;
            a.first_line = Printable(window);
        }
        return a;
    }
    std::string_view line = window.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    a.first_line = Printable(line);
    if (line == "ICY 200 OK") {
        a.kind = AnswerKind::Accepted;
        a.size = lf + 1;
        return a;
    }
    if (IStartsWith(line, "ERROR - Bad Password")) {
        a.kind = AnswerKind::BadPassword;
        return a;
    }
    if (IStartsWith(line, "ERROR - Mount Point Taken")) {
        a.kind = AnswerKind::MountTaken;
        return a;
    }
    const std::vector<std::string_view> words = Words(line);
    if (words.size() >= 2 && (words[0] == "HTTP/1.1" || words[0] == "HTTP/1.0")) {
        if (words[1] == "401") {
            a.kind = AnswerKind::BadPassword;
        } else if (words[1] == "409") {
            a.kind = AnswerKind::MountTaken;
        } else if (words[1] == "200") {
            std::vector<std::string_view> lines;
            const std::size_t size = HeaderLines(window, &lines);
            if (size == 0) {
                if (bytes.size() >= max_header) a.kind = AnswerKind::Other;
                return a;
            }
            a.kind = AnswerKind::Accepted;
            a.size = size;
        } else {
            a.kind = AnswerKind::Other;
        }
        return a;
    }
    a.kind = AnswerKind::Other;
    return a;
}

std::string ChunkHeader(std::size_t size) {
    char buf[24];
    const int n = std::snprintf(buf, sizeof buf, "%zx\r\n", size);
    return std::string(buf, static_cast<std::size_t>(n));
}

void ChunkDecoder::StartSize() {
    state_ = State::Size;
    digits_ = 0;
    remaining_ = 0;
    line_ = 0;
}

void ChunkDecoder::EndSizeLine() {
    line_ = 0;
    state_ = remaining_ == 0 ? State::Trailer : State::Data;
}

bool ChunkDecoder::Feed(std::span<const uint8_t> in, std::vector<uint8_t>* out) {
    constexpr int kMaxDigits = 10;           // chunks up to 1 TiB: more is no real stream
    constexpr std::size_t kMaxLine = 256;    // chunk extensions, or one trailer line
    const auto bad = [this] {
        state_ = State::Bad;
        return false;
    };
    std::size_t i = 0;
    while (i < in.size() && state_ != State::Done && state_ != State::Bad) {
        if (state_ == State::Data) {
            const auto take = static_cast<std::size_t>(std::min<uint64_t>(remaining_, in.size() - i));
            const auto* from = in.data() + i;
            out->insert(out->end(), from, from + take);
            i += take;
            remaining_ -= take;
            if (remaining_ == 0) state_ = State::DataCr;
            continue;
        }
        const uint8_t c = in[i++];
        switch (state_) {
        case State::Size:
            if (std::isxdigit(c)) {
                if (++digits_ > kMaxDigits) return bad();
                const int digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
                remaining_ = remaining_ * 16 + static_cast<uint64_t>(digit);
            } else if (digits_ == 0) {
                return bad();
            } else if (c == ';' || c == ' ' || c == '\t') {
                state_ = State::Extension;
            } else if (c == '\r') {
                state_ = State::SizeLf;
            } else if (c == '\n') {
                EndSizeLine();
            } else {
                return bad();
            }
            break;
        case State::Extension:
            if (++line_ > kMaxLine) return bad();
            if (c == '\r') state_ = State::SizeLf;
            else if (c == '\n') EndSizeLine();
            break;
        case State::SizeLf:
            if (c != '\n') return bad();
            EndSizeLine();
            break;
        case State::DataCr:
            if (c == '\r') state_ = State::DataLf;
            else if (c == '\n') StartSize();
            else return bad();
            break;
        case State::DataLf:
            if (c != '\n') return bad();
            StartSize();
            break;
        case State::Trailer:
            // Trailer lines after the last chunk, up to an empty line.
            if (c == '\n') {
                if (line_ == 0) state_ = State::Done;
                line_ = 0;
            } else if (c != '\r' && ++line_ > kMaxLine) {
                return bad();
            }
            break;
        case State::Data:
        case State::Done:
        case State::Bad:
            break;
        }
    }
    return state_ != State::Bad;
}

namespace {
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                           static_cast<uint8_t>(bytes[i + 2]);
        for (int k = 18; k >= 0; k -= 6) out += kBase64[(v >> k) & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
        if (rest == 2) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += rest == 2 ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool Base64Decode(std::string_view text, std::string* out) {
    std::array<int8_t, 256> value{};
    value.fill(-1);
    for (int k = 0; k < 64; ++k) value[static_cast<uint8_t>(kBase64[k])] = static_cast<int8_t>(k);
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 == 1) return false;
    out->clear();
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        const int8_t v = value[static_cast<uint8_t>(c)];
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return true;
}

bool SecretEquals(std::string_view a, std::string_view b) {
    // The lengths are compared too, but every byte of the longer is still visited.
    const std::size_t n = std::max(a.size(), b.size());
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned x = i < a.size() ? static_cast<uint8_t>(a[i]) : 0u;
        const unsigned y = i < b.size() ? static_cast<uint8_t>(b[i]) : 0u;
        diff |= x ^ y;
    }
    return diff == 0;
}

namespace {
std::string Field(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != ';' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out += c;
    return out;
}
}  // namespace

std::string StrLine(std::string_view mount, const StationInfo& info, bool authentication) {
    char position[64];
    std::snprintf(position, sizeof position, "%.2f;%.2f", info.latitude, info.longitude);
    // STR;mountpoint;identifier;format;format-details;carrier;nav-system;network;country;
    // latitude;longitude;nmea;solution;generator;compr-encryp;authentication;fee;bitrate;misc
    std::string line = "STR;" + Field(mount) + ";" + Field(info.identifier.empty() ? mount : info.identifier) +
                       ";" + Field(info.format) + ";" + Field(info.format_details) + ";" +
                       std::to_string(info.carrier) + ";" + Field(info.nav_system) + ";" + Field(info.network) +
                       ";" + Field(info.country) + ";" + position + ";0;0;" + Field(info.generator) + ";none;" +
                       (authentication ? "B" : "N") + ";N;" + std::to_string(info.bitrate) + ";";
    return line;
}

std::string SourceTableBody(const std::vector<std::string>& lines) {
    std::string body;
    for (const std::string& line : lines) body += line + "\r\n";
    body += "ENDSOURCETABLE\r\n";
    return body;
}

std::string Printable(std::string_view text, std::size_t limit) {
    std::string out;
    for (char c : text.substr(0, std::min(text.size(), limit))) {
        const auto u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    if (text.size() > limit) out += "...";
    return out;
}

}  // namespace kestrel::net
