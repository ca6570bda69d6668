// SPDX-License-Identifier: BSD-2-Clause
#include "live/input_spec.h"

#include <charconv>

namespace kestrel::live {
namespace {

constexpr std::string_view kSerialPrefix = "serial:";
constexpr std::string_view kTcpPrefix = "tcp:";
constexpr std::string_view kFilePrefix = "file:";
constexpr std::string_view kForms = "serial:DEVICE[:BAUD], tcp:HOST:PORT, - (standard input) or file:LOG";

// A whole decimal number, none otherwise.
std::optional<int> Decimal(std::string_view text) {
    int value = 0;
    if (text.empty() || text.size() > 9) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool ParseSerial(std::string_view rest, InputSpec& spec, std::string& error) {
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
        const std::string_view tail = rest.substr(colon + 1);
        if (const std::optional<int> baud = Decimal(tail)) {
            if (!BaudSpeed(*baud)) {
                error = "serial speed " + std::string(tail) + " is not one of 1200, 2400, 4800, 9600, 19200, "
                        "38400, 57600, 115200, 230400, 460800, 921600";
                return false;
            }
            spec.baud = *baud;
            rest = rest.substr(0, colon);
        }
    }
    if (rest.empty()) {
        error = "serial: needs a device, as in serial:/dev/ttyUSB0 or serial:/dev/ttyS0:57600";
        return false;
    }
    spec.path = std::string(rest);
    return true;
}

bool ParseTcp(std::string_view rest, InputSpec& spec, std::string& error) {
    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {  // [IPv6 address]:port
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            error = "tcp: an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            error = "tcp: needs a host and a port, as in tcp:192.168.1.20:5017";
            return false;
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    const std::optional<int> number = Decimal(port);
    if (host.empty() || !number || *number < 1 || *number > 65535) {
        error = "tcp: needs a host and a port from 1 to 65535, as in tcp:192.168.1.20:5017";
        return false;
    }
    spec.host = std::string(host);
    spec.port = std::to_string(*number);
    return true;
}

}  // namespace

std::optional<speed_t> BaudSpeed(int rate) {
    for (const BaudRate& baud : kBaudRates) {
        if (baud.rate == rate) return baud.speed;
    }
    return std::nullopt;
}

std::optional<InputSpec> ParseInputSpec(std::string_view text, std::string& error) {
    InputSpec spec;
    spec.text = std::string(text);
    bool ok = false;
    if (text == "-") {
        spec.kind = InputSpec::Kind::kStdin;
        ok = true;
    } else if (text.starts_with(kSerialPrefix)) {
        spec.kind = InputSpec::Kind::kSerial;
        ok = ParseSerial(text.substr(kSerialPrefix.size()), spec, error);
    } else if (text.starts_with(kTcpPrefix)) {
        spec.kind = InputSpec::Kind::kTcp;
        ok = ParseTcp(text.substr(kTcpPrefix.size()), spec, error);
    } else if (text.starts_with(kFilePrefix)) {
        spec.kind = InputSpec::Kind::kFile;
        spec.path = std::string(text.substr(kFilePrefix.size()));
        ok = !spec.path.empty();
        if (!ok) error = "file: needs a log, as in file:base.nav";
    } else {
        error = "input '" + std::string(text) + "' is not " + std::string(kForms);
    }
    if (!ok) return std::nullopt;
    return spec;
}

}  // namespace kestrel::live
