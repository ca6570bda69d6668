// SPDX-License-Identifier: BSD-2-Clause
// Bytes through the frame parser of port 0, drained after every record as the conversion
// driver drains them. The first byte chooses the port's option switches; the rest is the
// stream. Besides the sanitizers, checks what the decoder hands out: results, record
// counts, PRNs, flags, and the shape of every message.
#include <cstring>

#include "common/gps_prn.h"
#include "fuzz_support.h"
#include "navcom/frame_parser.h"
#include "positioning/eph_store.h"
#include "support/decoder_harness.h"

namespace {

using kestrel::fuzz::Fail;

constexpr int32_t kPort = 0;
constexpr int32_t kMaxSatellites = 15;
constexpr int32_t kLockInfoKind = 7;
constexpr std::size_t kErrorTextBytes = KESTREL_ERROR_TEXT_SIZE;

void KESTREL_STDCALL OnMessage(double time, const char* text) {
    if (text == nullptr) Fail("message without text");
    if (strnlen(text, kErrorTextBytes) >= kErrorTextBytes) Fail("message longer than the error text buffer");
    if (time != -1.0 && !(time >= 0.0)) Fail("message time %f is neither -1 nor a time of week", time);
}

void CheckEpoch(const kestrel::test::DrainedEpoch& epoch, const OptionRecord& options) {
    const EpochHeader& h = epoch.header;
    const auto n = static_cast<int32_t>(epoch.observations.size());
    if (h.sat_count != n || n < 1 || n > kMaxSatellites) Fail("epoch with sat_count %d and %d observations", h.sat_count, n);
    if (epoch.lockInfo.size() != epoch.observations.size()) Fail("%zu lock records for %d observations", epoch.lockInfo.size(), n);
    const bool marked = (h.flags & KESTREL_EPOCH_FLAG_MARKED) != 0;
    if (marked != (options.flagEpochs != 0)) Fail("epoch flags 0x%x with flagEpochs %d", h.flags, options.flagEpochs);
    if ((h.flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED) != 0 && options.clockCorrection == 0) {
        Fail("epoch marked clock-corrected with clock correction off");
    }
    for (const SatObservation& obs : epoch.observations) {
        if (!kestrel::IsGpsPrn(obs.prn)) Fail("observation of PRN %d", obs.prn);
    }
    for (const SatLockInfo& lock : epoch.lockInfo) {
        if (lock.info_kind != kLockInfoKind || lock.strength < 35.0 || lock.strength > 50.0) {
            Fail("lock record of kind %d, strength %f", lock.info_kind, lock.strength);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace kestrel;
    if (size == 0) return 0;
    const OptionRecord options = fuzz::OptionsFromByte(data[0]);
    // Each input starts as a conversion does: an empty store and a freshly opened port.
    eph_store_clear();
    if (OpenPort(kPort, OnMessage) != 0) Fail("OpenPort failed");
    SetPortOptions(kPort, &options, sizeof options);

    test::PortFeeder feeder(kPort);
    for (std::size_t i = 1; i < size; ++i) {
        const int32_t r = feeder.FeedOne(data[i]);
        if (r < 0 || r > 2) Fail("FeedByte returned %d", r);
    }
    for (const auto& epoch : feeder.epochs) CheckEpoch(epoch, options);
    for (const GpsEphRecord& eph : feeder.ephemerides) {
        if (eph.Prn < 1 || eph.Prn > 32 || eph.Filler != 9999) Fail("ephemeris of PRN %d, filler %d", eph.Prn, eph.Filler);
    }
    return 0;
}
