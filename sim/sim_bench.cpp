#include "sim/sim_bench.h"
#include "sim/sim_gyro.h"

namespace {

// A draw from [0, 1).
double sim_bench_uniform(SimBench& bench) {
    return static_cast<double>(sim_gyro_next_random(bench.random_state) >> 8) /
           static_cast<double>(1u << 24);
}

} // namespace

SimBench sim_bench_make(std::uint32_t seed, double jitter_s, std::uint64_t stall_every,
                        double stall_s) {
    // Mixed so that the same seed as the sensor's noise draws another sequence; never 0.
    const std::uint32_t state = (seed ^ 0x9E3779B9u) * 2654435761u;
    return {.jitter = jitter_s,
            .stall_every = stall_every,
            .stall = stall_s,
            .random_state = state != 0 ? state : 1u};
}

double sim_bench_gyro_delay(SimBench& bench) {
    ++bench.gyro_answers;
    const bool stalls = bench.stall_every != 0 && bench.gyro_answers % bench.stall_every == 0;
    return bench.jitter * sim_bench_uniform(bench) + (stalls ? bench.stall : 0.0);
}

double sim_bench_motor_delay(SimBench& bench) {
    return bench.jitter * sim_bench_uniform(bench);
}
