// SPDX-License-Identifier: BSD-2-Clause
// "GpsEph" blocks: a head line with the PRN, six tab-indented lines El1: to El6: carrying
// the broadcast clock and orbit terms, and a closing brace. Reals are printed in
// scientific notation with three-digit exponents, so that a file is byte for byte the same
// whichever C library wrote it.
#include "plugin/eph_writer.h"

#include <cstring>

namespace kestrel {
namespace {

constexpr int kShortDigits = 8;   // digits after the point of most terms
constexpr int kLongDigits = 14;   // for the terms that need full double precision
constexpr int kExponentDigits = 3;
constexpr std::size_t kRealTextSize = 40;

// One real, formatted for the block.
struct Real {
    char text[kRealTextSize];
    Real(double value, int digits) { format_scientific(text, sizeof text, value, digits); }
};

}  // namespace

int format_scientific(char* out, std::size_t size, double value, int digits) {
    char raw[kRealTextSize];
    std::snprintf(raw, sizeof raw, "%.*e", digits, value);
    // The C library prints at least two exponent digits (some print three); widen to three.
    // Infinities and NaNs have no exponent and are left as printed.
    const char* e = std::strrchr(raw, 'e');
    if (e == nullptr || (e[1] != '+' && e[1] != '-')) return std::snprintf(out, size, "%s", raw);
    const char* exponent = e + 2;
    const int width = static_cast<int>(std::strlen(exponent));
    const int pad = width < kExponentDigits ? kExponentDigits - width : 0;
    return std::snprintf(out, size, "%.*s%.*s%s", static_cast<int>(exponent - raw), raw, pad, "000",
                         exponent);
}

void write_gps_eph_block(std::FILE* stream, const GpsEphRecord* record) {
    const GpsEphRecord& r = *record;
    std::fprintf(stream, "GpsEph { Prn: %d\n\tEl1: %d %d %s %d %d\n", static_cast<int>(r.Prn),
                 static_cast<int>(r.Week), static_cast<int>(r.Filler), Real(r.Tgd, kShortDigits).text,
                 static_cast<int>(r.Iodc), static_cast<int>(r.Toc));
    std::fprintf(stream, "\tEl2: %s %s %s\n", Real(r.Af2, kShortDigits).text,
                 Real(r.Af1, kShortDigits).text, Real(r.Af0, kShortDigits).text);
    std::fprintf(stream, "\tEl3: %d %s %s %s\n", static_cast<int>(r.Iode), Real(r.Crs, kShortDigits).text,
                 Real(r.DeltaN, kShortDigits).text, Real(r.M0, kLongDigits).text);
    std::fprintf(stream, "\tEl4: %s %s %s %s\n", Real(r.Cuc, kShortDigits).text,
                 Real(r.Ecc, kLongDigits).text, Real(r.Cus, kShortDigits).text,
                 Real(r.SqrtA, kLongDigits).text);
    std::fprintf(stream, "\tEl5: %d %s %s %s\n", static_cast<int>(r.Toe), Real(r.Cic, kShortDigits).text,
                 Real(r.Omega0, kLongDigits).text, Real(r.Cis, kShortDigits).text);
    std::fprintf(stream, "\tEl6: %s %s %s %s %s\n}\n", Real(r.I0, kLongDigits).text,
                 Real(r.Crc, kShortDigits).text, Real(r.Omega, kLongDigits).text,
                 Real(r.OmegaDot, kShortDigits).text, Real(r.Idot, kShortDigits).text);
}

}  // namespace kestrel
