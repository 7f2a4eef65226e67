#include "analysis/sweeplog/sweeplog.h"
#include "bench/bench.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Follows a file that another process appends to: the lines completed since the last look.
struct BenchTail {
    std::string path;
    int fd = -1;
    std::string partial;
    std::uint64_t lines = 0;
};

template <typename LineFunction> void bench_tail_read(BenchTail& tail, LineFunction on_line) {
    if (tail.fd < 0) {
        tail.fd = open(tail.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (tail.fd < 0) {
            return; // not there yet
        }
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(tail.fd, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                ++tail.lines;
                on_line(std::string_view(tail.partial));
                tail.partial.clear();
            } else {
                tail.partial += buffer[i];
            }
        }
    }
}

// The process's resident memory in KiB, from /proc: now, and the kernel's high-water mark.
struct BenchResident {
    std::uint64_t now_kib = 0;
    std::uint64_t peak_kib = 0;
};

// Nothing once the process has ended.
std::optional<BenchResident> bench_resident(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return std::nullopt;
    }
    BenchResident resident;
    bool seen = false;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned long long value = 0;
        if (std::sscanf(line, "VmHWM: %llu kB", &value) == 1) {
            resident.peak_kib = value;
        } else if (std::sscanf(line, "VmRSS: %llu kB", &value) == 1) {
            resident.now_kib = value;
            seen = true;
        }
    }
    std::fclose(file);
    return seen ? std::optional(resident) : std::nullopt;
}

struct BenchMark {
    std::uint64_t samples = 0;
    std::optional<std::uint64_t> resident_kib;
    std::uint64_t at_samples = 0; // the log's sample count when it was read
};

double bench_seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

void bench_sleep_ms(double ms) {
    const auto ns = static_cast<long long>(ms * 1e6);
    timespec wanted{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&wanted, &wanted) != 0 && errno == EINTR) {
    }
}
} // namespace

int bench_run(BenchRunOptions options) {
    BenchTail log;
    log.path = options.log;
    BenchTail watched;
    watched.path = options.interrupt_on.first;
    const std::string& watched_text = options.interrupt_on.second;
    std::vector<BenchMark> marks;
    for (const std::uint64_t samples : options.rss_at) {
        marks.push_back({samples, std::nullopt, 0});
    }
    std::vector<char*> child_argv;
    for (std::string& word : options.program) {
        child_argv.push_back(word.data());
    }
    child_argv.push_back(nullptr);

    std::fflush(stdout);
    const BenchClock::time_point start = BenchClock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("gm_bench: fork");
        return 1;
    }
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        if (!options.child_output.empty()) {
            const int out = open(options.child_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
        }
        execvp(child_argv[0], child_argv.data());
        std::fprintf(stderr, "gm_bench: cannot run %s: %s\n", child_argv[0], std::strerror(errno));
        _exit(127);
    }

    int status = 0;
    rusage usage{};
    std::uint64_t resident_max_kib = 0;
    std::uint64_t resident_peak_kib = 0;
    std::optional<double> interrupted_at_ms;
    bool terminated = false;
    const auto count_samples = [&] {
        if (!log.path.empty()) {
            bench_tail_read(log, [](std::string_view) {});
        }
        return log.lines / sweeplog_lines_per_record;
    };
    for (;;) {
        const pid_t ended = wait4(pid, &status, WNOHANG, &usage);
        if (ended == pid) {
            break;
        }
        if (ended < 0 && errno != EINTR) {
            std::perror("gm_bench: wait");
            return 1;
        }
        const std::optional<BenchResident> resident = bench_resident(pid);
        if (resident) {
            resident_max_kib = std::max(resident_max_kib, resident->now_kib);
            resident_peak_kib = std::max(resident_peak_kib, resident->peak_kib);
        }
        const std::uint64_t samples = count_samples();
        for (BenchMark& mark : marks) {
            if (!mark.resident_kib && samples >= mark.samples && resident) {
                mark.resident_kib = resident->now_kib;
                mark.at_samples = samples;
            }
        }
        if (!watched.path.empty() && !interrupted_at_ms) {
            bool seen = false;
            bench_tail_read(watched, [&](std::string_view line) {
                seen = seen || (line.size() >= watched_text.size() &&
                                line.substr(line.size() - watched_text.size()) == watched_text);
            });
            if (seen) {
                kill(pid, SIGINT);
                interrupted_at_ms = bench_ms_since(start);
            }
        }
        if (options.timeout_s > 0.0 && !terminated &&
            bench_ms_since(start) > options.timeout_s * 1000.0) {
            std::fprintf(stderr, "gm_bench: %s ran longer than %.0f s; stopping it\n",
                         child_argv[0], options.timeout_s);
            kill(pid, SIGTERM);
            terminated = true;
        }
        bench_sleep_ms(options.period_ms);
    }
    const double wall_s = bench_ms_since(start) / 1000.0;
    const std::uint64_t samples = count_samples();

    const int exit_status = WIFEXITED(status)     ? WEXITSTATUS(status)
                            : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                                  : -1;
    bench_print_count("status", static_cast<std::uint64_t>(exit_status));
    bench_print("wall_s", wall_s);
    bench_print("user_s", bench_seconds(usage.ru_utime));
    bench_print("sys_s", bench_seconds(usage.ru_stime));
    bench_print("cpu_s", bench_seconds(usage.ru_utime) + bench_seconds(usage.ru_stime));
    bench_print_count("maxrss_kib", static_cast<std::uint64_t>(usage.ru_maxrss));
    // Mostly one voluntary switch per wait for input: how often the program woke up.
    bench_print_count("voluntary_switches", static_cast<std::uint64_t>(usage.ru_nvcsw));
    bench_print_count("involuntary_switches", static_cast<std::uint64_t>(usage.ru_nivcsw));
    bench_print_count("rss_max_seen_kib", resident_max_kib);
    bench_print_count("hwm_max_seen_kib", resident_peak_kib);
    // The kernel's accounts of the peak can lag behind each other a little: take the highest.
    bench_print_count("peak_rss_kib", std::max({resident_max_kib, resident_peak_kib,
                                                static_cast<std::uint64_t>(usage.ru_maxrss)}));
    bench_print_count("samples", samples);
    bench_print_count("interrupted", interrupted_at_ms ? 1 : 0);
    if (interrupted_at_ms) {
        bench_print("interrupted_at_s", *interrupted_at_ms / 1000.0);
    }
    for (const BenchMark& mark : marks) {
        if (mark.resident_kib) {
            std::printf("rss_kib_at_%llu=%llu\n", static_cast<unsigned long long>(mark.samples),
                        static_cast<unsigned long long>(*mark.resident_kib));
            std::printf("rss_read_at_samples_%llu=%llu\n",
                        static_cast<unsigned long long>(mark.samples),
                        static_cast<unsigned long long>(mark.at_samples));
        }
    }
    return 0;
}
