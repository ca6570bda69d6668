// SPDX-License-Identifier: BSD-2-Clause
// The NTRIP protocol's texts, with no sockets: a caster's reading of a request header (rover
// GET, NTRIP 1.0 SOURCE, NTRIP 2.0 POST), a server's reading of the caster's answer, the
// chunked transfer coding of NTRIP 2.0, Basic credentials, and the source table's STR line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::net {

// ---- Requests, as a caster reads them

enum class Method : uint8_t { Get, Source, Post };

struct Request {
    Method method = Method::Get;
    std::string mount;        // without its leading '/'; empty for the source table
    int ntrip_version = 1;    // 2 when the request says "Ntrip-Version: Ntrip/2.0"
    bool has_credentials = false;
    std::string user;         // from Basic credentials (empty for SOURCE)
    std::string password;     // from Basic credentials, or SOURCE's password
    bool chunked = false;     // a POST whose data come in chunks
    std::string agent;        // User-Agent or Source-Agent
    std::string str;          // a source's own STR description ("STR:" or "Ntrip-STR:")
};

enum class ParseStatus : uint8_t { Incomplete, Complete, Invalid };

struct RequestParse {
    ParseStatus status = ParseStatus::Incomplete;
    std::size_t header_size = 0;  // bytes up to and including the empty line (Complete)
    Request request;
    int http_status = 0;          // the HTTP status that answers an Invalid request
    std::string reason;           // what was wrong, for the caster's message
};

constexpr std::size_t kMaxMountLength = 100;

// Reads a request header from the first bytes a client sent. Incomplete while no empty line
// ends the header within `max_header` bytes; Invalid (with a status and reason) when the header
// cannot be a request the caster serves, or does not end within `max_header` bytes.
RequestParse ParseRequest(std::string_view bytes, std::size_t max_header);

// A mount point name a caster accepts: letters, digits, '.', '_' and '-', 1 to kMaxMountLength.
bool ValidMountName(std::string_view name);

// ---- Answers, as a server pushing to a caster reads them

enum class AnswerKind : uint8_t {
    Incomplete,
    Accepted,      // "ICY 200 OK", or HTTP 200: the data may flow
    BadPassword,   // HTTP 401 or "ERROR - Bad Password"
    MountTaken,    // "ERROR - Mount Point Taken or Invalid", HTTP 409
    Other,         // anything else: the first line says what
};

struct Answer {
    AnswerKind kind = AnswerKind::Incomplete;
    std::size_t size = 0;      // bytes of the answer's header (Accepted)
    std::string first_line;    // printable, for messages
};

// Reads the caster's answer to a SOURCE or POST request; Other when it does not end within
// `max_header` bytes.
Answer ParseAnswer(std::string_view bytes, std::size_t max_header);

// ---- Chunked transfer coding (NTRIP 2.0 data)

// The chunk that carries `size` bytes starts with this line ("1a2\r\n"); the data are followed
// by "\r\n". A chunk of size 0 ends the stream.
std::string ChunkHeader(std::size_t size);
constexpr std::string_view kChunkTrailer = "\r\n";
constexpr std::string_view kLastChunk = "0\r\n\r\n";

// Takes a chunked stream in pieces of any size and gives back the data.
class ChunkDecoder {
public:
    // Appends the data carried by `in` to *out. False once the stream is malformed (then it
    // stays false). After the last chunk, further bytes are ignored.
    bool Feed(std::span<const uint8_t> in, std::vector<uint8_t>* out);
    bool finished() const { return state_ == State::Done; }

private:
    enum class State : uint8_t { Size, Extension, SizeLf, Data, DataCr, DataLf, Trailer, Done, Bad };
    void StartSize();
    void EndSizeLine();
    State state_ = State::Size;
    uint64_t remaining_ = 0;
    int digits_ = 0;
    std::size_t line_ = 0;  // bytes of the size line or trailer line so far
};

// ---- Basic credentials

std::string Base64Encode(std::string_view bytes);
// False when `text` is not base64.
bool Base64Decode(std::string_view text, std::string* out);

// Compares secrets in a time that does not depend on where they differ.
bool SecretEquals(std::string_view a, std::string_view b);

// ---- Source table

// What the source table says of a mount point's stream (the STR record's fields).
struct StationInfo {
    std::string identifier;          // place name; the mount point's name when empty
    std::string format = "RTCM 3.3";
    std::string format_details;      // messages and their periods, "1074(1),1005(10)"
    int carrier = 2;                 // 0 none, 1 L1, 2 L1 and L2
    std::string nav_system = "GPS";
    std::string network;
    std::string country;             // ISO 3166 three-letter code
    double latitude = 0.0;           // degrees, north positive
    double longitude = 0.0;          // degrees, east positive
    std::string generator = "Kestrel";
    int bitrate = 0;                 // bits per second; 0 when not known
};

// "STR;MOUNT;...;misc" (no line end). Fields lose any ';' and control characters.
std::string StrLine(std::string_view mount, const StationInfo& info, bool authentication);

// The source table's body: each line ended by CR LF, then "ENDSOURCETABLE\r\n".
std::string SourceTableBody(const std::vector<std::string>& lines);

// Printable form of a line from the network, at most `limit` characters: control bytes and
// bytes above 0x7e shown as '?'.
std::string Printable(std::string_view text, std::size_t limit = 120);

}  // namespace kestrel::net
