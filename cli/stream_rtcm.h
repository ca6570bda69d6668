// SPDX-License-Identifier: BSD-2-Clause
// The live station's RTCM 3: one station stream (the chosen messages on their schedules in the
// data's time) fed by the decoding session's epochs and ephemerides, its frames written to
// period files (file://DIR) and handed to network outputs (tcpsvr://, ntripc://, ntrips://).
// Every output carries the same frames; a client that joins mid-stream first receives the
// station messages and every ephemeris in force.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"
#include "files/output_file.h"
#include "live/period_clock.h"
#include "net/output.h"
#include "pipeline/observation_epoch.h"
#include "rtcm/station_stream.h"
#include "rtcm_station.h"
#include "stream_status.h"

namespace kestrel::cli {

constexpr const char* kRtcmFileScheme = "file://";
constexpr const char* kRtcmExtension = ".rtcm3";

// True for a value --rtcm takes: file://DIR or a network URL; otherwise false, the reason in `error`.
bool CheckRtcmOutput(const std::string& url, std::string& error);

class RtcmOutputs {
public:
    struct Options {
        StationChoice station;
        std::vector<std::string> urls;
        int64_t periodS = 3600;
        std::string listen = "127.0.0.1";
        unsigned maxClients = 16;
        std::string mountName;  // the station's name in a caster's source table
        std::string country;
        // The final path of the file of the period starting at `start` in `folder`.
        std::function<std::string(const std::string& folder, const GpsTime& start)> fileName;
        // A period's file was closed under its final name.
        std::function<void(const GpsTime& start, const std::string& path)> closed;
        // Temporaries a killed run left are rebuilt from its raw file (they are removed), or
        // kept under their final name with ".incomplete".
        bool rebuilt = false;
    };

    // Where frames go while the stream is being recovered after a crash.
    enum class Mode {
        kPrime,      // the period before the recovered one: it sets the schedules and lock times
        kFilesOnly,  // the recovered period: its files are written again, nothing goes on the network
        kLive,
    };

    // Starts the network outputs (servers listen before this returns); null, the reason in
    // `error`, when one cannot be started.
    static std::unique_ptr<RtcmOutputs> Start(Options options, std::string& error);
    ~RtcmOutputs();

    void OnEpoch(const ObservationEpoch& epoch);
    void OnEphemeris(const DecodedEphemeris& ephemeris);
    void SetMode(Mode mode) { mode_ = mode; }
    // The stream has ended: the open period's files close as complete, the network outputs
    // send what they hold and stop.
    void Finish();

    // Messages of the outputs (they come from their own threads) and of the files, to be
    // printed by the caller's thread.
    std::vector<std::string> TakeMessages();
    std::vector<RtcmOutputState> States() const;
    uint64_t writeErrors() const { return writeErrors_; }
    const rtcm::StationStream& stream() const { return stream_; }

private:
    struct Folder {
        std::string path;
        std::unique_ptr<files::OutputFile> file;  // the open period's
        GpsTime start;
        bool failed = false;
    };

    explicit RtcmOutputs(Options options);
    void Publish(const std::vector<uint8_t>& frames, net::Kind kind, double timeS);
    void RenewSnapshot();
    void ChangePeriod(live::PeriodClock::Change change);
    void OpenFiles(bool withStartFrames);
    void CloseFiles();
    void WriteFiles(const std::vector<uint8_t>& frames);
    void Say(const std::string& text);
    void SayPosition();
    void TakeUpLeftovers(const std::string& folder);

    Options options_;
    rtcm::StationStream stream_;
    std::vector<std::unique_ptr<net::Output>> outputs_;
    std::vector<Folder> folders_;
    live::PeriodClock clock_;
    Mode mode_ = Mode::kLive;
    std::vector<uint8_t> beforeFirstEpoch_;  // frames of ephemerides before the first epoch
    uint64_t snapshotVersion_ = 0;
    uint64_t writeErrors_ = 0;
    bool finished_ = false;
    mutable std::mutex messagesMutex_;
    std::vector<std::string> messages_;
};

}  // namespace kestrel::cli
