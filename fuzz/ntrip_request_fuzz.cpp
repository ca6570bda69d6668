// SPDX-License-Identifier: BSD-2-Clause
// The caster's reading of a request header, and the other texts that come from the network:
// the caster's answer to a push, chunked data, Basic credentials. Every input goes through all
// of them. Besides the sanitizers: a request read whole is read the same from any longer input
// and from its own header alone; what is refused stays refused as more bytes come; chunked data
// decode the same whether they come in one piece or two, and never to more than came in.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "net/ntrip.h"

namespace {

using kestrel::fuzz::Fail;
using namespace kestrel::net;

constexpr std::size_t kLimit = 4096;

bool SameRequest(const Request& a, const Request& b) {
    return a.method == b.method && a.mount == b.mount && a.ntrip_version == b.ntrip_version &&
           a.has_credentials == b.has_credentials && a.user == b.user && a.password == b.password &&
           a.chunked == b.chunked && a.agent == b.agent && a.str == b.str;
}

void CheckRequest(std::string_view text) {
    const RequestParse p = ParseRequest(text, kLimit);
    switch (p.status) {
    case ParseStatus::Incomplete:
        if (text.size() >= kLimit) Fail("%zu bytes without a header end are still incomplete", text.size());
        break;
    case ParseStatus::Invalid:
        if (p.reason.empty()) Fail("refused without a reason");
        if (p.http_status != 400 && p.http_status != 405 && p.http_status != 414 && p.http_status != 431)
            Fail("refused with status %d", p.http_status);
        break;
    case ParseStatus::Complete: {
        if (p.header_size == 0 || p.header_size > text.size() || p.header_size > kLimit)
            Fail("header of %zu bytes in %zu", p.header_size, text.size());
        if (p.request.mount.size() > kMaxMountLength) Fail("mount name of %zu bytes", p.request.mount.size());
        for (char c : p.request.mount)
            if (static_cast<unsigned char>(c) < 0x20 || c == ' ') Fail("control byte or space in the mount name");
        const RequestParse alone = ParseRequest(text.substr(0, p.header_size), kLimit);
        if (alone.status != ParseStatus::Complete || alone.header_size != p.header_size ||
            !SameRequest(alone.request, p.request))
            Fail("the header alone reads differently");
        break;
    }
    }
    // A prefix is never further along: complete only with the same header, never refused
    // when the whole is not.
    const RequestParse prefix = ParseRequest(text.substr(0, text.size() / 2), kLimit);
    if (prefix.status == ParseStatus::Invalid && p.status != ParseStatus::Invalid) Fail("a refused prefix is accepted later");
    if (prefix.status == ParseStatus::Complete &&
        (p.status != ParseStatus::Complete || prefix.header_size != p.header_size))
        Fail("a complete prefix is read differently whole");
}

void CheckAnswer(std::string_view text) {
    const Answer a = ParseAnswer(text, kLimit);
    if (a.kind == AnswerKind::Accepted && (a.size == 0 || a.size > text.size())) Fail("answer of %zu bytes", a.size);
    if (a.kind == AnswerKind::Incomplete && text.size() >= kLimit) Fail("no answer within the limit is incomplete");
    for (char c : a.first_line)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) Fail("unprintable answer text");
}

void CheckChunks(const uint8_t* data, std::size_t size) {
    std::vector<uint8_t> whole, split;
    ChunkDecoder one, two;
    const bool ok1 = one.Feed({data, size}, &whole);
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    bool ok2 = two.Feed({data, cut}, &split);
    if (ok2) ok2 = two.Feed({data + cut, size - cut}, &split);
    if (ok1 != ok2 || one.finished() != two.finished()) Fail("cut at %zu decodes differently", cut);
    if (whole.size() > size) Fail("%zu data bytes from %zu", whole.size(), size);
    if (ok1 && whole != split) Fail("cut at %zu gives other data", cut);
}

void CheckBase64(std::string_view text) {
    std::string decoded, again;
    if (!Base64Decode(text, &decoded)) return;
    if (!Base64Decode(Base64Encode(decoded), &again) || again != decoded) Fail("base64 does not round-trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckRequest(text);
    CheckAnswer(text);
    CheckChunks(data, size);
    CheckBase64(text);
    return 0;
}
