// SPDX-License-Identifier: BSD-2-Clause
// Fixed-column field readers shared by the RINEX 2 readers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::rinex {

// Splits text into lines, dropping the line ends (LF or CR LF).
std::vector<std::string> SplitLines(const std::string& text);

// Reads a whole file. False when it cannot be opened or read.
bool ReadTextFile(const std::string& path, std::string& text);

// The columns [begin, begin + width) of a line, shorter or empty past its end.
std::string_view Columns(const std::string& line, std::size_t begin, std::size_t width);

// The header label in columns 61..80, without trailing blanks.
std::string_view HeaderLabel(const std::string& line);

// True when the field holds only blanks.
bool IsBlank(std::string_view field);

// A Fortran-style real (exponent letter E or D, either case). A blank field reads as 0.
// False when the field holds anything else than one number.
bool ParseReal(std::string_view field, double& value);

// A decimal integer; a blank field reads as 0.
bool ParseInt(std::string_view field, int& value);

}  // namespace kestrel::rinex
