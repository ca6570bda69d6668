// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_run/nav_body.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace kestrel {
namespace {

constexpr std::size_t kNavChunkBytes = 1 << 16;  // navigation text handed to the file at a time

}  // namespace

RinexGpsEphemeris ToRinex(const DecodedEphemeris& d, int referenceWeek) {
    const GpsEphRecord& r = d.record;
    RinexGpsEphemeris e;
    e.prn = r.Prn;
    // The week of transmission: the frame's full week, when it agrees with the broadcast
    // 10-bit week to within one (the last ephemerides of a week may carry the week of their
    // Toe), else the broadcast week nearest the reference. Toe may lie in the next (or, for
    // an ephemeris sent early, the previous) week.
    const int broadcastWeek = FullWeekFromBroadcast(r.Week, referenceWeek);
    const bool frameWeekAgrees = d.transmitWeek > 0 && std::abs(d.transmitWeek - broadcastWeek) <= 1;
    const int transmitWeek = frameWeekAgrees ? d.transmitWeek : broadcastWeek;
    const double transmitSow = static_cast<double>(d.transmitTime);
    int toeWeek = transmitWeek;
    if (r.Toe - transmitSow < -kHalfWeekS) ++toeWeek;
    if (r.Toe - transmitSow > kHalfWeekS) --toeWeek;
    e.week = toeWeek;
    e.tocS = r.Toc;
    e.af0S = r.Af0;
    e.af1 = r.Af1;
    e.af2PerS = r.Af2;
    e.iode = r.Iode;
    e.crsM = r.Crs;
    e.deltaNRadPerS = r.DeltaN;
    e.m0Rad = r.M0;
    e.cucRad = r.Cuc;
    e.eccentricity = r.Ecc;
    e.cusRad = r.Cus;
    e.sqrtAM = r.SqrtA;
    e.toeS = r.Toe;
    e.cicRad = r.Cic;
    e.omega0Rad = r.Omega0;
    e.cisRad = r.Cis;
    e.i0Rad = r.I0;
    e.crcM = r.Crc;
    e.omegaRad = r.Omega;
    e.omegaDotRadPerS = r.OmegaDot;
    e.idotRadPerS = r.Idot;
    e.l2Codes = d.l2Codes;
    e.l2PDataFlag = d.l2PDataFlag;
    e.accuracyM = RinexUraMetres(d.uraIndex);
    e.health = d.health;
    e.tgdS = r.Tgd;
    e.iodc = r.Iodc;
    e.transmissionS = transmitSow + (transmitWeek - toeWeek) * kSecondsPerWeek;
    e.fitIntervalH = RinexFitIntervalHours(d.fitIntervalFlag, r.Iodc);
    return e;
}

void NavBody::Add(const DecodedEphemeris& ephemeris) {
    const Key key{ephemeris.record.Prn, ephemeris.record.Week, ephemeris.record.Toe, ephemeris.record.Iode};
    if (!keys_.insert(key).second) return;
    errno = 0;
    if (scratch_ != nullptr && scratchError_ == 0 && std::fwrite(&ephemeris, sizeof ephemeris, 1, scratch_) != 1) {
        scratchError_ = ErrnoOrIo();
    }
    ++stored_;
}

int NavBody::FlushScratch() { return kestrel::FlushScratch(scratch_, scratchError_); }

bool NavBody::Write(RunOutput& out, const RinexNavHeader& header, const Choice& choice, int32_t& written) {
    // The records are sorted by an index of (clock reference time, PRN, place in the scratch
    // file) and read back one at a time: memory holds the index, not the records.
    struct Entry {
        double toc;
        int prn;
        long index;
    };
    std::vector<Entry> order;
    std::rewind(scratch_);
    DecodedEphemeris stored;
    for (long index = 0; std::fread(&stored, sizeof stored, 1, scratch_) == 1; ++index) {
        const RinexGpsEphemeris e = ToRinex(stored, choice.referenceWeek);
        if (choice.wanted && !choice.wanted(e.prn)) continue;
        const double toe = e.week * kSecondsPerWeek + e.toeS;
        if (choice.toeSpan && (toe < choice.toeSpan->first || toe > choice.toeSpan->second)) continue;
        const double toc = e.toeS + WeekCrossover(e.tocS - e.toeS);
        order.push_back({e.week * kSecondsPerWeek + toc, e.prn, index});
    }
    std::sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.toc, a.prn, a.index) < std::tie(b.toc, b.prn, b.index);
    });
    std::string text;
    AppendRinexNavHeader(text, header);
    bool whole = true;
    written = 0;
    for (const Entry& entry : order) {
        whole = std::fseek(scratch_, entry.index * static_cast<long>(sizeof stored), SEEK_SET) == 0 &&
                std::fread(&stored, sizeof stored, 1, scratch_) == 1;
        if (!whole) break;
        if (AppendRinexNavRecord(text, header.version, ToRinex(stored, choice.referenceWeek))) ++written;
        if (text.size() >= kNavChunkBytes) {
            whole = out.Write(text);
            if (!whole) break;
            text.clear();
        }
    }
    whole = whole && out.Write(text);
    std::fseek(scratch_, 0, SEEK_END);  // new ephemerides go on after the ones there
    return whole;
}

}  // namespace kestrel
