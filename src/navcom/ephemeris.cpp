#include "navcom/ephemeris.h"

namespace kestrel {

int32_t HandleEphemeris(int32_t, uint8_t*) { return 0; }

}  // namespace kestrel
