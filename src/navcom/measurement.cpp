#include "navcom/measurement.h"

namespace kestrel {

int32_t HandleMeasurement(int32_t, uint8_t*) { return 0; }

}  // namespace kestrel
