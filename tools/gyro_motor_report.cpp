// gyro_motor_report: what one sweep says about the sensor. Reads a sweep's sample log and the
// times of its samples where there are some, finds the cruise and prints the heading deviation, the
// magnetometer's ellipse, the yaw rate, the tilt and the temperature; optionally writes them as
// JSON and draws the deviation curve and the field's ellipse with gnuplot. The analysis itself
// lives in report/, its text and JSON in reportout/, its picture in reportplot/.
#include "exit/exit_status.h"
#include "gnuplot/gnuplot.h"
#include "report/report.h"
#include "reportout/reportout.h"
#include "reportplot/reportplot.h"
#include "sweeplog/sweeplog.h"
#include "sweeptimes/sweeptimes.h"
#include "tools/cli.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int report_exit_ok = exit_ok;
constexpr int report_exit_failed = 1;      // log unreadable or unusable, an output failed
constexpr int report_exit_bad_records = 3; // from the good records only, or by sample number

constexpr const char* report_name = "gyro_motor_report";

constexpr const char* report_footer =
    "The cruise is the stretch of samples whose Z yaw rate lies within 5% of the median,\n"
    "from the first such sample to the last; every figure is worked out over it. The turn is\n"
    "measured against the time of each sample's poll, from the times file beside LOG (LOG\n"
    "with its .txt replaced by _times.txt, or another named with --times); without one the\n"
    "samples are taken as evenly spaced, which every stall of the sweep's loop bends. B-E and\n"
    "the wobble need at least 300 deg of turn in the cruise; without them, and for\n"
    "magnetometer points that trace no ellipse, the figures are absent (null in the JSON).\n"
    "\n"
    "A broken record is reported on standard error as LOG:LINE: message and left out; the rest\n"
    "is still analysed. A broken times file is reported as FILE:LINE: message and the samples\n"
    "go by their number. The pictures need gnuplot on the PATH.\n"
    "\n"
    "Exit status:\n"
    "  0  the report was made from a log without problems\n"
    "  1  the log could not be read, is not a sample log or has too few samples, or an\n"
    "     output could not be written\n"
    "  2  bad arguments\n"
    "  3  the log has broken records or the times file is broken, nothing else failed: the\n"
    "     report covers the good records, by sample number without usable times\n";

struct ReportOptions {
    std::string log = "gyro_motor.txt";
    std::optional<double> turn_rate;
    std::string times; // empty: beside the log
    std::string json;
    std::string png;
    std::string svg;
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
    const std::string title = "Sweep report of " + files_last_part(options.log);
    if (!gnuplot_draw(
            report_name, *gnuplot, outputs,
            reportplot_gnuplot_script(report, samples, options.png, options.svg, title))) {
        return false;
    }
    for (const std::string& path : outputs) {
        std::fprintf(report_out, "wrote %s\n", path.c_str());
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reads the sample log of a sweep (LOG) and reports what it says about the "
                 "sensor: the heading's deviation from a uniform turn, the magnetometer's hard "
                 "and soft iron, the yaw rate and its scale error, the tilt and wobble of the "
                 "table, and the temperature.",
                 report_name};
    cli_setup(app);
    app.footer(report_footer);
    ReportOptions options;
    app.add_option("--turn-rate", options.turn_rate,
                   "the commanded turn rate in deg/s, above 0 (a turn either way),\n"
                   "for the yaw rate's scale error")
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
    app.add_option("LOG", options.log, "the sample log (default gyro_motor.txt)");
    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }
    if (options.log.empty()) {
        return report_usage_error("LOG is an empty name");
    }
    const bool times_named = !options.times.empty();
    if (!times_named) {
        options.times = sweeptimes_path(options.log);
    }
    const std::string standard_output;
    const std::array<CliFile, 5> files{{
        {"LOG", &options.log},
        {"--times", &options.times},
        {"--json", options.json == "-" ? &standard_output : &options.json},
        {"--png", &options.png},
        {"--svg", &options.svg},
    }};
    if (const std::optional<std::string> problem = cli_check_files(files)) {
        return report_usage_error(*problem);
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
    std::fputs(reportout_text(report, options.log).c_str(), report_out);
    if (!problems.empty()) {
        std::fprintf(report_out, "\n%zu broken %s left out (listed on standard error)\n",
                     problems.size(), problems.size() == 1 ? "record" : "records");
    }

    bool outputs_ok = true;
    if (!options.json.empty()) {
        outputs_ok = report_write_json(options.json, reportout_json(report));
    }
    if ((!options.png.empty() || !options.svg.empty()) && !report_draw(options, report, samples)) {
        outputs_ok = false;
    }
    if (!outputs_ok) {
        return report_exit_failed;
    }
    return problems.empty() && times_ok ? report_exit_ok : report_exit_bad_records;
}
