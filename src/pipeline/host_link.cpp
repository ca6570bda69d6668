// SPDX-License-Identifier: BSD-2-Clause
#include "pipeline/host_link.h"

#include <atomic>

namespace kestrel {
namespace {

struct HostLink {
    // The host's callback block of the running (or last) session.
    const CallbackBlock* callbacks = nullptr;
    // A host may call Abort from another thread than the one converting.
    std::atomic<int32_t> abortCount{0};
};
HostLink link;

}  // namespace

void KESTREL_STDCALL relayMessage(double time, const char* text) {
    const CallbackBlock* callbacks = link.callbacks;
    if (callbacks != nullptr && callbacks->messageCallback != nullptr) callbacks->messageCallback(time, text);
}

void SetHostCallbacks(const CallbackBlock* callbacks) { link.callbacks = callbacks; }

const CallbackBlock* HostCallbacks() { return link.callbacks; }

void RequestAbort() { link.abortCount.fetch_add(1); }

int32_t AbortCount() { return link.abortCount.load(); }

void ResetAbortCount() { link.abortCount.store(0); }

}  // namespace kestrel
