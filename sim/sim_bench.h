// The irregular bench: a PC, its serial adapters and the devices answer after small random
// delays, and now and then the gyro's answer is held back by a stall (a USB hiccup, a busy PC).
// The delays are drawn from a seeded generator, so a run can be repeated.
#pragma once

#include <cstdint>

struct SimBench {
    double jitter = 0.0;            // seconds: each answer waits a random extra delay below it
    std::uint64_t stall_every = 0;  // every Nth gyro answer waits `stall` more; 0: never
    double stall = 0.0;             // seconds
    std::uint32_t random_state = 1; // xorshift32; never 0
    std::uint64_t gyro_answers = 0;
};

SimBench sim_bench_make(std::uint32_t seed, double jitter_s, std::uint64_t stall_every,
                        double stall_s);

// The extra delay in seconds before the next answer of the gyro, and of the controller.
double sim_bench_gyro_delay(SimBench& bench);
double sim_bench_motor_delay(SimBench& bench);
