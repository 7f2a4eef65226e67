// gyro_motor_report: what one sweep says about the sensor. Reads a sweep's sample log and the
// times of its samples where there are some, finds the cruise and prints the heading deviation and
// its card, the turn rate, the field's magnitude, the magnetometer's ellipse, the yaw rate, the
// tilt and the temperature; optionally writes them as JSON and draws the deviation curve and the
// field's ellipse with gnuplot; judges the figures against production limits and keeps the sweep
// in a sensor archive. The analysis itself lives in analysis/report/, its text, JSON and picture
// in outputs/report/, the verdict in analysis/limits/, the archive's records in records/archive/,
// and the step that checks the log against the sweep's run file, judges it and keeps it, which
// gyro_motor_station runs too, in station/outcome/.
#include "analysis/limits/limits.h"
#include "analysis/report/report.h"
#include "analysis/sweeplog/sweeplog.h"
#include "analysis/sweeptimes/sweeptimes.h"
#include "base/exit/exit_status.h"
#include "base/files/files.h"
#include "base/text/text.h"
#include "base/usage/usage.h"
#include "outputs/report/reportout.h"
#include "outputs/report/reportplot.h"
#include "programs/cli.h"
#include "records/archive/archive.h"
#include "station/outcome/outcome.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr const char* report_name = "gyro_motor_report";

constexpr const char* report_footer =
    "The cruise is the stretch of samples whose Z yaw rate lies within 5% of the\n"
    "median, from the first such sample to the last; every figure is worked out over\n"
    "it. The turn is measured against the time of each sample's poll, from the times\n"
    "file beside LOG (LOG with its .txt replaced by _times.txt, or another named\n"
    "with --times); without one the samples are taken as evenly spaced, which every\n"
    "stall of the sweep's loop bends. B-E, their card, the measured turn rate and\n"
    "the wobble need at least 300 deg of turn in the cruise, the magnetometer's\n"
    "ellipse 240 deg; short of that, and for points that trace no ellipse, the\n"
    "figures are absent with the reason (null in the JSON). The yaw rate's scale\n"
    "error is against --turn-rate, else against the turn rate measured from the\n"
    "sample times.\n"
    "\n"
    "A broken record is reported on standard error as LOG:LINE: message and left\n"
    "out; the rest is still analysed. A broken times file is reported as FILE:LINE:\n"
    "message and the samples go by their number. The pictures need gnuplot on\n"
    "the PATH.\n"
    "\n"
    "With --limits the report ends with a verdict: each limited figure's value\n"
    "against its limits, then \"Verdict: PASS\" or \"Verdict: FAIL (N of M figures)\". A\n"
    "figure that was not measured fails, and so does a log with broken records or an\n"
    "unusable times file.\n"
    "With --serial and --archive the sweep is kept in DIR/ID/<UTC time>/: the log\n"
    "and its times, its run file, report.txt, report.json, report.png, the limits\n"
    "file and record.html, the sensor's certificate to print or pass on, sealed by\n"
    "manifest.sha256 (sha256sum -c manifest.sha256 checks it). A\n"
    "record appears whole or not at all and never replaces another. A serial that\n"
    "the archive holds in another letter case is refused: one folder per sensor.\n"
    "--operator, --station, --lot and --part are kept in it: each 1 to 64\n"
    "printable characters on one line.\n"
    "With --database the record is also written to the SQL database that\n"
    "CONNECTION (an ODBC connection string) names, right after the folder, which\n"
    "stays the primary copy: gyro_motor_history DIR --export brings over what the\n"
    "database missed.\n"
    "\n"
    "With --limits or --archive the log is checked against the run file that\n"
    "gyro_motor leaves beside it (LOG with .txt replaced by _run.txt). A log that is\n"
    "not the last sweep's (that run did not replace it, left another size, or never\n"
    "ended) is not judged at all: the outcome is ERROR. A sweep that ended with a\n"
    "failure gives ERROR, one that was interrupted ABORTED: the figures are shown\n"
    "but not judged, never a PASS. Such an attempt is archived all the same.\n"
    "Without a run file --archive needs --unverified.\n"
    "\n"
    "Exit status:\n"
    "  0  the report was made from a log without problems (with --limits: PASS)\n"
    "  1  the log could not be read, is not a sample log or has too few samples, or\n"
    "     an output could not be written\n"
    "  2  bad arguments, a serial that is not a plain name or that the archive holds\n"
    "     in another letter case, a path too long for the system, a bad limits file\n"
    "     (FILE:LINE: message), or --archive without a run file or --unverified;\n"
    "     nothing is written\n"
    "  3  without --limits: the log has broken records or the times file is broken,\n"
    "     nothing else failed: the report covers the good records, by sample number\n"
    "     without usable times\n"
    "  5  the verdict is FAIL\n"
    "  6  the sweep could not be archived (the report was still printed); before 8,\n"
    "     7, 5 and 3\n"
    "  7  the outcome is ERROR or ABORTED: the log is not the last sweep's, or the\n"
    "     sweep failed or was interrupted; before 5 and 3\n"
    "  8  the record is in the archive but could not be written to the database;\n"
    "     before 7, 5 and 3\n";

struct ReportOptions {
    std::string log = "gyro_motor.txt";
    std::optional<double> turn_rate;
    std::string times; // empty: beside the log
    std::string json;
    std::string png;
    std::string svg;
    std::string limits;
    std::string serial;
    std::string archive;
    // The record's traceability fields, as archive_trace_fields names them; the station is
    // the computer's name unless given.
    std::array<std::optional<std::string>, archive_trace_fields.size()> trace;
    bool unverified = false;
    std::string database; // --database CONNECTION
};

// One line naming what is wrong; CLI11's own messages already name the option.
int report_usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s (see --help)\n", report_name, message.c_str());
    return exit_bad_arguments;
}

// Where the report and what the program says go: standard error when the JSON takes standard
// output.
std::FILE* report_out = stdout;

bool report_write_json(const std::string& path, const std::string& json) {
    if (path == "-") {
        if (std::fwrite(json.data(), 1, json.size(), stdout) != json.size() ||
            std::fflush(stdout) != 0) {
            std::fprintf(stderr, "%s: cannot write the JSON to standard output\n", report_name);
            return false;
        }
        return true;
    }
    std::FILE* file = files_open(path, "wb");
    if (file == nullptr) {
        const int error = errno;
        std::fprintf(stderr, "%s: cannot write %s: %s\n", report_name, path.c_str(),
                     files_failure(path, error).c_str());
        return false;
    }
    const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "%s: cannot write %s\n", report_name, path.c_str());
        files_remove(path);
        return false;
    }
    std::fprintf(report_out, "wrote %s\n", path.c_str());
    return true;
}

std::string report_title(const ReportOptions& options) {
    return "Sweep report of " + files_last_part(options.log);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reads the sample log of a sweep (LOG) and reports what it says about the "
                 "sensor: the heading's deviation from a uniform turn and its card, the turn "
                 "rate, the horizontal field, the magnetometer's hard and soft iron, the yaw rate "
                 "and its scale error, the tilt and wobble of the table, and the temperature.",
                 report_name};
    cli_setup(app);
    app.footer(report_footer);
    ReportOptions options;
    app.add_option("--turn-rate", options.turn_rate,
                   "the commanded turn rate in deg/s, above 0\n"
                   "(a turn either way), for the yaw rate's scale\n"
                   "error (default: the rate measured against the\n"
                   "sample times)")
        ->option_text("DEG_PER_S")
        // The rate's size: a turn either way is measured against it.
        ->check(cli_number(0.0, true));
    cli_add_times(app, options.times);
    app.add_option("--json", options.json,
                   "write the figures as JSON to FILE (- for\n"
                   "standard output; the report then goes to\n"
                   "standard error)")
        ->option_text("FILE")
        ->check(cli_text());
    app.add_option("--png", options.png, "draw the deviation curve and the ellipse to\nFILE (PNG)")
        ->option_text("FILE")
        ->check(cli_text());
    app.add_option("--svg", options.svg, "draw them to FILE (SVG)")
        ->option_text("FILE")
        ->check(cli_text());
    app.add_option("--limits", options.limits,
                   "judge the figures against the limits in FILE\n(TOML)")
        ->option_text("FILE")
        ->check(cli_text());
    CLI::Option* serial =
        app.add_option("--serial", options.serial,
                       "the sensor's serial number for --archive: 1 to\n"
                       "64 of A-Z a-z 0-9 . _ -, not starting or\n"
                       "ending with ., no device name of Windows\n"
                       "(CON, COM1, ...)")
            ->option_text("ID")
            ->check(CLI::Validator(
                [](const std::string& text) -> std::string {
                    return archive_valid_serial(text) ? "" : "not a plain name: \"" + text + "\"";
                },
                ""));
    CLI::Option* archive =
        app.add_option("--archive", options.archive,
                       "keep the sweep in the archive DIR, as\nDIR/ID/<UTC time>/")
            ->option_text("DIR")
            ->check(cli_text());
    serial->needs(archive);
    archive->needs(serial);
    // Each 1 to 64 printable characters on one line, kept in the record.
    const std::array<const char*, archive_trace_fields.size()> trace_help{
        "who ran the sweep", "the test station (default: this\ncomputer's name)",
        "the production lot", "the part number"};
    for (CLI::Option* field : cli_add_trace(app, options.trace, trace_help, "kept in the record")) {
        field->needs(archive);
    }
    app.add_flag("--unverified", options.unverified,
                 "archive a log that has no run file beside it (an older\n"
                 "log, or one copied from elsewhere); the record says so")
        ->needs(archive);
    app.add_option("--database", options.database,
                   "also write the record to the SQL database that\n"
                   "CONNECTION (an ODBC connection string) names")
        ->option_text("CONNECTION")
        ->check(cli_text())
        ->needs(archive);
    app.add_option("LOG", options.log, "the sample log (default gyro_motor.txt)");
    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }
    const std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
    if (options.log.empty()) {
        return report_usage_error("LOG is an empty name");
    }
    const bool times_named = !options.times.empty();
    if (!times_named) {
        options.times = sweeptimes_path(options.log);
    }
    const std::string standard_output;
    const std::array<CliFile, 6> files{{
        {"LOG", &options.log},
        {"--times", &options.times},
        {"--limits", &options.limits},
        {"--json", options.json == "-" ? &standard_output : &options.json},
        {"--png", &options.png},
        {"--svg", &options.svg},
    }};
    if (const std::optional<std::string> problem = cli_check_files(files)) {
        return report_usage_error(*problem);
    }
    // Only the record's own files go into the archive: any other would be read back as damage.
    for (const CliFile& file : std::span(files).subspan(3)) {
        if (!options.archive.empty() && !file.second->empty() &&
            files_inside(*file.second, options.archive)) {
            return report_usage_error(std::string(file.first) + " " + *file.second +
                                      " is inside the archive " + options.archive);
        }
    }
    if (!options.trace[1]) {
        options.trace[1] = archive_host_name();
    }
    if (!options.archive.empty()) {
        const std::string refusal = archive_refusal(files_path(options.archive), options.serial);
        if (!refusal.empty()) {
            return report_usage_error(refusal);
        }
    }
    // The figures a limit may name are those of the report's document, whatever the sweep.
    std::optional<Limits> limits;
    if (!options.limits.empty()) {
        std::string error;
        if (!limits_read(options.limits, reportout_document(Report{}), limits.emplace(), error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return exit_bad_arguments;
        }
        for (const std::string& warning : limits_warnings(*limits, options.limits)) {
            std::fprintf(stderr, "%s\n", warning.c_str());
        }
    }
    const OutcomeRequest request{.program = report_name,
                                 .log = options.log,
                                 .times = options.times,
                                 .times_named = times_named,
                                 .turn_rate = options.turn_rate,
                                 .limits = limits ? &*limits : nullptr,
                                 .unverified = options.unverified,
                                 .not_before = {},
                                 .archive = options.archive,
                                 .database = options.database,
                                 .serial = options.serial,
                                 .trace = options.trace,
                                 .retest_reason = {},
                                 .now = now};
    OutcomeResult result;
    if (!outcome_verify(request, result)) {
        return exit_bad_arguments;
    }
    outcome_judge(request, result);
    if (!result.analysed && result.reason.empty()) {
        return outcome_status(result, true, true); // a log that cannot be used, and nothing else
    }
    report_out = options.json == "-" ? stderr : stdout;
    std::fputs(result.text.c_str(), report_out);

    bool outputs_ok = true;
    if (!options.json.empty()) {
        outputs_ok = report_write_json(options.json, result.document.dump(2) + "\n");
    }
    if ((!options.png.empty() || !options.svg.empty()) && result.analysed) {
        if (reportplot_draw(report_name, result.report, result.samples, options.png, options.svg,
                            report_title(options))) {
            for (const std::string* path : {&options.png, &options.svg}) {
                if (!path->empty()) {
                    std::fprintf(report_out, "wrote %s\n", path->c_str());
                }
            }
        } else {
            outputs_ok = false;
        }
    }
    const bool archived = options.archive.empty() || outcome_archive(request, result);
    if (!result.record.empty()) {
        std::fprintf(report_out, "archived %s\n", result.record.c_str());
    }
    // Only a record in the folder goes to the database: the folder is the primary copy.
    const bool in_database =
        options.database.empty() || !archived || outcome_database(request, result, report_out);
    return outcome_status(result, outputs_ok, archived, in_database);
}
