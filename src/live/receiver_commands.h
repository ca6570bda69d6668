// SPDX-License-Identifier: BSD-2-Clause
// Commands to the receiver: the Data Request (record 0x20) that asks for a record at a rate,
// the replies that accept (0x06) or refuse (0x15) a command, and the set-up that asks for
// the records the live command needs, one request at a time, each waiting for its reply.
//
// What is known of these records, and how: the receiver's command protocol is not published
// with the record layouts the decoders use. gpsd's NavCom driver (drivers/driver_navcom.c in
// the gpsd project, BSD licensed, written against the maker's technical reference manual
// and tested with two receivers) builds the Data Request and reads the replies:
// - Data Request, 18 bytes: 02 99 66 20, length 0E 00 (id through checksum), action 00,
//   block count 01, the record id asked for, logical port 02, the rate as a little-endian
//   16-bit word, then 71 00 00 00, the XOR checksum of bytes 3 to 15 (as for every frame),
//   and a closing 03. gpsd asks 0x4000 for "every epoch" or "on change" (MEASUREMENT, PVT,
//   EPHEMERIS), 0x0000 for "once" (identification, and EPHEMERIS before its on-change
//   request), and 0x000A, 0x00C8, 0x0BB8 and 0x1770 where its comments say every 1 s,
//   20 s, 5 minutes and 10 minutes: other rates are tenths of a second.
// - Acknowledgement 0x06: the body is the id of the command accepted, then the receiver's
//   port. The captures in data/navcom hold three, each 02 99 66 06 06 00 20 00 20 (the
//   receiver accepting gpsd's Data Requests on its port 0), which the tests read back.
// - Negative acknowledgement 0x15: the body is the id of the command refused, pairs of an
//   error id and an error description, then the port.
// Like every frame in those captures, the replies are followed by one 03 byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "live/frame_scanner.h"

namespace kestrel::live {

constexpr uint8_t kDataRequestId = 0x20;
constexpr uint8_t kAcknowledgeId = 0x06;
constexpr uint8_t kRefusalId = 0x15;
constexpr uint8_t kFrameTrailer = 0x03;     // the byte a frame on the wire is followed by
constexpr uint16_t kRateEveryEpoch = 0x4000;  // every epoch, or on change
constexpr uint16_t kRateOnce = 0x0000;
constexpr uint16_t kLongestRate = 0x3FFF;     // in tenths of a second, below the flag bit

// The Data Request for `record` at `rate`, with its closing byte.
std::vector<uint8_t> DataRequest(uint8_t record, uint16_t rate);

// A Data Request read back (the simulator answers them).
struct DataRequestFields {
    uint8_t record = 0;
    uint16_t rate = 0;
};
std::optional<DataRequestFields> ReadDataRequest(const ScannedFrame& frame);

// A reply to a command.
struct Reply {
    bool accepted = false;  // 0x06; a refusal (0x15) otherwise
    uint8_t command = 0;    // the id of the command replied to
};
std::optional<Reply> ReadReply(const ScannedFrame& frame);

// Reply frames as a receiver sends them, with their closing byte (for the simulator).
std::vector<uint8_t> AcknowledgeFrame(uint8_t command, uint8_t port);
std::vector<uint8_t> RefusalFrame(uint8_t command, uint8_t errorId, uint8_t errorText, uint8_t port);

// The rate word of an output rate in Hz: tenths of a second between records. None for a
// rate whose period is not a whole number of tenths from 0.1 s to 1638.3 s.
std::optional<uint16_t> RateWord(double hz);

struct RecordRequest {
    uint8_t record = 0;
    uint16_t rate = 0;
    const char* what = "";  // the record's name, for messages
};

// What the live command asks for: identification once, EPHEMERIS once and then on change,
// MEASUREMENT and PVT at `epochRate` (every epoch when none).
std::vector<RecordRequest> SetUpRequests(std::optional<uint16_t> epochRate);

// Sends the requests one at a time, each when the one before has been accepted; fails on a
// refusal or on a request without reply within the timeout, naming the record.
class ReceiverSetUp {
public:
    enum class State { kSend, kWaiting, kDone, kFailed };

    ReceiverSetUp(std::vector<RecordRequest> requests, double timeoutS)
        : requests_(std::move(requests)), timeoutS_(timeoutS),
          state_(requests_.empty() ? State::kDone : State::kSend) {}

    // The next request to send, when the state is kSend; sending it (`Sent`) starts its wait.
    std::vector<uint8_t> NextRequest() const;
    void Sent(double nowS);
    // A frame from the receiver.
    void OnFrame(const ScannedFrame& frame);
    // The time now: a wait past its timeout fails.
    void OnTime(double nowS);

    State state() const { return state_; }
    const std::string& failure() const { return failure_; }
    std::size_t accepted() const { return next_; }
    // When the request waiting for its reply times out.
    double deadlineS() const { return deadlineS_; }

private:
    void Fail(const char* how);

    std::vector<RecordRequest> requests_;
    double timeoutS_;
    State state_;
    std::size_t next_ = 0;
    double deadlineS_ = 0.0;
    std::string failure_;
};

}  // namespace kestrel::live
