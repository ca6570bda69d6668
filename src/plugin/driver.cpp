// The conversion driver: checks the host's blocks, opens the input and the two outputs,
// feeds the input to decoder port 0 in 2048-byte chunks, and after every byte that
// completed a record drains the ThreadBuf into the OBX file (one epoch) or the ephemeris
// text file (one "GpsEph" block).
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/bytes.h"
#include "common/error_text.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "navcom/frame_parser.h"
#include "output/eph_writer.h"
#include "output/obx_writer.h"
#include "plugin/plugin.h"
#include "positioning/eph_store.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr std::size_t kChunkBytes = 2048;
constexpr int32_t kDecoderPort = 0;

// How the driver creates every OBX file.
constexpr uint8_t kObxSatLimit = 32;
constexpr float kObxNominalValue = 1.0f;
constexpr int16_t kObxBufferBytes = 2048;
constexpr uint8_t kObxChannels = 12;

constexpr int32_t kObservationCapacity = 24;  // SatObservation records read per epoch
constexpr std::size_t kEphemerisEntryBytes = 184;  // GpsEphRecord and 4 zero bytes
static_assert(kEphemerisEntryBytes >= sizeof(GpsEphRecord));

constexpr const char* kObxExtension = ".obx";
constexpr const char* kEphemerisExtension = ".epp";

constexpr const char* kVersionMismatch = "Incorrect version of NAVCOM Conversion DLL";
constexpr const char* kInvalidOptions = "Incorrect version of NAVCOM Conversion DLL, Invalid options";
constexpr const char* kNameTooLong = "Error: File name too long";
constexpr const char* kCannotOpen = "Error: Unable to open %s";
constexpr const char* kCannotRead = "Error: Unable to read %s";
constexpr const char* kCannotWrite = "Error: Unable to write to %s";
constexpr const char* kUserQuit = "User Quit";

// Work areas of the conversion, reused by every call.
struct DriverState {
    char inputName[KESTREL_PATH_SIZE];
    char obxName[KESTREL_PATH_SIZE];
    char ephemerisName[KESTREL_PATH_SIZE];
    uint8_t chunk[kChunkBytes];
    uint8_t threadBuf[kThreadBufMemoryBytes];
    SatObservation observations[kObservationCapacity];
    int32_t epochCount;
    int32_t ephemerisCount;
};
DriverState state;

// The three open files of one conversion.
struct OpenFiles {
    std::FILE* input = nullptr;
    ObxFile* obx = nullptr;
    std::FILE* ephemeris = nullptr;
};

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

// The input's length in bytes, measured on the open stream and left at its start; -1 when
// the stream cannot tell (a pipe, for one).
long long MeasureLength(std::FILE* input) {
    if (std::fseek(input, 0, SEEK_END) != 0) {
        std::clearerr(input);
        return -1;
    }
    const long end = std::ftell(input);
    std::rewind(input);
    return end < 0 ? -1 : end;
}

int32_t ClampToInt32(long long value) { return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value); }

void ReportProgress(const CallbackBlock& callbacks, long long done, long long total) {
    if (callbacks.progressCallback != nullptr) callbacks.progressCallback(ClampToInt32(done), ClampToInt32(total));
}

enum class Drain { kDone, kWriteFailed };

// Writes what the last decoded record left in the ThreadBuf: an epoch (types 1 and 2) or
// else an ephemeris (type 3).
Drain DrainRecords(const OpenFiles& files, EpochHeader& epoch) {
    const uint8_t* queue = state.threadBuf;
    if (GetThreadBufRecCount(queue, KESTREL_TYPE_EPOCH_HEADER) != 0 &&
        GetThreadBufRecCount(queue, KESTREL_TYPE_SAT_OBSERVATION) != 0) {
        if (ReadThreadBufData(queue, KESTREL_TYPE_EPOCH_HEADER, 1, &epoch) == 0) return Drain::kDone;
        if (ReadThreadBufData(queue, KESTREL_TYPE_SAT_OBSERVATION, kObservationCapacity, state.observations) == 0) {
            return Drain::kDone;
        }
        if (obx_write_epoch(files.obx, &epoch, state.observations) != 0) {
            // An epoch with more satellites than the file has channels is left out and
            // reported; the conversion goes on. Anything else is a failed write.
            if (epoch.sat_count > kObxChannels) {
                relayMessage(epoch.time_tag, error_text());
                return Drain::kDone;
            }
            return Drain::kWriteFailed;
        }
        ++state.epochCount;
    } else if (GetThreadBufRecCount(queue, KESTREL_TYPE_GPS_EPHEMERIS) != 0) {
        uint8_t entry[kEphemerisEntryBytes];
        if (ReadThreadBufData(queue, KESTREL_TYPE_GPS_EPHEMERIS, 1, entry) == 0) return Drain::kDone;
        GpsEphRecord record;
        load_record(record, entry);
        write_gps_eph_block(files.ephemeris, &record);
        ++state.ephemerisCount;
    }
    return Drain::kDone;
}

// Closes the ephemeris stream; false when anything written to it was lost.
bool CloseTextStream(std::FILE* stream) {
    const bool hadError = std::ferror(stream) != 0;
    const bool closed = std::fclose(stream) == 0;
    return !hadError && closed;
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

}  // namespace kestrel

extern "C" int32_t KESTREL_STDCALL ConvertFile(OptionBlock* options, CallbackBlock* callbacks, int32_t) {
    using namespace kestrel;
    state.epochCount = 0;
    state.ephemerisCount = 0;
    EpochHeader epoch;
    std::memset(&epoch, 0, sizeof epoch);

    if (options == nullptr || callbacks == nullptr || options->blockSize != KESTREL_OPTION_BLOCK_SIZE ||
        callbacks->blockSize != KESTREL_CALLBACK_BLOCK_SIZE) {
        set_error_text(kVersionMismatch);
        return 1;
    }
    if (options->optionSize != KESTREL_OPTION_RECORD_SIZE) {
        set_error_text(kInvalidOptions);
        return 1;
    }
    SetHostCallbacks(callbacks);
    ResetAbortCount();
    eph_store_clear();

    if (!DeriveNames(*options)) {
        set_error_text(kNameTooLong);
        return 1;
    }

    OpenFiles files;
    files.input = std::fopen(state.inputName, "rb");
    if (files.input == nullptr) {
        format_error_text(kCannotOpen, state.inputName);
        return 1;
    }
    files.obx = obx_create(state.obxName, kObxSatLimit, kObxNominalValue, kObxBufferBytes, kObxChannels);
    if (files.obx == nullptr) {
        std::fclose(files.input);
        return 1;
    }
    // Text mode: each line ends in the platform's own way (CR LF on Windows).
    files.ephemeris = std::fopen(state.ephemerisName, "w");
    if (files.ephemeris == nullptr) {
        format_error_text(kCannotOpen, state.ephemerisName);
        std::fclose(files.input);
        obx_close(files.obx);
        return 1;
    }
    std::fputs(kEphemerisFileHeader, files.ephemeris);
    if (OpenPort(kDecoderPort, relayMessage) != 0) {
        std::fclose(files.input);
        obx_close(files.obx);
        std::fclose(files.ephemeris);
        return 1;
    }
    SetPortOptions(kDecoderPort, &options->options, KESTREL_OPTION_RECORD_SIZE);
    const long long fileLength = MeasureLength(files.input);

    // `failed` marks a failure that ends the conversion early; its text is in the error text.
    long long bytesRead = 0;
    bool aborted = false;
    bool failed = false;
    while (!failed) {
        if (AbortCount() != 0) {
            aborted = true;
            set_error_text(kUserQuit);
            break;
        }
        if (std::feof(files.input)) break;
        const std::size_t n = std::fread(state.chunk, 1, kChunkBytes, files.input);
        bytesRead += static_cast<long long>(n);
        for (std::size_t i = 0; i < n; ++i) {
            const int32_t result = FeedByte(kDecoderPort, state.chunk[i], state.threadBuf);
            if (result > 0) {
                if (DrainRecords(files, epoch) == Drain::kWriteFailed) {
                    failed = true;
                    break;
                }
            } else if (result == -1) {
                relayMessage(-1.0, error_text());
            }
        }
        if (!failed && n < kChunkBytes && std::ferror(files.input)) {
            format_error_text(kCannotRead, state.inputName);
            failed = true;
        }
        ReportProgress(*callbacks, bytesRead, fileLength < 0 ? 0 : fileLength);
    }
    // Bytes of rejected or unfinished frames that still wait are examined before the files
    // close, so that a good frame among them is written too.
    while (!failed && !aborted) {
        const int32_t result = FeedEndOfInput(kDecoderPort, state.threadBuf);
        if (result <= 0) break;
        if (DrainRecords(files, epoch) == Drain::kWriteFailed) failed = true;
    }
    // A stream that cannot tell its length reports what was read as the whole.
    const long long total = fileLength < 0 ? bytesRead : fileLength;
    ReportProgress(*callbacks, total, total);

    options->epochsWritten = state.epochCount;
    options->ephemeridesWritten = state.ephemerisCount;
    options->otherWritten = 0;

    std::fclose(files.input);
    const bool obxComplete = obx_close(files.obx) == 0;
    const bool ephemerisComplete = CloseTextStream(files.ephemeris);
    // A file that did not reach the disk whole is never a success; the first failure's
    // text stands.
    if (!obxComplete && !failed) {
        format_error_text(kCannotWrite, state.obxName);
        failed = true;
    }
    if (!ephemerisComplete && !failed) {
        format_error_text(kCannotWrite, state.ephemerisName);
        failed = true;
    }
    return failed || aborted ? 1 : 0;
}
