// gm_bench: the measurement program behind scripts/bench.sh. Each command measures one thing
// and prints its results as "key=value" lines, which the script turns into its table and its
// results file. Nothing here judges a result: the figures are for people to read. The commands
// and their options are in main (gm_bench --help, gm_bench COMMAND --help).
#include "gyro/gyro.h"
#include "serial/serial.h"
#include "sim/sim_motor.h"
#include "sweeplog/sweeplog.h"
#include "tools/cli.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <span>
#include <stdlib.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using BenchClock = std::chrono::steady_clock;

// What motor_is_moving sends for every sample.
constexpr std::string_view bench_motion_query = "pr mv\r";
// Ten bit times per byte on either line: start bit, eight data bits, stop bit.
constexpr double bench_bits_per_byte = 10.0;

// The options of each command; main binds them.
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

struct BenchOptions {
    BenchBoundOptions bound;
    std::string transcript;
    BenchRunOptions run;
    std::uint64_t reads = 300;
    std::string frames_record;
    std::string frames_log;
};

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

double bench_byte_ms(double baud) {
    return bench_bits_per_byte * 1000.0 / baud;
}

// --- bound ---------------------------------------------------------------------------------

// One sample is two exchanges back to back, nothing overlapping:
// - the motion query: its bytes cross the controller's line, the controller answers after its
//   latency, the answer crosses the line, and the program's read ends only after the interval
//   time-out of silence that follows the prompt (a read of 100 bytes never fills);
// - the gyro poll: one byte across, the gyro's latency, the 30-byte frame across; that read ends
//   with its 30th byte.
int bench_bound(const BenchBoundOptions& options) {
    const double gyro_baud = options.gyro_baud;
    const double motor_baud = options.motor_baud;
    const double gyro_latency_ms = options.gyro_latency_ms;
    const double motor_latency_ms = options.motor_latency_ms;

    // The simulated controller's answer to the motion query while the motor moves, byte for
    // byte as it goes on the line.
    SimMotor motor;
    motor.target = 1.0;
    const std::string answer = sim_motor_execute(motor, "pr mv", 0.0);

    const double motor_byte_ms = bench_byte_ms(motor_baud);
    const double gyro_byte_ms = bench_byte_ms(gyro_baud);
    const double query_line_ms = static_cast<double>(bench_motion_query.size()) * motor_byte_ms;
    const double answer_line_ms = static_cast<double>(answer.size()) * motor_byte_ms;
    const double poll_line_ms = gyro_byte_ms;
    const double frame_line_ms = static_cast<double>(gyro_frame_length) * gyro_byte_ms;
    const auto interval_ms = static_cast<double>(serial_read_interval_ms);

    const double motor_exchange_ms =
        query_line_ms + motor_latency_ms + answer_line_ms + interval_ms;
    const double gyro_exchange_ms = poll_line_ms + gyro_latency_ms + frame_line_ms;
    const double sample_ms = motor_exchange_ms + gyro_exchange_ms;

    bench_print_count("query_bytes", bench_motion_query.size());
    bench_print_count("answer_bytes", answer.size());
    bench_print_count("poll_bytes", 1);
    bench_print_count("frame_bytes", gyro_frame_length);
    bench_print("motor_byte_ms", motor_byte_ms);
    bench_print("gyro_byte_ms", gyro_byte_ms);
    bench_print("query_line_ms", query_line_ms);
    bench_print("motor_latency_ms", motor_latency_ms);
    bench_print("answer_line_ms", answer_line_ms);
    bench_print("interval_timeout_ms", interval_ms);
    bench_print("poll_line_ms", poll_line_ms);
    bench_print("gyro_latency_ms", gyro_latency_ms);
    bench_print("frame_line_ms", frame_line_ms);
    bench_print("motor_exchange_ms", motor_exchange_ms);
    bench_print("gyro_exchange_ms", gyro_exchange_ms);
    bench_print("sample_ms", sample_ms);
    bench_print("samples_per_s", 1000.0 / sample_ms);
    // The same split as the transcript shows it: the simulator stamps a command when its last
    // byte has crossed the line.
    bench_print("query_to_poll_ms", motor_latency_ms + answer_line_ms + interval_ms + poll_line_ms);
    bench_print("poll_to_query_ms", gyro_latency_ms + frame_line_ms + query_line_ms);
    return 0;
}

// --- rate ----------------------------------------------------------------------------------

int bench_rate(const std::string& transcript) {
    std::FILE* file = std::fopen(transcript.c_str(), "r");
    if (file == nullptr) {
        std::fprintf(stderr, "gm_bench: cannot read %s: %s\n", transcript.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::vector<double> polls;
    std::vector<double> query_to_poll;
    std::vector<double> poll_to_query;
    // The motion query since the last poll, if any (a negative time: none).
    double last_query = -1.0;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        char* text = nullptr;
        const double ms = std::strtod(line, &text);
        std::string_view rest(text);
        while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) {
            rest.remove_suffix(1);
        }
        if (rest == " gyro G") {
            if (last_query >= 0.0) {
                query_to_poll.push_back(ms - last_query);
                last_query = -1.0;
            }
            polls.push_back(ms);
        } else if (rest == " motor pr mv") {
            if (!polls.empty() && last_query < 0.0) {
                poll_to_query.push_back(ms - polls.back());
            }
            last_query = ms;
        }
    }
    std::fclose(file);

    std::vector<double> periods;
    for (std::size_t i = 1; i < polls.size(); ++i) {
        periods.push_back(polls[i] - polls[i - 1]);
    }
    bench_print_count("polls", polls.size());
    if (polls.size() < 2) {
        std::fprintf(stderr, "gm_bench: fewer than two polls in %s\n", transcript.c_str());
        return 1;
    }
    const double span_ms = polls.back() - polls.front();
    bench_print("first_poll_ms", polls.front());
    bench_print("last_poll_ms", polls.back());
    // N polls span N - 1 periods.
    bench_print("samples_per_s", static_cast<double>(polls.size() - 1) * 1000.0 / span_ms);
    bench_print("period_median_ms", bench_quantile(periods, 0.5));
    bench_print("period_p99_ms", bench_quantile(periods, 0.99));
    bench_print("period_max_ms", bench_quantile(periods, 1.0));
    bench_print("query_to_poll_median_ms", bench_quantile(query_to_poll, 0.5));
    bench_print("poll_to_query_median_ms", bench_quantile(poll_to_query, 0.5));
    return 0;
}

// --- run -----------------------------------------------------------------------------------

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

// --- timeouts ------------------------------------------------------------------------------

struct BenchOvershoot {
    std::vector<double> ms;
    std::uint64_t wrong_counts = 0; // reads that did not bring what the case expects
};

void bench_print_overshoot(const char* name, const BenchOvershoot& overshoot) {
    const std::string prefix(name);
    bench_print_count((prefix + "_reads").c_str(), overshoot.ms.size());
    bench_print_count((prefix + "_wrong_counts").c_str(), overshoot.wrong_counts);
    bench_print((prefix + "_min_ms").c_str(), bench_quantile(overshoot.ms, 0.0));
    bench_print((prefix + "_median_ms").c_str(), bench_quantile(overshoot.ms, 0.5));
    bench_print((prefix + "_p90_ms").c_str(), bench_quantile(overshoot.ms, 0.9));
    bench_print((prefix + "_max_ms").c_str(), bench_quantile(overshoot.ms, 1.0));
}

// The program's read time-outs on a pseudo-terminal opened and set up exactly as the links do
// it. Interval: one byte written to the other side, then silence; the read of 8 bytes should end
// 10 ms after that byte. Total: silence from the start; the read of one byte should end after
// 10 * 1 + 100 ms. Overshoot is the time beyond that, which includes the pseudo-terminal's own
// delivery of the byte.
int bench_timeouts(std::uint64_t reads) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slave_name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave_name, sizeof slave_name) != 0) {
        std::perror("gm_bench: pseudo-terminal");
        return 1;
    }
    const SerialHandle port = serial_open(slave_name);
    if (port == serial_invalid_handle) {
        std::fprintf(stderr, "gm_bench: cannot open %s: %d\n", slave_name, serial_last_error());
        return 1;
    }
    if (!serial_apply_line_settings(port, 38400, "Bench")) {
        return 1;
    }

    const auto count = static_cast<std::size_t>(reads);
    std::array<std::uint8_t, 8> buffer{};
    BenchOvershoot interval;
    const std::uint8_t byte = 'x';
    for (std::size_t n = 0; n < count; ++n) {
        std::size_t got = 0;
        const BenchClock::time_point start = BenchClock::now();
        if (write(master, &byte, 1) != 1 || !serial_read(port, buffer, got)) {
            std::perror("gm_bench: interval read");
            return 1;
        }
        const double ms = bench_ms_since(start);
        if (got != 1) {
            ++interval.wrong_counts;
            continue;
        }
        interval.ms.push_back(ms - static_cast<double>(serial_read_interval_ms));
    }

    BenchOvershoot total;
    const std::span<std::uint8_t> one = std::span(buffer).first(1);
    const auto nominal_ms = static_cast<double>(serial_silent_read_ms(one.size()));
    for (std::size_t n = 0; n < count; ++n) {
        std::size_t got = 0;
        const BenchClock::time_point start = BenchClock::now();
        if (!serial_read(port, one, got)) {
            std::perror("gm_bench: total read");
            return 1;
        }
        const double ms = bench_ms_since(start);
        if (got != 0) {
            ++total.wrong_counts;
            continue;
        }
        total.ms.push_back(ms - nominal_ms);
    }
    serial_close(port);
    close(master);

    bench_print_overshoot("interval", interval);
    bench_print("total_nominal_ms", nominal_ms);
    bench_print_overshoot("total", total);
    return 0;
}

// --- frames --------------------------------------------------------------------------------

// The file's lines without their line ends; nothing, and a message, when it cannot be opened.
std::optional<std::vector<std::string>> bench_read_lines(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        std::fprintf(stderr, "gm_bench: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::string line;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line.push_back(static_cast<char>(c));
        }
    }
    std::fclose(file);
    return lines;
}

// The five log lines the sweep writes for a frame, or nothing when its checksum fails.
std::optional<std::string> bench_frame_text(const GyroFrame& frame) {
    const std::optional<GyroSample> sample = gyro_decode_frame(frame);
    if (!sample) {
        return std::nullopt;
    }
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&text, &size);
    if (stream == nullptr) {
        return std::nullopt;
    }
    gyro_log_sample(stream, *sample);
    std::fclose(stream);
    std::string result(text, size);
    std::free(text);
    return result;
}

int bench_frames(const std::string& frames_record, const std::string& log) {
    // Both are read before either is judged, so that every missing file is named.
    const std::optional<std::vector<std::string>> frame_lines = bench_read_lines(frames_record);
    const std::optional<std::vector<std::string>> log_lines = bench_read_lines(log);
    if (!frame_lines || !log_lines) {
        return 1;
    }
    // Per frame sent: its log text when it was meant to be logged.
    std::vector<std::optional<std::string>> loggable;
    for (const std::string& line : *frame_lines) {
        char kind[64] = {};
        char hex[1024] = {};
        if (std::sscanf(line.c_str(), "%*s %*s %63s %1023s", kind, hex) != 2 ||
            std::strlen(hex) < 2 * gyro_frame_length) {
            std::fprintf(stderr, "gm_bench: bad frame record: %s\n", line.c_str());
            return 1;
        }
        const std::string_view kind_text(kind);
        GyroFrame frame{};
        const char* bytes = hex + std::strlen(hex) - 2 * gyro_frame_length;
        for (std::size_t i = 0; i < gyro_frame_length; ++i) {
            const char pair[3] = {bytes[2 * i], bytes[2 * i + 1], '\0'};
            frame[i] = static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16));
        }
        loggable.push_back(kind_text == "ok" || kind_text == "split" ? bench_frame_text(frame)
                                                                     : std::nullopt);
    }
    std::uint64_t kept = 0;
    std::uint64_t wrong = 0;
    std::size_t next = 0;
    const std::size_t per_record = sweeplog_lines_per_record;
    for (std::size_t at = 0; at + per_record <= log_lines->size(); at += per_record) {
        std::string record;
        for (std::size_t k = 0; k < per_record; ++k) {
            record += (*log_lines)[at + k] + "\n";
        }
        std::size_t found = next;
        while (found < loggable.size() && loggable[found] != record) {
            ++found;
        }
        if (found < loggable.size()) {
            ++kept;
            next = found + 1;
        } else {
            ++wrong;
        }
    }
    const auto meant = static_cast<std::uint64_t>(
        std::count_if(loggable.begin(), loggable.end(), [](const auto& text) { return text; }));
    bench_print_count("frames_sent", loggable.size());
    bench_print_count("frames_meant", meant);
    bench_print_count("samples", log_lines->size() / per_record);
    bench_print_count("kept", kept);
    bench_print_count("wrong", wrong);
    bench_print("kept_share",
                meant == 0 ? 0.0 : static_cast<double>(kept) / static_cast<double>(meant));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    CLI::App app("The measurements behind scripts/bench.sh, printed as key=value lines.",
                 "gm_bench");
    cli_setup(app);
    // At most one command; none is refused below, so that a word that is no command is named.
    app.require_subcommand(0, 1);

    CLI::App* const bound = app.add_subcommand(
        "bound", "the samples per second that no program can beat against the simulated\n"
                 "bench, from first principles: what one sample costs on the lines");
    BenchBoundOptions& bound_options = options.bound;
    bound
        ->add_option("--gyro-baud", bound_options.gyro_baud, "the gyro's line rate (default 38400)")
        ->type_name("N")
        ->check(cli_number(1.0));
    bound
        ->add_option("--motor-baud", bound_options.motor_baud,
                     "the controller's line rate (default 9600)")
        ->type_name("N")
        ->check(cli_number(1.0));
    bound
        ->add_option("--gyro-latency-ms", bound_options.gyro_latency_ms,
                     "from a poll to the first byte of its frame (default 2)")
        ->type_name("MS")
        ->check(cli_number(0.0));
    bound
        ->add_option("--motor-latency-ms", bound_options.motor_latency_ms,
                     "from a command to its answer (default 5)")
        ->type_name("MS")
        ->check(cli_number(0.0));

    CLI::App* const rate = app.add_subcommand(
        "rate", "samples per second of a sweep, from the simulator's transcript (its gyro polls)");
    rate->add_option("TRANSCRIPT", options.transcript, "the simulator's --transcript file")
        ->required()
        ->check(cli_text());

    CLI::App* const run = app.add_subcommand(
        "run", "runs a program to its end: wall time, CPU time, peak resident memory, and\n"
               "its resident memory when its sample log first holds N samples");
    BenchRunOptions& run_options = options.run;
    run->add_option("--log", run_options.log, "the program's sample log, counted as it grows")
        ->type_name("FILE")
        ->check(cli_text());
    // One count per --rss-at, every one kept. A list open to more values would take the "--"
    // before the program as its own end, and the program's options for unknown ones of ours.
    run->add_option("--rss-at", run_options.rss_at,
                    "resident memory when the log first holds N samples (repeatable)")
        ->allow_extra_args(false)
        ->type_name("N")
        ->check(cli_count(1));
    run->add_option("--interrupt-on", run_options.interrupt_on,
                    "send SIGINT once a line of FILE ends with TEXT")
        ->type_name("FILE TEXT");
    run->add_option("--period-ms", run_options.period_ms,
                    "how often to look at the program (default 20)")
        ->type_name("MS")
        ->check(cli_number(1.0));
    run->add_option("--timeout-s", run_options.timeout_s,
                    "SIGTERM after S seconds (default 0: no limit)")
        ->type_name("S")
        ->check(cli_number(0.0));
    run->add_option("--child-output", run_options.child_output,
                    "the program's standard output and error go here")
        ->type_name("FILE")
        ->check(cli_text());
    run->add_option("PROGRAM", run_options.program, "the program and its arguments, after --")
        ->required();

    CLI::App* const timeouts = app.add_subcommand(
        "timeouts", "how far the serial port's read time-outs overshoot on a pseudo-terminal");
    timeouts->add_option("--reads", options.reads, "reads per case (default 300)")
        ->type_name("N")
        ->check(cli_count(1));

    CLI::App* const frames = app.add_subcommand(
        "frames", "the simulator's frames record against a sweep's sample log: frames sent,\n"
                  "those meant to be logged (all but stray-hit and bad ones), how many of them\n"
                  "the log holds whole, and records that are no frame as sent");
    frames->add_option("FRAMES", options.frames_record, "the simulator's --frames file")
        ->required()
        ->check(cli_text());
    frames->add_option("LOG", options.frames_log, "the sweep's sample log")
        ->required()
        ->check(cli_text());

    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }
    if (bound->parsed()) {
        return bench_bound(options.bound);
    }
    if (rate->parsed()) {
        return bench_rate(options.transcript);
    }
    if (run->parsed()) {
        return bench_run(options.run);
    }
    if (timeouts->parsed()) {
        return bench_timeouts(options.reads);
    }
    if (frames->parsed()) {
        return bench_frames(options.frames_record, options.frames_log);
    }
    std::fputs("gm_bench: a command is required (see --help)\n", stderr);
    return exit_bad_arguments;
}
