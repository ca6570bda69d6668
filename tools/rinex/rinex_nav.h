// SPDX-License-Identifier: BSD-2-Clause
// RINEX GPS navigation files, versions 2 and 3: one broadcast ephemeris per record, as the
// file gives it.
#pragma once

#include <string>
#include <vector>

#include "kestrel/records.h"

namespace kestrel::rinex {

// One GPS broadcast ephemeris in the units of a RINEX navigation file: seconds, metres,
// radians, radians per second.
struct NavRecord {
    int prn = 0;
    int tocWeek = 0;       // full GPS week of the clock reference epoch (from its calendar date)
    double toc = 0.0;      // clock reference epoch, seconds of GPS week
    double af0 = 0.0;      // clock bias, s
    double af1 = 0.0;      // clock drift, s/s
    double af2 = 0.0;      // clock drift rate, s/s^2
    int iode = 0;
    double crs = 0.0;      // m
    double deltaN = 0.0;   // rad/s
    double m0 = 0.0;       // rad
    double cuc = 0.0;      // rad
    double ecc = 0.0;
    double cus = 0.0;      // rad
    double sqrtA = 0.0;    // m^1/2
    double toe = 0.0;      // seconds of GPS week
    double cic = 0.0;      // rad
    double omega0 = 0.0;   // rad
    double cis = 0.0;      // rad
    double i0 = 0.0;       // rad
    double crc = 0.0;      // m
    double omega = 0.0;    // argument of perigee, rad
    double omegaDot = 0.0; // rad/s
    double idot = 0.0;     // rad/s
    int l2Codes = 0;
    int week = 0;          // full GPS week of Toe, continuous (not mod 1024)
    int l2PFlag = 0;
    double accuracy = 0.0; // user range accuracy, m
    int health = 0;        // satellite health bits as broadcast (0 = healthy)
    double tgd = 0.0;      // s
    int iodc = 0;
    double transmissionTime = 0.0; // seconds of the GPS week `week`; may be negative (previous week)
    double fitInterval = 0.0;      // hours; 0 when not known

    // Transmission time in seconds since the start of GPS time.
    double TransmissionTotal() const { return week * 604800.0 + transmissionTime; }
};

// Reads every GPS ephemeris of a RINEX 2 GPS navigation file ("N" type) or a RINEX 3 GNSS
// navigation file (GPS or mixed; the records of other systems are skipped).
// On failure returns false with `error` naming the file, the line and the fault.
bool ReadNavFile(const std::string& path, std::vector<NavRecord>& records, std::string& error);

// Same, from text already in memory; `name` is used in error messages.
bool ParseNavText(const std::string& text, const std::string& name, std::vector<NavRecord>& records,
                  std::string& error);

// The ephemeris as the library's GpsEphRecord, with the values exactly as the file gives them:
// the 10-bit broadcast week, Filler 9999, Toc and Toe as whole seconds of week.
GpsEphRecord ToGpsEphRecord(const NavRecord& nav);

}  // namespace kestrel::rinex
