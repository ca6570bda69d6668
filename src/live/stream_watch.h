// SPDX-License-Identifier: BSD-2-Clause
// Whether a live input carries a NavCom receiver's data: bytes that for a minute make no
// valid frame are not NavCom (a wrong speed, a wrong port, another receiver's protocol), and
// a link that brings nothing for a minute is silent. Each is said once, and said again when
// frames come back; the command keeps listening either way.
#pragma once

#include <optional>
#include <string>

namespace kestrel::live {

class StreamWatch {
public:
    static constexpr double kQuietS = 60.0;

    enum class Event {
        kNotNavCom,  // bytes for kQuietS seconds, none of them in a valid frame
        kSilent,     // no bytes at all for kQuietS seconds
        kFramesBack, // a valid frame after one of the two above
    };

    explicit StreamWatch(double startS, double quietS = kQuietS) : quietS_(quietS), sinceS_(startS) {}

    void OnBytes(double nowS);
    void OnFrame(double nowS);
    // What to tell the user now, if anything.
    std::optional<Event> Check(double nowS);
    // The line that tells it, about the input named `input`.
    std::string Describe(Event event, const std::string& input) const;

private:
    double quietS_;
    double sinceS_;                // start of the stretch without a frame
    std::optional<double> bytesS_; // first bytes of that stretch
    bool told_ = false;            // this stretch has been reported
    bool toldSilent_ = false;
    bool comeBack_ = false;        // a frame ended a reported stretch
};

}  // namespace kestrel::live
