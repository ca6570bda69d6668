// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/rtcm3.h"

#include <algorithm>
#include <cmath>

namespace kestrel::rinex {

namespace {

constexpr uint32_t kCrc24qPolynomial = 0x1864CFB;
constexpr double kPi = 3.141592653589793;
constexpr double kLightMillisecondM = 299792.458;   // range ambiguity unit of the 1004 message
constexpr double kRangeUnitM = 0.02;
constexpr double kPhaseUnitM = 0.0005;
constexpr double kSpeedOfLight = 299792458.0;
constexpr double kL1FrequencyHz = 1575420000.0;
constexpr double kL2FrequencyHz = 1227600000.0;
constexpr int kPhaseBits = 20;
constexpr int kL2DeltaBits = 14;
constexpr int kMaxSatellitesIn1004 = 31;
constexpr int kCodeIndicatorL2P = 1;  // P(Y) code, direct
constexpr int kInvalidPhase = -(1 << (kPhaseBits - 1));  // 0x80000: no phase
constexpr int kInvalidL2Delta = -(1 << (kL2DeltaBits - 1));  // 0x2000: no L2 range
constexpr int kBroadcastWeekModulus = 1024;

int64_t Rounded(double v) { return static_cast<int64_t>(std::llround(v)); }

bool FitsSigned(int64_t v, int bits) {
    const int64_t limit = int64_t{1} << (bits - 1);
    return v > -limit && v < limit;  // the most negative value marks "invalid"
}

int64_t ClampSigned(double v, int bits) {
    const int64_t limit = (int64_t{1} << (bits - 1)) - 1;
    return std::clamp<int64_t>(Rounded(v), -limit, limit);
}

uint64_t ClampUnsigned(double v, int bits) {
    const int64_t limit = (int64_t{1} << bits) - 1;
    return static_cast<uint64_t>(std::clamp<int64_t>(Rounded(v), 0, limit));
}

int CnrUnits(double dbHz) { return static_cast<int>(ClampUnsigned(dbHz * 4.0, 8)); }

}  // namespace

uint32_t Crc24q(const uint8_t* data, std::size_t n) {
    uint32_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc <<= 1;
            if (crc & 0x1000000) crc ^= kCrc24qPolynomial;
        }
    }
    return crc & 0xFFFFFF;
}

void BitWriter::Put(uint64_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
        if (bits_ % 8 == 0) bytes_.push_back(0);
        if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
        ++bits_;
    }
}

void BitWriter::PutSigned(int64_t value, int bits) { Put(static_cast<uint64_t>(value), bits); }

std::vector<uint8_t> RtcmFrame(const std::vector<uint8_t>& payload) {
    if (payload.size() > kRtcmMaxPayload) return {};
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 6);
    frame.push_back(kRtcmPreamble);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint32_t crc = Crc24q(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc >> 16));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc));
    return frame;
}

int RtcmLockIndicator(double seconds) {
    const int t = seconds > 0.0 ? static_cast<int>(seconds) : 0;
    if (t < 24) return t;
    if (t < 72) return (t + 24) / 2;
    if (t < 168) return (t + 120) / 4;
    if (t < 360) return (t + 408) / 8;
    if (t < 744) return (t + 1176) / 16;
    if (t < 937) return (t + 3096) / 32;
    return 127;
}

std::vector<uint8_t> EncodeRtcm1004(uint32_t towMs, const std::vector<RtcmObservation>& sats) {
    const int count = std::min<int>(static_cast<int>(sats.size()), kMaxSatellitesIn1004);
    BitWriter w;
    w.Put(1004, 12);
    w.Put(0, 12);        // reference station id
    w.Put(towMs, 30);
    w.Put(0, 1);         // no further observables of this epoch follow
    w.Put(static_cast<uint64_t>(count), 5);
    w.Put(0, 1);         // no divergence-free smoothing
    w.Put(0, 3);         // smoothing interval
    constexpr double l1Wavelength = kSpeedOfLight / kL1FrequencyHz;
    constexpr double l2Wavelength = kSpeedOfLight / kL2FrequencyHz;
    for (int i = 0; i < count; ++i) {
        const RtcmObservation& s = sats[static_cast<std::size_t>(i)];
        const double ambiguity = std::floor(s.l1Range / kLightMillisecondM);
        const int64_t range = Rounded((s.l1Range - ambiguity * kLightMillisecondM) / kRangeUnitM);
        // The range the receiving side rebuilds, from which the phase differences count.
        const double sent = ambiguity * kLightMillisecondM + static_cast<double>(range) * kRangeUnitM;
        int64_t l1Phase = kInvalidPhase;
        if (s.l1Phase != 0.0) {
            const int64_t d = Rounded((s.l1Phase * l1Wavelength - sent) / kPhaseUnitM);
            if (FitsSigned(d, kPhaseBits)) l1Phase = d;
        }
        int64_t l2Delta = kInvalidL2Delta;
        int64_t l2Phase = kInvalidPhase;
        if (s.l2Range != 0.0) {
            const int64_t d = Rounded((s.l2Range - sent) / kRangeUnitM);
            if (FitsSigned(d, kL2DeltaBits)) l2Delta = d;
            if (s.l2Phase != 0.0) {
                const int64_t p = Rounded((s.l2Phase * l2Wavelength - sent) / kPhaseUnitM);
                if (FitsSigned(p, kPhaseBits)) l2Phase = p;
            }
        }
        w.Put(static_cast<uint64_t>(s.prn), 6);
        w.Put(0, 1);  // C/A code
        w.Put(static_cast<uint64_t>(range), 24);
        w.PutSigned(l1Phase, kPhaseBits);
        w.Put(static_cast<uint64_t>(RtcmLockIndicator(s.l1LockSeconds)), 7);
        w.Put(static_cast<uint64_t>(ambiguity), 8);
        w.Put(static_cast<uint64_t>(CnrUnits(s.l1Cnr)), 8);
        w.Put(kCodeIndicatorL2P, 2);
        w.PutSigned(l2Delta, kL2DeltaBits);
        w.PutSigned(l2Phase, kPhaseBits);
        w.Put(static_cast<uint64_t>(RtcmLockIndicator(s.l2LockSeconds)), 7);
        w.Put(static_cast<uint64_t>(s.l2Range != 0.0 ? CnrUnits(s.l2Cnr) : 0), 8);
    }
    return w.Bytes();
}

std::vector<uint8_t> EncodeRtcm1019(const NavRecord& n) {
    // Each field in its broadcast unit: a power of two of seconds, metres or semicircles.
    const auto angle = [](double radians, int exponent, int bits) {
        return ClampSigned(std::ldexp(radians / kPi, -exponent), bits);
    };
    const auto value = [](double v, int exponent, int bits) { return ClampSigned(std::ldexp(v, -exponent), bits); };
    BitWriter w;
    w.Put(1019, 12);
    w.Put(static_cast<uint64_t>(n.prn), 6);
    w.Put(static_cast<uint64_t>(n.week % kBroadcastWeekModulus), 10);
    w.Put(0, 4);  // accuracy index: best
    w.Put(static_cast<uint64_t>(n.l2Codes & 3), 2);
    w.PutSigned(angle(n.idot, -43, 14), 14);
    w.Put(static_cast<uint64_t>(n.iode & 0xFF), 8);
    w.Put(ClampUnsigned(n.toc / 16.0, 16), 16);
    w.PutSigned(value(n.af2, -55, 8), 8);
    w.PutSigned(value(n.af1, -43, 16), 16);
    w.PutSigned(value(n.af0, -31, 22), 22);
    w.Put(static_cast<uint64_t>(n.iodc & 0x3FF), 10);
    w.PutSigned(value(n.crs, -5, 16), 16);
    w.PutSigned(angle(n.deltaN, -43, 16), 16);
    w.PutSigned(angle(n.m0, -31, 32), 32);
    w.PutSigned(value(n.cuc, -29, 16), 16);
    w.Put(ClampUnsigned(std::ldexp(n.ecc, 33), 32), 32);
    w.PutSigned(value(n.cus, -29, 16), 16);
    w.Put(ClampUnsigned(std::ldexp(n.sqrtA, 19), 32), 32);
    w.Put(ClampUnsigned(n.toe / 16.0, 16), 16);
    w.PutSigned(value(n.cic, -29, 16), 16);
    w.PutSigned(angle(n.omega0, -31, 32), 32);
    w.PutSigned(value(n.cis, -29, 16), 16);
    w.PutSigned(angle(n.i0, -31, 32), 32);
    w.PutSigned(value(n.crc, -5, 16), 16);
    w.PutSigned(angle(n.omega, -31, 32), 32);
    w.PutSigned(angle(n.omegaDot, -43, 24), 24);
    w.PutSigned(value(n.tgd, -31, 8), 8);
    w.Put(static_cast<uint64_t>(n.health & 0x3F), 6);
    w.Put(static_cast<uint64_t>(n.l2PFlag & 1), 1);
    w.Put(n.fitInterval > 4.0 ? 1 : 0, 1);
    return w.Bytes();
}

}  // namespace kestrel::rinex
