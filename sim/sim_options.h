// The simulator's command line: every option of gyro_motor_sim bound to its field in SimOptions,
// checked as it is read, with the help that explains it.
#pragma once

#include "sim/sim_gyro.h"
#include "sim/sim_motor.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct SimOptions {
    std::string dir = ".";
    std::string gyro_name = "com8";
    std::string motor_name = "com6";
    bool raw = false;
    bool translating_gyro_line = false;
    std::string ready_file;
    double gyro_baud = 38400.0;
    double motor_baud = 9600.0;
    double gyro_latency_ms = 2.0;
    double motor_latency_ms = 5.0;
    bool pacing = true;
    double usb_tick_ms = 0.0; // 0: no adapter model
    double time_scale = 1.0;
    double units_per_turn = sim_gyro_default_units_per_turn;
    std::uint32_t seed = 1;
    double accel = sim_motor_default_accel;
    std::optional<double> lockstep_ms;
    double answer_jitter_ms = 0.0;
    std::uint64_t gyro_stall_every = 0;
    double gyro_stall_ms = 250.0;
    SimGyroErrors errors;
    std::string transcript;
    std::string frames;
    bool awkward_frames = false;
    std::uint64_t bad_checksum_every = 0;
    std::uint64_t split_every = 0;
    std::size_t split_at = 15;
    double split_pause_ms = 30.0;
    std::size_t stray_bytes = 0;
    std::uint64_t stray_every = 1;
    std::optional<std::uint64_t> gyro_silent_after;
    bool question_prompts = false;
    bool echo = false;
    std::optional<std::uint64_t> motor_silent_after;
    std::optional<double> hangup_gyro_after;
    std::optional<double> hangup_motor_after;
    bool leftovers = false;
    bool moving_at_start = false;
};

// Reads the options into options. Returns the exit status when the program should end now.
std::optional<int> sim_options_parse(int argc, char** argv, SimOptions& options);
