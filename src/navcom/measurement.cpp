// SPDX-License-Identifier: BSD-2-Clause
// MEASUREMENT (0xB0) decoder. Its format facts (offsets, units, status bits, the phase
// words) come from the receiver's record layout, written down once, with the phase's sign,
// in navcom/record_layout.h.
#include "navcom/measurement.h"

#include "common/bytes.h"
#include "navcom/clock_correction.h"
#include "navcom/cycle_slip.h"
#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "navcom/record_layout.h"
#include "positioning/single_point.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr int32_t kLockInfoKind = 7;
constexpr double kLockTimeByteMax = 255.0;  // seconds the observation's lock byte can show

// The observation's lock-time byte: whole seconds, truncated toward zero, at most 255.
uint8_t LockTimeByte(double seconds) {
    if (!(seconds > 0.0)) return 0;
    if (seconds >= kLockTimeByteMax) return static_cast<uint8_t>(kLockTimeByteMax);
    return static_cast<uint8_t>(seconds);
}

}  // namespace

double DecodePhase(double codeRangeL1Cycles, bool isL2, const uint8_t* word, int32_t& lockCounter) {
    // The receiver sends phase as a 20-bit two's-complement offset from the code range, in
    // 1/256 cycle, with the carrier's lock counter in the low nibble.
    const uint32_t w = le_u24(word);
    lockCounter = layout::phase_word::LockCounter(w);
    const double range = isL2 ? codeRangeL1Cycles * layout::kL2PerL1 : codeRangeL1Cycles;
    return layout::PhaseCycles(layout::phase_word::Offset(w), range);
}

bool DecodeSatBlock(const uint8_t* block, SatState& sat) {
    using namespace layout::block;
    sat = SatState{};
    const uint8_t status = block[kStatusOffset];
    if ((status & kValid) == 0) return false;

    sat.status = status;
    sat.strength_byte = block[kStrengthOffset];
    sat.strength = (sat.strength_byte >> kStrengthShift) + kStrengthBase;
    sat.prn = status & kPrnMask;

    // Code ranges in L1 cycles until the end, then in metres.
    const double caCycles = le_u32(block + kCaRangeOffset) * layout::kCodeUnitCycles;
    sat.l1_phase = DecodePhase(caCycles, false, block + kL1PhaseOffset, sat.l1_lock_counter);

    double p1Cycles = 0.0;
    if (status & kHasP1) p1Cycles = le_s16(block + kP1DeltaOffset) * layout::kCodeUnitCycles + caCycles;

    double p2Cycles = 0.0;
    if (status & kHasL2) {
        p2Cycles = le_s16(block + kP2DeltaOffset) * layout::kCodeUnitCycles + caCycles;
        sat.l2_phase = DecodePhase(p2Cycles, true, block + kL2PhaseOffset, sat.l2_lock_counter);
    }

    sat.ca_range = caCycles * layout::kL1WavelengthM;
    sat.p1_range = p1Cycles * layout::kL1WavelengthM;
    sat.p2_range = p2Cycles * layout::kL1WavelengthM;
    return true;
}

namespace {

// The observation and lock record of a satellite that continues its arc.
void PutSatellite(const SatState& sat, SatObservation& obs, SatLockInfo& lock) {
    obs = SatObservation{};
    obs.prn = static_cast<uint8_t>(sat.prn);
    obs.lock_time = LockTimeByte(sat.l1_lock_time);
    obs.ca_range = sat.ca_range;
    obs.l1_phase = sat.l1_phase;
    obs.l1_doppler = sat.doppler;
    obs.p2_range = sat.p2_range;
    obs.l2_phase = sat.l2_phase;

    lock = SatLockInfo{};
    lock.info_kind = kLockInfoKind;
    lock.l1_lock_seconds = sat.l1_lock_time;
    lock.l2_lock_seconds = sat.l2_lock_time;
    lock.strength = sat.strength;
}

// Tells the port's observer of the frame once its records are queued (or not: `header` is
// null when nothing was queued).
void TellObserver(PortState& port, DecodedEpoch& decoded, const EpochHeader* header) {
    decoded.header = header;
    decoded.solved = header != nullptr && HasClockSolution(*header) && last_solution_position(decoded.position);
    port.observer->OnEpoch(decoded);
}

}  // namespace

int32_t HandleMeasurementFrame(PortState& port, uint8_t* threadBuf) {
    namespace measurement = layout::measurement;
    const uint8_t* frame = port.frame;
    const double t = le_u32(frame + measurement::kTimeOffset) * layout::kTimeUnitS;
    const int blockCount = frame[measurement::kCountOffset] & measurement::kCountMask;

    // Every valid block goes to an observer, whatever the slip test makes of it.
    DecodedEpoch decoded;
    const bool observed = port.observer != nullptr;
    if (observed) {
        decoded.week = le_u16(frame + measurement::kWeekOffset);
        decoded.time = t;
        decoded.satCount = 0;
    }

    int32_t k = 0;
    for (int i = 0; i < blockCount; ++i) {
        SatState sat;
        if (!DecodeSatBlock(frame + measurement::BlockOffset(i), sat)) continue;
        SlipFindings findings;
        const bool continued = TestCycleSlip(port, sat, t, observed ? &findings : nullptr);
        if (observed) {
            decoded.sats[decoded.satCount++] = DecodedSat{sat, findings.outcome, findings.l1Slip, findings.l2Slip};
        }
        if (!continued) continue;
        PutSatellite(sat, port.observations[k], port.lockInfo[k]);
        ++k;
    }
    // An epoch without an accepted satellite queues nothing and leaves the clock step's
    // warning counter alone.
    if (k == 0) {
        if (observed && decoded.satCount > 0) TellObserver(port, decoded, nullptr);
        return 0;
    }

    EpochHeader& header = port.epoch;
    header = EpochHeader{};
    header.sat_count = static_cast<uint8_t>(k);
    header.flags = port.options.flagEpochs != 0 ? KESTREL_EPOCH_FLAG_MARKED : 0;
    header.time_tag = t;

    // Sets the epoch's corrected time, clock offset and flag.
    CorrectEpochClock(port, k);

    struct Append {
        const void* data;
        int32_t count;
        int32_t type;
    };
    const Append appends[] = {
        {&port.epoch, 1, KESTREL_TYPE_EPOCH_HEADER},
        {port.observations, k, KESTREL_TYPE_SAT_OBSERVATION},
        {port.lockInfo, k, KESTREL_TYPE_SAT_LOCK_INFO},
    };
    for (const Append& a : appends) {
        const int32_t code = AddThreadBufData(threadBuf, a.data, a.count, a.type);
        if (code != kThreadBufNoError) {
            // What was queued before the failure stays queued.
            ReportToPort(port, t, GetThreadBufErrorText(code));
            if (observed) TellObserver(port, decoded, &port.epoch);
            return 0;
        }
    }
    if (observed) TellObserver(port, decoded, &port.epoch);
    return 1;
}

int32_t HandleMeasurement(int32_t port, uint8_t* threadBuf) {
    PortState* state = GetPortState(port);
    if (state == nullptr) return 0;
    return HandleMeasurementFrame(*state, threadBuf);
}

}  // namespace kestrel
