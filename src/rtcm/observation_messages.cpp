// SPDX-License-Identifier: BSD-2-Clause
#include "rtcm/observation_messages.h"

#include <algorithm>
#include <cmath>

#include "positioning/position_record.h"
#include "rtcm/bits.h"
#include "rtcm/scaling.h"

namespace kestrel::rtcm {
namespace {

// Carrier frequencies as decoders turn metres back into cycles.
constexpr double kL1FrequencyHz = 1575.42e6;
constexpr double kL2FrequencyHz = 1227.60e6;
constexpr double kWavelengthM[kCarrierCount] = {kSpeedOfLight / kL1FrequencyHz, kSpeedOfLight / kL2FrequencyHz};

constexpr int64_t kMsPerWeek = 604800000;
constexpr double kLightMsM = kSpeedOfLight * 0.001;  // range of one light millisecond
constexpr double kRolloverCycles = 1500.0;          // the phase's step when it outgrows its field
// The most whole cycles ever added to a phase: far beyond any receiver's phase, and well inside
// the integers a double holds exactly.
constexpr double kLargestOffsetCycles = 0x1p40;
// Epoch time tags jitter by a millisecond or so as the receiver's clock is steered: a lock
// that has lasted one epoch of 1 s must not read as less than 1 s.
constexpr int64_t kTimeTagJitterMs = 5;

constexpr int kHeaderNumberBits = 12;
constexpr int kStationBits = 12;
constexpr int kTowBits = 30;

// ---- 1004 ----
constexpr double kLegacyRangeUnitM = 0.02;
constexpr int kLegacyRangeBits = 24;
constexpr double kLegacyPhaseUnitM = 0.0005;
constexpr int kLegacyPhaseBits = 20;
constexpr int kLegacyL2DeltaBits = 14;
constexpr int kLegacyAmbiguityMax = 255;      // 8-bit count of light milliseconds
constexpr double kLegacyCnrUnit = 0.25;       // dB-Hz
constexpr int kL1CodeCa = 0;
constexpr int kL2CodeCorrelatedPY = 3;        // semi-codeless P(Y): the receiver's L2 P

// ---- MSM ----
constexpr int kMsmNumberBase = 1070;          // GPS: 1071..1077
constexpr int kRoughRangeMaxMs = 254;
constexpr double kRoughRangeUnitMs = 1.0 / 1024.0;
constexpr int kRoughRateInvalid = -8192;      // 14 bits, m/s
constexpr int kRoughRateBits = 14;
constexpr double kFineRateUnit = 0.0001;      // m/s
constexpr int kFineRateBits = 15;
constexpr int kClockSteeringUnknown = 2;
constexpr int kExtendedInfoGps = 0;

// The signals a NavCom satellite block gives, by MSM signal id, with the range and the
// carrier of each.
enum Signal : int { k1C = 2, k1W = 4, k2W = 10 };
constexpr int kSignalCount = 3;
constexpr int kSignals[kSignalCount] = {k1C, k1W, k2W};
constexpr Observable kSignalCodes[kSignalCount] = {Observable::kC1, Observable::kP1, Observable::kP2};
constexpr Carrier kSignalCarriers[kSignalCount] = {Carrier::kL1, Carrier::kL1, Carrier::kL2};

// One message always holds a whole epoch: every satellite a MEASUREMENT frame can carry, with
// every signal, fits the MSM's 64 cells and the 1004's 31 satellites.
static_assert(kMaxEpochSatellites * kSignalCount <= 64 && kMaxEpochSatellites <= 31);

// Field widths and units of MSM4 and MSM7.
struct MsmFormat {
    int finePseudorangeBits;
    double finePseudorangeUnitMs;
    int finePhaseBits;
    double finePhaseUnitMs;
    int lockBits;
    int cnrBits;
    double cnrUnit;  // dB-Hz
    bool rates;      // satellite and signal phase-range rates, extended satellite info
};
constexpr MsmFormat kMsm4 = {15, 0x1p-24, 22, 0x1p-29, 4, 6, 1.0, false};
constexpr MsmFormat kMsm7 = {20, 0x1p-29, 24, 0x1p-31, 10, 10, 0.0625, true};

int64_t InvalidSigned(int bits) { return -(int64_t{1} << (bits - 1)); }

// The largest count of `unit` metres a signed field of `bits` bits carries.
double FieldLimitM(int bits, double unitM) { return (std::ldexp(1.0, bits - 1) - 1.0) * unitM; }

int64_t EpochMs(const GpsTime& t) { return static_cast<int64_t>(std::llround(t.Total() * 1000.0)); }

uint64_t TowMs(int64_t epochMs) { return static_cast<uint64_t>(((epochMs % kMsPerWeek) + kMsPerWeek) % kMsPerWeek); }

}  // namespace

int MessageNumber(ObservationKind kind) {
    switch (kind) {
        case ObservationKind::k1004:
            return 1004;
        case ObservationKind::kMsm4:
            return kMsmNumberBase + 4;
        case ObservationKind::kMsm7:
            return kMsmNumberBase + 7;
    }
    return 0;
}

int LegacyLockIndicator(int64_t ms) {
    // Whole seconds; then steps of 2, 4, 8, 16 and 32 s, each 24 indicators long, until 937 s.
    const int64_t s = std::max<int64_t>(ms, 0) / 1000;
    if (s < 24) return static_cast<int>(s);
    if (s < 72) return static_cast<int>((s + 24) / 2);
    if (s < 168) return static_cast<int>((s + 120) / 4);
    if (s < 360) return static_cast<int>((s + 408) / 8);
    if (s < 744) return static_cast<int>((s + 1176) / 16);
    if (s < 937) return static_cast<int>((s + 3096) / 32);
    return 127;
}

int MsmLockIndicator(int64_t ms) {
    // 0 below 32 ms, then one step for each doubling, 15 from 524.288 s on.
    int indicator = 0;
    for (int64_t bound = 32; indicator < 15 && ms >= bound; bound *= 2) ++indicator;
    return indicator;
}

int MsmExtendedLockIndicator(int64_t ms) {
    // Milliseconds up to 63; then 32 indicators per doubling of the lock time, each step twice
    // the one before, up to 704 from 67108.864 s on.
    if (ms < 64) return static_cast<int>(std::max<int64_t>(ms, 0));
    int64_t start = 64;
    for (int range = 1; range <= 20; ++range, start *= 2) {
        if (ms < 2 * start) return static_cast<int>(64 + 32 * (range - 1) + (ms - start) / (int64_t{1} << range));
    }
    return 704;
}

ObservationEncoder::ObservationEncoder(ObservationKind kind, int stationId) : kind_(kind), stationId_(stationId & 0xFFF) {}

bool ObservationEncoder::Append(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out) {
    Track(epoch, true);
    return kind_ == ObservationKind::k1004 ? AppendLegacy(epoch, moreFollow, out) : AppendMsm(epoch, moreFollow, out);
}

void ObservationEncoder::Skip(const ObservationEpoch& epoch) { Track(epoch, false); }

void ObservationEncoder::Track(const ObservationEpoch& epoch, bool sent) {
    const int64_t epochMs = EpochMs(epoch.time);
    for (int i = 0; i < std::min(epoch.satCount, kMaxEpochSatellites); ++i) {
        const SatelliteObservation& sat = epoch.sats[static_cast<std::size_t>(i)];
        if (!IsGpsPrn(sat.prn)) continue;
        for (const Carrier carrier : {Carrier::kL1, Carrier::kL2}) {
            if (!sat.HasPhase(carrier)) continue;
            CarrierState& c = state_[static_cast<std::size_t>(sat.prn)][static_cast<std::size_t>(carrier)];
            if (!c.locked || sat.LossOfLock(carrier) || epochMs < c.lockStartMs) c.lossPending = true;
            if (sent && c.lossPending) {
                c.locked = true;
                c.lossPending = false;
                c.lockStartMs = epochMs;
                c.offsetCycles = 0.0;
            }
        }
    }
}

bool ObservationEncoder::Phase(CarrierState& c, const SatelliteObservation& sat, Carrier carrier, double referenceM,
                               double limitM, int64_t epochMs, double& phaseM) {
    if (!sat.HasPhase(carrier) || !c.locked) return false;
    const double lambda = kWavelengthM[static_cast<std::size_t>(carrier)];
    const double cycles = sat.Value(carrier == Carrier::kL1 ? Observable::kL1 : Observable::kL2);
    phaseM = (cycles + c.offsetCycles) * lambda;
    const double apart = phaseM - referenceM;
    if (std::fabs(apart) <= limitM) return true;
    // Out of the field's reach: move the phase by whole steps of 1500 cycles towards the
    // range; the ambiguity changes, so lock starts afresh.
    const double offset = c.offsetCycles - std::round(apart / (kRolloverCycles * lambda)) * kRolloverCycles;
    phaseM = (cycles + offset) * lambda;
    if (std::fabs(offset) <= kLargestOffsetCycles && std::fabs(phaseM - referenceM) <= limitM) {
        c.offsetCycles = offset;
        c.lockStartMs = epochMs;
        ++rollovers_;
        return true;
    }
    // A value no receiver gives (not a number, or so far from the range that whole cycles are
    // no longer exact): no phase, and lock starts afresh at the next one.
    c.locked = false;
    c.offsetCycles = 0.0;
    return false;
}

void ObservationEncoder::PutHeader(BitWriter& w, int64_t epochMs, bool moreFollow) const {
    w.Unsigned(static_cast<uint64_t>(MessageNumber(kind_)), kHeaderNumberBits);
    w.Unsigned(static_cast<uint64_t>(stationId_), kStationBits);
    w.Unsigned(TowMs(epochMs), kTowBits);
    w.Unsigned(moreFollow ? 1 : 0, 1);  // the 1004's synchronous flag, the MSM's multiple message bit
}

int64_t ObservationEncoder::LockMs(const CarrierState& c, int64_t epochMs) const {
    if (!c.locked || epochMs <= c.lockStartMs) return 0;
    return epochMs - c.lockStartMs + kTimeTagJitterMs;
}

bool ObservationEncoder::AppendLegacy(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out) {
    const int64_t epochMs = EpochMs(epoch.time);
    // The satellites the message can carry: an L1 C/A range within 256 light milliseconds.
    std::vector<const SatelliteObservation*> sats;
    for (int i = 0; i < std::min(epoch.satCount, kMaxEpochSatellites); ++i) {
        const SatelliteObservation& sat = epoch.sats[static_cast<std::size_t>(i)];
        if (!IsGpsPrn(sat.prn)) continue;
        const double range = sat.Value(Observable::kC1);
        if (!sat.Has(Observable::kC1) || !(range >= 0.0 && range < (kLegacyAmbiguityMax + 1) * kLightMsM)) {
            ++leftOut_;
            continue;
        }
        sats.push_back(&sat);
    }
    // In PRN order; a PRN named twice (a damaged frame) goes out once, as first named.
    std::stable_sort(sats.begin(), sats.end(), [](const auto* a, const auto* b) { return a->prn < b->prn; });
    const auto repeated = std::unique(sats.begin(), sats.end(), [](const auto* a, const auto* b) { return a->prn == b->prn; });
    leftOut_ += sats.end() - repeated;
    sats.erase(repeated, sats.end());
    if (sats.empty()) return false;

    const double phaseLimitM = FieldLimitM(kLegacyPhaseBits, kLegacyPhaseUnitM);
    std::vector<uint8_t> payload;
    {
        BitWriter w(payload);
        PutHeader(w, epochMs, moreFollow);
        w.Unsigned(sats.size(), 5);
        w.Unsigned(0, 1);  // no divergence-free smoothing
        w.Unsigned(0, 3);  // smoothing interval
        for (const SatelliteObservation* sat : sats) {
            Carriers& carriers = state_[static_cast<std::size_t>(sat->prn)];
            const double c1 = sat->Value(Observable::kC1);
            const double ambiguity = std::floor(c1 / kLightMsM);
            const uint64_t range = SaturatedUnsigned((c1 - ambiguity * kLightMsM) / kLegacyRangeUnitM, kLegacyRangeBits);
            // Phases and the L2 range count from the L1 range as the decoder rebuilds it.
            const double sentRange = ambiguity * kLightMsM + static_cast<double>(range) * kLegacyRangeUnitM;
            int64_t phase[kCarrierCount] = {InvalidSigned(kLegacyPhaseBits), InvalidSigned(kLegacyPhaseBits)};
            for (const Carrier carrier : {Carrier::kL1, Carrier::kL2}) {
                double phaseM = 0.0;
                if (Phase(carriers[static_cast<std::size_t>(carrier)], *sat, carrier, sentRange, phaseLimitM, epochMs, phaseM))
                    phase[static_cast<std::size_t>(carrier)] = SaturatedSigned((phaseM - sentRange) / kLegacyPhaseUnitM, kLegacyPhaseBits);
            }
            const double l2Apart = (sat->Value(Observable::kP2) - sentRange) / kLegacyRangeUnitM;
            const int64_t l2Delta = sat->Has(Observable::kP2) && FitsSigned(l2Apart, kLegacyL2DeltaBits)
                                        ? SaturatedSigned(l2Apart, kLegacyL2DeltaBits)
                                        : InvalidSigned(kLegacyL2DeltaBits);
            const uint64_t cnr = sat->Has(Observable::kS1) ? SaturatedUnsigned(sat->Value(Observable::kS1) / kLegacyCnrUnit, 8) : 0;
            w.Unsigned(static_cast<uint64_t>(sat->prn), 6);
            w.Unsigned(kL1CodeCa, 1);
            w.Unsigned(range, kLegacyRangeBits);
            w.Signed(phase[0], kLegacyPhaseBits);
            w.Unsigned(static_cast<uint64_t>(LegacyLockIndicator(LockMs(carriers[0], epochMs))), 7);
            w.Unsigned(static_cast<uint64_t>(ambiguity), 8);
            w.Unsigned(cnr, 8);
            w.Unsigned(kL2CodeCorrelatedPY, 2);
            w.Signed(l2Delta, kLegacyL2DeltaBits);
            w.Signed(phase[1], kLegacyPhaseBits);
            w.Unsigned(static_cast<uint64_t>(LegacyLockIndicator(LockMs(carriers[1], epochMs))), 7);
            w.Unsigned(0, 8);  // no L2 strength: the receiver gives one per satellite, on L1
        }
    }
    AppendFrame(out, payload.data(), payload.size());
    return true;
}

bool ObservationEncoder::AppendMsm(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out) {
    const MsmFormat& format = kind_ == ObservationKind::kMsm7 ? kMsm7 : kMsm4;
    const int64_t epochMs = EpochMs(epoch.time);

    // Each satellite's signals and its rough range: the first of C1, P1 and P2 it has, in
    // whole 1/1024 light milliseconds, at most 254 ms and 1023/1024.
    struct Sat {
        const SatelliteObservation* obs;
        std::array<bool, kSignalCount> signal;
        int64_t roughRange;
        int64_t roughRate;  // m/s
    };
    std::vector<Sat> sats;
    std::array<bool, kSignalCount> used{};
    for (int i = 0; i < std::min(epoch.satCount, kMaxEpochSatellites); ++i) {
        const SatelliteObservation& o = epoch.sats[static_cast<std::size_t>(i)];
        if (!IsGpsPrn(o.prn)) continue;
        const Observable code = o.Has(Observable::kC1) ? Observable::kC1
                                : o.Has(Observable::kP1) ? Observable::kP1
                                                         : Observable::kP2;
        const double rough = o.Value(code) / kLightMsM / kRoughRangeUnitMs;
        if (!o.Has(code) || !(rough >= 0.0 && rough < (kRoughRangeMaxMs + 1) / kRoughRangeUnitMs - 0.5)) {
            ++leftOut_;
            continue;
        }
        Sat s{&o, {}, std::llround(rough), kRoughRateInvalid};
        s.signal[0] = o.Has(Observable::kC1) || o.HasPhase(Carrier::kL1);
        s.signal[1] = o.Has(Observable::kP1);
        s.signal[2] = o.Has(Observable::kP2) || o.HasPhase(Carrier::kL2);
        // Phase-range rate: the range's rate of change, the Doppler's opposite.
        const double rate = -o.Value(Observable::kD1) * kWavelengthM[0];
        if (format.rates && o.Has(Observable::kD1) && FitsSigned(rate, kRoughRateBits)) s.roughRate = std::llround(rate);
        sats.push_back(s);
    }
    std::stable_sort(sats.begin(), sats.end(), [](const Sat& a, const Sat& b) { return a.obs->prn < b.obs->prn; });
    const auto repeated = std::unique(sats.begin(), sats.end(), [](const Sat& a, const Sat& b) { return a.obs->prn == b.obs->prn; });
    leftOut_ += sats.end() - repeated;
    sats.erase(repeated, sats.end());
    if (sats.empty()) return false;
    for (const Sat& s : sats) {
        for (int k = 0; k < kSignalCount; ++k) used[k] = used[k] || s.signal[k];
    }

    const double pseudorangeUnitM = format.finePseudorangeUnitMs * kLightMsM;
    const double phaseUnitM = format.finePhaseUnitMs * kLightMsM;
    const double phaseLimitM = FieldLimitM(format.finePhaseBits, phaseUnitM);
    std::vector<uint8_t> payload;
    {
        BitWriter w(payload);
        PutHeader(w, epochMs, moreFollow);
        w.Unsigned(0, 3);  // issue of data station
        w.Unsigned(0, 7);  // reserved
        w.Unsigned(kClockSteeringUnknown, 2);
        w.Unsigned(0, 2);  // internal clock
        w.Unsigned(0, 1);  // no divergence-free smoothing
        w.Unsigned(0, 3);  // smoothing interval
        uint64_t satMask = 0;
        for (const Sat& s : sats) satMask |= uint64_t{1} << (64 - s.obs->prn);
        w.Unsigned(satMask, 64);
        uint32_t signalMask = 0;
        for (int k = 0; k < kSignalCount; ++k) signalMask |= used[k] ? 1u << (32 - kSignals[k]) : 0u;
        w.Unsigned(signalMask, 32);
        for (const Sat& s : sats) {
            for (int k = 0; k < kSignalCount; ++k) {
                if (used[k]) w.Unsigned(s.signal[k] ? 1 : 0, 1);
            }
        }

        // Satellite data: whole milliseconds, [extended info], fractions, [rough rates].
        for (const Sat& s : sats) w.Unsigned(static_cast<uint64_t>(s.roughRange >> 10), 8);
        if (format.rates) {
            for (std::size_t i = 0; i < sats.size(); ++i) w.Unsigned(kExtendedInfoGps, 4);
        }
        for (const Sat& s : sats) w.Unsigned(static_cast<uint64_t>(s.roughRange & 1023), 10);
        if (format.rates) {
            for (const Sat& s : sats) w.Signed(s.roughRate, kRoughRateBits);
        }

        // Signal data, one field at a time over every cell: satellite by satellite, signals in
        // id order within each.
        struct Cell {
            int64_t pseudorange, phase, lock, cnr, rate;
        };
        std::vector<Cell> cells;
        for (const Sat& s : sats) {
            const SatelliteObservation& o = *s.obs;
            Carriers& carriers = state_[static_cast<std::size_t>(o.prn)];
            const double roughM = static_cast<double>(s.roughRange) * kRoughRangeUnitMs * kLightMsM;
            for (int k = 0; k < kSignalCount; ++k) {
                if (!s.signal[k]) continue;
                Cell cell{};
                const Observable code = kSignalCodes[k];
                const Carrier carrier = kSignalCarriers[k];
                CarrierState& c = carriers[static_cast<std::size_t>(carrier)];
                const double fineRange = (o.Value(code) - roughM) / pseudorangeUnitM;
                cell.pseudorange = o.Has(code) && FitsSigned(fineRange, format.finePseudorangeBits)
                                       ? SaturatedSigned(fineRange, format.finePseudorangeBits)
                                       : InvalidSigned(format.finePseudorangeBits);
                // The P-code range on L1 comes without a phase of its own.
                double phaseM = 0.0;
                const bool phase = kSignals[k] != k1W && Phase(c, o, carrier, roughM, phaseLimitM, epochMs, phaseM);
                cell.phase = phase ? SaturatedSigned((phaseM - roughM) / phaseUnitM, format.finePhaseBits)
                                   : InvalidSigned(format.finePhaseBits);
                const int64_t lockMs = LockMs(c, epochMs);
                cell.lock = format.rates ? MsmExtendedLockIndicator(lockMs) : MsmLockIndicator(lockMs);
                // One strength per satellite, the L1 C/A signal's.
                cell.cnr = kSignals[k] == k1C && o.Has(Observable::kS1)
                               ? static_cast<int64_t>(SaturatedUnsigned(o.Value(Observable::kS1) / format.cnrUnit, format.cnrBits))
                               : 0;
                const double rate = -o.Value(Observable::kD1) * kWavelengthM[0];
                cell.rate = kSignals[k] == k1C && s.roughRate != kRoughRateInvalid
                                ? SaturatedSigned((rate - static_cast<double>(s.roughRate)) / kFineRateUnit, kFineRateBits)
                                : InvalidSigned(kFineRateBits);
                cells.push_back(cell);
            }
        }
        for (const Cell& c : cells) w.Signed(c.pseudorange, format.finePseudorangeBits);
        for (const Cell& c : cells) w.Signed(c.phase, format.finePhaseBits);
        for (const Cell& c : cells) w.Unsigned(static_cast<uint64_t>(c.lock), format.lockBits);
        for (std::size_t i = 0; i < cells.size(); ++i) w.Unsigned(0, 1);  // no half-cycle ambiguity
        for (const Cell& c : cells) w.Unsigned(static_cast<uint64_t>(c.cnr), format.cnrBits);
        if (format.rates) {
            for (const Cell& c : cells) w.Signed(c.rate, kFineRateBits);
        }
    }
    AppendFrame(out, payload.data(), payload.size());
    return true;
}

}  // namespace kestrel::rtcm
