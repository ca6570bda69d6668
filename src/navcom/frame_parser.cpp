#include "navcom/frame_parser.h"

namespace kestrel {

int32_t OpenPort(int32_t, PortCallback) { return 1; }
void SetPortOptions(int32_t, const void*, int32_t) {}
int32_t FeedByte(int32_t, int32_t, uint8_t*) { return -1; }
bool VerifyChecksum(const uint8_t*, int32_t) { return false; }
const RecordDef* RecordTable() { return nullptr; }
int32_t RecordTableSize() { return 0; }
PortState* GetPortState(int32_t) { return nullptr; }
void ReportToPort(const PortState&, double, const char*) {}

}  // namespace kestrel
