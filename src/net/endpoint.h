// SPDX-License-Identifier: BSD-2-Clause
// The network outputs a user names on the command line, in the forms users of str2str know:
//   tcpsvr://[ADDR]:PORT                          raw bytes to every connected client
//   ntripc://[USER:PASS@][ADDR][:PORT]/MOUNT      the built-in NTRIP caster (port 2101 unless given)
//   ntrips://[USER:PASS@]HOST[:PORT]/MOUNT        a push to a remote caster (port 2101 unless given)
// An IPv6 address is written in brackets ("[::1]"). User and password may be percent-encoded
// ("%40" for '@'). A push with a user name speaks NTRIP 2.0 (POST with Basic credentials);
// with a password alone ("ntrips://:PASS@HOST/MOUNT") it speaks NTRIP 1.0 (SOURCE).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::net {

enum class Scheme : uint8_t { TcpServer, NtripCaster, NtripPush };

constexpr uint16_t kNtripPort = 2101;

struct Endpoint {
    Scheme scheme = Scheme::TcpServer;
    std::string host;      // servers: the address to listen on, empty for the --listen one; push: the caster
    uint16_t port = 0;     // tcpsvr: 0 lets the system choose a free port
    std::string user;      // caster: what rovers must give (none when empty); push: the caster's user
    std::string password;
    std::string mount;     // caster and push: the mount point, without '/'

    // The URL with the password replaced by "***": what messages may show.
    std::string Redacted() const;
};

// Reads an output URL. False, with the reason in *error, for anything else; the reason never
// quotes the password.
bool ParseEndpoint(std::string_view url, Endpoint* out, std::string* error);

// True for URLs of the schemes above, so that a caller can tell them from file outputs.
bool IsNetworkUrl(std::string_view url);

}  // namespace kestrel::net
