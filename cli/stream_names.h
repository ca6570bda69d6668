// SPDX-License-Identifier: BSD-2-Clause
// The names of a live stream's period files, shared by its raw and RTCM outputs: the name a
// period's file keeps until the period closes (one a run started after a crash finds again),
// and a final name not yet taken.
#pragma once

#include <string>

namespace kestrel::cli {

// The open period's file: this prefix before its final name, in the same folder.
constexpr const char* kStreamOpenPrefix = ".kestrel-stream-";
// Added to the final name of a file that missed bytes (a full disk).
constexpr const char* kIncompleteSuffix = ".incomplete";

std::string OpenNameOf(const std::string& finalPath);

// A name not yet taken in its folder: a period opened again (the receiver was reset and its
// time went back) gets "-2", "-3" before the extension rather than replacing the first; a
// compressed file's number goes before both its extensions (NAME-2.rnx.gz).
std::string UntakenPath(const std::string& path);

}  // namespace kestrel::cli
