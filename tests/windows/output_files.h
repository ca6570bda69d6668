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

std::vector<uint8_t> read_file(const std::string& path);
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace abi
