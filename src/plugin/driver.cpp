// SPDX-License-Identifier: BSD-2-Clause
// The conversion driver: checks the host's blocks, opens the input and the two outputs,
// reads the input through a decoding session, and after every byte that completed a record
// drains the ThreadBuf into the OBX file (one epoch) or the ephemeris text file (one "GpsEph"
// block).
#include <cstdio>
#include <cstring>

#include "common/error_text.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "pipeline/host_link.h"
#include "pipeline/session.h"
#include "plugin/eph_writer.h"
#include "plugin/obx_writer.h"
#include "plugin/plugin.h"
#include "plugin/queued_record.h"

namespace kestrel {
namespace {

// How the driver creates every OBX file.
constexpr uint8_t kObxSatLimit = 32;
constexpr float kObxNominalValue = 1.0f;
constexpr int16_t kObxBufferBytes = 2048;
constexpr uint8_t kObxChannels = 12;

constexpr const char* kVersionMismatch = "Incorrect version of NAVCOM Conversion DLL";
constexpr const char* kInvalidOptions = "Incorrect version of NAVCOM Conversion DLL, Invalid options";
constexpr const char* kNameTooLong = "Error: File name too long";

// Work areas of the conversion, reused by every call.
struct DriverState {
    char inputName[KESTREL_PATH_SIZE];
    char obxName[KESTREL_PATH_SIZE];
    char ephemerisName[KESTREL_PATH_SIZE];
    QueuedRecord record;
    int32_t epochCount;
    int32_t ephemerisCount;
};
DriverState state;

// Copies a host name field; false when it holds no NUL within its bytes.
bool CopyName(char (&destination)[KESTREL_PATH_SIZE], const char (&source)[KESTREL_PATH_SIZE]) {
    if (std::memchr(source, '\0', sizeof source) == nullptr) return false;
    std::memcpy(destination, source, sizeof source);
    return true;
}

// Derives the three names; false when one does not fit its buffer.
bool DeriveNames(const OptionBlock& block) {
    if (!CopyName(state.inputName, block.inputPath)) return false;
    if (!CopyName(state.obxName, block.outputName)) return false;
    if (!replaceExtension(state.obxName, sizeof state.obxName, kObxExtension)) return false;
    if (!CopyName(state.ephemerisName, block.outputName)) return false;
    return replaceExtension(state.ephemerisName, sizeof state.ephemerisName, kEphemerisExtension);
}

// Closes the ephemeris stream; false when anything written to it was lost.
bool CloseTextStream(std::FILE* stream) {
    const bool hadError = std::ferror(stream) != 0;
    const bool closed = std::fclose(stream) == 0;
    return !hadError && closed;
}

// The three files of one conversion. Whatever is open when the owner goes is closed;
// Close() closes them at the end of a conversion and says whether both outputs reached
// the disk whole.
class ConversionFiles {
public:
    ConversionFiles() = default;
    ConversionFiles(const ConversionFiles&) = delete;
    ConversionFiles& operator=(const ConversionFiles&) = delete;
    ~ConversionFiles() { Close(); }

    // Opens the input and creates both outputs, the ephemeris file with its header line.
    // False with the reason in the error text.
    bool Open() {
        input = std::fopen(state.inputName, "rb");
        if (input == nullptr) {
            format_error_text(kCannotOpenFormat, state.inputName);
            return false;
        }
        obx = obx_create(state.obxName, kObxSatLimit, kObxNominalValue, kObxBufferBytes, kObxChannels);
        if (obx == nullptr) return false;
        // Text mode: each line ends in the platform's own way (CR LF on Windows).
        ephemeris = std::fopen(state.ephemerisName, "w");
        if (ephemeris == nullptr) {
            format_error_text(kCannotOpenFormat, state.ephemerisName);
            return false;
        }
        std::fputs(kEphemerisFileHeader, ephemeris);
        return true;
    }

    // Closes what is open. False when an output did not reach the disk whole; then, when
    // `report` is set, "Error: Unable to write to <name>" names the first such output.
    bool Close(bool report = false) {
        if (input != nullptr) std::fclose(input);
        const bool obxComplete = obx == nullptr || obx_close(obx) == 0;
        const bool ephemerisComplete = ephemeris == nullptr || CloseTextStream(ephemeris);
        input = nullptr;
        obx = nullptr;
        ephemeris = nullptr;
        if (report && !obxComplete) format_error_text(kCannotWriteFormat, state.obxName);
        if (report && obxComplete && !ephemerisComplete) format_error_text(kCannotWriteFormat, state.ephemerisName);
        return obxComplete && ephemerisComplete;
    }

    std::FILE* input = nullptr;
    ObxFile* obx = nullptr;
    std::FILE* ephemeris = nullptr;
};

// Writes what each decoded record leaves in the ThreadBuf: an epoch to the OBX file, an
// ephemeris to the ephemeris text file.
class FileWriter : public RecordSink {
public:
    explicit FileWriter(ConversionFiles& files) : files_(files) {}

    bool Collect(const uint8_t* threadBuf) override {
        QueuedRecord& record = state.record;
        switch (ReadQueuedRecord(threadBuf, record)) {
            case QueuedRecord::kEpoch:
                if (obx_write_epoch(files_.obx, &record.epoch, record.observations) != 0) {
                    // An epoch with more satellites than the file has channels is left out
                    // and reported; the conversion goes on. Anything else is a failed write.
                    if (record.epoch.sat_count > kObxChannels) {
                        relayMessage(record.epoch.time_tag, error_text());
                        return true;
                    }
                    return false;
                }
                ++state.epochCount;
                return true;
            case QueuedRecord::kEphemeris:
                write_gps_eph_block(files_.ephemeris, &record.ephemeris);
                ++state.ephemerisCount;
                return true;
            case QueuedRecord::kNothing:
                return true;
        }
        return true;
    }

private:
    ConversionFiles& files_;
};

// One conversion after the host's blocks have been accepted: 0 on success, 1 with the
// reason in the error text. The files are closed on every path by their owner.
int32_t Convert(OptionBlock& options, const CallbackBlock& callbacks, SolverStart solver) {
    ConversionFiles files;
    FileWriter writer(files);
    SessionOptions setup;
    setup.decoder = options.options;
    setup.solver = solver;
    DecodingSession session(setup, callbacks, &writer, nullptr);
    if (!session.IsOpen()) return 1;
    if (!DeriveNames(options)) {
        set_error_text(kNameTooLong);
        return 1;
    }
    if (!files.Open()) return 1;
    const RunEnd end = session.ReadLog(files.input, state.inputName);

    options.epochsWritten = state.epochCount;
    options.ephemeridesWritten = state.ephemerisCount;
    options.otherWritten = 0;
    // A file that did not reach the disk whole is never a success; the text of a failure
    // that ended the run earlier stands.
    const bool failedEarlier = end == RunEnd::kReadFailed || end == RunEnd::kSinkFailed;
    const bool closedWhole = files.Close(/*report=*/!failedEarlier);
    return end == RunEnd::kComplete && closedWhole ? 0 : 1;
}

}  // namespace

bool replaceExtension(char* name, std::size_t capacity, const char* extension) {
    std::size_t start = 0;
    while (name[start] == ' ') ++start;
    const char* trimmed = name + start;
    const std::size_t length = std::strlen(trimmed);
    // The extension starts at the last dot that follows every directory separator.
    std::size_t stem = length;
    for (std::size_t i = 0; i < length; ++i) {
        if (trimmed[i] == '\\' || trimmed[i] == '/') {
            stem = length;
        } else if (trimmed[i] == '.') {
            stem = i;
        }
    }
    const std::size_t extensionLength = std::strlen(extension);
    if (stem + extensionLength + 1 > capacity) return false;
    std::memmove(name, trimmed, stem);
    std::memcpy(name + stem, extension, extensionLength + 1);
    return true;
}

int32_t RunConversion(OptionBlock* options, CallbackBlock* callbacks, SolverStart solver) {
    state.epochCount = 0;
    state.ephemerisCount = 0;
    if (options == nullptr || callbacks == nullptr || options->blockSize != KESTREL_OPTION_BLOCK_SIZE ||
        callbacks->blockSize != KESTREL_CALLBACK_BLOCK_SIZE) {
        set_error_text(kVersionMismatch);
        return 1;
    }
    if (options->optionSize != KESTREL_OPTION_RECORD_SIZE) {
        set_error_text(kInvalidOptions);
        return 1;
    }
    return Convert(*options, *callbacks, solver);
}

}  // namespace kestrel

extern "C" int32_t KESTREL_STDCALL ConvertFile(OptionBlock* options, CallbackBlock* callbacks, int32_t) {
    return kestrel::RunConversion(options, callbacks, kestrel::SolverStart::kContinue);
}
