// SPDX-License-Identifier: BSD-2-Clause
// The process-wide error text: the latest message, handed to the host by GetErrString
// and passed to message callbacks. Never cleared, only overwritten.
#pragma once

#include <cstddef>

namespace kestrel {

constexpr std::size_t kErrorTextSize = 512;

// The buffer itself (kErrorTextSize bytes, always NUL-terminated).
char* error_text();

// The texts of the failures every run shares: a file that cannot be opened, read or written
// (formats taking its name, and those ending in ": %s" the system's reason), and a run stopped
// by Abort.
inline constexpr char kCannotOpenFormat[] = "Error: Unable to open %s";
inline constexpr char kCannotOpenReasonFormat[] = "Error: Unable to open %s: %s";
inline constexpr char kCannotReadReasonFormat[] = "Error: Unable to read %s: %s";
inline constexpr char kCannotWriteFormat[] = "Error: Unable to write to %s";
inline constexpr char kCannotWriteReasonFormat[] = "Error: Unable to write to %s: %s";
inline constexpr char kUserQuitText[] = "User Quit";
inline constexpr char kNoMemoryText[] = "Error: Not enough memory";

// Replaces the text by a copy of `text`, cut to fit.
void set_error_text(const char* text);

// Replaces the text by a formatted message, cut to fit. Returns the buffer.
char* format_error_text(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace kestrel
