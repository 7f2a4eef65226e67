// One run of the simulator: its two devices, and how each request that arrives on a line is
// answered (a poll with its frame, a command with the controller's answer), recorded in the
// transcript and the frames record, and when a line is hung up on purpose.
#pragma once

#include "sim/sim_bench.h"
#include "sim/sim_gyro.h"
#include "sim/sim_link.h"
#include "sim/sim_motor.h"
#include "sim/sim_options.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

// What one line of the bench does beyond its link.
struct SimDevice {
    const char* word = "";
    SimLink link;
    int watch = -1; // inotify watch on the slave
    // Events of the simulator's own look at the slave, not to be recorded.
    int own_opens = 0;
    int own_closes = 0;
    std::optional<double> first_byte_at;
    std::optional<double> hangup_after;
    std::uint64_t requests = 0; // polls or commands received
};

struct SimRun {
    SimOptions options;
    SimDevice gyro_device;
    SimDevice motor_device;
    SimGyro gyro;
    SimMotor motor;
    SimBench bench;
    std::uint64_t frames_sent = 0;
    std::uint64_t motion_queries = 0; // with --lockstep-ms, motor time is a step for each
    std::FILE* transcript = nullptr;
    std::FILE* frames = nullptr;
    int watch_fd = -1; // inotify: the program opening and closing the slaves
    std::chrono::steady_clock::time_point start;
};

// Seconds since the run started.
double sim_run_elapsed(const SimRun& run);
// A transcript line: the time in milliseconds, the device's word, the text with every byte
// outside printable ASCII as \xNN.
void sim_run_record(SimRun& run, double now, const char* word, std::string_view text);
// Every byte that has arrived on the line by now, answered as the device would.
void sim_run_serve_gyro(SimRun& run, double now);
void sim_run_serve_motor(SimRun& run, double now);
// When the device's line is to be hung up (--hangup-gyro-after and so on), once it is known.
std::optional<double> sim_run_hangup_time(const SimDevice& device);
// Hangs up the device's line once its time has come.
void sim_run_check_hangup(SimRun& run, SimDevice& device, double now);
