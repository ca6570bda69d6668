// SPDX-License-Identifier: BSD-2-Clause
#include "qc/satellites.h"

#include <algorithm>
#include <limits>

namespace kestrel {
namespace {

constexpr double kSecondsPerMinute = 60.0;
constexpr float kNoValue = std::numeric_limits<float>::quiet_NaN();
constexpr uint16_t kBinCountMax = 0xFFFF;

void CountInBin(bool happened, uint16_t& count) {
    if (happened && count < kBinCountMax) ++count;
}

}  // namespace

SatelliteWatch::SatelliteWatch() {
    for (int prn = 0; prn < kGpsPrnSlots; ++prn) sats_[static_cast<std::size_t>(prn)].arcId = static_cast<uint32_t>(prn);
}

void SatelliteWatch::Observe(const SatelliteObservation& o, const GpsTime& time, int32_t bin, QcReport& report) {
    const int prn = o.prn;
    Sat& s = sats_[static_cast<std::size_t>(prn)];
    const bool hasL2 = o.HasPhase(Carrier::kL2);
    ++s.observations;
    ++report.observations;
    if (hasL2) {
        ++s.withL2;
        ++report.observationsWithL2;
    } else {
        ++report.observationsL1Only;
    }
    s.strengthSum += o.Value(Observable::kS1);
    const bool l1Slip = o.Slip(Carrier::kL1);
    const bool l2Slip = o.Slip(Carrier::kL2);
    s.l1Slips += l1Slip ? 1 : 0;
    s.l2Slips += l2Slip ? 1 : 0;
    report.l1Slips += l1Slip ? 1 : 0;
    report.l2Slips += l2Slip ? 1 : 0;

    // A slip on either carrier, or the satellite's first epoch or return after a gap, ends
    // the arc of the multipath combinations.
    constexpr uint8_t kArcBegins = lock_reason::kArcStart | lock_reason::kReturnAfterGap;
    const bool broken = l1Slip || l2Slip || (o.Reasons(Carrier::kL1) & kArcBegins) != 0;
    if (broken) s.ionosphere.Restart();
    const double total = time.Total();
    float mp1 = kNoValue, mp2 = kNoValue;
    const bool ionosphereSlip = hasL2 && Combine(o, s, total, broken, mp1, mp2, report);
    if (!hasL2 && broken) CloseArc(s);

    if (l1Slip || l2Slip || ionosphereSlip) {
        ++report.slipObservations;
        if (report.slips.size() < kQcListedSlips) {
            report.slips.push_back(QcSlip{time, prn, l1Slip, l2Slip, ionosphereSlip});
        }
    }
    QcPlotData::Bin& b = VisibilityBins::Row(report.plot, prn, bin);
    ++b.observations;
    CountInBin(l1Slip, b.l1Slips);
    CountInBin(l2Slip, b.l2Slips);
    CountInBin(ionosphereSlip, b.ionosphereSlips);

    bool compacted = false;
    const RawPoint point{total, s.arcId, static_cast<uint8_t>(prn), static_cast<float>(o.Value(Observable::kS1)),
                         mp1, mp2};
    if (points_.Add(point, &compacted) && hasL2) s.arcSampled = true;
    if (compacted) ForgetUnusedArcs();
}

bool SatelliteWatch::Combine(const SatelliteObservation& o, Sat& s, double totalS, bool broken, float& mp1,
                             float& mp2, QcReport& report) {
    const double phi1 = o.Value(Observable::kL1) * kL1CarrierWavelengthM;
    const double phi2 = o.Value(Observable::kL2) * kL2CarrierWavelengthM;
    std::optional<double> rate;
    const bool ionosphereSlip = s.ionosphere.Add(totalS, IonosphericDelayM(phi1, phi2), rate);
    if (rate) {
        const double perMinute = *rate * kSecondsPerMinute;
        s.ionosphereRate.Add(perMinute * perMinute, 1);
    }
    if (ionosphereSlip) {
        ++s.ionosphereSlips;
        ++report.ionosphereSlips;
    }
    if (broken || ionosphereSlip) CloseArc(s);
    const double m1 = Mp1(o.Value(Observable::kC1), phi1, phi2);
    const double m2 = Mp2(o.Value(Observable::kP2), phi1, phi2);
    s.mp1.Add(m1);
    s.mp2.Add(m2);
    mp1 = static_cast<float>(m1 - s.mp1.first());
    mp2 = static_cast<float>(m2 - s.mp2.first());
    return ionosphereSlip;
}

void SatelliteWatch::AddEphemeris(const DecodedEphemeris& e, QcReport& report) {
    const int prn = e.record.Prn;
    if (!IsGpsPrn(prn)) return;
    Sat& s = sats_[static_cast<std::size_t>(prn)];
    const Sat::Key key{e.record.Toe, e.record.Iode, e.record.Week};
    bool known = false;
    for (std::size_t i = 0; i < s.recentCount; ++i) {
        const Sat::Key& k = s.recent[i];
        known = known || (k.toe == key.toe && k.iode == key.iode && k.week == key.week);
    }
    if (!known) {
        s.recent[s.recentNext] = key;
        s.recentNext = (s.recentNext + 1) % kRecentEphemerisKeys;
        s.recentCount = std::min(s.recentCount + 1, kRecentEphemerisKeys);
        ++s.ephemerides;
        ++report.ephemerides;
    }
    s.unhealthy = e.health != 0;
}

// Ends the satellite's open arc: long enough, it counts towards the multipath figures.
void SatelliteWatch::CloseArc(Sat& s) {
    const int32_t n = s.mp1.count();
    if (n > 0) {
        const bool longEnough = n >= kMinMultipathArcEpochs;
        if (longEnough) {
            s.mp1Rms.AddArc(s.mp1);
            s.mp2Rms.AddArc(s.mp2);
            mp1Rms_.AddArc(s.mp1);
            mp2Rms_.AddArc(s.mp2);
            ++s.arcs;
        } else {
            ++s.shortArcs;
        }
        if (s.arcSampled) {
            arcMeans_[s.arcId] = ArcMean{static_cast<float>(s.mp1.MeanFromFirst()),
                                         static_cast<float>(s.mp2.MeanFromFirst()), longEnough};
        }
    }
    s.mp1.Reset();
    s.mp2.Reset();
    s.arcId = nextArcId_++;
    s.arcSampled = false;
}

// The plot points have been thinned: the means of arcs none of them belongs to go.
void SatelliteWatch::ForgetUnusedArcs() {
    std::unordered_map<uint32_t, ArcMean> used;
    for (const RawPoint& p : points_.samples()) {
        const auto it = arcMeans_.find(p.arcId);
        if (it != arcMeans_.end()) used.insert(*it);
    }
    arcMeans_.swap(used);
}

void SatelliteWatch::Finish(const SkyWatch& sky, QcReport& report) {
    for (int prn = kFirstGpsPrn; prn <= kLastGpsPrn; ++prn) CloseArc(sats_[static_cast<std::size_t>(prn)]);
    bool anyElevation = false;
    int64_t missing = 0;
    for (int prn = kFirstGpsPrn; prn <= kLastGpsPrn; ++prn) {
        const Sat& s = sats_[static_cast<std::size_t>(prn)];
        if (s.observations == 0 && !sky.Expected(prn) && s.ephemerides == 0) continue;
        QcSatellite q;
        q.prn = prn;
        q.observations = s.observations;
        q.withL2 = s.withL2;
        if (sky.ElevationKnown(prn)) {
            q.missing = sky.Missing(prn);
            missing += sky.Missing(prn);
            anyElevation = true;
        }
        q.l1Slips = s.l1Slips;
        q.l2Slips = s.l2Slips;
        q.ionosphereSlips = s.ionosphereSlips;
        if (s.observations > 0) q.meanStrengthDbHz = s.strengthSum / static_cast<double>(s.observations);
        q.mp1RmsM = s.mp1Rms.Rms();
        q.mp2RmsM = s.mp2Rms.Rms();
        q.multipathArcs = s.arcs;
        q.shortArcs = s.shortArcs;
        if (const auto r = s.ionosphereRate.Rms()) q.ionosphereRateRmsMpm = r;
        q.ephemerides = s.ephemerides;
        q.unhealthy = s.unhealthy;
        if (s.observations > 0 && s.ephemerides == 0) report.observedWithoutEphemeris.push_back(prn);
        report.satellites.push_back(q);
    }
    if (anyElevation) report.missing = missing;
    report.mp1RmsM = mp1Rms_.Rms();
    report.mp2RmsM = mp2Rms_.Rms();
    if (report.observations > 0) {
        report.slipsPer1000 =
            1000.0 * static_cast<double>(report.slipObservations) / static_cast<double>(report.observations);
    }
    if (report.slipObservations > 0) {
        report.observationsPerSlip =
            static_cast<double>(report.observations) / static_cast<double>(report.slipObservations);
    }
}

void SatelliteWatch::PlotPoints(const DirectionAt& direction, QcReport& report) const {
    QcPlotData& plot = report.plot;
    plot.points.reserve(points_.samples().size());
    for (const RawPoint& p : points_.samples()) {
        QcPlotData::Point q{p.timeS, p.prn, kNoValue, p.strength, kNoValue, kNoValue};
        if (const auto d = direction(p.prn, p.timeS)) q.elevationDeg = static_cast<float>(d->elevationDeg);
        const auto it = arcMeans_.find(p.arcId);
        if (it != arcMeans_.end() && it->second.kept) {
            q.mp1M = p.mp1FromFirst - it->second.mp1;
            q.mp2M = p.mp2FromFirst - it->second.mp2;
        }
        plot.points.push_back(q);
    }
}

}  // namespace kestrel
