#include "positioning/eph_store.h"

namespace kestrel {

void eph_store_clear() {}
int32_t eph_store_insert(const GpsEphRecord*) { return 0; }
const GpsEphRecord* eph_store_find(int32_t, int32_t) { return nullptr; }
const GpsEphRecord* eph_store_find_second(int32_t, int32_t) { return nullptr; }

}  // namespace kestrel
