// The parameter file: settings for the laser unit, the gyro and the GPS receiver, and the name of
// a calibration file, as "key=value ; comment" lines. The reader fills an InputParameters record;
// the dump lists a record one key per line. Nothing in the sweep uses this module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

// Text values are plain C strings from malloc, so that a failed allocation shows up as a null
// pointer instead of an exception.
struct ParameterTextFree {
    void operator()(char* text) const noexcept { std::free(text); }
};
using ParameterText = std::unique_ptr<char, ParameterTextFree>;

// Every integer starts at 0 and every text absent; a key the file does not set keeps that value.
struct InputParameters {
    std::int32_t laser_serial_port = 0;
    std::int32_t laser_baud_rate = 0;
    std::int32_t laser_hsif_board = 0;
    std::int32_t laser_sample_period = 0;
    std::int32_t laser_sample_lines = 0;
    std::int32_t laser_max_range = 0;
    std::int32_t laser_motor_number = 0;
    std::int32_t laser_power_level = 0;
    std::int32_t laser_index_angle = 0;
    std::int32_t laser_arc_angle = 0;
    std::int32_t gyro_enabled = 0;
    ParameterText gyro_serial_port;
    std::int32_t gyro_baud_rate = 0;
    ParameterText gyro_mode;
    std::int32_t gps_enabled = 0;
    ParameterText gps_serial_port;
    std::int32_t gps_baud_rate = 0;
    ParameterText calibration_file;
};

// One key and the field it sets: exactly one of the two field pointers is set, except in the
// closing entry, whose key is empty.
struct ParameterKey {
    const char* key;
    std::int32_t InputParameters::*integer_field;
    ParameterText InputParameters::*text_field;
};

inline constexpr std::size_t parameter_key_count = 18;

// Matching order and listing order. No key is a prefix of another, so at most one matches.
inline constexpr std::array<ParameterKey, parameter_key_count + 1> parameter_keys{{
    {"laser_serial_port", &InputParameters::laser_serial_port, nullptr},
    {"laser_baud_rate", &InputParameters::laser_baud_rate, nullptr},
    {"laser_hsif_board", &InputParameters::laser_hsif_board, nullptr},
    {"laser_sample_period", &InputParameters::laser_sample_period, nullptr},
    {"laser_sample_lines", &InputParameters::laser_sample_lines, nullptr},
    {"laser_max_range", &InputParameters::laser_max_range, nullptr},
    {"laser_motor_number", &InputParameters::laser_motor_number, nullptr},
    {"laser_power_level", &InputParameters::laser_power_level, nullptr},
    {"gyro_enabled", &InputParameters::gyro_enabled, nullptr},
    {"gyro_serial_port", nullptr, &InputParameters::gyro_serial_port},
    {"gyro_baud_rate", &InputParameters::gyro_baud_rate, nullptr},
    {"gyro_mode", nullptr, &InputParameters::gyro_mode},
    {"gps_enabled", &InputParameters::gps_enabled, nullptr},
    {"gps_serial_port", nullptr, &InputParameters::gps_serial_port},
    {"gps_baud_rate", &InputParameters::gps_baud_rate, nullptr},
    {"calibration_file", nullptr, &InputParameters::calibration_file},
    {"laser_index_angle", &InputParameters::laser_index_angle, nullptr},
    {"laser_arc_angle", &InputParameters::laser_arc_angle, nullptr},
    {"", nullptr, nullptr},
}};

// Lines are read in pieces of at most this many characters; a longer line goes on as the next.
inline constexpr std::size_t params_line_capacity = 100;

// Reads the file at path. Nothing when it cannot be opened ("param file not found" on standard
// error) or when a text cannot be allocated (also reported on standard error). Lines that start
// with no key are reported on standard output.
std::optional<InputParameters> read_input_parameters(const char* path);

// Writes the heading and one "key -> value" line per key, in table order; an absent text is
// written as "(null)".
void dump_input_parameters(std::FILE* stream, const InputParameters& parameters);

// Removes leading and trailing space, tab, line feed, vertical tab, form feed and carriage
// return in place; returns text.
char* trim_whitespace(char* text);

// A separately allocated copy of text; null when the allocation fails (or text is null).
ParameterText copy_string(const char* text);

// The decimal integer at the start of text: optional sign, then digits up to the first other
// character; 0 without digits; clamped to the signed 32-bit range.
std::int32_t params_parse_integer(const char* text);

// Replaces the allocator behind copy_string (for tests of allocation failure); the memory it
// returns is released with std::free. Null restores std::malloc.
void params_set_allocator(void* (*allocate)(std::size_t size));
