#include "analysis/sweeplog/sweeplog.h"
#include "bench/bench.h"
#include "sim/sim_motor.h"
#include "sweep/gyro/gyro.h"
#include "sweep/serial/serial.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <span>
#include <stdlib.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

// --- bound ---------------------------------------------------------------------------------

namespace {

// What motor_is_moving sends for every sample.
constexpr std::string_view bench_motion_query = "pr mv\r";
// Ten bit times per byte on either line: start bit, eight data bits, stop bit.
constexpr double bench_bits_per_byte = 10.0;

double bench_byte_ms(double baud) {
    return bench_bits_per_byte * 1000.0 / baud;
}

} // namespace

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
    // The program's start (its first port opened), the controller's line opened and the move
    // sent: between the last two, the bench check.
    std::optional<double> gyro_open;
    std::optional<double> motor_open;
    std::optional<double> move;
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
        } else if (rest == " gyro open" && !gyro_open) {
            gyro_open = ms;
        } else if (rest == " motor open" && !motor_open) {
            motor_open = ms;
        } else if (rest.starts_with(" motor ma ") && rest != " motor ma 0" && !move) {
            move = ms;
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
    if (gyro_open && motor_open && move) {
        bench_print("open_to_move_ms", *move - *motor_open);
        bench_print("start_to_last_poll_ms", polls.back() - *gyro_open);
    }
    return 0;
}
// --- timeouts ------------------------------------------------------------------------------

namespace {

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

} // namespace

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

namespace {

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

} // namespace

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
