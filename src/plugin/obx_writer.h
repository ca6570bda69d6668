// SPDX-License-Identifier: BSD-2-Clause
// OBX observation file writer: a 202-byte header, then per epoch one 68-byte position
// record (EpochHeader) and its 44-byte measurement records (SatObservation).
#pragma once

#include <cstdint>

#include "kestrel/records.h"

namespace kestrel {

struct ObxFile;  // one open OBX file; valid from obx_create to obx_close

constexpr uint16_t kObxHeaderSize = 202;
constexpr uint16_t kObxPositionRecordSize = 68;
constexpr uint16_t kObxMeasurementRecordSize = 44;
constexpr float kObxVersion = 1.01f;          // bytes AE 47 81 3F in the file
constexpr int kObxFileNameMaxLength = 143;    // longer paths are stored cut

// Stores `path` in the header's file name field as the file keeps it: cut to
// kObxFileNameMaxLength characters when longer, the rest of the field zero.
void obx_store_file_name(ObxHeader& header, const char* path);

// Creates (or truncates) the file and writes its header. Null on failure, with the reason
// in the error text. buffer_size 0 keeps the stream's default buffering.
ObxFile* obx_create(const char* path, uint8_t sat_limit, float nominal_value, int16_t buffer_size,
                    uint8_t channels);

// Appends one epoch: the position record and its sat_count measurement records. Sets
// their record_size fields. 0 on success; 1 with the reason in the error text (an epoch
// with more records than the file's channels is refused whole).
int32_t obx_write_epoch(ObxFile* file, EpochHeader* position, SatObservation* measurements);

// Closes the file and releases the handle. 0 when every byte reached the file; 1 when a
// write or the close failed, or the handle is not valid (the error text is not touched).
int32_t obx_close(ObxFile* file);

}  // namespace kestrel
