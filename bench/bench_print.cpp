#include "bench/bench.h"

#include <algorithm>
#include <cstdio>

void bench_print(const char* key, double value) {
    std::printf("%s=%.6f\n", key, value);
}

void bench_print_count(const char* key, std::uint64_t value) {
    std::printf("%s=%llu\n", key, static_cast<unsigned long long>(value));
}

double bench_ms_since(BenchClock::time_point start) {
    return std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
}

// Sorted copy's element at fraction q (0 = smallest, 1 = largest); 0 for no values.
double bench_quantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto last = static_cast<double>(values.size() - 1);
    return values[static_cast<std::size_t>(q * last + 0.5)];
}
