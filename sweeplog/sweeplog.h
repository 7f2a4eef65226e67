// The sample log read back: a checking reader of its five-line records, the CSV view of the
// samples and the gnuplot script that draws them. The reader never trusts the file: each line of
// a record must carry its labels in order, one decimal number after each, and nothing else. A
// broken record is reported with its line number and skipped; reading goes on with the next one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t sweeplog_value_count = 13;
inline constexpr std::size_t sweeplog_lines_per_record = 5;

// One logged quantity: its label in the log, its CSV column (name and unit) and the number of
// decimals the log prints, which the CSV keeps so that it shows exactly what the log shows.
struct SweepLogQuantity {
    std::string_view label;
    std::string_view column;
    int decimals;
};

// In log order: angles in degrees, rates in degrees per second, accelerations in g, magnetic
// field in gauss, temperature in degrees Celsius.
inline constexpr std::array<SweepLogQuantity, sweeplog_value_count> sweeplog_quantities{{
    {"Roll", "roll_deg", 2},
    {"Pitch", "pitch_deg", 2},
    {"Heading", "heading_deg", 2},
    {"X Roll Rate", "x_rate_dps", 3},
    {"Y Pitch Rate", "y_rate_dps", 3},
    {"Z Yaw Rate", "z_rate_dps", 3},
    {"X Accel", "x_accel_g", 5},
    {"Y Accel", "y_accel_g", 5},
    {"Z Accel", "z_accel_g", 5},
    {"X Mag", "x_mag_gauss", 5},
    {"Y Mag", "y_mag_gauss", 5},
    {"Z Mag", "z_mag_gauss", 5},
    {"Temp", "temp_c", 2},
}};

// The first quantity of each of a record's five lines, and one past the last.
inline constexpr std::array<std::size_t, sweeplog_lines_per_record + 1> sweeplog_line_starts{
    0, 3, 6, 9, 12, 13};

// A good record. `number` counts the good records from 1, so the samples stay consecutive (a
// dropped record does not leave a hole; the problems tell where one was dropped). `line` is the
// 1-based line of the record's "Roll" line in the file.
struct SweepLogSample {
    std::size_t number = 0;
    std::size_t line = 0;
    std::array<double, sweeplog_value_count> values{};
};

// What was wrong, and on which 1-based line of the file.
struct SweepLogProblem {
    std::size_t line = 0;
    std::string message;
};

// mingw's own printf (chosen for the whole build) takes %zu; tell the format checks so.
#ifdef __MINGW32__
#define SWEEPLOG_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define SWEEPLOG_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

// printf-formatted text of any length, for the programs' reports and scripts.
std::string sweeplog_text(const char* format, ...) SWEEPLOG_PRINTF_FORMAT(1, 2);

// A decimal as printf's %f writes it: an optional minus, digits, and optionally a point followed
// by digits. No plus sign, exponent, hexadecimal, inf or nan.
std::optional<double> sweeplog_parse_decimal(std::string_view token);

// A line as a message shows it: quoted, shortened, control bytes made harmless.
std::string sweeplog_quote_line(std::string_view line);

// Reads the whole log, LF or CR LF line ends. Good records are appended to samples, one problem
// per broken record (or per stretch of lines that belong to no record) to problems. Returns false
// only when the stream reports a read error; what was read up to it is kept.
bool sweeplog_read(std::FILE* log, std::vector<SweepLogSample>& samples,
                   std::vector<SweepLogProblem>& problems);

// Opens and reads the log file at path (binary mode: the reader takes CR LF and LF alike on every
// platform). When it cannot be opened or read, prints "PROGRAM: cannot open|read PATH: reason" on
// standard error and returns false; so too, with "PROGRAM: PATH: not a sample log: ...", when it
// holds no good record at all.
bool sweeplog_load(const char* program, const std::string& path,
                   std::vector<SweepLogSample>& samples, std::vector<SweepLogProblem>& problems);

// Lists the problems as LOG:LINE: message, one a line. Beyond the first 20 they are only
// counted: a file of another format would otherwise flood the console with one line per record.
void sweeplog_print_problems(std::FILE* out, const std::string& log_name,
                             std::span<const SweepLogProblem> problems);

// Writes the header and one row per sample; false when the stream reports a write error. With
// times (each sample's in order, as far as they reach) a last column time_s holds them; a sample
// beyond them has it empty.
bool sweeplog_write_csv(std::FILE* csv, std::span<const SweepLogSample> samples,
                        std::span<const double> times = {});

// What the plot is drawn from and where it goes; an empty output name draws no such picture.
struct SweepLogPlot {
    std::string csv_path;
    std::string png_path;
    std::string svg_path;
    std::string title;
};

// The gnuplot script that draws the samples (already written to plot.csv_path) as five stacked
// panels over the sample number: angles, rates, accelerations, magnetic field, temperature. The
// samples set the ranges, so flat or single-sample series draw without gnuplot's warnings.
// Returns an empty string when a name holds a line break, which no gnuplot string can carry.
std::string sweeplog_gnuplot_script(const SweepLogPlot& plot,
                                    std::span<const SweepLogSample> samples);
