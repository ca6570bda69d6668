// SPDX-License-Identifier: BSD-2-Clause
#include "common/error_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kestrel {
namespace {

struct ErrorTextState {
    char text[kErrorTextSize];
};
ErrorTextState state;

}  // namespace

char* error_text() { return state.text; }

void set_error_text(const char* text) {
    std::snprintf(state.text, sizeof state.text, "%s", text ? text : "");
}

char* format_error_text(const char* format, ...) {
    // Format into a scratch copy first: arguments may point into the buffer itself.
    char scratch[kErrorTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(scratch, sizeof scratch, format, args);
    va_end(args);
    std::memcpy(state.text, scratch, sizeof scratch);
    return state.text;
}

}  // namespace kestrel
