// The command line of the companion programs: CLI11 with the help and version of every program
// (base/usage/), one line on standard error and status 2 for a bad argument, and the checks their
// numbers and file names share. Options bind straight to the fields of a program's options record.
// Options are written --name VALUE or --name=VALUE on every platform; an argument that starts
// with '/' is a file name, except the help requests of Windows (/?, /h, /help). Names from the
// command line are UTF-8 (base/files/).
#pragma once

#include "base/exit/exit_status.h"
#include "base/files/files.h"
#include "base/usage/usage.h"
#include "records/archive/archive.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

// The settings every program starts from: help and the version line as in base/usage/, a flag takes
// no value, and an option given twice takes its last value (scripts add options on top of their
// defaults; a list option, ->delimiter(','), gathers them all). CLI11 would take /name for
// --name on Windows, and so a log's absolute path for an option.
inline void cli_setup(CLI::App& app) {
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.option_defaults()->disable_flag_override();
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", usage_version(app.get_name()), "print the version and exit");
    app.set_help_flag("-h,--help", "print this help and exit (also " + usage_more_help() + ")");
    app.get_formatter()->column_width(30);
}

// Parses the command line, its file names in UTF-8. Returns the exit status when the program
// should end now: 0 after help (wrapped to the console's width) or the version, exit_bad_arguments
// after a bad argument, reported in one line.
inline std::optional<int> cli_parse(CLI::App& app, int argc, char** argv) {
    std::vector<std::string> arguments = files_arguments(argc, argv);
    for (std::string& argument : arguments) {
        if (argument == "--") {
            break;
        }
        if (usage_asks_for_help(argument)) {
            argument = "--help";
        }
    }
    std::reverse(arguments.begin(), arguments.end()); // CLI11 takes them from the back
    try {
        app.parse(arguments);
    } catch (const CLI::CallForHelp&) {
        std::fputs(usage_wrap(app.help()).c_str(), stdout);
        return exit_ok;
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            return app.exit(error); // --version
        }
        // An argument nobody knows is named first, and in the order given: CLI11 checks what is
        // missing before what is unknown ("-x" alone would be reported as a missing file), and
        // lists the unknown ones backwards.
        const std::vector<std::string> unknown = app.remaining(true);
        std::string line = app.get_name() + ": ";
        if (!unknown.empty() && (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr ||
                                 dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr)) {
            line += (unknown.size() > 1 ? "unknown arguments " : "unknown argument ") +
                    CLI::detail::join(unknown, " ");
        } else {
            line += error.what();
        }
        for (char& c : line) {
            c = c == '\n' || c == '\r' ? ' ' : c;
        }
        std::fprintf(stderr, "%s (see --help)\n", line.c_str());
        return exit_bad_arguments;
    }
    return std::nullopt;
}

// A count in plain decimal digits from minimum to maximum. Written in the form CLI11 reads back
// unchanged: it would take "-1" as a huge count, "010" as octal and too many digits as the largest.
inline CLI::Validator cli_count(std::uint64_t minimum = 0,
                                std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max()) {
    return CLI::Validator(
        [minimum, maximum](std::string& text) -> std::string {
            std::uint64_t value = 0;
            const char* const end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            if (text.empty() || stop != end || error != std::errc{}) {
                return "not a count: " + text;
            }
            if (value < minimum || value > maximum) {
                return text + " is not in " + std::to_string(minimum) + ".." +
                       std::to_string(maximum);
            }
            text = std::to_string(value);
            return {};
        },
        "");
}

// The whole text as a finite number, or nothing.
inline std::optional<double> cli_finite(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// A finite number that is at least minimum, or above it when strictly is set.
inline CLI::Validator cli_number(double minimum, bool strictly = false) {
    return CLI::Validator(
        [minimum, strictly](std::string& text) -> std::string {
            const std::optional<double> value = cli_finite(text);
            if (!value) {
                return "not a number: " + text;
            }
            if (*value < minimum || (strictly && *value == minimum)) {
                return text + " is not " + (strictly ? "above " : "at least ") +
                       CLI::detail::to_string(minimum);
            }
            return {};
        },
        "");
}

// A text that is not empty (a file or folder name, say).
inline CLI::Validator cli_text() {
    return CLI::Validator(
        [](const std::string& text) -> std::string { return text.empty() ? "empty value" : ""; },
        "");
}

// A traceability field kept in a record (an operator, a station, a lot, a part), or a filter on
// one: printable UTF-8 on one line, 1 to 64 characters (archive_field_problem).
inline CLI::Validator cli_record_field() {
    return CLI::Validator(
        [](const std::string& text) -> std::string {
            const char* problem = archive_field_problem(text);
            return problem == nullptr
                       ? ""
                       : std::string(problem) + " (printable, one line, 1 to 64 characters)";
        },
        "");
}

// The record's traceability options, --operator, --station, --lot and --part
// (archive_trace_fields), each checked by cli_record_field; `help` says what each is, and
// `kept` where it goes ("kept in the record").
inline std::array<CLI::Option*, archive_trace_fields.size()>
cli_add_trace(CLI::App& app,
              std::array<std::optional<std::string>, archive_trace_fields.size()>& trace,
              const std::array<const char*, archive_trace_fields.size()>& help, const char* kept) {
    std::array<CLI::Option*, archive_trace_fields.size()> options{};
    for (std::size_t k = 0; k < archive_trace_fields.size(); ++k) {
        options[k] = app.add_option("--" + std::string(archive_trace_fields[k]), trace[k],
                                    std::string(help[k]) + ", " + kept)
                         ->option_text(k <= archive_station ? "NAME"
                                       : k == archive_lot   ? "LOT"
                                                            : "PART")
                         ->check(cli_record_field());
    }
    return options;
}

// --times FILE: the times file of the log's samples, for the programs that read a sweep's log.
// Left empty when not given: the caller looks beside the log.
inline CLI::Option* cli_add_times(CLI::App& app, std::string& times) {
    return app
        .add_option("--times", times,
                    "the times of the samples (default: beside LOG,\n"
                    "LOG with .txt replaced by _times.txt)")
        ->type_name("FILE")
        ->check(cli_text());
}

// A program's input and output files by the name of their argument; an empty path is not given.
using CliFile = std::pair<const char*, const std::string*>;

// What is wrong with the file names, for one usage line: a line break in a name (it would break
// the gnuplot script and the messages), a path the file system cannot take (files_unusable: a
// name in it or the whole too long), or an output on top of the log or of another output,
// which would destroy what it is made from: by any name of the same file, in any letter case
// where the platform's names ignore it (files_same_file).
inline std::optional<std::string> cli_check_files(std::span<const CliFile> files) {
    for (std::size_t a = 0; a < files.size(); ++a) {
        const std::string& path_a = *files[a].second;
        if (path_a.find_first_of("\r\n") != std::string::npos) {
            return std::string(files[a].first) + " has a line break in its name";
        }
        if (const std::string why = files_unusable(path_a); !path_a.empty() && !why.empty()) {
            return std::string(files[a].first) + " " + path_a + ": " + why;
        }
        for (std::size_t b = a + 1; b < files.size(); ++b) {
            const std::string& path_b = *files[b].second;
            if (path_a.empty() || path_b.empty()) {
                continue;
            }
            if (files_same_file(path_a, path_b)) {
                return std::string(files[b].first) + " would overwrite " + files[a].first + " (" +
                       path_a + ")";
            }
        }
    }
    return std::nullopt;
}
