// SPDX-License-Identifier: BSD-2-Clause
// Reads back the two files a conversion writes, by the rules a host reading them follows:
// the OBX observation file (header, then position records each followed by its
// measurement records) and the ephemeris text file (header line, then "GpsEph" blocks).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace abi {

struct FileSummary {
    std::string problem;  // empty when the file follows its format
    int32_t records = 0;  // epochs of an OBX file, "GpsEph" blocks of an ephemeris file
};

// `stored_name` is the path the file was created under, as the header must hold it.
FileSummary inspect_obx(const std::vector<uint8_t>& bytes, const std::string& stored_name);

// `crlf`: every line must end in CR LF (else in LF alone).
FileSummary inspect_epp(const std::vector<uint8_t>& bytes, bool crlf);

// Compares an OBX file written by the Windows plug-in with the native build's: equal byte
// for byte but for the header's creation time (offsets 8..19) and the writer's working
// slots (168..177). The single-point solution (latitude, longitude, height, corrected
// time, clock offset) is held to the bit as well: the library computes its sines, cosines,
// arctangents and powers itself, the same on both platforms. Empty when they agree, else
// the first difference, with the field it falls in.
std::string compare_obx(const std::vector<uint8_t>& windows, const std::vector<uint8_t>& native);

// Compares ephemeris files: the Windows one must hold CR LF line ends and read as the
// native one once they are taken as LF. Empty when they agree.
std::string compare_epp(const std::vector<uint8_t>& windows, const std::vector<uint8_t>& native);

std::vector<uint8_t> read_file(const std::string& path);
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace abi
