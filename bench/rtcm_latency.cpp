// SPDX-License-Identifier: BSD-2-Clause
// Latency of the live station's RTCM: from the moment a read has delivered the last byte of an
// epoch's MEASUREMENT frame to the moment a rover on the loopback interface has read the last
// byte of that epoch's messages. In between: the decoding session, the station stream's
// encoding (the chosen messages on their schedules) and the raw TCP server of `kestrel stream
// --rtcm tcpsvr://`, whose thread hands the frames to the socket. The log is fed as a live
// stream is, one read ending at each MEASUREMENT frame's last byte, with a pause between reads
// so that each epoch meets an idle pipeline, as at a receiver's pace.
//
//     rtcm_latency LOG [--epochs N] [--gap-ms MS] [--msg LIST]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "live_reads.h"
#include "net/output.h"
#include "rtcm/station_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads the stream and notes when the byte count reached each epoch's end.
class Rover {
public:
    explicit Rover(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::perror("connect");
        thread_ = std::thread([this] { Run(); });
    }
    ~Rover() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    // The epoch whose last byte is the stream's `end`-th byte.
    void Expect(uint64_t end) {
        const std::lock_guard<std::mutex> lock(mutex_);
        ends_.push_back(end);
    }
    uint64_t received() const { return received_.load(); }
    std::vector<Clock::time_point> Arrivals() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }

private:
    void Run() {
        char buffer[1 << 16];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            const Clock::time_point now = Clock::now();
            received_ += static_cast<uint64_t>(n);
            const std::lock_guard<std::mutex> lock(mutex_);
            while (arrivals_.size() < ends_.size() && ends_[arrivals_.size()] <= received_) arrivals_.push_back(now);
        }
    }
    int fd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<uint64_t> ends_;
    std::vector<Clock::time_point> arrivals_;
    std::atomic<uint64_t> received_{0};
};

// The session's epochs through the station stream into the server; ephemerides too.
class RtcmSink : public kestrel::ObservationSink {
public:
    RtcmSink(kestrel::rtcm::StationStream& stream, kestrel::net::Output& out, Rover& rover)
        : stream_(stream), out_(out), rover_(rover) {}
    bool OnEpoch(const kestrel::ObservationEpoch& epoch) override {
        frames_.clear();
        stream_.OnEpoch(epoch, frames_);
        Send(true);
        return true;
    }
    bool OnEphemeris(const kestrel::DecodedEphemeris& e) override {
        frames_.clear();
        stream_.OnEphemeris(e, frames_);
        Send(false);
        return true;
    }
    std::vector<Clock::time_point> readDone;  // of the epochs handed over
    Clock::time_point read;

private:
    void Send(bool epoch) {
        if (frames_.empty()) return;
        published_ += frames_.size();
        if (epoch) {
            rover_.Expect(published_);
            readDone.push_back(read);
        }
        // Raw blocks: the rover, connected before the first, receives every byte in order.
        out_.Publish(frames_, kestrel::net::Kind::Raw);
    }
    kestrel::rtcm::StationStream& stream_;
    kestrel::net::Output& out_;
    Rover& rover_;
    std::vector<uint8_t> frames_;
    uint64_t published_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: rtcm_latency LOG [--epochs N] [--gap-ms MS] [--msg LIST]\n");
        return 2;
    }
    std::size_t maxEpochs = 20000;
    int gapUs = 2000;
    std::string messages = "1074,1019,1006(10),1033(10)";
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--epochs") maxEpochs = std::strtoul(argv[i + 1], nullptr, 10);
        if (a == "--gap-ms") gapUs = static_cast<int>(std::atof(argv[i + 1]) * 1000.0);
        if (a == "--msg") messages = argv[i + 1];
    }
    const auto read = kestrel::bench::ReadLogFile(argv[1]);
    if (!read) return 1;
    const std::vector<uint8_t>& log = *read;
    const std::vector<std::size_t> cuts = kestrel::bench::MeasurementCuts(log, maxEpochs);

    std::string error;
    const auto choice = kestrel::rtcm::ParseMessageList(messages, error);
    if (!choice) {
        std::fprintf(stderr, "--msg: %s\n", error.c_str());
        return 2;
    }
    kestrel::rtcm::StationDescription station;
    station.positionM = std::array<double, 3>{-3976219.5082, 3382372.5671, 3652512.9849};
    kestrel::rtcm::StationStream stream(*choice, station);
    kestrel::net::Endpoint endpoint;
    kestrel::net::ParseEndpoint("tcpsvr://127.0.0.1:0", &endpoint, &error);
    kestrel::net::OutputOptions options;
    options.max_lag_s = 1e9;  // the replay is faster than the data's time: no rover is late
    auto out = kestrel::net::StartOutput(endpoint, options, &error);
    if (!out) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    Rover rover(out->port());
    while (out->stats().clients == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    RtcmSink sink(stream, *out, rover);
    const kestrel::SessionOptions setup = kestrel::bench::LiveSessionOptions();
    CallbackBlock callbacks{};
    kestrel::DecodingSession session(setup, callbacks, nullptr, &sink);
    if (!session.IsOpen()) return 1;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        sink.read = Clock::now();
        session.Push(log.data() + from, cut - from);
        from = cut;
        std::this_thread::sleep_for(std::chrono::microseconds(gapUs));
    }
    session.Finish();
    out->Stop();
    const std::vector<Clock::time_point> arrivals = rover.Arrivals();
    std::vector<double> us;
    for (std::size_t i = 0; i < arrivals.size() && i < sink.readDone.size(); ++i) {
        us.push_back(std::chrono::duration<double, std::micro>(arrivals[i] - sink.readDone[i]).count());
    }
    std::printf("reads %zu epochs sent %zu received %zu bytes %llu\n", cuts.size(), sink.readDone.size(), arrivals.size(),
                static_cast<unsigned long long>(rover.received()));
    std::printf("latency_us p50 %.1f p99 %.1f max %.1f\n", kestrel::bench::Percentile(us, 0.50), kestrel::bench::Percentile(us, 0.99),
                us.empty() ? 0.0 : *std::max_element(us.begin(), us.end()));
    return 0;
}
