// The sample log read back: a checking reader of its five-line records. The reader never trusts
// the file: each line of a record must carry its labels in order, one decimal number after each,
// and nothing else. A broken record is reported with its line number and skipped; reading goes on
// with the next one.
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

// Where the quantities that the analysis and its pictures use sit in a sample's values.
inline constexpr std::size_t sweeplog_roll = 0;
inline constexpr std::size_t sweeplog_pitch = 1;
inline constexpr std::size_t sweeplog_heading = 2;
inline constexpr std::size_t sweeplog_yaw_rate = 5;
inline constexpr std::size_t sweeplog_accel_x = 6;
inline constexpr std::size_t sweeplog_accel_y = 7;
inline constexpr std::size_t sweeplog_accel_z = 8;
inline constexpr std::size_t sweeplog_mag_x = 9;
inline constexpr std::size_t sweeplog_mag_y = 10;
inline constexpr std::size_t sweeplog_temp = 12;
static_assert(sweeplog_quantities[sweeplog_yaw_rate].label == "Z Yaw Rate" &&
              sweeplog_quantities[sweeplog_mag_y].label == "Y Mag" &&
              sweeplog_quantities[sweeplog_temp].label == "Temp");

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
