// gm_bench's measurements, one function per command, and the printer they share: each
// measurement prints its results as "key=value" lines for scripts/bench.sh to read. Nothing
// here judges a result. The command line that binds their options is in gm_bench.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using BenchClock = std::chrono::steady_clock;

// The options of the commands that take several; gm_bench.cpp binds them.
struct BenchBoundOptions {
    double gyro_baud = 38400.0;
    double motor_baud = 9600.0;
    double gyro_latency_ms = 2.0;
    double motor_latency_ms = 5.0;
};

struct BenchRunOptions {
    std::string log;
    std::vector<std::uint64_t> rss_at;
    std::pair<std::string, std::string> interrupt_on; // file, text; no file: never
    double period_ms = 20.0;
    double timeout_s = 0.0; // 0: no limit
    std::string child_output;
    std::vector<std::string> program; // and its arguments
};

// --- the printer (bench_print.cpp) ---------------------------------------------------------

void bench_print(const char* key, double value);
void bench_print_count(const char* key, std::uint64_t value);
double bench_ms_since(BenchClock::time_point start);
// Sorted copy's element at fraction q (0 = smallest, 1 = largest); 0 for no values.
double bench_quantile(std::vector<double> values, double q);

// --- the measurements: each returns the program's exit status -------------------------------

// bench_rows.cpp: the bound that the line rates and latencies allow, the samples per second in
// a simulator transcript, the read time-outs' overshoot, and the frames that a log kept.
int bench_bound(const BenchBoundOptions& options);
int bench_rate(const std::string& transcript);
int bench_timeouts(std::uint64_t reads);
int bench_frames(const std::string& frames_record, const std::string& log);
// bench_run.cpp: a program run to its end, its time, memory and samples watched as it goes.
int bench_run(BenchRunOptions options);
// bench_archive.cpp: a sensor archive of `records` records, `per_sensor` sweeps per serial, in
// `dir`, each report.json the size of a real one, for timing gyro_motor_history over it.
int bench_archive(const std::string& dir, std::uint64_t records, std::uint64_t per_sensor);
