// SPDX-License-Identifier: BSD-2-Clause
#include "live/input_source.h"

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

bool ParseSerial(std::string_view rest, InputSource& source, std::string& error) {
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
        const std::string_view tail = rest.substr(colon + 1);
        if (const std::optional<int> baud = Decimal(tail)) {
            if (!BaudSpeed(*baud)) {
                error = "serial speed " + std::string(tail) + " is not one of 1200, 2400, 4800, 9600, 19200, "
                        "38400, 57600, 115200, 230400, 460800, 921600";
                return false;
            }
            source.baud = *baud;
            rest = rest.substr(0, colon);
        }
    }
    if (rest.empty()) {
        error = "serial: needs a device, as in serial:/dev/ttyUSB0 or serial:/dev/ttyS0:57600";
        return false;
    }
    source.path = std::string(rest);
    return true;
}

bool ParseTcp(std::string_view rest, InputSource& source, std::string& error) {
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
    source.host = std::string(host);
    source.port = std::to_string(*number);
    return true;
}

}  // namespace

std::optional<speed_t> BaudSpeed(int rate) {
    for (const BaudRate& baud : kBaudRates) {
        if (baud.rate == rate) return baud.speed;
    }
    return std::nullopt;
}

std::optional<InputSource> ParseInputSource(std::string_view text, std::string& error) {
    InputSource source;
    source.text = std::string(text);
    bool ok = false;
    if (text == "-") {
        source.kind = InputSource::Kind::kStdin;
        ok = true;
    } else if (text.starts_with(kSerialPrefix)) {
        source.kind = InputSource::Kind::kSerial;
        ok = ParseSerial(text.substr(kSerialPrefix.size()), source, error);
    } else if (text.starts_with(kTcpPrefix)) {
        source.kind = InputSource::Kind::kTcp;
        ok = ParseTcp(text.substr(kTcpPrefix.size()), source, error);
    } else if (text.starts_with(kFilePrefix)) {
        source.kind = InputSource::Kind::kFile;
        source.path = std::string(text.substr(kFilePrefix.size()));
        ok = !source.path.empty();
        if (!ok) error = "file: needs a log, as in file:base.nav";
    } else {
        error = "input '" + std::string(text) + "' is not " + std::string(kForms);
    }
    if (!ok) return std::nullopt;
    return source;
}

}  // namespace kestrel::live
