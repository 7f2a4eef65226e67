// The sweep: open the ports and the log, start one long move, log a gyro sample for every motion
// report, return to zero and close everything.
#pragma once

#include <cstdint>

struct SweepSettings {
    const char* gyro_port_name;
    std::uint32_t gyro_baud_rate;
    const char* motor_port_name;
    std::uint32_t motor_baud_rate;
    const char* log_file_name;
    std::int32_t target_position;
};

inline constexpr SweepSettings driver_settings{
    .gyro_port_name = "com8",
    .gyro_baud_rate = 38400,
    .motor_port_name = "com6",
    .motor_baud_rate = 9600,
    .log_file_name = "gyro_motor.txt",
    .target_position = 1000000,
};

// Exit statuses. 2 is left to the companion programs' usage errors.
inline constexpr int driver_exit_ok = 0;
// A port or the sample log could not be opened; nothing was moved.
inline constexpr int driver_exit_open_failed = 1;
// The controller or the gyro failed during the sweep (silent, or its port gone).
inline constexpr int driver_exit_device_failed = 3;
// The sample log could not be written or closed completely.
inline constexpr int driver_exit_log_failed = 4;
// Interrupted by the user: 128 + the signal number, 130 for Ctrl-C, 143 for SIGTERM.
inline constexpr int driver_exit_interrupted_base = 128;

// Runs one sweep and returns the process exit status.
int driver_run(const SweepSettings& settings);
