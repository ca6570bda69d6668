// SPDX-License-Identifier: BSD-2-Clause
// Reads an ephemeris text file by the format's reading rules (first line, block heads,
// content lines, keyword lines with their value counts and kinds) to check what the
// library writes. Only "GpsEph" blocks are expected.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kestrel::test {

struct EphTextCheck {
    int gpsEphBlocks = 0;
    std::vector<int> prns;  // the Prn: of each block, in file order
    std::string problem;    // the first rule broken; empty when the text is sound
};

EphTextCheck CheckEphemerisText(const std::string& text);

}  // namespace kestrel::test
