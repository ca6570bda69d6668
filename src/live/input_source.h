// SPDX-License-Identifier: BSD-2-Clause
// The live command's input as the user names it: serial:DEVICE[:BAUD], tcp:HOST:PORT, - for
// standard input, file:LOG for a replay.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <termios.h>

namespace kestrel::live {

struct BaudRate {
    int rate;
    speed_t speed;
};
inline constexpr BaudRate kBaudRates[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};
inline constexpr int kDefaultBaud = 115200;

// The termios speed of a rate in bits per second; none for a rate not in kBaudRates.
std::optional<speed_t> BaudSpeed(int rate);

struct InputSource {
    enum class Kind { kSerial, kTcp, kStdin, kFile };
    Kind kind = Kind::kStdin;
    std::string text;  // as the user gave it
    std::string path;  // serial device or log
    int baud = kDefaultBaud;
    std::string host;  // without the brackets of an IPv6 address
    std::string port;  // decimal, 1..65535
};

// The input `text` names; none with the reason in `error` for a text that names none.
std::optional<InputSource> ParseInputSource(std::string_view text, std::string& error);

}  // namespace kestrel::live
