#include "kestrel/kestrel.h"

extern "C" int32_t KESTREL_STDCALL AutoDetect(const char*) { return 0; }
