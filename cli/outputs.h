// SPDX-License-Identifier: BSD-2-Clause
// The command's rules for the files it reads and writes, shared by convert, rinex and qc: a log
// is never written and never run twice, an output option never names a folder, a log that gave
// nothing is a failure said in one way, and a file replaced is announced.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kestrel::cli {

// The logs to run: every one is registered as an input (no output is ever written over it), and
// a log named again under any name (a hard link, "./x" and "x") is refused, named on standard
// error with the first name, and counted in `refused`.
std::vector<std::string> DistinctInputs(const std::vector<std::string>& inputs, int& refused);

// When `output` is the same file as an input: the message naming both; empty otherwise.
std::string OverwritesInput(const std::string& output);

// Before anything runs, whether `input` may run given the files it would write: `outputs`, and
// its messages file when `messages` is not empty. None may be a log (a bad argument), none may
// be claimed by an earlier log in `claimed` (file to log, where this log's are recorded), and
// the messages file must be writable. A refusal is named on standard error.
enum class Admission { kAdmitted, kRefused, kBadArgument };
Admission Admit(std::map<std::string, std::string>& claimed, const std::string& input,
                const std::vector<std::string>& outputs, const std::string& messages);

// When the value of an option that names one output file names a folder (an existing one, or a
// name ending in '/'): the message, with the hint to use -d; empty otherwise.
std::string NamesFolder(const std::string& option, const std::string& value);

// Why a log cannot be read, with the system's reason ("Error: Unable to open LOG: Permission
// denied", "Error: Unable to read LOG: Is a directory"); empty when it can ("-" always can).
// A FIFO or a device is never opened to find out (its writer would lose what it wrote).
std::string UnreadableInput(const std::string& input);

// The failure of a log that was read and gave no epoch and no ephemeris.
std::string NothingDecoded(const std::string& input);

// One line on standard error naming an existing file an output replaced.
void AnnounceReplaced(const std::string& path);

// The file of a log's messages with --log-files: NAME.messages in `directory`, or beside the log.
std::string MessagesFileOf(const std::string& input, const std::string& directory);

}  // namespace kestrel::cli
