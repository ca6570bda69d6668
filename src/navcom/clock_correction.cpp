#include "navcom/clock_correction.h"

namespace kestrel {

void CorrectEpochClock(PortState&, int32_t) {}

}  // namespace kestrel
