// gyro_motor_report: what one sweep says about the sensor. Reads a sweep's sample log and the
// times of its samples where there are some, finds the cruise and prints the heading deviation and
// its card, the turn rate, the field's magnitude, the magnetometer's ellipse, the yaw rate, the
// tilt and the temperature; optionally writes them as JSON and draws the deviation curve and the
// field's ellipse with gnuplot; judges the figures against production limits and keeps the sweep
// in a sensor archive. The analysis itself lives in analysis/report/, its text, JSON and picture
// in outputs/report/, the verdict in analysis/limits/ and the archive's records in
// records/archive/.
#include "analysis/limits/limits.h"
#include "analysis/report/report.h"
#include "analysis/sweeplog/sweeplog.h"
#include "analysis/sweeptimes/sweeptimes.h"
#include "base/exit/exit_status.h"
#include "base/files/files.h"
#include "base/text/text.h"
#include "base/usage/usage.h"
#include "outputs/gnuplot/gnuplot.h"
#include "outputs/report/reportout.h"
#include "outputs/report/reportplot.h"
#include "programs/cli.h"
#include "records/archive/archive.h"
#include "records/database/database.h"

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

constexpr int report_exit_ok = exit_ok;
constexpr int report_exit_failed = 1;      // log unreadable or unusable, an output failed
constexpr int report_exit_bad_records = 3; // from the good records only, or by sample number
constexpr int report_exit_fail = exit_verdict_failed;
constexpr int report_exit_not_archived = exit_archive_failed;
constexpr int report_exit_not_in_database = exit_database_failed;

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
    "times, report.txt, report.json, report.png and the limits file. A record appears whole or\n"
    "not at all and never replaces another. With --database the record is also written to\n"
    "the SQL database that CONNECTION (an ODBC connection string) names, right after the\n"
    "folder, which stays the primary copy: gyro_motor_history DIR --export brings over what\n"
    "the database missed.\n"
    "\n"
    "Exit status:\n"
    "  0  the report was made from a log without problems (with --limits: PASS)\n"
    "  1  the log could not be read, is not a sample log or has too few samples, or an\n"
    "     output could not be written\n"
    "  2  bad arguments, a serial that is not a plain name, or a bad limits file\n"
    "     (FILE:LINE: message; nothing is written)\n"
    "  3  without --limits: the log has broken records or the times file is broken, nothing\n"
    "     else failed: the report covers the good records, by sample number without usable\n"
    "     times\n"
    "  5  the verdict is FAIL\n"
    "  6  the sweep could not be archived (the report was still printed); before 8, 5 and 3\n"
    "  8  the record is in the archive but could not be written to the database; before 5\n"
    "     and 3\n";

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

bool report_draw(const ReportOptions& options, const Report& report,
                 const std::vector<SweepLogSample>& samples) {
    const std::optional<std::filesystem::path> gnuplot = gnuplot_find();
    if (!gnuplot) {
        std::fprintf(stderr, "%s: gnuplot not found on the PATH, so no picture was drawn. %s.\n",
                     report_name, usage_gnuplot_install);
        return false;
    }
    std::vector<std::string> outputs;
    for (const std::string* path : {&options.png, &options.svg}) {
        if (!path->empty()) {
            outputs.push_back(*path);
        }
    }
    if (!gnuplot_draw(report_name, *gnuplot, outputs,
                      reportplot_gnuplot_script(report, samples, options.png, options.svg,
                                                report_title(options)))) {
        return false;
    }
    for (const std::string& path : outputs) {
        std::fprintf(report_out, "wrote %s\n", path.c_str());
    }
    return true;
}

// What the sweep is judged on and kept as.
struct ReportRecord {
    std::string text;                // the report as printed
    nlohmann::ordered_json document; // its JSON
    const Limits* limits = nullptr;
};

// Writes the files of the record into its scratch folder: the log and its times as they are, the
// report, the limits, and the picture when gnuplot is there. A picture that fails is left out.
bool report_fill_record(const ArchiveScratch& scratch, const ReportOptions& options,
                        const ReportRecord& record, const Report& report,
                        const std::vector<SweepLogSample>& samples, std::string& error) {
    std::error_code ignored;
    const bool times = std::filesystem::is_regular_file(files_path(options.times), ignored);
    if (!archive_copy(scratch, "gyro_motor.txt", files_path(options.log), error) ||
        (times &&
         !archive_copy(scratch, "gyro_motor_times.txt", files_path(options.times), error)) ||
        !archive_put(scratch, "report.txt", record.text, true, error) ||
        !archive_put(scratch, "report.json", record.document.dump(2) + "\n", false, error) ||
        (record.limits &&
         !archive_put(scratch, "limits.toml", record.limits->text, false, error))) {
        return false;
    }
    if (const std::optional<std::filesystem::path> gnuplot = gnuplot_find()) {
        const std::string png = files_name(scratch.folder / "report.png");
        if (!gnuplot_draw(
                report_name, *gnuplot, {png},
                reportplot_gnuplot_script(report, samples, png, "", report_title(options)))) {
            std::fprintf(stderr, "%s: the record is kept without its picture\n", report_name);
        }
    }
    return true;
}

// Keeps the sweep in the archive, at `kept`; false, said on standard error, when it could not.
bool report_archive(const ReportOptions& options, ReportRecord& record, const Report& report,
                    const std::vector<SweepLogSample>& samples,
                    std::chrono::system_clock::time_point now, std::filesystem::path& kept) {
    record.document["record"] = {{"serial", options.serial},
                                 {"time", archive_record_time(now)},
                                 {"station", archive_host_name()},
                                 {"operator", options.operator_name
                                                  ? nlohmann::ordered_json(*options.operator_name)
                                                  : nlohmann::ordered_json(nullptr)},
                                 {"program", report_name},
                                 {"version", usage_version_number()},
                                 {"turn_rate_dps", reportout_figure(options.turn_rate)}};
    ArchiveScratch scratch;
    std::string error;
    if (!archive_begin(files_path(options.archive), options.serial, now, scratch, error)) {
        std::fprintf(stderr, "%s: the sweep was not archived: %s\n", report_name, error.c_str());
        return false;
    }
    if (!report_fill_record(scratch, options, record, report, samples, error) ||
        !archive_finish(scratch, kept, error)) {
        archive_abandon(scratch);
        std::fprintf(stderr, "%s: the sweep was not archived: %s\n", report_name, error.c_str());
        return false;
    }
    std::fprintf(report_out, "archived %s\n", files_name(kept).c_str());
    return true;
}

// Writes the archived record, kept at `kept`, to the database too; false, in one line on standard
// error, when it could not.
bool report_database(const ReportOptions& options, const ReportRecord& record,
                     const std::filesystem::path& kept) {
    Database database;
    DatabaseRecord row;
    std::size_t added = 0;
    std::string error;
    if (!database_record(record.document.dump(), files_name(kept.filename()), row, error) ||
        !database_open(options.database, database, error) ||
        !database_put(database, std::span<const DatabaseRecord>(&row, 1), added, error)) {
        std::fprintf(stderr,
                     "%s: the record was not written to the database: %s (it is kept in the "
                     "archive; gyro_motor_history DIR --export writes it later)\n",
                     report_name, error.c_str());
        return false;
    }
    std::fprintf(report_out, "wrote the record to the database\n");
    return true;
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
        for (const std::string& warning : limits_warnings(*limits, options.limits)) {
            std::fprintf(stderr, "%s\n", warning.c_str());
        }
    }

    std::vector<SweepLogSample> samples;
    std::vector<SweepLogProblem> problems;
    if (!sweeplog_load(report_name, options.log, samples, problems)) {
        return report_exit_failed;
    }
    sweeplog_print_problems(stderr, options.log, problems);

    std::vector<double> times;
    const bool times_ok = sweeptimes_load(report_name, options.times, times_named, samples, times);

    Report report;
    std::string error;
    if (!report_analyse(samples, options.turn_rate, report, error, times)) {
        std::fprintf(stderr, "%s: %s: %s\n", report_name, options.log.c_str(), error.c_str());
        return report_exit_failed;
    }
    report_out = options.json == "-" ? stderr : stdout;
    ReportRecord record{.text = reportout_text(report, options.log),
                        .document = reportout_document(report),
                        .limits = limits ? &*limits : nullptr};
    if (!problems.empty()) {
        text_append(record.text, "\n%zu broken %s left out (listed on standard error)\n",
                    problems.size(), problems.size() == 1 ? "record" : "records");
    }
    std::optional<LimitsVerdict> verdict;
    if (limits) {
        verdict = limits_judge(*limits, record.document, problems.size(), !times_ok);
        record.text += "\n" + limits_text(*verdict);
    }
    record.document["verdict"] = verdict ? limits_verdict_json(*verdict) : nullptr;
    std::fputs(record.text.c_str(), report_out);

    bool outputs_ok = true;
    if (!options.json.empty()) {
        outputs_ok = report_write_json(options.json, record.document.dump(2) + "\n");
    }
    if ((!options.png.empty() || !options.svg.empty()) && !report_draw(options, report, samples)) {
        outputs_ok = false;
    }
    std::filesystem::path kept;
    const bool archived =
        options.archive.empty() || report_archive(options, record, report, samples, now, kept);
    // Only a record in the folder goes to the database: the folder is the primary copy.
    const bool in_database =
        options.database.empty() || !archived || report_database(options, record, kept);
    if (!outputs_ok) {
        return report_exit_failed;
    }
    if (!archived) {
        return report_exit_not_archived;
    }
    if (!in_database) {
        return report_exit_not_in_database;
    }
    if (verdict) {
        return verdict->pass ? report_exit_ok : report_exit_fail;
    }
    return problems.empty() && times_ok ? report_exit_ok : report_exit_bad_records;
}
