// Internal face of the plug-in layer: the message relay, the abort counter and the
// output-name rule used by the conversion driver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrel/kestrel.h"

namespace kestrel {

// Passes a decoder message on to the host's message callback, when one is set.
void KESTREL_STDCALL relayMessage(double time, const char* text);

// The callback block of the running (or last) conversion.
void SetHostCallbacks(const CallbackBlock* callbacks);

int32_t AbortCount();
void ResetAbortCount();

// Replaces the extension of a NUL-terminated name in place (or appends it). `capacity`
// is the size of the name's buffer. False, leaving the name unchanged, when the result
// would not fit.
bool replaceExtension(char* name, std::size_t capacity, const char* extension);

}  // namespace kestrel
