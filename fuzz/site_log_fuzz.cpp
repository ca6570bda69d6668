// SPDX-License-Identifier: BSD-2-Clause
// The IGS site-log reader on any text. A log it accepts names its station with one to four
// upper-case letters or digits (nine for the long ID when given), and the entries in force at
// any time are entries of the log whose dates hold that time.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sitelog/site_log.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool UpperAlnum(const std::string& s) {
    for (char c : s) {
        if (c >= 'a' && c <= 'z') return false;
    }
    return true;
}

template <typename Entry>
void CheckInForce(const std::vector<Entry>& entries, const Entry* found, const kestrel::GpsTime& t) {
    if (found == nullptr) return;
    Check(found >= entries.data() && found < entries.data() + entries.size());
    Check(!found->installed || found->installed->Total() <= t.Total());
    Check(!found->removed || found->removed->Total() > t.Total());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kestrel::SiteLog log;
    std::string error;
    if (!kestrel::ParseSiteLog(text, log, error)) {
        Check(!error.empty());
        return 0;
    }
    Check(!log.fourCharacterId.empty() && log.fourCharacterId.size() <= 4 && UpperAlnum(log.fourCharacterId));
    Check(log.nineCharacterId.size() <= 9 && UpperAlnum(log.nineCharacterId));
    for (const kestrel::GpsTime& t : {kestrel::GpsTime{0, 0.0}, kestrel::GpsTime{1316, 518400.0},
                                      kestrel::GpsTime{2300, 1.0}, kestrel::GpsTime{400000, 0.0}}) {
        CheckInForce(log.receivers, kestrel::ReceiverInForce(log, t), t);
        CheckInForce(log.antennas, kestrel::AntennaInForce(log, t), t);
    }
    return 0;
}
