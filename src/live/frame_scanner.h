// SPDX-License-Identifier: BSD-2-Clause
// Whole NavCom frames in a stream that arrives in pieces, each with its place in the stream.
// The live command cuts its raw files at these frames, paces replays by them, hears the
// receiver's acknowledgements in them and tells whether the bytes are NavCom at all.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kestrel::live {

struct ScannedFrame {
    uint64_t offset = 0;             // stream offset of its first sync byte
    std::span<const uint8_t> bytes;  // sync through checksum; valid during the callback only
    bool decoded = false;            // a record of the decoder's table (MEASUREMENT, EPHEMERIS)

    uint8_t id() const { return bytes[3]; }
    uint64_t end() const { return offset + bytes.size(); }
    // The body: from frame offset 6 up to the checksum.
    std::span<const uint8_t> body() const { return bytes.subspan(6, bytes.size() - 7); }
};

// Records of the decoder's table are found exactly as the decoder finds them: its length,
// count and checksum rules, and after any rejection the search resumes with the byte after
// the rejected candidate's first. Other records are frames when their length is at most the
// decoder's frame buffer and their checksum holds; the search then also resumes with their
// second byte, as the decoder (which rejects them at their id) resumes, so that the
// MEASUREMENT frames found here are the ones the decoder decodes.
class FrameScanner {
public:
    using FrameFn = std::function<void(const ScannedFrame&)>;

    // Takes the next bytes of the stream and reports, in stream order, every frame that they
    // complete.
    void Feed(std::span<const uint8_t> bytes, const FrameFn& onFrame);
    // The stream has ended: a candidate still waiting for its bytes is no frame, and the
    // search goes on after its first byte, as the decoder's does at the end of its input.
    void End(const FrameFn& onFrame);

    uint64_t streamBytes() const { return base_ + buffer_.size(); }
    // Stream offset from which bytes may still belong to a frame not yet complete.
    uint64_t undecidedFrom() const { return base_; }
    uint64_t frames() const { return frames_; }

private:
    void Scan(bool ended, const FrameFn& onFrame);

    std::vector<uint8_t> buffer_;  // the stream from `base_` on, kept while a frame may start in it
    uint64_t base_ = 0;
    uint64_t frames_ = 0;
};

}  // namespace kestrel::live
