/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * Kestrel: converts NavCom GNSS receiver logs into an OBX observation file and an
 * ephemeris text file.
 *
 * This header is the host's view of the library: the three records a host fills in,
 * the two callbacks it may give, and the ten exported functions. On 32-bit Windows
 * every export and both callbacks use the stdcall convention; elsewhere the platform's
 * C convention. All records are packed and little-endian; their byte offsets are part
 * of the contract.
 */
#ifndef KESTREL_KESTREL_H
#define KESTREL_KESTREL_H

#include <stdint.h>

#if defined(_WIN32)
#define KESTREL_STDCALL __stdcall
#define KESTREL_EXPORT /* exported by the module-definition file */
#else
#define KESTREL_STDCALL
#define KESTREL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KESTREL_OPTION_BLOCK_SIZE = 2672,
    KESTREL_CALLBACK_BLOCK_SIZE = 272,
    KESTREL_OPTION_RECORD_SIZE = 16,
    KESTREL_PATH_SIZE = 256,
    KESTREL_ERROR_TEXT_SIZE = 512
};

/* Four switches, each off when zero. */
#pragma pack(push, 1)
typedef struct OptionRecord {
    int32_t flagEpochs;      /* default 0: mark every epoch with flag value 2 */
    int32_t reportL2Slips;   /* default 1: report L2 cycle slips as messages */
    int32_t clockCorrection; /* default 1: correct epoch time tags for the receiver clock */
    int32_t verboseDecoder;  /* default 0: also report frame-length diagnostics */
} OptionRecord;

/* What to convert and where; the three counters are filled in by ConvertFile. */
typedef struct OptionBlock {
    int32_t blockSize;                   /* must be KESTREL_OPTION_BLOCK_SIZE */
    char inputPath[KESTREL_PATH_SIZE];   /* NavCom log, NUL-terminated */
    char outputName[KESTREL_PATH_SIZE];  /* base name; its extension is replaced by .obx / .epp */
    int32_t optionSize;                  /* must be KESTREL_OPTION_RECORD_SIZE */
    OptionRecord options;
    uint8_t hostArea1[2032];             /* the host's; never touched */
    int32_t epochsWritten;               /* out */
    int32_t ephemeridesWritten;          /* out */
    int32_t otherWritten;                /* out, always 0 */
    uint8_t hostArea2[92];               /* the host's; never touched */
} OptionBlock;

/* time: seconds of GPS week the message concerns, or exactly -1.0 for none. */
typedef void(KESTREL_STDCALL* KestrelMessageCallback)(double time, const char* text);
/* done: input bytes read so far; total: input length in bytes. */
typedef void(KESTREL_STDCALL* KestrelProgressCallback)(int32_t done, int32_t total);

/* On 32-bit hosts the two callbacks sit at offsets 8 and 12; on 64-bit hosts the
 * pointers are 8 bytes wide and sit at 8 and 16. The block is 272 bytes either way. */
typedef struct CallbackBlock {
    int32_t blockSize; /* must be KESTREL_CALLBACK_BLOCK_SIZE */
    uint8_t hostArea1[4];
    KestrelMessageCallback messageCallback;   /* may be null */
    KestrelProgressCallback progressCallback; /* may be null */
    uint8_t hostArea2[KESTREL_CALLBACK_BLOCK_SIZE - 8 - 2 * sizeof(void*)];
} CallbackBlock;
#pragma pack(pop)

/* Ordinal 1. Writes the default switches when size is 16; otherwise does nothing. */
KESTREL_EXPORT void KESTREL_STDCALL SetFactoryDefaults(int32_t size, OptionRecord* record);
/* Ordinal 2. 1 when the file starts with NavCom measurement frames, else 0. */
KESTREL_EXPORT int32_t KESTREL_STDCALL AutoDetect(const char* path);
/* Ordinal 3. Asks a running conversion to stop at its next 2048-byte chunk. Any thread. */
KESTREL_EXPORT void KESTREL_STDCALL Abort(void);
/* Ordinal 4. Copies the latest message (at most KESTREL_ERROR_TEXT_SIZE bytes with its NUL). */
KESTREL_EXPORT void KESTREL_STDCALL GetErrString(char* text);
/* Ordinal 5. 0 when the whole input was converted; 1 on failure or abort (see GetErrString). */
KESTREL_EXPORT int32_t KESTREL_STDCALL ConvertFile(OptionBlock* options, CallbackBlock* callbacks,
                                                   int32_t reserved);
/* Ordinals 6 to 10: the reading side of a ThreadBuf record queue, and its capacity. */
KESTREL_EXPORT int32_t KESTREL_STDCALL GetThreadBufRecCount(const void* threadBuf, int32_t type);
KESTREL_EXPORT int32_t KESTREL_STDCALL GetThreadBufRecSize(const void* threadBuf, int32_t type);
KESTREL_EXPORT int32_t KESTREL_STDCALL ReadThreadBufData(const void* threadBuf, int32_t type,
                                                         int32_t maxRecords, void* destination);
KESTREL_EXPORT int32_t KESTREL_STDCALL GetThreadBufSize(void);
KESTREL_EXPORT void KESTREL_STDCALL SetThreadBufSize(int32_t size);

#ifdef __cplusplus
} /* extern "C" */

#include <cstddef>
static_assert(sizeof(OptionRecord) == 16);
static_assert(offsetof(OptionRecord, flagEpochs) == 0);
static_assert(offsetof(OptionRecord, reportL2Slips) == 4);
static_assert(offsetof(OptionRecord, clockCorrection) == 8);
static_assert(offsetof(OptionRecord, verboseDecoder) == 12);
static_assert(sizeof(OptionBlock) == KESTREL_OPTION_BLOCK_SIZE);
static_assert(offsetof(OptionBlock, blockSize) == 0);
static_assert(offsetof(OptionBlock, inputPath) == 4);
static_assert(offsetof(OptionBlock, outputName) == 260);
static_assert(offsetof(OptionBlock, optionSize) == 516);
static_assert(offsetof(OptionBlock, options) == 520);
static_assert(offsetof(OptionBlock, hostArea1) == 536);
static_assert(offsetof(OptionBlock, epochsWritten) == 2568);
static_assert(offsetof(OptionBlock, ephemeridesWritten) == 2572);
static_assert(offsetof(OptionBlock, otherWritten) == 2576);
static_assert(offsetof(OptionBlock, hostArea2) == 2580);
static_assert(sizeof(CallbackBlock) == KESTREL_CALLBACK_BLOCK_SIZE);
static_assert(offsetof(CallbackBlock, messageCallback) == 8);
static_assert(offsetof(CallbackBlock, progressCallback) == 8 + sizeof(void*));
#endif

#endif /* KESTREL_KESTREL_H */
