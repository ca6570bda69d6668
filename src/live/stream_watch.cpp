// SPDX-License-Identifier: BSD-2-Clause
#include "live/stream_watch.h"

#include <cstdio>

namespace kestrel::live {

void StreamWatch::OnBytes(double nowS) {
    if (!bytesS_) bytesS_ = nowS;
}

void StreamWatch::OnFrame(double nowS) {
    if (told_) comeBack_ = true;
    told_ = false;
    toldSilent_ = false;
    sinceS_ = nowS;
    bytesS_.reset();
}

std::optional<StreamWatch::Event> StreamWatch::Check(double nowS) {
    if (comeBack_) {
        comeBack_ = false;
        return Event::kFramesBack;
    }
    if (bytesS_) {
        // Bytes without a frame: a minute from the first of them. A silence reported
        // before them is superseded.
        if (!told_ || toldSilent_) {
            if (nowS - *bytesS_ >= quietS_) {
                told_ = true;
                toldSilent_ = false;
                return Event::kNotNavCom;
            }
        }
        return std::nullopt;
    }
    if (!told_ && nowS - sinceS_ >= quietS_) {
        told_ = true;
        toldSilent_ = true;
        return Event::kSilent;
    }
    return std::nullopt;
}

std::string StreamWatch::Describe(Event event, const std::string& input) const {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.0f s", quietS_);
    switch (event) {
        case Event::kNotNavCom:
            return input + ": no valid NavCom frame in " + seconds +
                   " of data (a wrong serial speed, port or receiver protocol?); still listening";
        case Event::kSilent:
            return input + ": no bytes for " + seconds + "; still listening";
        case Event::kFramesBack:
            return input + ": NavCom frames again";
    }
    return input;
}

}  // namespace kestrel::live
