// SPDX-License-Identifier: BSD-2-Clause
#include "stream_rtcm.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "net/endpoint.h"
#include "qc/sky.h"
#include "stream_names.h"

namespace kestrel::cli {
namespace {

namespace fs = std::filesystem;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

bool CheckRtcmOutput(const std::string& url, std::string& error) {
    if (StartsWith(url, kRtcmFileScheme)) {
        if (url.size() == std::string(kRtcmFileScheme).size()) {
            error = "file:// names no folder";
            return false;
        }
        return true;
    }
    net::Endpoint endpoint;
    if (net::IsNetworkUrl(url)) return net::ParseEndpoint(url, &endpoint, &error);
    error = "'" + url + "' is none of file://DIR, tcpsvr://[ADDR]:PORT, ntripc://[USER:PASS@][ADDR][:PORT]/MOUNT, "
            "ntrips://[USER:PASS@]HOST[:PORT]/MOUNT";
    return false;
}

RtcmOutputs::RtcmOutputs(Options options)
    : options_(std::move(options)),
      stream_(options_.station.messages, options_.station.description, options_.station.doppler),
      clock_(options_.periodS) {}

RtcmOutputs::~RtcmOutputs() { Finish(); }

std::unique_ptr<RtcmOutputs> RtcmOutputs::Start(Options options, std::string& error) {
    std::unique_ptr<RtcmOutputs> self(new RtcmOutputs(std::move(options)));
    const Options& o = self->options_;
    net::OutputOptions network;
    network.listen = o.listen;
    network.max_clients = o.maxClients;
    network.station.identifier = o.mountName;
    network.station.format_details = MessagesText(o.station.messages);
    network.station.country = o.country;
    if (const auto& p = o.station.description.positionM) {
        if (const auto place = MakeSkyPlace(*p)) {
            network.station.latitude = place->latitudeRad * kDegreesPerRadian;
            network.station.longitude = place->longitudeRad * kDegreesPerRadian;
        }
    }
    RtcmOutputs* raw = self.get();
    network.on_message = [raw](net::Severity, const std::string& text) { raw->Say("rtcm " + text); };
    for (const std::string& url : o.urls) {
        if (StartsWith(url, kRtcmFileScheme)) {
            const std::string folder = url.substr(std::string(kRtcmFileScheme).size());
            const std::string why = files::WhyFolderUnwritable(folder);
            if (!why.empty()) {
                error = "cannot write into " + folder + ": " + why;
                return nullptr;
            }
            self->TakeUpLeftovers(folder);
            self->folders_.push_back(Folder{folder, nullptr, {}, false});
            continue;
        }
        net::Endpoint endpoint;
        if (!net::ParseEndpoint(url, &endpoint, &error)) return nullptr;
        std::unique_ptr<net::Output> output = net::StartOutput(endpoint, network, &error);
        if (!output) {
            error = endpoint.Redacted() + ": " + error;
            return nullptr;
        }
        self->outputs_.push_back(std::move(output));
    }
    return self;
}

// The file a killed run left open in `folder`: rebuilt from the raw file when there is one
// (it is removed), otherwise kept as an incomplete period.
void RtcmOutputs::TakeUpLeftovers(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (!StartsWith(name, kStreamOpenPrefix) || entry.path().extension() != kRtcmExtension) continue;
        if (options_.rebuilt) {
            fs::remove(entry.path(), ec);
            continue;
        }
        const std::string final =
            UntakenPath((entry.path().parent_path() / name.substr(std::string(kStreamOpenPrefix).size())).string() + kIncompleteSuffix);
        fs::rename(entry.path(), final, ec);
        Say(ec ? "cannot keep " + entry.path().string() + " left open by an earlier run: " + ec.message()
               : "kept " + final + ", left open by an earlier run");
    }
}

// The position the station messages carry, once the solutions of the first ten minutes gave it.
void RtcmOutputs::SayPosition() {
    if (!options_.station.positionChosen) return;
    if (const auto& p = stream_.position()) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "rtcm: 1005/1006 carry the median of %zu single-point solutions of the first ten minutes: "
                      "%.4f, %.4f, %.4f m (give --position for the surveyed one)",
                      stream_.positionSamples(), (*p)[0], (*p)[1], (*p)[2]);
        Say(text);
    } else {
        Say("rtcm: no single-point solution in the first ten minutes: no 1005/1006 sent; give the position with "
            "--position");
    }
}

void RtcmOutputs::Say(const std::string& text) {
    const std::lock_guard<std::mutex> lock(messagesMutex_);
    messages_.push_back(text);
}

std::vector<std::string> RtcmOutputs::TakeMessages() {
    const std::lock_guard<std::mutex> lock(messagesMutex_);
    return std::exchange(messages_, {});
}

std::vector<RtcmOutputState> RtcmOutputs::States() const {
    std::vector<RtcmOutputState> states;
    for (const auto& output : outputs_) {
        const net::OutputStats s = output->stats();
        RtcmOutputState state;
        state.name = output->name();
        state.port = output->port();
        state.clients = s.clients;
        state.clientsServed = s.clients_served;
        state.clientsDropped = s.clients_dropped_slow;
        state.bytesSent = s.bytes_sent;
        state.connected = s.connected;
        states.push_back(state);
    }
    return states;
}

void RtcmOutputs::OnEpoch(const ObservationEpoch& epoch) {
    if (finished_) return;
    ChangePeriod(clock_.Observe(epoch.time));
    std::vector<uint8_t> frames;
    const bool pending = stream_.positionPending();
    stream_.OnEpoch(epoch, frames);
    if (pending && !stream_.positionPending()) SayPosition();
    // The set a joining client receives is renewed before the epoch it would start with.
    RenewSnapshot();
    WriteFiles(frames);
    Publish(frames, net::Kind::Epoch, epoch.time.Total());
}

void RtcmOutputs::OnEphemeris(const DecodedEphemeris& ephemeris) {
    if (finished_) return;
    std::vector<uint8_t> frames;
    stream_.OnEphemeris(ephemeris, frames);
    RenewSnapshot();
    if (frames.empty()) return;
    if (!clock_.started()) {
        // No period yet: the first period's files begin with them.
        beforeFirstEpoch_.insert(beforeFirstEpoch_.end(), frames.begin(), frames.end());
    } else {
        WriteFiles(frames);
    }
    Publish(frames, net::Kind::Message, std::nan(""));
}

void RtcmOutputs::Publish(const std::vector<uint8_t>& frames, net::Kind kind, double timeS) {
    if (mode_ != Mode::kLive || frames.empty()) return;
    for (const auto& output : outputs_) output->Publish(frames, kind, timeS);
}

void RtcmOutputs::RenewSnapshot() {
    if (outputs_.empty() || stream_.startFramesVersion() == snapshotVersion_) return;
    snapshotVersion_ = stream_.startFramesVersion();
    std::vector<uint8_t> start;
    stream_.AppendStartFrames(start);
    for (const auto& output : outputs_) output->SetSnapshot({start});
}

void RtcmOutputs::ChangePeriod(live::PeriodClock::Change change) {
    using Change = live::PeriodClock::Change;
    if (change == Change::kSame) return;
    if (change == Change::kFirst) {
        OpenFiles(false);
        WriteFiles(beforeFirstEpoch_);
        beforeFirstEpoch_.clear();
        return;
    }
    // A later period, or a reset receiver's earlier one: the open files are complete. The next
    // files begin with the station messages and every ephemeris in force, so each stands alone.
    CloseFiles();
    OpenFiles(true);
}

void RtcmOutputs::OpenFiles(bool withStartFrames) {
    if (mode_ == Mode::kPrime) return;
    std::vector<uint8_t> start;
    if (withStartFrames) stream_.AppendStartFrames(start);
    for (Folder& f : folders_) {
        f.start = clock_.periodStart();
        f.failed = false;
        const std::string final = options_.fileName(f.path, f.start);
        auto file = std::make_unique<files::OutputFile>();
        if (!file->CreateAt(final, OpenNameOf(final))) {
            Say(file->error() + "; this period's RTCM file is not written, the next one is tried afresh");
            ++writeErrors_;
            continue;
        }
        f.file = std::move(file);
    }
    WriteFiles(start);
}

void RtcmOutputs::WriteFiles(const std::vector<uint8_t>& frames) {
    if (frames.empty()) return;
    for (Folder& f : folders_) {
        if (!f.file || f.failed) continue;
        // Straight to the operating system: a killed run's file holds every epoch written.
        if (const int error = files::WriteAll(f.file->descriptor(), frames.data(), frames.size()); error != 0) {
            f.failed = true;
            ++writeErrors_;
            Say("cannot write " + f.file->temporaryPath() + ": " + files::Reason(error) +
                "; the rest of this period's RTCM frames are dropped from it, the next period is written afresh");
        }
    }
}

void RtcmOutputs::CloseFiles() {
    for (Folder& f : folders_) {
        if (!f.file) continue;
        std::string final = options_.fileName(f.path, f.start);
        // A file that missed frames is kept, never under the name of a whole period.
        if (f.failed) final += kIncompleteSuffix;
        final = UntakenPath(final);
        if (f.file->Commit(final)) {
            if (options_.closed) options_.closed(f.start, final);
        } else {
            Say(f.file->error());
            ++writeErrors_;
        }
        f.file.reset();
    }
}

void RtcmOutputs::Finish() {
    if (finished_) return;
    finished_ = true;
    const bool pending = stream_.positionPending();
    stream_.Finish();
    if (pending) SayPosition();
    CloseFiles();
    for (const auto& output : outputs_) output->Stop();
}

}  // namespace kestrel::cli
