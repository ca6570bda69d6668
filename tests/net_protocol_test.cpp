// SPDX-License-Identifier: BSD-2-Clause
// The network outputs' texts: output URLs, a caster's reading of requests, a server's reading
// of the caster's answer, chunked transfer coding, Basic credentials and the STR record.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "net/endpoint.h"
#include "net/ntrip.h"

namespace kestrel::net {
namespace {

// ---- Output URLs

struct UrlCase {
    const char* url;
    bool ok;
    Scheme scheme;
    const char* host;
    uint16_t port;
    const char* user;
    const char* password;
    const char* mount;
};

TEST(Endpoint, ReadsTheFormsOfEachScheme) {
    const UrlCase cases[] = {
        {"tcpsvr://:2102", true, Scheme::TcpServer, "", 2102, "", "", ""},
        {"tcpsvr://0.0.0.0:0", true, Scheme::TcpServer, "0.0.0.0", 0, "", "", ""},
        {"tcpsvr://[::1]:5000", true, Scheme::TcpServer, "::1", 5000, "", "", ""},
        {"ntripc:///KEST0", true, Scheme::NtripCaster, "", 2101, "", "", "KEST0"},
        {"ntripc://:2110/KEST0", true, Scheme::NtripCaster, "", 2110, "", "", "KEST0"},
        {"ntripc://rover:s3cret@:2110/KEST0", true, Scheme::NtripCaster, "", 2110, "rover", "s3cret", "KEST0"},
        {"ntripc://rover:p%40ss:w@192.168.1.2/M", true, Scheme::NtripCaster, "192.168.1.2", 2101, "rover", "p@ss:w", "M"},
        {"ntrips://:pw@caster.example:2101/BASE1", true, Scheme::NtripPush, "caster.example", 2101, "", "pw", "BASE1"},
        {"ntrips://u:p@10.0.0.1/B-2.x_y", true, Scheme::NtripPush, "10.0.0.1", 2101, "u", "p", "B-2.x_y"},
        {"ntrips://u:p@[fe80::1]:99/B", true, Scheme::NtripPush, "fe80::1", 99, "u", "p", "B"},
        // Refused
        {"tcpsvr://", false, Scheme::TcpServer, "", 0, "", "", ""},                // no port
        {"tcpsvr://:70000", false, Scheme::TcpServer, "", 0, "", "", ""},          // port too big
        {"tcpsvr://:21x", false, Scheme::TcpServer, "", 0, "", "", ""},
        {"tcpsvr://:2101/M", false, Scheme::TcpServer, "", 0, "", "", ""},         // no mount for raw
        {"tcpsvr://u:p@:2101", false, Scheme::TcpServer, "", 0, "", "", ""},
        {"ntripc://:2101", false, Scheme::NtripCaster, "", 0, "", "", ""},         // no mount
        {"ntripc://:2101/", false, Scheme::NtripCaster, "", 0, "", "", ""},
        {"ntripc://:2101/A B", false, Scheme::NtripCaster, "", 0, "", "", ""},
        {"ntripc://rover:@:2101/M", false, Scheme::NtripCaster, "", 0, "", "", ""},  // user without password
        {"ntripc://rover@:2101/M", false, Scheme::NtripCaster, "", 0, "", "", ""},   // no ':' in credentials
        {"ntripc://u:p%4@:2101/M", false, Scheme::NtripCaster, "", 0, "", "", ""},   // bad escape
        {"ntrips://u:p@:2101/M", false, Scheme::NtripPush, "", 0, "", "", ""},       // no host
        {"ntrips://u:p@h:0/M", false, Scheme::NtripPush, "", 0, "", "", ""},
        {"ntrips://u:p@::1:2101/M", false, Scheme::NtripPush, "", 0, "", "", ""},    // IPv6 without brackets
        {"ntrip://h:2101/M", false, Scheme::NtripPush, "", 0, "", "", ""},
        {"file:///tmp/x.rtcm3", false, Scheme::NtripPush, "", 0, "", "", ""},
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.url);
        Endpoint e;
        std::string error;
        ASSERT_EQ(ParseEndpoint(c.url, &e, &error), c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(e.scheme, c.scheme);
        EXPECT_EQ(e.host, c.host);
        EXPECT_EQ(e.port, c.port);
        EXPECT_EQ(e.user, c.user);
        EXPECT_EQ(e.password, c.password);
        EXPECT_EQ(e.mount, c.mount);
    }
}

TEST(Endpoint, PasswordsNeverAppearInNamesOrErrors) {
    const char* secret = "Xy7-very-secret";
    const std::string urls[] = {
        std::string("ntripc://rover:") + secret + "@:2101/KEST",
        std::string("ntrips://:") + secret + "@caster:2101/KEST",
        std::string("ntrips://u:") + secret + "@caster:2101/bad mount",
        std::string("ntrips://u:") + secret + "@caster:99999/KEST",
        std::string("ntripc://u:") + secret + "@[::1/KEST",
    };
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        Endpoint e;
        std::string error;
        const bool ok = ParseEndpoint(url, &e, &error);
        EXPECT_EQ(error.find(secret), std::string::npos);
        if (ok) {
            EXPECT_EQ(e.Redacted().find(secret), std::string::npos);
            EXPECT_NE(e.Redacted().find(":***@"), std::string::npos);
        }
    }
}

// ---- Requests

struct RequestCase {
    const char* name;
    std::string bytes;
    ParseStatus status;
    int http_status;     // Invalid
    Method method;       // Complete
    const char* mount;
    int version;
    const char* user;
    const char* password;
    bool chunked;
};

RequestCase Refused(const char* name, std::string bytes, int http_status) {
    return {name, std::move(bytes), ParseStatus::Invalid, http_status, Method::Get, "", 1, "", "", false};
}

TEST(NtripRequest, ReadsWhatClientsAndServersSend) {
    const std::string auth = "Authorization: Basic " + Base64Encode("rover:pa:ss") + "\r\n";
    const RequestCase cases[] = {
        {"v1 rover", "GET /KEST HTTP/1.0\r\nUser-Agent: NTRIP RTKLIB/2.4.3\r\n" + auth + "\r\n",
         ParseStatus::Complete, 0, Method::Get, "KEST", 1, "rover", "pa:ss", false},
        {"v2 rover", "GET /KEST HTTP/1.1\r\nHost: h\r\nNtrip-Version: Ntrip/2.0\r\n" + auth + "\r\n",
         ParseStatus::Complete, 0, Method::Get, "KEST", 2, "rover", "pa:ss", false},
        {"header names in any case, LF line ends", "GET /KEST HTTP/1.1\nntrip-version: Ntrip/2.0\n\n",
         ParseStatus::Complete, 0, Method::Get, "KEST", 2, "", "", false},
        {"source table", "GET / HTTP/1.0\r\n\r\n", ParseStatus::Complete, 0, Method::Get, "", 1, "", "", false},
        {"v1 server", "SOURCE letmein /BASE\r\nSource-Agent: NTRIP x\r\nSTR: STR;BASE;\r\n\r\n",
         ParseStatus::Complete, 0, Method::Source, "BASE", 1, "", "letmein", false},
        {"v1 server without slash", "SOURCE letmein BASE\r\n\r\n", ParseStatus::Complete, 0, Method::Source, "BASE",
         1, "", "letmein", false},
        {"v2 server", "POST /BASE HTTP/1.1\r\nNtrip-Version: Ntrip/2.0\r\n" + auth +
                          "Transfer-Encoding: chunked\r\n\r\nD3 data follows",
         ParseStatus::Complete, 0, Method::Post, "BASE", 2, "rover", "pa:ss", true},
        {"undecodable credentials count as wrong ones", "GET /KEST HTTP/1.0\r\nAuthorization: Basic !!!\r\n\r\n",
         ParseStatus::Complete, 0, Method::Get, "KEST", 1, "", "", false},
        // Not yet complete
        {"request line only", "GET /KEST HTTP/1.0\r\n", ParseStatus::Incomplete, 0, Method::Get, "", 1, "", "", false},
        {"half a line", "GET /KE", ParseStatus::Incomplete, 0, Method::Get, "", 1, "", "", false},
        {"nothing", "", ParseStatus::Incomplete, 0, Method::Get, "", 1, "", "", false},
        // Refused
        Refused("unknown method", "DELETE /KEST HTTP/1.1\r\n\r\n", 405),
        Refused("HTTP/2 line", "GET /KEST HTTP/2\r\n\r\n", 400),
        Refused("no version", "GET /KEST\r\n\r\n", 400),
        Refused("target without slash", "GET KEST HTTP/1.0\r\n\r\n", 400),
        Refused("binary request line", std::string("GET /K\x01\xff HTTP/1.0\r\n\r\n"), 400),
        Refused("header without colon", "GET /KEST HTTP/1.0\r\nBogus\r\n\r\n", 400),
        Refused("SOURCE without mount", "SOURCE pw\r\n\r\n", 400),
        Refused("mount name too long", "GET /" + std::string(200, 'A') + " HTTP/1.0\r\n\r\n", 414),
        Refused("tab in a mount name", "GET /KE\tST HTTP/1.0\r\n\r\n", 400),
        Refused("tab in a server's mount name", "SOURCE pw BS/A\tB\r\n\r\n", 400),
        Refused("garbage", "\x16\x03\x01\x02\x05\x01\xfc\x03\x03\n", 400),
        Refused("too many header lines", "GET /K HTTP/1.0\r\n" + [] {
            std::string s;
            for (int i = 0; i < 70; ++i) s += "X-" + std::to_string(i) + ": y\r\n";
            return s;
        }() + "\r\n", 431),
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RequestParse p = ParseRequest(c.bytes, 4096);
        ASSERT_EQ(p.status, c.status) << p.reason;
        if (c.status == ParseStatus::Invalid) {
            EXPECT_EQ(p.http_status, c.http_status);
            EXPECT_FALSE(p.reason.empty());
        }
        if (c.status != ParseStatus::Complete) continue;
        EXPECT_EQ(p.request.method, c.method);
        EXPECT_EQ(p.request.mount, c.mount);
        EXPECT_EQ(p.request.ntrip_version, c.version);
        EXPECT_EQ(p.request.user, c.user);
        EXPECT_EQ(p.request.password, c.password);
        EXPECT_EQ(p.request.chunked, c.chunked);
        EXPECT_LE(p.header_size, c.bytes.size());
        EXPECT_EQ(c.bytes.substr(p.header_size).find("\r\n\r\n"), std::string::npos);
    }
}

TEST(NtripRequest, HeaderLimitIsExact) {
    // A header of exactly the limit is read; one byte more, or no end within it, is refused.
    const std::string head = "GET /KEST HTTP/1.0\r\nX-Pad: ";
    const std::size_t limit = 4096;
    const std::string fits = head + std::string(limit - head.size() - 4, 'p') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), limit);
    EXPECT_EQ(ParseRequest(fits, limit).status, ParseStatus::Complete);
    const std::string over = head + std::string(limit - head.size() - 3, 'p') + "\r\n\r\n";
    const RequestParse p = ParseRequest(over, limit);
    EXPECT_EQ(p.status, ParseStatus::Invalid);
    EXPECT_EQ(p.http_status, 431);
    EXPECT_EQ(ParseRequest(head + std::string(limit, 'p'), limit).status, ParseStatus::Invalid);
    EXPECT_EQ(ParseRequest(head + std::string(100, 'p'), limit).status, ParseStatus::Incomplete);
}

// ---- The caster's answer to a server

TEST(NtripAnswer, TellsAcceptanceFromEachRefusal) {
    struct Case {
        std::string bytes;
        AnswerKind kind;
        std::size_t size;
    };
    const Case cases[] = {
        {"ICY 200 OK\r\n", AnswerKind::Accepted, 12},
        {"ICY 200 OK\r\n\xd3\x00", AnswerKind::Accepted, 12},
        {"HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\n\r\n", AnswerKind::Accepted, 45},
        {"HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\n", AnswerKind::Incomplete, 0},
        {"ICY 200", AnswerKind::Incomplete, 0},
        {"ERROR - Bad Password\r\n", AnswerKind::BadPassword, 0},
        {"HTTP/1.1 401 Unauthorized\r\n", AnswerKind::BadPassword, 0},
        {"ERROR - Mount Point Taken or Invalid\r\n", AnswerKind::MountTaken, 0},
        {"HTTP/1.1 409 Conflict\r\n\r\n", AnswerKind::MountTaken, 0},
        {"HTTP/1.1 503 Service Unavailable\r\n\r\n", AnswerKind::Other, 0},
        {"SOURCETABLE 200 OK\r\n", AnswerKind::Other, 0},
        {std::string(5000, 'x'), AnswerKind::Other, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Printable(c.bytes, 40));
        const Answer a = ParseAnswer(c.bytes, 4096);
        EXPECT_EQ(a.kind, c.kind);
        if (c.kind == AnswerKind::Accepted) {
            EXPECT_EQ(a.size, c.size);
        }
    }
}

// ---- Chunked transfer coding

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(ChunkDecoder, GivesTheDataWhereverTheStreamIsCut) {
    std::mt19937 rng(7);
    std::vector<uint8_t> data(3000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    // Chunks of several sizes, upper-case hex and an extension, then a trailer.
    std::string coded;
    std::size_t pos = 0;
    for (std::size_t size : {1u, 255u, 0x1ABu, 2000u}) {
        coded += ChunkHeader(size);
        if (size == 255) coded.replace(coded.size() - 4, 2, "FF;ext=1");
        coded.append(data.begin() + static_cast<std::ptrdiff_t>(pos), data.begin() + static_cast<std::ptrdiff_t>(pos + size));
        coded += kChunkTrailer;
        pos += size;
    }
    data.resize(pos);
    coded += "0\r\nX-Trailer: 1\r\n\r\n";
    for (std::size_t cut = 0; cut <= coded.size(); cut += 7) {
        ChunkDecoder d;
        std::vector<uint8_t> out;
        const std::vector<uint8_t> all = Bytes(coded);
        ASSERT_TRUE(d.Feed({all.data(), cut}, &out));
        ASSERT_TRUE(d.Feed({all.data() + cut, all.size() - cut}, &out));
        EXPECT_TRUE(d.finished());
        ASSERT_EQ(out, data) << "cut at " << cut;
    }
    // Byte by byte.
    ChunkDecoder d;
    std::vector<uint8_t> out;
    for (char ch : coded) {
        const auto b = static_cast<uint8_t>(ch);
        ASSERT_TRUE(d.Feed({&b, 1}, &out));
    }
    EXPECT_EQ(out, data);
}

TEST(ChunkDecoder, RefusesMalformedStreams) {
    const char* cases[] = {
        "zz\r\nab\r\n",            // no hex size
        "\r\nab\r\n",              // empty size
        "2\r\nabc\r\n",            // data longer than said
        "2\r\nab\rX",              // broken line end after data
        "2\rXab\r\n",              // broken line end after size
        "FFFFFFFFFFFF\r\n",        // absurd size
    };
    for (const char* c : cases) {
        SCOPED_TRACE(Printable(c));
        ChunkDecoder d;
        std::vector<uint8_t> out;
        const std::vector<uint8_t> bytes = Bytes(c);
        EXPECT_FALSE(d.Feed(bytes, &out));
        const uint8_t more[] = {'1', '\r', '\n', 'x', '\r', '\n'};
        EXPECT_FALSE(d.Feed(more, &out)) << "a broken stream stays broken";
    }
}

// ---- Credentials and the source table

TEST(Base64, KnownVectorsBothWays) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"rover:p@ss", "cm92ZXI6cEBzcw=="},
    };
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(Base64Encode(plain), coded);
        std::string back;
        ASSERT_TRUE(Base64Decode(coded, &back));
        EXPECT_EQ(back, plain);
    }
    std::string out;
    EXPECT_FALSE(Base64Decode("Zm9v!", &out));
    EXPECT_FALSE(Base64Decode("Z", &out));
}

TEST(SourceTable, StrRecordHasItsNineteenFieldsWhateverTheTexts) {
    StationInfo info;
    info.identifier = "Tsukuba;evil\r\nSTR;FAKE";
    info.format_details = "1074(1),1005(10)";
    info.latitude = 36.1056;
    info.longitude = 140.0875;
    const std::string line = StrLine("KEST0", info, true);
    EXPECT_EQ(std::count(line.begin(), line.end(), ';'), 18);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_EQ(line.rfind("STR;KEST0;Tsukubaevil", 0), 0u);
    EXPECT_NE(line.find(";36.11;140.09;"), std::string::npos);
    EXPECT_NE(line.find(";B;N;"), std::string::npos);
    EXPECT_EQ(SourceTableBody({line}), line + "\r\nENDSOURCETABLE\r\n");
}

}  // namespace
}  // namespace kestrel::net
