#include "kestrel/kestrel.h"
#include "plugin/plugin.h"

extern "C" {
void KESTREL_STDCALL SetFactoryDefaults(int32_t, OptionRecord*) {}
void KESTREL_STDCALL Abort(void) {}
void KESTREL_STDCALL GetErrString(char* text) { text[0] = '\0'; }
}
