// SPDX-License-Identifier: BSD-2-Clause
// A whole RINEX conversion of the bytes written as a file. The first byte chooses the
// options; the rest is the log. A run that succeeds must leave files that the project's
// RINEX reader reads to their last epoch, with the counts the run reported; a run that
// fails may only say that the log holds no epoch or that its weeks are unfit, and must
// leave no file behind.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "fuzz_support.h"
#include "rinex_run/rinex_convert.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"

namespace {

// Option bits of the first byte.
constexpr uint8_t kVersion211 = 0x01;
constexpr uint8_t kClockCorrection = 0x02;
constexpr uint8_t kDoppler = 0x04;
constexpr uint8_t kGivenWeek = 0x08;    // week 1316 given, as for logs without weeks
constexpr uint8_t kDecimate = 0x10;     // keep even seconds only
constexpr uint8_t kTrackedOnly = 0x20;

const char* const kAcceptedFailures[] = {" holds no epoch to write", "Error: the MEASUREMENT frames of ",
                                         "Error: the GPS week of ", "Error: --week 1316 was given, but the frames",
                                         "User Quit"};

bool AcceptedFailure(const std::string& text) {
    for (const char* accepted : kAcceptedFailures) {
        if (text.find(accepted) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace kestrel;
    using fuzz::Fail;
    namespace fs = std::filesystem;
    if (size == 0) return 0;
    const uint8_t switches = data[0];
    const std::string folder = fuzz::ScratchFolder() + "/rinex";
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder);
    const std::string input = folder + "/input.log";
    fuzz::WriteBytes(input, data + 1, size - 1);

    RinexRunOptions o;
    o.input = input;
    o.obsPath = folder + "/out.obs";
    o.navPath = folder + "/out.nav";
    o.program = "kestrel fuzz";
    o.createdUtc = CalendarTime{2026, 1, 1, 0, 0, 0.0};
    o.version = (switches & kVersion211) ? RinexVersion::k211 : RinexVersion::k304;
    o.clockCorrection = (switches & kClockCorrection) != 0;
    o.doppler = (switches & kDoppler) != 0;
    if (switches & kGivenWeek) o.week = 1316;
    if (switches & kDecimate) o.intervalS = 2.0;
    o.trackedOnly = (switches & kTrackedOnly) != 0;
    CallbackBlock callbacks{};
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    RinexRunResult result;
    const int32_t status = ConvertToRinex(o, callbacks, result);

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path().filename());
    if (status != 0) {
        if (!AcceptedFailure(error_text())) Fail("ConvertToRinex returned %d: %s", status, error_text());
        if (left.size() != 1) Fail("a failed run left %zu files besides the log", left.size() - 1);
        return 0;
    }
    const std::size_t expectedFiles = 2 + (result.navPath.empty() ? 0 : 1);
    if (left.size() != expectedFiles) Fail("%zu files in the folder, %zu expected", left.size(), expectedFiles);

    rinex::ObsFile obs;
    std::string error;
    if (!rinex::ReadObsFile(result.obsPath, obs, error)) Fail("observation file unreadable: %s", error.c_str());
    if (obs.epochs.size() != static_cast<std::size_t>(result.epochs)) {
        Fail("%zu epochs read, %d reported", obs.epochs.size(), result.epochs);
    }
    std::size_t observations = 0;
    std::set<int> satellites;
    for (std::size_t e = 0; e < obs.epochs.size(); ++e) {
        const auto& epoch = obs.epochs[e];
        if (epoch.satellites.empty()) Fail("epoch %zu without satellites", e);
        if (e > 0) {
            const auto& before = obs.epochs[e - 1].time;
            if (epoch.time.week * 604800.0 + epoch.time.sow <= before.week * 604800.0 + before.sow) {
                Fail("epoch %zu not later than the one before", e);
            }
        }
        observations += epoch.satellites.size();
        for (const auto& s : epoch.satellites) satellites.insert(s.prn);
    }
    if (observations != static_cast<std::size_t>(result.observations)) {
        Fail("%zu observations read, %d reported", observations, result.observations);
    }
    if (satellites.size() != static_cast<std::size_t>(result.satellites)) {
        Fail("%zu satellites read, %d reported", satellites.size(), result.satellites);
    }
    if (!result.navPath.empty()) {
        std::vector<rinex::NavRecord> nav;
        if (!rinex::ReadNavFile(result.navPath, nav, error)) Fail("navigation file unreadable: %s", error.c_str());
        if (nav.size() != static_cast<std::size_t>(result.ephemerides)) {
            Fail("%zu ephemerides read, %d reported", nav.size(), result.ephemerides);
        }
    }
    return 0;
}
