/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * Byte layouts of the records Kestrel queues in a ThreadBuf and writes to its OBX
 * file. All are packed and little-endian: doubles sit on 4-byte, not 8-byte, boundaries,
 * so read them with memcpy, never through a cast pointer into a byte buffer.
 */
#ifndef KESTREL_RECORDS_H
#define KESTREL_RECORDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ThreadBuf record types made by the NavCom decoder. */
enum {
    KESTREL_TYPE_EPOCH_HEADER = 1,   /* EpochHeader, 68 bytes */
    KESTREL_TYPE_SAT_OBSERVATION = 2, /* SatObservation, 44 bytes */
    KESTREL_TYPE_GPS_EPHEMERIS = 3,   /* GpsEphRecord followed by 4 zero bytes, 184 bytes */
    KESTREL_TYPE_SAT_LOCK_INFO = 4    /* SatLockInfo, 32 bytes */
};

enum {
    KESTREL_EPOCH_FLAG_CLOCK_CORRECTED = 1, /* corrected_time and clock_offset hold a solution */
    KESTREL_EPOCH_FLAG_MARKED = 2           /* the flagEpochs switch was on */
};

#pragma pack(push, 1)

/* One receiver epoch; also the OBX file's position record. */
typedef struct EpochHeader {
    uint16_t record_size; /* 0 in the queue; 68 in the file */
    uint8_t sat_count;    /* SatObservation records that follow */
    uint8_t flags;        /* KESTREL_EPOCH_FLAG_* */
    uint8_t reserved1[4];
    double latitude;      /* degrees, single-point solution; 0 when none */
    double longitude;     /* degrees */
    float height;         /* metres above the ellipsoid */
    double time_tag;      /* receiver time, seconds of GPS week */
    double corrected_time; /* time_tag - clock_offset / c; equal to time_tag when uncorrected */
    double clock_offset;   /* receiver clock offset, metres */
    uint8_t reserved2[16];
} EpochHeader;

/* One satellite's observation at one epoch; also the OBX file's measurement record. */
typedef struct SatObservation {
    uint16_t record_size; /* 0 in the queue; 44 in the file */
    uint8_t prn;
    uint8_t lock_time;    /* whole seconds of continuous L1 lock, capped at 255 */
    double ca_range;      /* C/A pseudorange, metres */
    double l1_phase;      /* L1 cycles */
    double l1_doppler;    /* Hz */
    double p2_range;      /* L2 P-code pseudorange, metres; 0 without L2 */
    double l2_phase;      /* L2 cycles; 0 without L2 */
} SatObservation;

/* Lock times and signal strength of one satellite, in SatObservation order. */
typedef struct SatLockInfo {
    int32_t reserved;
    int32_t info_kind; /* always 7 */
    double l1_lock_seconds;
    double l2_lock_seconds;
    double strength; /* 35..50 */
} SatLockInfo;

/* One GPS broadcast ephemeris in engineering units (seconds, metres, radians). */
typedef struct GpsEphRecord {
    int32_t Prn;
    int32_t Week;   /* 10-bit week as broadcast */
    int32_t Filler; /* always 9999 */
    double Tgd;
    int32_t Iodc;
    int32_t Toc;    /* seconds of week */
    double Af2;
    double Af1;
    double Af0;
    int32_t Iode;
    double DeltaN;
    double M0;
    double Ecc;
    double SqrtA;
    int32_t Toe;    /* seconds of week */
    double Cic;
    double Crc;
    double Cis;
    double Crs;
    double Cuc;
    double Cus;
    double Omega0;
    double Omega;   /* argument of perigee */
    double I0;
    double OmegaDot;
    double Idot;
} GpsEphRecord;

/* The 202-byte header of an OBX observation file. */
typedef struct ObxHeader {
    uint16_t header_size; /* 202 */
    float version;        /* 1.01f: bytes AE 47 81 3F */
    uint8_t sat_limit;
    uint8_t channels;     /* most measurement records one epoch may hold */
    int16_t create_month; /* 0 = January */
    int16_t create_day;
    int16_t create_year;  /* years since 1900 */
    int16_t create_hour;
    int16_t create_minute;
    int16_t create_second;
    float nominal_value;
    char file_name[144];
    uint8_t working1[4];  /* the writer's own; readers ignore it */
    int16_t buffer_size;
    uint8_t working2[4];  /* the writer's own; readers ignore it */
    uint8_t reserved[24];
} ObxHeader;

#pragma pack(pop)

#ifdef __cplusplus
} /* extern "C" */

#include <cstddef>
static_assert(sizeof(EpochHeader) == 68);
static_assert(offsetof(EpochHeader, record_size) == 0);
static_assert(offsetof(EpochHeader, sat_count) == 2);
static_assert(offsetof(EpochHeader, flags) == 3);
static_assert(offsetof(EpochHeader, reserved1) == 4);
static_assert(offsetof(EpochHeader, latitude) == 8);
static_assert(offsetof(EpochHeader, longitude) == 16);
static_assert(offsetof(EpochHeader, height) == 24);
static_assert(offsetof(EpochHeader, time_tag) == 28);
static_assert(offsetof(EpochHeader, corrected_time) == 36);
static_assert(offsetof(EpochHeader, clock_offset) == 44);
static_assert(offsetof(EpochHeader, reserved2) == 52);

static_assert(sizeof(SatObservation) == 44);
static_assert(offsetof(SatObservation, record_size) == 0);
static_assert(offsetof(SatObservation, prn) == 2);
static_assert(offsetof(SatObservation, lock_time) == 3);
static_assert(offsetof(SatObservation, ca_range) == 4);
static_assert(offsetof(SatObservation, l1_phase) == 12);
static_assert(offsetof(SatObservation, l1_doppler) == 20);
static_assert(offsetof(SatObservation, p2_range) == 28);
static_assert(offsetof(SatObservation, l2_phase) == 36);

static_assert(sizeof(SatLockInfo) == 32);
static_assert(offsetof(SatLockInfo, info_kind) == 4);
static_assert(offsetof(SatLockInfo, l1_lock_seconds) == 8);
static_assert(offsetof(SatLockInfo, l2_lock_seconds) == 16);
static_assert(offsetof(SatLockInfo, strength) == 24);

static_assert(sizeof(GpsEphRecord) == 180);
static_assert(offsetof(GpsEphRecord, Prn) == 0);
static_assert(offsetof(GpsEphRecord, Week) == 4);
static_assert(offsetof(GpsEphRecord, Filler) == 8);
static_assert(offsetof(GpsEphRecord, Tgd) == 12);
static_assert(offsetof(GpsEphRecord, Iodc) == 20);
static_assert(offsetof(GpsEphRecord, Toc) == 24);
static_assert(offsetof(GpsEphRecord, Af2) == 28);
static_assert(offsetof(GpsEphRecord, Af1) == 36);
static_assert(offsetof(GpsEphRecord, Af0) == 44);
static_assert(offsetof(GpsEphRecord, Iode) == 52);
static_assert(offsetof(GpsEphRecord, DeltaN) == 56);
static_assert(offsetof(GpsEphRecord, M0) == 64);
static_assert(offsetof(GpsEphRecord, Ecc) == 72);
static_assert(offsetof(GpsEphRecord, SqrtA) == 80);
static_assert(offsetof(GpsEphRecord, Toe) == 88);
static_assert(offsetof(GpsEphRecord, Cic) == 92);
static_assert(offsetof(GpsEphRecord, Crc) == 100);
static_assert(offsetof(GpsEphRecord, Cis) == 108);
static_assert(offsetof(GpsEphRecord, Crs) == 116);
static_assert(offsetof(GpsEphRecord, Cuc) == 124);
static_assert(offsetof(GpsEphRecord, Cus) == 132);
static_assert(offsetof(GpsEphRecord, Omega0) == 140);
static_assert(offsetof(GpsEphRecord, Omega) == 148);
static_assert(offsetof(GpsEphRecord, I0) == 156);
static_assert(offsetof(GpsEphRecord, OmegaDot) == 164);
static_assert(offsetof(GpsEphRecord, Idot) == 172);

static_assert(sizeof(ObxHeader) == 202);
static_assert(offsetof(ObxHeader, header_size) == 0);
static_assert(offsetof(ObxHeader, version) == 2);
static_assert(offsetof(ObxHeader, sat_limit) == 6);
static_assert(offsetof(ObxHeader, channels) == 7);
static_assert(offsetof(ObxHeader, create_month) == 8);
static_assert(offsetof(ObxHeader, create_day) == 10);
static_assert(offsetof(ObxHeader, create_year) == 12);
static_assert(offsetof(ObxHeader, create_hour) == 14);
static_assert(offsetof(ObxHeader, create_minute) == 16);
static_assert(offsetof(ObxHeader, create_second) == 18);
static_assert(offsetof(ObxHeader, nominal_value) == 20);
static_assert(offsetof(ObxHeader, file_name) == 24);
static_assert(offsetof(ObxHeader, working1) == 168);
static_assert(offsetof(ObxHeader, buffer_size) == 172);
static_assert(offsetof(ObxHeader, working2) == 174);
static_assert(offsetof(ObxHeader, reserved) == 178);
#endif

#endif /* KESTREL_RECORDS_H */
