// SPDX-License-Identifier: BSD-2-Clause
// Fixed-column fields shared by the RINEX observation and navigation writers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/gps_time.h"

namespace kestrel::rinex_field {

constexpr std::size_t kF14Width = 14;
constexpr std::size_t kD19Width = 19;

// Writes `value` into out[0..13] exactly as printf's "%14.3f" does: rounded half to even on
// the exact binary value, a minus sign for every negative value (also -0.000), right-aligned.
// False, with nothing written, when the value is not finite or needs more than 14 columns
// (above 9999999999.9995 or, negative, below -999999999.9995).
bool FormatF14_3(double value, char* out);

// Writes `value` into out[0..18] as a Fortran D19.12 field with `exponentLetter` (D or E):
// sign or blank, d.dddddddddddd, the letter and a signed two-digit exponent. Values below
// 1e-99 in magnitude are written as zero. False when the value is not finite or too large
// for a two-digit exponent.
bool FormatD19_12(double value, char exponentLetter, char* out);

// `value` in a right-aligned field of `width` columns with `decimals` decimals, as printf's
// "%W.Df". False when it is not finite or needs more columns.
bool FormatFixed(double value, int width, int decimals, std::string& out);

// Text for a fixed-width field: each character outside printable ASCII (a whole UTF-8
// sequence, or a byte that begins none) becomes one '?', and the text is cut at `width`
// columns and padded with blanks to it.
std::string Field(std::string_view text, std::size_t width);

// What Field does to `text` in `width` columns, for a warning that names the record and
// field (`fieldName`, e.g. "OBSERVER"): empty when the text goes in as it is; otherwise
// "OBSERVER: 'text' is cut to 20 columns" and/or "holds characters other than printable
// ASCII, written as '?'". `width` 0: never cut (comments wrap).
std::string FieldWarning(std::string_view fieldName, std::string_view text, std::size_t width);

// One header line: 60 columns of content (cut or padded) and the label in columns 61..80.
void AppendHeaderLine(std::string& out, std::string_view content, std::string_view label);

// COMMENT lines; a comment longer than 60 columns is wrapped between words.
void AppendComments(std::string& out, const std::vector<std::string>& comments);

// The PGM / RUN BY / DATE record; the date (UTC) as "yyyymmdd hhmmss UTC", blank when absent.
void AppendProgramLine(std::string& out, std::string_view program, std::string_view runBy,
                       const std::optional<CalendarTime>& createdUtc);

}  // namespace kestrel::rinex_field
