// SPDX-License-Identifier: BSD-2-Clause
// Parsers of the values the subcommands take (times, coordinates, lists), each with the
// message that names what is wrong; and the option validators built on them.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"

namespace CLI {
class Validator;
}

namespace kestrel::cli {

// "WEEK:SOW" (GPS week and seconds of week) or "YYYY-MM-DDTHH:MM:SS[.s]" (UTC). Empty
// `error` on success.
std::optional<GpsTime> ParseTime(const std::string& text, std::string& error);

// Exactly `count` comma-separated numbers.
std::optional<std::vector<double>> ParseNumbers(const std::string& text, std::size_t count, std::string& error);

// At most `count` comma-separated fields (blanks around each dropped); fewer are padded empty.
std::vector<std::string> SplitFields(const std::string& text, std::size_t count);

// CLI11 validators that refuse a value with the parser's message.
CLI::Validator TimeValidator();
CLI::Validator NumbersValidator(std::size_t count);
CLI::Validator IntervalValidator();  // seconds, 0.001 to one week

// The creation time of files: SOURCE_DATE_EPOCH (seconds since 1970, UTC) when set, so that
// repeated runs can give identical files; otherwise none (the time of the run).
std::optional<CalendarTime> CreationTimeFromEnvironment();

}  // namespace kestrel::cli
