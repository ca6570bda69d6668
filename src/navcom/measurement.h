// SPDX-License-Identifier: BSD-2-Clause
// Record 0xB0, MEASUREMENT: one receiver epoch of up to 15 satellite blocks, decoded into
// an EpochHeader, SatObservation and SatLockInfo records in the ThreadBuf.
#pragma once

#include <cstdint>

#include "navcom/port_state.h"

namespace kestrel {

// Decodes one 16-byte satellite block. False (and `sat` zeroed) when the block is not valid.
bool DecodeSatBlock(const uint8_t* block, SatState& sat);

// Decodes a 3-byte phase word around a code range given in L1 cycles. For the L2 word the
// range is first turned into L2 cycles. Returns the phase in cycles of its carrier and
// delivers the 4-bit lock counter.
double DecodePhase(double codeRangeL1Cycles, bool isL2, const uint8_t* word, int32_t& lockCounter);

// The record handler: 1 when an epoch was queued, else 0.
int32_t HandleMeasurement(int32_t port, uint8_t* threadBuf);

// The handler's work on a port already looked up: decodes the frame in `port.frame`.
int32_t HandleMeasurementFrame(PortState& port, uint8_t* threadBuf);

}  // namespace kestrel
