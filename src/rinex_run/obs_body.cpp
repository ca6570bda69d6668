// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_run/obs_body.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include <unistd.h>

namespace kestrel {
namespace {

// One epoch as kept in the scratch file until the header is known: this head, then `bytes`
// bytes of satellite records, each a StoredSat and, in type order, the values its `present`
// bits name (the strength, a whole number of dB-Hz, is in the record).
struct StoredEpoch {
    double sow;
    int32_t week;
    uint8_t satCount;
    uint8_t hasClock;
    uint16_t bytes;
    double clockS;
};
struct StoredSat {
    uint8_t prn;
    uint8_t present;   // bit i: a value of RinexObsType i
    uint8_t lli;       // bit 0: lock lost on L1, bit 1: on L2
    uint8_t strength;  // strength figure, dB-Hz
};
constexpr uint8_t kLockLost = 1;  // loss-of-lock indicator bit 0
constexpr uint8_t kLockLostL2 = 2;
// The longest epoch's satellite records: every type of every block.
constexpr std::size_t kMostEpochBytes =
    kMaxEpochSatellites * (sizeof(StoredSat) + kRinexObsTypeCount * sizeof(double));

// The file's types are the observation epoch's values, in the same order.
static_assert(kRinexObsTypeCount == kObservableCount);
static_assert(static_cast<int>(RinexObsType::kC1) == static_cast<int>(Observable::kC1) &&
              static_cast<int>(RinexObsType::kL1) == static_cast<int>(Observable::kL1) &&
              static_cast<int>(RinexObsType::kD1) == static_cast<int>(Observable::kD1) &&
              static_cast<int>(RinexObsType::kS1) == static_cast<int>(Observable::kS1) &&
              static_cast<int>(RinexObsType::kP1) == static_cast<int>(Observable::kP1) &&
              static_cast<int>(RinexObsType::kP2) == static_cast<int>(Observable::kP2) &&
              static_cast<int>(RinexObsType::kL2) == static_cast<int>(Observable::kL2));
constexpr auto kS1 = static_cast<std::size_t>(RinexObsType::kS1);
constexpr auto kL1 = static_cast<std::size_t>(RinexObsType::kL1);
constexpr auto kL2 = static_cast<std::size_t>(RinexObsType::kL2);

uint8_t StrengthDigit(double dbHz) {
    // 1: below 12 dB-Hz, then one digit per 6 dB-Hz up to 9 at 54 dB-Hz and above.
    const int digit = static_cast<int>(std::floor(dbHz / 6.0));
    return static_cast<uint8_t>(std::clamp(digit, 1, 9));
}

enum class Read { kEpoch, kEnd, kDamaged };

// Reads one stored epoch back into `epoch`.
Read ReadEpoch(std::FILE* body, RinexObsEpoch& epoch) {
    StoredEpoch head;
    uint8_t packed[kMostEpochBytes];
    if (std::fread(&head, sizeof head, 1, body) != 1) return std::ferror(body) ? Read::kDamaged : Read::kEnd;
    if (head.satCount > kMaxEpochSatellites || head.bytes > sizeof packed ||
        std::fread(packed, 1, head.bytes, body) != head.bytes) {
        return Read::kDamaged;
    }
    epoch.time = GpsTime{head.week, head.sow};
    epoch.flag = 0;
    epoch.clockOffsetS = head.hasClock ? std::optional<double>(head.clockS) : std::nullopt;
    epoch.satellites.resize(head.satCount);
    std::size_t at = 0;
    for (RinexSatObs& o : epoch.satellites) {
        StoredSat s;
        std::memcpy(&s, packed + at, sizeof s);
        at += sizeof s;
        o.prn = s.prn;
        for (std::size_t t = 0; t < kRinexObsTypeCount; ++t) {
            RinexObsValue& v = o.values[t];
            v.present = (s.present & (1u << t)) != 0;
            if (!v.present) continue;
            if (t == kS1) {
                v.value = s.strength;
            } else {
                std::memcpy(&v.value, packed + at, sizeof(double));
                at += sizeof(double);
            }
        }
        o.values[kL1].lli = s.lli & kLockLost;
        o.values[kL1].strength = StrengthDigit(s.strength);
        o.values[kL2].lli = (s.lli & kLockLostL2) != 0 ? kLockLost : 0;
    }
    return Read::kEpoch;
}

}  // namespace

ObsTotals& ObsTotals::operator+=(const ObsTotals& o) {
    epochs += o.epochs;
    observations += o.observations;
    l1Slips += o.l1Slips;
    l2Slips += o.l2Slips;
    solutions += o.solutions;
    return *this;
}

void ObsBody::Add(const ObservationEpoch& epoch) {
    // The satellite records, packed: a StoredSat, then the values present in type order.
    uint8_t packed[kMostEpochBytes];
    std::size_t bytes = 0;
    const uint8_t dropped = doppler_ ? 0 : SatelliteObservation::Bit(Observable::kD1);
    for (int i = 0; i < epoch.satCount; ++i) {
        const SatelliteObservation& sat = epoch.sats[static_cast<std::size_t>(i)];
        StoredSat s{static_cast<uint8_t>(sat.prn), static_cast<uint8_t>(sat.present & ~dropped), 0,
                    static_cast<uint8_t>(sat.Value(Observable::kS1))};
        if (sat.LossOfLock(Carrier::kL1)) s.lli |= kLockLost;
        if (sat.LossOfLock(Carrier::kL2)) s.lli |= kLockLostL2;
        totals_.l1Slips += sat.Slip(Carrier::kL1) ? 1 : 0;
        totals_.l2Slips += sat.Slip(Carrier::kL2) ? 1 : 0;
        anyP1_ = anyP1_ || sat.Has(Observable::kP1);
        std::memcpy(packed + bytes, &s, sizeof s);
        bytes += sizeof s;
        RinexSatCount& c = counts_[static_cast<std::size_t>(sat.prn)];
        c.prn = sat.prn;
        for (std::size_t t = 0; t < kRinexObsTypeCount; ++t) {
            if ((s.present & (1u << t)) == 0) continue;
            ++c.counts[t];
            if (t == kS1) continue;
            std::memcpy(packed + bytes, &sat.values[t], sizeof(double));
            bytes += sizeof(double);
        }
    }
    StoredEpoch head{};
    head.sow = epoch.time.sow;
    head.week = epoch.time.week;
    head.satCount = static_cast<uint8_t>(epoch.satCount);
    head.bytes = static_cast<uint16_t>(bytes);
    if (const auto clockS = epoch.ClockOffsetS()) {
        head.hasClock = 1;
        head.clockS = *clockS;
    }
    if (scratch_ != nullptr && scratchError_ == 0) {
        errno = 0;
        if (std::fwrite(&head, sizeof head, 1, scratch_) != 1 || std::fwrite(packed, 1, bytes, scratch_) != bytes) {
            scratchError_ = ErrnoOrIo();
        }
    }
    if (epoch.positionM) {
        positions_.Add(*epoch.positionM);
        ++totals_.solutions;
    }
    if (totals_.epochs == 0) first_ = epoch.time;
    if (totals_.epochs > 0) spacings_.Add(epoch.time.Total() - last_.Total());
    last_ = epoch.time;
    ++totals_.epochs;
    totals_.observations += epoch.satCount;
}

bool ObsBody::Write(RunOutput& out, const RinexObsHeader& header) {
    std::string text;
    text.reserve(kWriteBufferBytes + 65536);
    if (!AppendRinexObsHeader(text, header)) return false;
    std::rewind(scratch_);
    RinexObsEpoch epoch;
    epoch.satellites.reserve(kMaxEpochSatellites);
    for (;;) {
        const Read read = ReadEpoch(scratch_, epoch);
        if (read == Read::kDamaged) return false;
        if (read == Read::kEnd) break;
        if (!AppendRinexObsEpoch(text, header, epoch)) return false;
        if (text.size() >= kWriteBufferBytes) {
            if (!out.Write(text)) return false;
            text.clear();
        }
    }
    return out.Write(text);
}

bool ObsBody::Clear() {
    totals_ = ObsTotals{};
    spacings_ = SpacingCounter{};
    anyP1_ = false;
    counts_ = {};
    positions_ = EvenSampler<std::array<double, 3>, kPositionSamples>{};
    if (scratch_ == nullptr) return true;
    std::fflush(scratch_);
    const bool emptied = ftruncate(fileno(scratch_), 0) == 0;
    std::rewind(scratch_);
    return emptied;
}

int ObsBody::FlushScratch() { return kestrel::FlushScratch(scratch_, scratchError_); }

std::vector<RinexSatCount> ObsBody::SatCounts() const {
    std::vector<RinexSatCount> out;
    for (int prn = kFirstGpsPrn; prn <= kLastGpsPrn; ++prn) {
        if (counts_[static_cast<std::size_t>(prn)].prn != 0) out.push_back(counts_[static_cast<std::size_t>(prn)]);
    }
    return out;
}

}  // namespace kestrel
