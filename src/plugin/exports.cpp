// SPDX-License-Identifier: BSD-2-Clause
// The small exports of the plug-in: factory defaults, abort, the latest message.
#include <cstring>

#include "common/error_text.h"
#include "kestrel/kestrel.h"
#include "pipeline/host_link.h"

namespace kestrel {
namespace {

// Option switches a host gets from SetFactoryDefaults.
constexpr OptionRecord kFactoryDefaults = {
    /*flagEpochs=*/0, /*reportL2Slips=*/1, /*clockCorrection=*/1, /*verboseDecoder=*/0};

}  // namespace
}  // namespace kestrel

extern "C" {

void KESTREL_STDCALL SetFactoryDefaults(int32_t size, OptionRecord* record) {
    if (size != KESTREL_OPTION_RECORD_SIZE || record == nullptr) return;
    std::memcpy(record, &kestrel::kFactoryDefaults, sizeof kestrel::kFactoryDefaults);
}

void KESTREL_STDCALL Abort(void) { kestrel::RequestAbort(); }

void KESTREL_STDCALL GetErrString(char* text) {
    if (text == nullptr) return;
    // The error text is always NUL-terminated within its buffer.
    const char* latest = kestrel::error_text();
    std::memcpy(text, latest, std::strlen(latest) + 1);
}

}  // extern "C"
