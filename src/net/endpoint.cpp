// SPDX-License-Identifier: BSD-2-Clause
#include "net/endpoint.h"

#include <cctype>

#include "net/ntrip.h"

namespace kestrel::net {

namespace {

struct SchemeName {
    std::string_view prefix;
    Scheme scheme;
};
constexpr SchemeName kSchemes[] = {
    {"tcpsvr://", Scheme::TcpServer},
    {"ntripc://", Scheme::NtripCaster},
    {"ntrips://", Scheme::NtripPush},
};

bool PercentDecode(std::string_view text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        *out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
    }
    return true;
}

// "HOST", "[V6]", "HOST:PORT", ":PORT", "[V6]:PORT".
bool SplitHostPort(std::string_view text, std::string* host, std::string_view* port) {
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        host->assign(text.substr(1, close - 1));
        text.remove_prefix(close + 1);
        if (text.empty()) return true;
        if (text.front() != ':') return false;
        *port = text.substr(1);
        return true;
    }
    const std::size_t colon = text.rfind(':');
    if (colon != std::string_view::npos && text.find(':') != colon) return false;  // bare IPv6
    host->assign(text.substr(0, colon));
    if (colon != std::string_view::npos) *port = text.substr(colon + 1);
    return true;
}

bool ParsePort(std::string_view text, uint16_t* port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool IsNetworkUrl(std::string_view url) {
    for (const SchemeName& s : kSchemes)
        if (url.substr(0, s.prefix.size()) == s.prefix) return true;
    return false;
}

bool ParseEndpoint(std::string_view url, Endpoint* out, std::string* error) {
    Endpoint e;
    std::string_view rest;
    std::string_view prefix;
    bool known = false;
    for (const SchemeName& s : kSchemes) {
        if (url.substr(0, s.prefix.size()) == s.prefix) {
            e.scheme = s.scheme;
            prefix = s.prefix;
            rest = url.substr(s.prefix.size());
            known = true;
        }
    }
    if (!known) {
        *error = "not a network output (tcpsvr://, ntripc:// or ntrips://)";
        return false;
    }
    const std::string what = std::string(prefix.substr(0, prefix.size() - 3)) + " output";

    // Path: the mount point (casters and pushes only).
    std::string_view authority = rest;
    const std::size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        authority = rest.substr(0, slash);
        e.mount.assign(rest.substr(slash + 1));
    }
    if (e.scheme == Scheme::TcpServer) {
        if (slash != std::string_view::npos) {
            *error = what + ": a raw TCP server has no mount point (tcpsvr://[ADDR]:PORT)";
            return false;
        }
    } else if (!ValidMountName(e.mount)) {
        *error = what + ": the mount point must be 1 to 100 letters, digits, '.', '_' or '-' after the '/'";
        return false;
    }

    // User information: up to the last '@' of the authority.
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        if (e.scheme == Scheme::TcpServer) {
            *error = what + ": a raw TCP server takes no user or password";
            return false;
        }
        const std::string_view info = authority.substr(0, at);
        const std::size_t colon = info.find(':');
        if (colon == std::string_view::npos || !PercentDecode(info.substr(0, colon), &e.user) ||
            !PercentDecode(info.substr(colon + 1), &e.password)) {
            *error = what + ": credentials are written USER:PASSWORD@ (percent-encoded where needed)";
            return false;
        }
        authority.remove_prefix(at + 1);
    }

    std::string_view port_text;
    if (!SplitHostPort(authority, &e.host, &port_text)) {
        *error = what + ": cannot read the address (an IPv6 address goes in brackets)";
        return false;
    }
    if (!port_text.empty() || e.scheme == Scheme::TcpServer) {
        if (!ParsePort(port_text, &e.port)) {
            *error = what + ": the port must be a number from 0 to 65535";
            return false;
        }
    } else {
        e.port = kNtripPort;
    }
    if (e.scheme == Scheme::NtripPush) {
        if (e.host.empty()) {
            *error = what + ": the caster's host is missing (ntrips://[USER:PASS@]HOST[:PORT]/MOUNT)";
            return false;
        }
        if (e.port == 0) {
            *error = what + ": the caster's port cannot be 0";
            return false;
        }
    }
    if (e.scheme == Scheme::NtripCaster && !e.user.empty() && e.password.empty()) {
        *error = what + ": a user for the mount point needs a password";
        return false;
    }
    *out = std::move(e);
    return true;
}

std::string Endpoint::Redacted() const {
    std::string url;
    switch (scheme) {
    case Scheme::TcpServer: url = "tcpsvr://"; break;
    case Scheme::NtripCaster: url = "ntripc://"; break;
    case Scheme::NtripPush: url = "ntrips://"; break;
    }
    if (!user.empty() || !password.empty()) url += user + ":***@";
    url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    url += ":" + std::to_string(port);
    if (scheme != Scheme::TcpServer) url += "/" + mount;
    return url;
}

}  // namespace kestrel::net
