// SPDX-License-Identifier: BSD-2-Clause
// The host's side of a decoding session: its callback block, through which every decoder
// message reaches it, and the abort counter it raises, from any thread, to stop a run.
#pragma once

#include <cstdint>

#include "kestrel/kestrel.h"

namespace kestrel {

// Passes a decoder message on to the host's message callback, when one is set; the port
// callback of every session.
void KESTREL_STDCALL relayMessage(double time, const char* text);

// The callback block messages go to (null: none). A session sets it for its life.
void SetHostCallbacks(const CallbackBlock* callbacks);
const CallbackBlock* HostCallbacks();

// The abort counter: RequestAbort adds one (from any thread), a session resets it when it
// starts and tests it at every chunk boundary.
void RequestAbort();
int32_t AbortCount();
void ResetAbortCount();

}  // namespace kestrel
