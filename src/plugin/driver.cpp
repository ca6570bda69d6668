#include "kestrel/kestrel.h"
#include "plugin/plugin.h"

extern "C" int32_t KESTREL_STDCALL ConvertFile(OptionBlock*, CallbackBlock*, int32_t) { return 1; }
