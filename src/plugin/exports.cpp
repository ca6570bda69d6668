// SPDX-License-Identifier: BSD-2-Clause
// The small exports of the plug-in (factory defaults, abort, the latest message) and the
// relay through which every decoder message reaches the host.
#include <atomic>
#include <cstring>

#include "common/error_text.h"
#include "kestrel/kestrel.h"
#include "plugin/plugin.h"

namespace kestrel {
namespace {

// Option switches a host gets from SetFactoryDefaults.
constexpr OptionRecord kFactoryDefaults = {
    /*flagEpochs=*/0, /*reportL2Slips=*/1, /*clockCorrection=*/1, /*verboseDecoder=*/0};

struct PluginState {
    // The host's callback block of the running (or last) conversion.
    const CallbackBlock* hostCallbacks = nullptr;
    // A host may call Abort from another thread than the one converting.
    std::atomic<int32_t> abortCount{0};
};
PluginState state;

}  // namespace

void KESTREL_STDCALL relayMessage(double time, const char* text) {
    const CallbackBlock* callbacks = state.hostCallbacks;
    if (callbacks != nullptr && callbacks->messageCallback != nullptr) {
        callbacks->messageCallback(time, text);
    }
}

void SetHostCallbacks(const CallbackBlock* callbacks) { state.hostCallbacks = callbacks; }

int32_t AbortCount() { return state.abortCount.load(); }

void ResetAbortCount() { state.abortCount.store(0); }

}  // namespace kestrel

extern "C" {

void KESTREL_STDCALL SetFactoryDefaults(int32_t size, OptionRecord* record) {
    if (size != KESTREL_OPTION_RECORD_SIZE || record == nullptr) return;
    std::memcpy(record, &kestrel::kFactoryDefaults, sizeof kestrel::kFactoryDefaults);
}

void KESTREL_STDCALL Abort(void) { kestrel::state.abortCount.fetch_add(1); }

void KESTREL_STDCALL GetErrString(char* text) {
    if (text == nullptr) return;
    // The error text is always NUL-terminated within its buffer.
    const char* latest = kestrel::error_text();
    std::memcpy(text, latest, std::strlen(latest) + 1);
}

}  // extern "C"
