#include "threadbuf/threadbuf.h"

#include "kestrel/kestrel.h"

namespace kestrel {

int32_t ThreadBufRecordSize(int32_t) { return 0; }
void ResetThreadBuf(uint8_t*) {}
int32_t AddThreadBufData(uint8_t*, const void*, int32_t, int32_t) { return kThreadBufInternal; }
const char* GetThreadBufErrorText(int32_t) { return "Unknown ThreadBuf error"; }

}  // namespace kestrel

extern "C" {
int32_t KESTREL_STDCALL GetThreadBufRecCount(const void*, int32_t) { return 0; }
int32_t KESTREL_STDCALL GetThreadBufRecSize(const void*, int32_t) { return 0; }
int32_t KESTREL_STDCALL ReadThreadBufData(const void*, int32_t, int32_t, void*) { return 0; }
int32_t KESTREL_STDCALL GetThreadBufSize(void) { return kestrel::kThreadBufDefaultSize; }
void KESTREL_STDCALL SetThreadBufSize(int32_t) {}
}
