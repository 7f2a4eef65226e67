#include "sim/sim_run.h"

#include <array>
#include <span>
#include <string>
#include <vector>

namespace {

// Simulated motor time at wall-clock time now (seconds since the start).
double motor_time(const SimRun& run, double now) {
    if (run.options.lockstep_ms) {
        // Counted rather than summed, so that a long run does not drift.
        return static_cast<double>(run.motion_queries) * *run.options.lockstep_ms / 1000.0;
    }
    return now * run.options.time_scale;
}

// The platform's velocity in units per wall-clock second. Faster motor time is a faster turn:
// the gyro's rate then matches the heading it reports against the clock. The lock step keeps
// motor time apart from the clock, so its rates stay those of motor time.
double platform_velocity(const SimRun& run) {
    const double velocity = sim_motor_velocity(run.motor);
    return run.options.lockstep_ms ? velocity : velocity * run.options.time_scale;
}

void answer_poll(SimRun& run, double now) {
    const SimOptions& options = run.options;
    SimMotor& motor = run.motor;
    sim_motor_advance(motor, motor_time(run, now));
    SimGyroReading reading =
        sim_gyro_read(run.gyro, {.position = motor.position, .velocity = platform_velocity(run)});
    const std::uint64_t number = ++run.frames_sent;

    std::string kind;
    const auto add_kind = [&kind](const char* name) {
        kind += kind.empty() ? "" : "+";
        kind += name;
    };
    if (options.awkward_frames) {
        constexpr std::array<std::uint8_t, 11> awkward = {0x11, 0x13, 0x0D, 0x0A, 0x00, 0xFF,
                                                          0x91, 0x93, 0x8D, 0x8A, 0x80};
        std::array<std::uint8_t, 28> data{};
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = awkward[(i + number) % awkward.size()];
        }
        sim_gyro_use_data(reading, data);
    }
    if (options.bad_checksum_every != 0 && number % options.bad_checksum_every == 0) {
        reading.frame[29] = static_cast<std::uint8_t>(reading.frame[29] + 1u);
        add_kind("bad");
    }
    std::vector<std::uint8_t> bytes;
    if (options.stray_bytes != 0 && number % options.stray_every == 0) {
        bytes.assign(options.stray_bytes, 0xAA);
        add_kind("stray");
    }
    const std::size_t frame_start = bytes.size();
    bytes.insert(bytes.end(), reading.frame.begin(), reading.frame.end());
    const double delay = sim_bench_gyro_delay(run.bench);
    if (options.split_every != 0 && number % options.split_every == 0) {
        const std::size_t first = frame_start + options.split_at;
        sim_link_send(run.gyro_device.link, std::span(bytes).first(first), now, delay);
        sim_link_send(run.gyro_device.link, std::span(bytes).subspan(first), now,
                      options.split_pause_ms / 1000.0);
        add_kind("split");
    } else {
        sim_link_send(run.gyro_device.link, bytes, now, delay);
    }

    if (run.frames != nullptr) {
        std::fprintf(run.frames, "%.3f %llu %s ", now * 1000.0,
                     static_cast<unsigned long long>(number), kind.empty() ? "ok" : kind.c_str());
        for (const std::uint8_t byte : bytes) {
            std::fprintf(run.frames, "%02X", byte);
        }
        for (const double value : reading.values) {
            std::fprintf(run.frames, " %.9f", value);
        }
        std::fputc('\n', run.frames);
    }
}

} // namespace

double sim_run_elapsed(const SimRun& run) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - run.start).count();
}

void sim_run_record(SimRun& run, double now, const char* word, std::string_view text) {
    if (run.transcript == nullptr) {
        return;
    }
    std::string printable;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            printable += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            printable += escaped;
        }
    }
    std::fprintf(run.transcript, "%.3f %s %s\n", now * 1000.0, word, printable.c_str());
}

void sim_run_serve_gyro(SimRun& run, double now) {
    SimDevice& device = run.gyro_device;
    for (const std::uint8_t byte : sim_link_take_arrived(device.link, now)) {
        if (!device.first_byte_at) {
            device.first_byte_at = now;
        }
        if (byte != sim_gyro_poll_byte) {
            char text[16];
            std::snprintf(text, sizeof text, "other 0x%02X", byte);
            sim_run_record(run, now, device.word, text);
            continue;
        }
        ++device.requests;
        sim_run_record(run, now, device.word, "G");
        if (!run.options.gyro_silent_after || device.requests <= *run.options.gyro_silent_after) {
            answer_poll(run, now);
        }
    }
}

void sim_run_serve_motor(SimRun& run, double now) {
    SimDevice& device = run.motor_device;
    for (const std::uint8_t byte : sim_link_take_arrived(device.link, now)) {
        if (!device.first_byte_at) {
            device.first_byte_at = now;
        }
        const std::optional<std::string> command = sim_motor_take_byte(run.motor, byte);
        if (!command) {
            continue;
        }
        ++device.requests;
        sim_run_record(run, now, device.word, *command);
        if (run.options.motor_silent_after && device.requests > *run.options.motor_silent_after) {
            continue;
        }
        if (run.options.lockstep_ms && sim_motor_is_motion_query(*command)) {
            ++run.motion_queries;
        }
        const std::string answer = sim_motor_execute(run.motor, *command, motor_time(run, now));
        sim_link_send(
            device.link,
            std::span(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()), now,
            sim_bench_motor_delay(run.bench));
    }
}

std::optional<double> sim_run_hangup_time(const SimDevice& device) {
    if (!sim_link_is_open(device.link) || !device.hangup_after || !device.first_byte_at) {
        return std::nullopt;
    }
    return *device.first_byte_at + *device.hangup_after;
}

void sim_run_check_hangup(SimRun& run, SimDevice& device, double now) {
    const std::optional<double> due = sim_run_hangup_time(device);
    if (due && now >= *due) {
        sim_link_hang_up(device.link);
        sim_run_record(run, now, device.word, "hang-up");
    }
}
