// SPDX-License-Identifier: BSD-2-Clause
#include "help.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>

#include <CLI/CLI.hpp>

#include "commands.h"

namespace kestrel::cli {
namespace {

constexpr std::size_t kWidth = 80;         // of a help line
constexpr std::size_t kOptionColumn = 30;  // where an option's description starts

struct CommandHelp {
    const char* name;
    const char* summary;  // one line in the overview
};
// The subcommands in the overview's order.
constexpr CommandHelp kCommands[] = {
    {"convert", "NavCom logs to OBX observation and ephemeris files"},
    {"rinex", "NavCom logs to RINEX 3.04 or 2.11 observation and navigation files"},
    {"qc", "how complete and clean NavCom logs are: gaps, slips, multipath, clock, position"},
    {"rtcm", "NavCom logs to RTCM 3 files, as a reference station sends them"},
    {"detect", "tell NavCom logs from other files"},
    {"inspect", "the header and epochs of OBX files, and any damage"},
    {"stream", "a live receiver into raw and RINEX files per period of the data's time"},
};

struct Example {
    const char* command;
    const char* line;  // as typed
    const char* what;  // what it does
};
constexpr Example kExamples[] = {
    {"convert", "kestrel convert station.nav -o day1", "writes day1.obx and day1.epp"},
    {"convert", "kestrel convert -r /data/2026 -d /data/obx -j 8 --skip-existing",
     "converts an archive, eight logs at a time, leaving out those done before"},
    {"convert", "gzip -dc station.nav.gz | kestrel convert - -o day1", "converts a log read from standard input"},
    {"rinex", "kestrel rinex station.nav --marker GSI1 -d rinex",
     "RINEX 3.04 observation and navigation files with long names in the folder rinex"},
    {"rinex", "kestrel rinex station.nav -v 2.11 --interval 30 -o gsi10920.05o -n gsi10920.05n",
     "RINEX 2.11 files at 30 s, named outright"},
    {"rinex", "kestrel rinex --splice --period 1h -d rinex logs/*.nav",
     "hourly files across the consecutive logs of one receiver"},
    {"qc", "kestrel qc station.nav", "the summary of one log on standard output"},
    {"qc", "kestrel qc station.nav --plot report.html --json report.json",
     "every figure as JSON, and an HTML page with the summary and the pictures"},
    {"qc", "kestrel qc -r /data/2026 --json - -q > archive.json",
     "the JSON document of a whole archive on standard output"},
    {"rtcm", "kestrel rtcm station.nav --position -3957199.2,3310199.8,3737711.7 -o base.rtcm3",
     "MSM4 every epoch, ephemerides as they arrive, 1006 and 1033 every 10 s, at a surveyed point"},
    {"rtcm", "kestrel rtcm station.nav --msg '1077,1019,1006(5),1033(30)' --antenna-height 1.5",
     "MSM7 with the position of the first ten minutes' solutions, sent every 5 s with the antenna height"},
    {"detect", "kestrel detect logs/*", "one line per file: NavCom binary or not"},
    {"detect", "kestrel detect - < capture.bin", "looks at standard input"},
    {"inspect", "kestrel inspect day1.obx", "the header, epochs, satellites and damage of an OBX file"},
    {"inspect", "kestrel inspect obx/*.obx", "one summary per file; status 1 when any is damaged"},
    {"stream", "kestrel stream serial:/dev/ttyUSB0:115200 --raw raw --rinex rinex --station GSI100JPN",
     "hourly raw and RINEX 3.04 files of a receiver on a serial port"},
    {"stream", "kestrel stream tcp:192.0.2.10:4001 --rinex rinex --period 15m --status /run/kestrel/gsi1.json",
     "15-minute RINEX files of a receiver behind a serial-to-network bridge, its state in a JSON file"},
    {"stream", "kestrel stream file:station.nav --speed 0 --raw raw --period 1d",
     "a log replayed as fast as it can be read, cut into daily raw files"},
    {"stream", "kestrel stream serial:/dev/ttyUSB0 --raw raw --position X,Y,Z --rtcm ntripc://:2101/GSI1",
     "raw files, and the station's RTCM 3 served to rovers by the built-in NTRIP caster (this computer only)"},
};

// `text` broken into lines of at most `width` characters at spaces, each after `indent`
// spaces (the first line after `firstIndent`).
std::string Wrap(const std::string& text, std::size_t indent, std::size_t firstIndent, std::size_t width = kWidth) {
    std::string out;
    std::size_t column = firstIndent;
    bool lineStart = true;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (!lineStart && column + 1 + word.size() > width) {
            out += '\n' + std::string(indent, ' ');
            column = indent;
            lineStart = true;
        }
        if (!lineStart) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        lineStart = false;
    }
    return out;
}

// "-o, --output OUTBASE" for an option; "LOG..." for an argument.
std::string OptionTag(const CLI::Option& opt) {
    if (opt.get_positional()) {
        std::string tag = opt.get_name(true, false);
        if (opt.get_expected_max() >= CLI::detail::expected_max_vector_size) tag += "...";
        return tag;
    }
    std::string tag;
    for (const std::string& s : opt.get_snames()) tag += (tag.empty() ? "-" : ", -") + s;
    for (const std::string& l : opt.get_lnames()) tag += (tag.empty() ? "--" : ", --") + l;
    if (opt.get_type_size() != 0) tag += " " + opt.get_type_name();
    return tag;
}

std::string OptionLine(const CLI::Option& opt) {
    std::string line = "  " + OptionTag(opt);
    if (line.size() + 2 > kOptionColumn) {
        line += '\n' + std::string(kOptionColumn, ' ');
    } else {
        line.resize(kOptionColumn, ' ');
    }
    return line + Wrap(opt.get_description(), kOptionColumn, kOptionColumn) + '\n';
}

std::string UsageOf(const CLI::App& sub) {
    std::string usage = "Usage: kestrel " + sub.get_name() + " [OPTIONS]";
    for (const CLI::Option* opt : sub.get_options([](const CLI::Option* o) { return o->get_positional(); })) {
        const std::string tag = OptionTag(*opt);
        usage += " " + (opt->get_required() ? tag : "[" + tag + "]");
    }
    return usage;
}

std::string CommandHelpText(const CLI::App& sub) {
    std::string out = UsageOf(sub) + "\n\n" + Wrap(sub.get_description(), 0, 0) + "\n";
    const auto positionals = sub.get_options([](const CLI::Option* o) { return o->get_positional(); });
    if (!positionals.empty()) {
        out += "\nArguments:\n";
        for (const CLI::Option* opt : positionals) out += OptionLine(*opt);
    }
    out += "\nOptions:\n";
    for (const CLI::Option* opt : sub.get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
        out += OptionLine(*opt);
    }
    out += "\nExamples:\n";
    for (const Example& e : kExamples) {
        if (sub.get_name() == e.command) out += std::string("  ") + e.line + "\n      " + Wrap(e.what, 6, 6) + "\n";
    }
    return out + "\n" + Wrap(sub.get_footer(), 0, 0) + "\n";
}

std::string OverviewText(const CLI::App& app) {
    std::string out = "Usage: kestrel COMMAND [OPTIONS] [ARGUMENTS]\n       kestrel help [COMMAND]\n\n" +
                      Wrap(app.get_description(), 0, 0) + "\n\nCommands:\n";
    for (const CommandHelp& c : kCommands) {
        std::string line = std::string("  ") + c.name;
        line.resize(12, ' ');
        out += line + Wrap(c.summary, 12, 12) + "\n";
    }
    out += "\nOptions:\n";
    for (const CLI::Option* opt : app.get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
        out += OptionLine(*opt);
    }
    return out + "\n" + Wrap(app.get_footer(), 0, 0) + "\n" +
           Wrap("Run 'kestrel help COMMAND' or 'kestrel COMMAND --help' for a command's options and examples.", 0, 0) +
           "\n";
}

class HelpLayout : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
        return app->get_parent() == nullptr ? OverviewText(*app) : CommandHelpText(*app);
    }
};

// The text after the first ": " of a message; the whole message when there is none.
std::string AfterColon(const std::string& text) {
    const std::size_t colon = text.find(": ");
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

// The option a message starts with ("--plot: ..."); empty when it starts otherwise.
std::string LeadingOption(const std::string& text) {
    const std::size_t colon = text.find(": ");
    if (colon == std::string::npos || text.empty() || text[0] != '-') return {};
    return text.substr(0, colon);
}

}  // namespace

void UseHelpLayout(CLI::App& app) {
    app.formatter(std::make_shared<HelpLayout>());
    app.set_help_flag("-h,--help", "print this help and exit");
}

std::optional<std::string> HelpText(const CLI::App& app, const std::string& command) {
    if (command.empty()) return OverviewText(app);
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->get_name() == command) return CommandHelpText(*sub);
    }
    return std::nullopt;
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const CommandHelp& c : kCommands) names.emplace_back(c.name);
    return names;
}

std::string PlainParseError(const CLI::ParseError& error, const std::string& command) {
    const std::string what = error.what();
    std::string text = what;
    // By the error's class: CLI11 names some errors after the subcommand that raised them.
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
        // "LOG is required"
        const std::size_t is = what.find(" is required");
        text = is == std::string::npos ? what : "no " + what.substr(0, is) + " given";
    } else if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        std::istringstream words(AfterColon(what));
        std::string first;
        words >> first;
        text = first.size() > 1 && first[0] == '-' ? "unknown option " + first
                                                   : "unexpected argument '" + AfterColon(what) + "'";
    } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        const std::string option = LeadingOption(what);
        if (what.find("At Most") != std::string::npos) {
            text = option + " is given more than once; give it once";
        } else if (what.find(" missing") != std::string::npos) {
            // "--output: 1 required OUTBASE missing"
            std::istringstream words(AfterColon(what));
            std::string count, required, value;
            words >> count >> required >> value;
            text = option + " needs a value" + (value.empty() ? "" : ": " + value);
        }
    }
    return text + " (see kestrel" + (command.empty() ? "" : " " + command) + " --help)";
}

void PrintUsageError(const std::string& command, const std::string& text) {
    PrintError(text + " (see kestrel " + command + " --help)");
}

CLI::Validator WholeNumberValidator(long long lowest, long long highest) {
    return CLI::Validator(
        [lowest, highest](std::string& value) {
            char* end = nullptr;
            errno = 0;
            const long long n = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || n < lowest || n > highest) {
                return "'" + value + "' is not a whole number from " + std::to_string(lowest) + " to " +
                       std::to_string(highest);
            }
            return std::string();
        },
        "", "");
}

CLI::Validator ChoiceValidator(const std::vector<std::string>& choices) {
    return CLI::Validator(
        [choices](std::string& value) {
            if (std::find(choices.begin(), choices.end(), value) != choices.end()) return std::string();
            std::string accepted;
            for (std::size_t i = 0; i < choices.size(); ++i) {
                accepted += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
            }
            return "'" + value + "' is not " + accepted;
        },
        "", "");
}

}  // namespace kestrel::cli
