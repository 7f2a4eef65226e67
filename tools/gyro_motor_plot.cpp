// gyro_motor_plot: turns a sweep's sample log into a CSV table and a picture of five stacked
// panels (angles, rates, accelerations, magnetic field, temperature) over the sample number. The
// log is checked record by record; broken records are reported and left out, the rest is used.
// The picture is drawn by gnuplot from the CSV.
#include "gnuplot/gnuplot.h"
#include "sweeplog/sweeplog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr int plot_exit_ok = 0;
constexpr int plot_exit_failed = 1;      // log unreadable, output not writable, gnuplot failed
constexpr int plot_exit_usage = 2;       // bad arguments
constexpr int plot_exit_bad_records = 3; // outputs written from the good records only

constexpr const char* plot_name = "gyro_motor_plot";
constexpr const char* plot_default_log = "gyro_motor.txt";
constexpr const char* plot_usage =
    "usage: gyro_motor_plot [--csv FILE] [--png FILE] [--svg FILE] [--no-plot] [LOG]\n";

void plot_print_help() {
    std::printf(
        "%s"
        "\n"
        "Reads the sample log of a sweep (LOG, default %s), writes its samples as a CSV\n"
        "table and draws them with gnuplot: five stacked panels over the sample number, for\n"
        "the angles (roll and pitch on the left axis, heading on the right), the angular\n"
        "rates, the accelerations, the magnetic field and the temperature.\n"
        "\n"
        "Every five-line record of the log (LF or CR LF line ends) is checked: its labels, the\n"
        "number of fields on each line and each number. A broken or cut-off record, or lines\n"
        "that belong to no record, are reported on standard error as LOG:LINE: message and\n"
        "left out; reading goes on with the next record (the next line that starts with\n"
        "\"Roll\"). Samples are numbered 1, 2, 3... in the order of the good records, so a\n"
        "left-out record shifts the later numbers by one.\n"
        "\n"
        "Options:\n"
        "  --csv FILE   where the CSV goes (default: LOG with the extension .csv)\n"
        "  --png FILE   draw the PNG picture to FILE (--png=FILE works as well)\n"
        "  --svg FILE   draw the SVG picture to FILE\n"
        "               With neither --png nor --svg both pictures are drawn next to the log\n"
        "               (LOG with the extension .png and .svg); naming one draws only that one.\n"
        "  --no-plot    write the CSV only; gnuplot is not needed\n"
        "  -h, --help   show this text\n"
        "  --           ends the options (for a LOG whose name starts with -)\n"
        "Existing output files are replaced. No output may be the log itself.\n"
        "\n"
        "The CSV has a header line and one row per sample:\n"
        "  sample,roll_deg,pitch_deg,heading_deg,x_rate_dps,y_rate_dps,z_rate_dps,\n"
        "  x_accel_g,y_accel_g,z_accel_g,x_mag_gauss,y_mag_gauss,z_mag_gauss,temp_c\n"
        "(angles in degrees, rates in degrees per second, accelerations in g, field in gauss,\n"
        "temperature in degrees Celsius), with as many decimals as the log has.\n"
        "\n"
        "gnuplot must be on the PATH (on Debian: apt-get install gnuplot-nox). Without it the CSV\n"
        "is still written, and the program says so and ends with status 1.\n"
        "\n"
        "Exit status:\n"
        "  0  every record was good and every output was written\n"
        "  1  the log could not be read, an output could not be written, or gnuplot is\n"
        "     missing or failed\n"
        "  2  bad arguments\n"
        "  3  the log has broken records, nothing else failed: the outputs were written\n"
        "     from the good records\n",
        plot_usage, plot_default_log);
}

int plot_usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n%s", plot_name, message.c_str(), plot_usage);
    return plot_exit_usage;
}

struct PlotOptions {
    std::string log = plot_default_log;
    std::string csv;
    std::string png;
    std::string svg;
    bool no_plot = false;
};

// Parses the arguments into options; on a mistake prints it with the usage line and returns
// the exit status to end with.
std::optional<int> plot_parse_arguments(int argc, char** argv, PlotOptions& options) {
    bool log_given = false;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options_ended || !argument.starts_with("-") || argument == "-") {
            if (log_given) {
                return plot_usage_error("more than one LOG given");
            }
            options.log = argument;
            log_given = true;
            continue;
        }
        if (argument == "--") {
            options_ended = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            plot_print_help();
            return plot_exit_ok;
        }
        if (argument == "--no-plot") {
            options.no_plot = true;
            continue;
        }
        std::string* target = nullptr;
        std::string_view name = argument.substr(0, argument.find('='));
        if (name == "--csv") {
            target = &options.csv;
        } else if (name == "--png") {
            target = &options.png;
        } else if (name == "--svg") {
            target = &options.svg;
        } else {
            std::string message = "unknown option ";
            message += argument;
            return plot_usage_error(message);
        }
        if (!target->empty()) {
            return plot_usage_error(std::string(name) + " given twice");
        }
        if (name.size() < argument.size()) {
            *target = argument.substr(name.size() + 1);
        } else if (i + 1 < argc) {
            *target = argv[++i];
        }
        if (target->empty()) {
            return plot_usage_error(std::string(name) + " needs a file name");
        }
    }
    if (options.log.empty()) {
        return plot_usage_error("LOG is an empty name");
    }
    if (options.no_plot && (!options.png.empty() || !options.svg.empty())) {
        return plot_usage_error("--no-plot does not go with --png or --svg");
    }
    const auto beside_log = [&](const char* extension) {
        return std::filesystem::path(options.log).replace_extension(extension).string();
    };
    if (options.csv.empty()) {
        options.csv = beside_log(".csv");
    }
    if (!options.no_plot && options.png.empty() && options.svg.empty()) {
        options.png = beside_log(".png");
        options.svg = beside_log(".svg");
    }

    // An output on top of the log (or of another output) would destroy what it is made from.
    const std::array<std::pair<const char*, const std::string*>, 4> files{{
        {"LOG", &options.log},
        {"the CSV", &options.csv},
        {"the PNG", &options.png},
        {"the SVG", &options.svg},
    }};
    for (std::size_t a = 0; a < files.size(); ++a) {
        const std::string& path_a = *files[a].second;
        if (path_a.find_first_of("\r\n") != std::string::npos) {
            return plot_usage_error(std::string(files[a].first) + " has a line break in its name");
        }
        for (std::size_t b = a + 1; b < files.size(); ++b) {
            const std::string& path_b = *files[b].second;
            if (path_a.empty() || path_b.empty()) {
                continue;
            }
            std::error_code error_a;
            std::error_code error_b;
            const auto canonical_a = std::filesystem::weakly_canonical(path_a, error_a);
            const auto canonical_b = std::filesystem::weakly_canonical(path_b, error_b);
            if (path_a == path_b || (!error_a && !error_b && canonical_a == canonical_b)) {
                return plot_usage_error(std::string(files[b].first) + " would overwrite " +
                                        files[a].first + " (" + path_a + ")");
            }
        }
    }
    return std::nullopt;
}

int plot_draw(const PlotOptions& options, const std::vector<SweepLogSample>& samples) {
    const std::optional<std::filesystem::path> gnuplot = gnuplot_find();
    if (!gnuplot) {
        std::fprintf(stderr,
                     "%s: gnuplot not found on the PATH, so no picture was drawn (the CSV is "
                     "written). Install gnuplot (Debian: apt-get install gnuplot-nox) or use "
                     "--no-plot.\n",
                     plot_name);
        return plot_exit_failed;
    }
    std::vector<std::string> outputs;
    for (const std::string* path : {&options.png, &options.svg}) {
        if (!path->empty()) {
            outputs.push_back(*path);
        }
    }
    SweepLogPlot plot;
    plot.csv_path = options.csv;
    plot.png_path = options.png;
    plot.svg_path = options.svg;
    plot.title = "Sweep ";
    plot.title += std::filesystem::path(options.log).filename().string();
    plot.title += ": " + std::to_string(samples.size());
    plot.title += samples.size() == 1 ? " sample" : " samples";
    if (!gnuplot_draw(plot_name, *gnuplot, outputs, sweeplog_gnuplot_script(plot, samples))) {
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

    // Binary mode: the reader itself takes CR LF and LF alike, on every platform.
    std::FILE* log = std::fopen(options.log.c_str(), "rb");
    if (log == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", plot_name, options.log.c_str(),
                     std::strerror(errno));
        return plot_exit_failed;
    }
    std::vector<SweepLogSample> samples;
    std::vector<SweepLogProblem> problems;
    const bool read_ok = sweeplog_read(log, samples, problems);
    const int read_errno = errno;
    std::fclose(log);
    if (!read_ok) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", plot_name, options.log.c_str(),
                     std::strerror(read_errno));
        return plot_exit_failed;
    }
    sweeplog_print_problems(stderr, options.log, problems);
    std::printf("%s: %zu %s", options.log.c_str(), samples.size(),
                samples.size() == 1 ? "sample" : "samples");
    if (!problems.empty()) {
        std::printf(", %zu %s (broken records are left out)", problems.size(),
                    problems.size() == 1 ? "problem" : "problems");
    }
    std::printf("\n");

    std::FILE* csv = std::fopen(options.csv.c_str(), "wb");
    if (csv == nullptr) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", plot_name, options.csv.c_str(),
                     std::strerror(errno));
        return plot_exit_failed;
    }
    const bool csv_ok = sweeplog_write_csv(csv, samples);
    if (std::fclose(csv) != 0 || !csv_ok) {
        std::fprintf(stderr, "%s: cannot write %s\n", plot_name, options.csv.c_str());
        return plot_exit_failed;
    }
    std::printf("wrote %s\n", options.csv.c_str());

    if (!options.no_plot) {
        if (const int status = plot_draw(options, samples); status != plot_exit_ok) {
            return status;
        }
    }
    return problems.empty() ? plot_exit_ok : plot_exit_bad_records;
}
