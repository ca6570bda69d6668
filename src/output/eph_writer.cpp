#include "output/eph_writer.h"

namespace kestrel {

void write_gps_eph_block(std::FILE*, const GpsEphRecord*) {}

}  // namespace kestrel
