// SPDX-License-Identifier: BSD-2-Clause
// Inputs of the benchmarks, made once per process from real broadcast orbits: NavCom logs of
// the simulated station (in memory or as a file), its frames one by one, and epochs of a
// given number of satellites for the single-point solution.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/records.h"
#include "rinex/rinex_nav.h"
#include "rinex/station_day.h"

namespace kestrel::bench {

// The broadcast ephemerides of data/orbits (one day, every GPS satellite).
const std::vector<rinex::NavRecord>& BroadcastDay();

// The simulated station (GSI 0759) from 2010-07-01 00:00 GPS time, for `seconds` at 1 Hz.
rinex::StationDayOptions DayOptions(double seconds);

// A NavCom log of `hours` of the simulated station at 1 Hz (ephemeris frames included).
struct NavComLog {
    std::vector<uint8_t> bytes;
    std::size_t epochs = 0;
    std::size_t ephemerides = 0;
    std::size_t frames() const { return epochs + ephemerides; }
};
const NavComLog& SimulatedLog(int hours);

// The MEASUREMENT and EPHEMERIS frames of a log, each whole, in log order.
std::vector<std::vector<uint8_t>> FramesOf(const std::vector<uint8_t>& log, uint8_t recordId);

// The log ConvertFile is timed on: $KESTREL_BENCH_LOG when set, else a 24-hour log written
// once to the temporary folder.
std::string LongLogPath();

// Consecutive 1 s epochs of the simulated station with `satellites` satellites each (the
// first ones, by PRN, of epochs that track at least that many); the ephemerides go into the
// store.
struct SolveInput {
    EpochHeader header;
    std::vector<SatObservation> observations;
};
std::vector<SolveInput> SimulatedEpochs(int satellites, int count);

// The epochs of the station's real hour (data/rinex), 7 to 9 satellites, with its broadcast
// ephemerides put into the store.
std::vector<SolveInput> RealHourEpochs();

// Loads `nav` into the ephemeris store (cleared first).
void FillStore(const std::vector<rinex::NavRecord>& nav);

}  // namespace kestrel::bench
