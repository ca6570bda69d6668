// SPDX-License-Identifier: BSD-2-Clause
// Internal face of the plug-in layer: the message relay, the abort counter and the
// output-name rule used by the conversion driver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrel/kestrel.h"

namespace kestrel {

// Passes a decoder message on to the host's message callback, when one is set.
void KESTREL_STDCALL relayMessage(double time, const char* text);

// The callback block of the running (or last) conversion; never cleared.
void SetHostCallbacks(const CallbackBlock* callbacks);

// The abort counter: Abort adds one (from any thread), a conversion resets it when it
// accepts the host's blocks and tests it at every chunk boundary.
int32_t AbortCount();
void ResetAbortCount();

// Replaces the extension of a NUL-terminated name in place (or appends it). Leading
// blanks are dropped first; an extension is the part from the last dot that follows the
// last directory separator ('\' or '/'). `capacity` is the size of the name's buffer.
// False, leaving the name unchanged, when the result would not fit.
bool replaceExtension(char* name, std::size_t capacity, const char* extension);

}  // namespace kestrel
