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
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr const char* report_name = "gyro_motor_report";

constexpr const char* report_footer =
    "The cruise is the stretch of samples whose Z yaw rate lies within 5% of the median,\n"
    "from the first such sample to the last; every figure is worked out over it. The turn is\n"
    "measured against the time of each sample's poll, from the times file beside LOG (LOG\n"
    "with its .txt replaced by _times.txt, or another named with --times); without one the\n"
    "samples are taken as evenly spaced, which every stall of the sweep's loop bends. B-E,\n"
    "their card, the measured turn rate and the wobble need at least 300 deg of turn in the\n"
    "cruise, the magnetometer's ellipse 240 deg; short of that, and for points that trace no\n"
    "ellipse, the figures are absent with the reason (null in the JSON). The yaw rate's scale\n"
    "error is against --turn-rate, else against the turn rate measured from the sample times.\n"
    "\n"
    "A broken record is reported on standard error as LOG:LINE: message and left out; the rest\n"
    "is still analysed. A broken times file is reported as FILE:LINE: message and the samples\n"
    "go by their number. The pictures need gnuplot on the PATH.\n"
    "\n"
    "With --limits the report ends with a verdict: each limited figure's value against its\n"
    "limits, then \"Verdict: PASS\" or \"Verdict: FAIL (N of M figures)\". A figure that was\n"
    "not measured fails, and so does a log with broken records or an unusable times file.\n"
    "With --serial and --archive the sweep is kept in DIR/ID/<UTC time>/: the log and its\n"
    "times, its run file, report.txt, report.json, report.png and the limits file. A record\n"
    "appears whole or not at all and never replaces another. With --database the record is\n"
    "also written to the SQL database that CONNECTION (an ODBC connection string) names,\n"
    "right after the folder, which stays the primary copy: gyro_motor_history DIR --export\n"
    "brings over what the database missed.\n"
    "\n"
    "With --limits or --archive the log is checked against the run file that gyro_motor\n"
    "leaves beside it (LOG with .txt replaced by _run.txt). A log that is not the last\n"
    "sweep's (that run did not replace it, left another size, or never ended) is not judged\n"
    "at all: the outcome is ERROR. A sweep that ended with a failure gives ERROR, one that\n"
    "was interrupted ABORTED: the figures are shown but not judged, never a PASS. Such an\n"
    "attempt is archived all the same. Without a run file --archive needs --unverified.\n"
    "\n"
    "Exit status:\n"
    "  0  the report was made from a log without problems (with --limits: PASS)\n"
    "  1  the log could not be read, is not a sample log or has too few samples, or an\n"
    "     output could not be written\n"
    "  2  bad arguments, a serial that is not a plain name, a bad limits file\n"
    "     (FILE:LINE: message), or --archive without a run file or --unverified;\n"
    "     nothing is written\n"
    "  3  without --limits: the log has broken records or the times file is broken, nothing\n"
    "     else failed: the report covers the good records, by sample number without usable\n"
    "     times\n"
    "  5  the verdict is FAIL\n"
    "  6  the sweep could not be archived (the report was still printed); before 8, 7, 5, 3\n"
    "  7  the outcome is ERROR or ABORTED: the log is not the last sweep's, or the sweep\n"
    "     failed or was interrupted; before 5 and 3\n"
    "  8  the record is in the archive but could not be written to the database; before 7,\n"
    "     5 and 3\n";

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
    std::optional<std::string> operator_name;
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
                   "the commanded turn rate in deg/s, above 0 (a turn either way),\n"
                   "for the yaw rate's scale error (default: the rate measured against\n"
                   "the sample times)")
        ->option_text("DEG_PER_S")
        // The rate's size: a turn either way is measured against it.
        ->check(cli_number(0.0, true));
    cli_add_times(app, options.times);
    app.add_option("--json", options.json,
                   "write the figures as JSON to FILE (- for standard\n"
                   "output; the report then goes to standard error)")
        ->option_text("FILE")
        ->check(cli_text());
    app.add_option("--png", options.png, "draw the deviation curve and the ellipse to FILE (PNG)")
        ->option_text("FILE")
        ->check(cli_text());
    app.add_option("--svg", options.svg, "draw them to FILE (SVG)")
        ->option_text("FILE")
        ->check(cli_text());
    app.add_option("--limits", options.limits,
                   "judge the figures against the limits in FILE (TOML)")
        ->option_text("FILE")
        ->check(cli_text());
    CLI::Option* serial =
        app.add_option("--serial", options.serial,
                       "the sensor's serial number for --archive: 1 to 64 of\n"
                       "A-Z a-z 0-9 . _ -, not starting with .")
            ->option_text("ID")
            ->check(CLI::Validator(
                [](const std::string& text) -> std::string {
                    return archive_valid_serial(text) ? "" : "not a plain name: " + text;
                },
                ""));
    CLI::Option* archive =
        app.add_option("--archive", options.archive,
                       "keep the sweep in the archive DIR, as DIR/ID/<UTC time>/")
            ->option_text("DIR")
            ->check(cli_text());
    serial->needs(archive);
    archive->needs(serial);
    app.add_option("--operator", options.operator_name, "who ran the sweep, kept in the record")
        ->option_text("NAME")
        ->check(cli_text())
        ->needs(archive);
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
    // The figures a limit may name are those of the report's document, whatever the sweep.
    std::optional<Limits> limits;
    if (!options.limits.empty()) {
        std::string error;
        if (!limits_read(options.limits, reportout_document(Report{}), limits.emplace(), error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return exit_bad_arguments;
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
                                 .operator_name = options.operator_name,
                                 .station = {},
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
