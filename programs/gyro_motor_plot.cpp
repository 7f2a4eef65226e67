// gyro_motor_plot: turns a sweep's sample log into a CSV table and a picture of five stacked
// panels (angles, rates, accelerations, magnetic field, temperature) over the sample number. The
// log is checked record by record; broken records are reported and left out, the rest is used.
// The picture is drawn by gnuplot from the CSV.
#include "analysis/sweeplog/sweeplog.h"
#include "analysis/sweeptimes/sweeptimes.h"
#include "base/exit/exit_status.h"
#include "base/text/text.h"
#include "outputs/gnuplot/gnuplot.h"
#include "outputs/sweep/sweepplot.h"
#include "programs/cli.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr int plot_exit_ok = exit_ok;
constexpr int plot_exit_failed = 1;      // log unreadable, output not writable, gnuplot failed
constexpr int plot_exit_bad_records = 3; // from the good records only, or without the times

constexpr const char* plot_name = "gyro_motor_plot";
constexpr const char* plot_default_log = "gyro_motor.txt";

const char* const plot_description =
    R"(Reads the sample log of a sweep (LOG, default gyro_motor.txt), writes its samples as a CSV
table and draws them with gnuplot: five stacked panels over the sample number, for
the angles (roll and pitch on the left axis, heading on the right), the angular
rates, the accelerations, the magnetic field and the temperature.

Every five-line record of the log (LF or CR LF line ends) is checked: its labels, the
number of fields on each line and each number. A broken or cut-off record, or lines
that belong to no record, are reported on standard error as LOG:LINE: message and
left out; reading goes on with the next record (the next line that starts with
"Roll"). Samples are numbered 1, 2, 3... in the order of the good records, so a
left-out record shifts the later numbers by one.
)";

const char* const plot_footer =
    R"(Existing output files are replaced. No output may be the log itself. "--" ends the
options (for a LOG whose name starts with -). A log with no good record at all is no
sample log: the program says so and writes nothing.

The CSV has a header line and one row per sample:
  sample,roll_deg,pitch_deg,heading_deg,x_rate_dps,y_rate_dps,z_rate_dps,
  x_accel_g,y_accel_g,z_accel_g,x_mag_gauss,y_mag_gauss,z_mag_gauss,temp_c
(angles in degrees, rates in degrees per second, accelerations in g, field in gauss,
temperature in degrees Celsius), with as many decimals as the log has. When the sweep's
times file is there (beside LOG: LOG with .txt replaced by _times.txt, or named with
--times), a last column time_s holds each sample's poll time in seconds from the move
command; a broken times file is reported as FILE:LINE: message and left out.

gnuplot must be on the PATH. %s. Without it the CSV is still written, and the program
says so and ends with status 1.

Exit status:
  0  every record was good and every output was written
  1  the log could not be read or is not a sample log, an output could not be
     written, or gnuplot is missing or failed
  2  bad arguments
  3  the log has broken records or the times file is broken, nothing else failed:
     the outputs were written from the good records)";

int plot_usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s (see --help)\n", plot_name, message.c_str());
    return exit_bad_arguments;
}

struct PlotOptions {
    std::string log = plot_default_log;
    std::string times; // empty: beside the log
    bool times_named = false;
    std::string csv;
    std::string png;
    std::string svg;
    bool no_plot = false;
};

// Reads the arguments into options and fills in the outputs beside the log. Returns the exit
// status when the program should end now.
std::optional<int> plot_parse_arguments(int argc, char** argv, PlotOptions& options) {
    CLI::App app(plot_description, plot_name);
    cli_setup(app);
    app.footer(text_format(plot_footer, usage_gnuplot_install));
    // Each output once: a second name for it is more likely a slip than a change of mind.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    app.add_option("LOG", options.log, "the sample log (default gyro_motor.txt)")
        ->check(cli_text());
    cli_add_times(app, options.times);
    app.add_option("--csv", options.csv,
                   "where the CSV goes (default: LOG with the extension .csv); - writes\n"
                   "it to standard output and draws no picture")
        ->type_name("FILE")
        ->check(cli_text());
    app.add_option("--png", options.png, "draw the PNG picture to FILE")
        ->type_name("FILE")
        ->check(cli_text());
    app.add_option("--svg", options.svg,
                   "draw the SVG picture to FILE\n"
                   "With neither --png nor --svg both pictures are drawn next to the log\n"
                   "(LOG with the extension .png and .svg); naming one draws only that one.")
        ->type_name("FILE")
        ->check(cli_text());
    app.add_flag("--no-plot", options.no_plot, "write the CSV only; gnuplot is not needed");
    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }
    if (options.csv == "-" && (!options.png.empty() || !options.svg.empty())) {
        // gnuplot draws from the CSV file.
        return plot_usage_error("--csv - does not go with --png or --svg");
    }
    options.no_plot = options.no_plot || options.csv == "-";
    if (options.no_plot && (!options.png.empty() || !options.svg.empty())) {
        return plot_usage_error("--no-plot does not go with --png or --svg");
    }

    // An output beside the log is named as such in the messages: no option gave it.
    const auto beside_log = [&](std::string& path, const char*& name, const char* extension,
                                const char* beside_name) {
        path = files_with_extension(options.log, extension);
        name = beside_name;
    };
    const char* csv_name = "--csv";
    const char* png_name = "--png";
    const char* svg_name = "--svg";
    if (options.csv.empty()) {
        beside_log(options.csv, csv_name, ".csv", "the CSV");
    }
    options.times_named = !options.times.empty();
    if (!options.times_named) {
        options.times = sweeptimes_path(options.log);
    }
    if (!options.no_plot && options.png.empty() && options.svg.empty()) {
        beside_log(options.png, png_name, ".png", "the PNG");
        beside_log(options.svg, svg_name, ".svg", "the SVG");
    }

    const std::string standard_output;
    const std::array<CliFile, 5> files{{
        {"LOG", &options.log},
        {"--times", &options.times},
        {csv_name, options.csv == "-" ? &standard_output : &options.csv},
        {png_name, &options.png},
        {svg_name, &options.svg},
    }};
    if (const std::optional<std::string> problem = cli_check_files(files)) {
        return plot_usage_error(*problem);
    }
    return std::nullopt;
}

int plot_draw(const PlotOptions& options, const std::vector<SweepLogSample>& samples) {
    const std::optional<std::filesystem::path> gnuplot = gnuplot_find();
    if (!gnuplot) {
        std::fprintf(stderr,
                     "%s: gnuplot not found on the PATH, so no picture was drawn (the CSV is "
                     "written). %s or use --no-plot.\n",
                     plot_name, usage_gnuplot_install);
        return plot_exit_failed;
    }
    std::vector<std::string> outputs;
    for (const std::string* path : {&options.png, &options.svg}) {
        if (!path->empty()) {
            outputs.push_back(*path);
        }
    }
    SweepPlot plot;
    plot.csv_path = options.csv;
    plot.png_path = options.png;
    plot.svg_path = options.svg;
    plot.title = "Sweep ";
    plot.title += files_last_part(options.log);
    plot.title += ": " + std::to_string(samples.size());
    plot.title += samples.size() == 1 ? " sample" : " samples";
    if (!gnuplot_draw(plot_name, *gnuplot, outputs, sweepplot_gnuplot_script(plot, samples))) {
        return plot_exit_failed;
    }
    for (const std::string& path : outputs) {
        std::printf("wrote %s\n", path.c_str());
    }
    return plot_exit_ok;
}

} // namespace

int main(int argc, char** argv) {
    PlotOptions options;
    if (const std::optional<int> status = plot_parse_arguments(argc, argv, options)) {
        return *status;
    }

    std::vector<SweepLogSample> samples;
    std::vector<SweepLogProblem> problems;
    if (!sweeplog_load(plot_name, options.log, samples, problems)) {
        return plot_exit_failed;
    }
    sweeplog_print_problems(stderr, options.log, problems);
    // With the CSV on standard output, what the program says goes to standard error.
    const bool csv_to_stdout = options.csv == "-";
    std::FILE* const says = csv_to_stdout ? stderr : stdout;
    std::fprintf(says, "%s: %zu %s", options.log.c_str(), samples.size(),
                 samples.size() == 1 ? "sample" : "samples");
    if (!problems.empty()) {
        std::fprintf(says, ", %zu %s (broken records are left out)", problems.size(),
                     problems.size() == 1 ? "problem" : "problems");
    }
    std::fprintf(says, "\n");
    std::vector<double> times;
    const bool times_ok =
        sweeptimes_load(plot_name, options.times, options.times_named, samples, times);

    std::FILE* csv = csv_to_stdout ? stdout : files_open(options.csv, "wb");
    if (csv == nullptr) {
        const int error = errno;
        std::fprintf(stderr, "%s: cannot write %s: %s\n", plot_name, options.csv.c_str(),
                     files_failure(options.csv, error).c_str());
        return plot_exit_failed;
    }
    const bool csv_ok = sweepplot_write_csv(csv, samples, times);
    if ((csv_to_stdout ? std::fflush(csv) : std::fclose(csv)) != 0 || !csv_ok) {
        std::fprintf(stderr, "%s: cannot write %s\n", plot_name,
                     csv_to_stdout ? "the CSV to standard output" : options.csv.c_str());
        return plot_exit_failed;
    }
    std::fprintf(says, "wrote %s\n",
                 csv_to_stdout ? "the CSV to standard output" : options.csv.c_str());

    if (!options.no_plot) {
        if (const int status = plot_draw(options, samples); status != plot_exit_ok) {
            return status;
        }
    }
    return problems.empty() && times_ok ? plot_exit_ok : plot_exit_bad_records;
}
