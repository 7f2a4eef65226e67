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
    // One line per logged sample: the seconds from the move command to its poll.
    const char* times_file_name;
    // The run's own account (sweep/runfile/), written whatever the run's end.
    const char* run_file_name;
    std::int32_t target_position;
};

inline constexpr SweepSettings driver_settings{
    .gyro_port_name = "com8",
    .gyro_baud_rate = 38400,
    .motor_port_name = "com6",
    .motor_baud_rate = 9600,
    .log_file_name = "gyro_motor.txt",
    .times_file_name = "gyro_motor_times.txt",
    .run_file_name = "gyro_motor_run.txt",
    .target_position = 1000000,
};

// Runs one sweep and returns the process exit status (base/exit/exit_status.h).
int driver_run(const SweepSettings& settings);
