// SPDX-License-Identifier: BSD-2-Clause
// The command's help and its argument errors, in the manner of the command-line tools its
// users know: "Usage: kestrel COMMAND ..." first, option values named in words, an example
// for every subcommand, and errors in plain words that point to the subcommand's help.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
class ParseError;
class Validator;
}  // namespace CLI

namespace kestrel::cli {

// Sets the help layout on the whole command; subcommands added afterwards inherit it.
void UseHelpLayout(CLI::App& app);

// The help of `command` (empty: the whole command's overview); none for an unknown command.
std::optional<std::string> HelpText(const CLI::App& app, const std::string& command);

// The names of the subcommands, in the order the overview lists them.
std::vector<std::string> CommandNames();

// A parse error of `command` (empty: the whole command) in plain words, naming the option
// or argument, what was given and what is accepted, and pointing to the help.
std::string PlainParseError(const CLI::ParseError& error, const std::string& command);

// Prints "kestrel: <text> (see kestrel COMMAND --help)" on standard error: an argument of
// `command` is at fault.
void PrintUsageError(const std::string& command, const std::string& text);

// Validators whose refusals say what was given and what is accepted; they add no type tag to
// the help.
CLI::Validator WholeNumberValidator(long long lowest, long long highest);
CLI::Validator ChoiceValidator(const std::vector<std::string>& choices);

}  // namespace kestrel::cli
