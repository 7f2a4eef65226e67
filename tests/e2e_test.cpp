// The real sweep program against the simulated bench, each case in a fresh run folder: console
// output, exit status, the sample log checked against the frames the gyro sent, and the
// controller's dialogue.
//
// The same cases run other builds of the sweep through the environment:
//   GM_E2E_SWEEP_COMMAND  shell command that runs the sweep in the run folder
//                         (default: the native gyro_motor of this build)
//   GM_E2E_LINK_DIR       folder for the device links (default: the run folder), e.g. a Wine
//                         prefix's dosdevices
//   GM_E2E_SIM_ARGS       extra simulator options, blank-separated (e.g. --raw for Wine)
//   GM_E2E_CRLF           1 when the program's text lines (log and console) end with "\r\n"
//                         (a Windows build)
//   GM_E2E_TIMEOUT_S      longest a sweep may take (default 60)
//   GM_E2E_HANGUP_ERROR   error code in the message of a line that hung up (default 5, EIO;
//                         Wine reports 21, ERROR_NOT_READY)
// With another build of the sweep, the cases that need the native programs of this build are
// skipped: signals sent to the sweep, a log on /dev/full, ports held by Linux processes, and
// gyro_motor_home.
// For example:
//   GM_E2E_SWEEP_COMMAND="wine build/mingw/gyro_motor.exe" GM_E2E_SIM_ARGS=--raw
//   GM_E2E_LINK_DIR="$WINEPREFIX/dosdevices" GM_E2E_CRLF=1 build/default/tests/e2e_test
#include "tests/support/process_harness.h"
#include "tests/support/report_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t value_count = 13;
using Values = std::array<double, value_count>;

struct E2eConfig {
    std::string sweep_command; // empty: run GM_SWEEP_PATH directly
    std::string link_dir;      // empty: the run folder
    std::vector<std::string> sim_args;
    bool crlf = false;
    double timeout_s = 60.0;
    std::string hangup_error = "5";
};

E2eConfig config_from_environment() {
    E2eConfig config;
    const auto get = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : "");
    };
    config.sweep_command = get("GM_E2E_SWEEP_COMMAND");
    config.link_dir = get("GM_E2E_LINK_DIR");
    config.sim_args = harness_split_words(get("GM_E2E_SIM_ARGS"));
    config.crlf = get("GM_E2E_CRLF") == "1";
    if (const std::string timeout = get("GM_E2E_TIMEOUT_S"); !timeout.empty()) {
        config.timeout_s = std::atof(timeout.c_str());
    }
    if (const std::string code = get("GM_E2E_HANGUP_ERROR"); !code.empty()) {
        config.hangup_error = code;
    }
    return config;
}

struct FrameRecord {
    std::string kind;                // "ok", or "bad", "split", "stray" joined by '+'
    std::vector<std::uint8_t> bytes; // stray bytes, then the frame
    Values values{};
};

struct Event {
    double ms = 0.0;
    std::string text; // "motor ma 1000000", "gyro G"
};

using Clock = std::chrono::steady_clock;

struct SweepRun {
    std::string dir;
    std::string link_dir;
    std::optional<int> status; // nothing: the sweep did not end in time
    Clock::time_point started; // the program under test
    Clock::time_point ended;
    std::optional<int> sim_status;
    std::string out;
    std::string err;
    std::optional<std::string> log;
    std::optional<std::string> times;
    std::vector<FrameRecord> frames;
    std::vector<Event> events;

    double seconds() const { return std::chrono::duration<double>(ended - started).count(); }
};

std::vector<std::uint8_t> parse_hex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<FrameRecord> read_frames(const std::string& path) {
    std::vector<FrameRecord> frames;
    for (const std::string& line : harness_split_lines(harness_read_file(path).value_or(""))) {
        const std::vector<std::string> fields = harness_split_words(line);
        if (fields.size() != 4 + value_count) {
            ADD_FAILURE() << "bad frame record: " << line;
            continue;
        }
        FrameRecord frame;
        frame.kind = fields[2];
        frame.bytes = parse_hex(fields[3]);
        for (std::size_t k = 0; k < value_count; ++k) {
            frame.values[k] = std::atof(fields[4 + k].c_str());
        }
        frames.push_back(frame);
    }
    return frames;
}

std::vector<Event> read_events(const std::string& path) {
    std::vector<Event> events;
    for (const std::string& line : harness_split_lines(harness_read_file(path).value_or(""))) {
        const std::size_t space = line.find(' ');
        events.push_back({std::atof(line.substr(0, space).c_str()), line.substr(space + 1)});
    }
    return events;
}

// The sweep as this run is configured to start it, with the arguments.
std::vector<std::string> sweep_argv(const std::vector<std::string>& arguments = {}) {
    const E2eConfig config = config_from_environment();
    if (config.sweep_command.empty()) {
        std::vector<std::string> argv = {GM_SWEEP_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    std::string command = "exec " + config.sweep_command;
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'"; // the tests' arguments hold no quote
    }
    return {"/bin/sh", "-c", command};
}

// Names a table's cases by their name field.
constexpr auto case_name = [](const auto& param) { return std::string(param.param.name); };

// The other build's programs run through a command line: signals sent to it need not reach them
// as the native build takes them, and the companion programs of that build are not run here.
bool native_sweep() {
    return config_from_environment().sweep_command.empty();
}

struct BenchHooks {
    // Before the simulator starts: prepare the folders.
    std::function<void(const SweepRun&)> setup;
    // While the program runs (started and run.dir are set): e.g. send it a signal.
    std::function<void(const SweepRun&, pid_t)> during;
    // Once the simulator's links exist, before the program starts.
    std::function<void(const SweepRun&)> ready;
};

// Starts the simulator with the options, runs the program in a fresh run folder, stops the
// simulator and collects everything.
SweepRun run_on_bench(const std::vector<std::string>& program,
                      const std::vector<std::string>& sim_options, const BenchHooks& hooks = {}) {
    const E2eConfig config = config_from_environment();
    SweepRun run;
    run.dir = harness_make_temp_dir("gm_e2e_");
    run.link_dir = config.link_dir.empty() ? run.dir : config.link_dir;
    std::vector<std::string> sim_argv = {GM_SIM_PATH,
                                         "--dir",
                                         run.link_dir,
                                         "--ready-file",
                                         run.dir + "/ready",
                                         "--transcript",
                                         run.dir + "/transcript.txt",
                                         "--frames",
                                         run.dir + "/frames.txt"};
    sim_argv.insert(sim_argv.end(), config.sim_args.begin(), config.sim_args.end());
    sim_argv.insert(sim_argv.end(), sim_options.begin(), sim_options.end());
    if (hooks.setup) {
        hooks.setup(run);
    }
    const pid_t sim = harness_spawn(sim_argv, run.dir, run.dir + "/sim.out", run.dir + "/sim.err");
    if (!harness_wait_for_file(run.dir + "/ready", sim, 10.0)) {
        ADD_FAILURE() << "the simulator did not get ready: "
                      << harness_read_file(run.dir + "/sim.err").value_or("");
        run.sim_status = harness_stop(sim, 10.0);
        return run;
    }

    if (hooks.ready) {
        hooks.ready(run);
    }
    run.started = Clock::now();
    const pid_t sweep =
        harness_spawn(program, run.dir, run.dir + "/sweep.out", run.dir + "/sweep.err");
    if (hooks.during) {
        hooks.during(run, sweep);
    }
    run.status = harness_wait(sweep, config.timeout_s);
    run.ended = Clock::now();
    run.sim_status = harness_stop(sim, 10.0);

    run.out = harness_read_file(run.dir + "/sweep.out").value_or("");
    run.err = harness_read_file(run.dir + "/sweep.err").value_or("");
    // Only a file is read back: a log that leads to a device (/dev/full) could be endless.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(run.dir + "/gyro_motor.txt", ignored)) {
        run.log = harness_read_file(run.dir + "/gyro_motor.txt");
    }
    run.times = harness_read_file(run.dir + "/gyro_motor_times.txt");
    run.frames = read_frames(run.dir + "/frames.txt");
    run.events = read_events(run.dir + "/transcript.txt");
    return run;
}

SweepRun run_sweep(const std::vector<std::string>& sim_options,
                   const std::function<void(const SweepRun&, pid_t)>& during = {}) {
    return run_on_bench(sweep_argv(), sim_options, {.setup = {}, .during = during, .ready = {}});
}

// One field of a log line: its label, then the value right-aligned in at least seven
// characters with a fixed number of decimals, then a blank.
struct LogField {
    const char* label;
    int decimals;
};

constexpr std::array<std::array<LogField, 3>, 5> log_layout = {{
    {{{"Roll ", 2}, {"Pitch ", 2}, {"Heading ", 2}}},
    {{{"X Roll Rate ", 3}, {"Y Pitch Rate ", 3}, {"Z Yaw Rate ", 3}}},
    {{{"X Accel ", 5}, {"Y Accel ", 5}, {"Z Accel ", 5}}},
    {{{"X Mag ", 5}, {"Y Mag ", 5}, {"Z Mag ", 5}}},
    {{{"Temp ", 2}, {nullptr, 0}, {nullptr, 0}}},
}};

int decimals_of(std::size_t k) {
    return log_layout[k / 3][k % 3].decimals;
}

// Reads one line's fields into values; an empty result means the line is well formed.
std::string parse_log_line(const std::string& line, std::size_t kind, Values& values) {
    std::size_t pos = 0;
    for (std::size_t f = 0; f < 3 && log_layout[kind][f].label != nullptr; ++f) {
        const LogField& field = log_layout[kind][f];
        const std::string label = field.label;
        if (line.compare(pos, label.size(), label) != 0) {
            return "expected '" + label + "'";
        }
        pos += label.size();
        const std::size_t end = line.find(' ', line.find_first_not_of(' ', pos));
        if (end == std::string::npos) {
            return "no blank after the value of '" + label + "'";
        }
        const std::string text = line.substr(pos, end - pos);
        const std::size_t start = text.find_first_not_of(' ');
        const std::string number = text.substr(start);
        const std::size_t point = number.find('.');
        const bool digits_ok =
            point != std::string::npos &&
            number.find_first_not_of("-0123456789.") == std::string::npos &&
            number.size() - point - 1 == static_cast<std::size_t>(field.decimals);
        if (text.size() < 7 || !digits_ok) {
            return "bad value '" + text + "' for '" + label + "'";
        }
        values[kind * 3 + f] = std::atof(number.c_str());
        pos = end + 1;
    }
    if (pos != line.size()) {
        return "unexpected text after the last field";
    }
    return {};
}

// The samples of the log, five lines each; failures name the offending line.
std::vector<Values> parse_log(const std::string& log, bool crlf) {
    std::vector<Values> samples;
    if (!log.empty()) {
        EXPECT_EQ(log.back(), '\n') << "the log ends inside a line";
    }
    const std::vector<std::string> lines = harness_split_lines(log);
    EXPECT_EQ(lines.size() % 5, 0u) << "the log holds a partial sample";
    for (std::size_t i = 0; i + 5 <= lines.size(); i += 5) {
        Values values{};
        for (std::size_t kind = 0; kind < 5; ++kind) {
            std::string line = lines[i + kind];
            const bool has_cr = !line.empty() && line.back() == '\r';
            EXPECT_EQ(has_cr, crlf) << "line end of log line " << i + kind + 1;
            if (has_cr) {
                line.pop_back();
            }
            const std::string problem = parse_log_line(line, kind, values);
            EXPECT_EQ(problem, "") << "log line " << i + kind + 1 << ": '" << line << "'";
        }
        samples.push_back(values);
    }
    return samples;
}

// The sample times, one "%.4f" line each, strictly increasing.
std::vector<double> parse_times(const std::optional<std::string>& text, bool crlf) {
    std::vector<double> times;
    for (const std::string& line : harness_split_lines(text.value_or(""))) {
        const std::string time = line.substr(0, line.size() - (crlf ? 1 : 0));
        EXPECT_EQ(line, time + (crlf ? "\r" : "")) << "line end of times line " << times.size() + 1;
        EXPECT_TRUE(time.size() >= 6 && time[time.size() - 5] == '.' &&
                    time.find_first_not_of("0123456789.") == std::string::npos)
            << "times line " << times.size() + 1 << ": '" << line << "'";
        EXPECT_TRUE(times.empty() || std::atof(time.c_str()) > times.back()) << line;
        times.push_back(std::atof(time.c_str()));
    }
    EXPECT_TRUE(text.has_value() && (text->empty() || text->back() == '\n')) << "times file torn";
    return times;
}

// An independent reading of a 30-byte window: checksum, then the log's conversions.
std::optional<Values> decode_window(const std::uint8_t* bytes) {
    unsigned sum = 0;
    for (std::size_t i = 1; i <= 28; ++i) {
        sum += bytes[i];
    }
    if ((sum & 0xFFu) != bytes[29]) {
        return std::nullopt;
    }
    Values values{};
    for (std::size_t k = 0; k < value_count; ++k) {
        const int high = bytes[2 * k + 1];
        const int low = bytes[2 * k + 2];
        const double v = k <= 11 ? static_cast<std::int8_t>(high) * 256 + low : high * 256 + low;
        if (k <= 2) {
            values[k] = v * 180 / 32768;
        } else if (k <= 5) {
            values[k] = v * 100 * 1.5 / 65536;
        } else if (k <= 8) {
            values[k] = 4 * v * 2 * 1.5 / 65536;
        } else if (k <= 11) {
            values[k] = 2 * v * 1.25 * 1.5 / 65536;
        } else {
            values[k] = (v * 5 / 4096 - 1.375) * 44.4;
        }
    }
    return values;
}

double print_tolerance(std::size_t k) {
    return 0.5 * std::pow(10.0, -decimals_of(k)) + 1e-9;
}

// Size of one step of word k in its value's unit.
double word_step(std::size_t k) {
    const double steps[] = {180.0 / 32768,    180.0 / 32768, 180.0 / 32768, 150.0 / 65536,
                            150.0 / 65536,    150.0 / 65536, 12.0 / 65536,  12.0 / 65536,
                            12.0 / 65536,     3.75 / 65536,  3.75 / 65536,  3.75 / 65536,
                            5.0 / 4096 * 44.4};
    return steps[k];
}

bool printed_as(const Values& printed, const Values& values) {
    for (std::size_t k = 0; k < value_count; ++k) {
        if (std::fabs(printed[k] - values[k]) > print_tolerance(k)) {
            return false;
        }
    }
    return true;
}

struct SampleMatch {
    std::size_t aligned = 0;              // samples that are whole frames as sent
    std::vector<std::size_t> frame_index; // per sample: its frame, or SIZE_MAX if misaligned
    std::vector<std::size_t> start;       // per sample: its window's offset in the byte stream
};

// Finds each logged sample, in order, as a 30-byte window with a valid checksum in the byte
// stream the gyro sent, printed as that window decodes. A window that is a whole frame must also
// stand for the frame's intended values. Bytes that a read consumed are not used twice.
SampleMatch match_samples(const std::vector<Values>& samples,
                          const std::vector<FrameRecord>& frames) {
    std::vector<std::uint8_t> stream;
    std::vector<std::size_t> frame_at; // stream offset -> frame index + 1 where a frame starts
    for (std::size_t i = 0; i < frames.size(); ++i) {
        stream.insert(stream.end(), frames[i].bytes.begin(), frames[i].bytes.end());
        frame_at.resize(stream.size() + 1, 0);
        frame_at[stream.size() - 30] = i + 1;
    }
    frame_at.resize(stream.size() + 1, 0);

    SampleMatch match;
    std::size_t next = 0;
    for (std::size_t s = 0; s < samples.size(); ++s) {
        std::optional<std::size_t> found;
        for (std::size_t start = next; start + 30 <= stream.size(); ++start) {
            const std::optional<Values> decoded = decode_window(&stream[start]);
            if (decoded && printed_as(samples[s], *decoded)) {
                found = start;
                break;
            }
        }
        if (!found) {
            ADD_FAILURE() << "sample " << s + 1 << " is no frame the gyro sent (heading "
                          << samples[s][2] << ")";
            match.frame_index.push_back(SIZE_MAX);
            match.start.push_back(SIZE_MAX);
            continue;
        }
        next = *found + 30;
        match.start.push_back(*found);
        if (frame_at[*found] == 0) {
            match.frame_index.push_back(SIZE_MAX);
            continue;
        }
        const FrameRecord& frame = frames[frame_at[*found] - 1];
        for (std::size_t k = 0; k < value_count; ++k) {
            EXPECT_NEAR(samples[s][k], frame.values[k], word_step(k) / 2 + print_tolerance(k))
                << "sample " << s + 1 << " value " << k;
        }
        match.frame_index.push_back(frame_at[*found] - 1);
        ++match.aligned;
    }
    return match;
}

bool is_good(const FrameRecord& frame) {
    return frame.kind == "ok";
}

// Every frame with a good checksum was logged, and nothing else.
void expect_every_good_frame_logged(const std::vector<Values>& samples,
                                    const std::vector<FrameRecord>& frames) {
    const SampleMatch match = match_samples(samples, frames);
    std::vector<std::size_t> good;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (is_good(frames[i])) {
            good.push_back(i);
        }
    }
    EXPECT_EQ(match.frame_index, good);
}

// What the simulator saw of the lines themselves rather than of the devices' dialogue.
bool is_line_event(const Event& event) {
    return event.text.ends_with(" open") || event.text.ends_with(" close") ||
           event.text.ends_with(" hang-up") || event.text.ends_with(" replaced");
}

// The program opens the gyro's port before the controller's and closes it after. A line that the
// simulator hung up is gone: its close is not seen.
void expect_port_order(const std::vector<Event>& events) {
    std::optional<std::size_t> gyro_open;
    std::optional<std::size_t> motor_open;
    std::optional<std::size_t> gyro_end;
    std::optional<std::size_t> motor_end;
    std::optional<std::size_t> gyro_close;
    std::optional<std::size_t> motor_close;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const std::string& text = events[i].text;
        if (text == "gyro open" && !gyro_open) {
            gyro_open = i;
        } else if (text == "motor open" && !motor_open) {
            motor_open = i;
        } else if (text == "gyro close" || text == "gyro hang-up") {
            gyro_end = i;
            gyro_close = text == "gyro close" ? std::optional(i) : gyro_close;
        } else if (text == "motor close" || text == "motor hang-up") {
            motor_end = i;
            motor_close = text == "motor close" ? std::optional(i) : motor_close;
        }
    }
    ASSERT_TRUE(gyro_open && motor_open && gyro_end && motor_end);
    EXPECT_LT(*gyro_open, *motor_open);
    if (gyro_close && motor_close) {
        EXPECT_LT(*motor_close, *gyro_close);
    }
    // No command before the controller's port was open, none after the program closed it.
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (!is_line_event(events[i])) {
            EXPECT_GT(i, *motor_open) << events[i].text;
            if (motor_close) {
                EXPECT_LT(i, *motor_close) << events[i].text;
            }
        }
    }
}

// The commands and polls, in order, without the lines' own events.
std::vector<std::string> dialogue_of(const std::vector<Event>& events) {
    std::vector<std::string> seen;
    for (const Event& event : events) {
        if (!is_line_event(event)) {
            seen.push_back(event.text);
        }
    }
    return seen;
}

// How the gyro's part of a sweep may look.
enum class GyroPolls {
    every_motion,    // a poll after every motion report
    may_stop,        // from some report on, none (the gyro's port is gone)
    until_interrupt, // a poll after every motion report until the user asked to stop
};

// Before its move a sweep asks whether the motor moves and sets the sweep speed: the commands
// from there on are those of every sweep. Returns the index after them.
std::size_t expect_bench_check(const std::vector<std::string>& seen) {
    const std::vector<std::string> check = {"motor pr mv", "motor vm 40000", "motor ma 1000000"};
    for (std::size_t i = 0; i < check.size(); ++i) {
        EXPECT_EQ(i < seen.size() ? seen[i] : std::string(), check[i]) << "event " << i;
    }
    return check.size();
}

// The dialogue of a complete sweep: the check, the move, a motion query before each poll until
// one reports no motion (or a poll during which the user asked to stop), the return at the higher
// speed with its motion wait, the normal speed. Returns the number of polls.
std::size_t expect_sweep_dialogue(const std::vector<Event>& events,
                                  GyroPolls gyro_polls = GyroPolls::every_motion) {
    const std::vector<std::string> seen = dialogue_of(events);
    const auto at = [&](std::size_t k) { return k < seen.size() ? seen[k] : std::string(); };
    std::size_t i = expect_bench_check(seen);
    std::size_t polls = 0;
    bool polling = true;
    for (;;) {
        if (polling && at(i) == "motor pr mv" && at(i + 1) == "gyro G") {
            i += 2;
            ++polls;
        } else if (gyro_polls == GyroPolls::may_stop && at(i) == "motor pr mv" &&
                   at(i + 1) == "motor pr mv") {
            ++i;
            polling = false;
        } else {
            break;
        }
    }
    if (gyro_polls != GyroPolls::until_interrupt) {
        EXPECT_EQ(at(i), "motor pr mv") << "event " << i;
        ++i;
    }
    EXPECT_EQ(at(i), "motor vm 200000") << "event " << i;
    EXPECT_EQ(at(i + 1), "motor ma 0") << "event " << i + 1;
    i += 2;
    std::size_t waits = 0;
    while (at(i) == "motor pr mv") {
        ++i;
        ++waits;
    }
    EXPECT_GE(waits, 1u);
    EXPECT_EQ(at(i), "motor vm 40000") << "event " << i;
    EXPECT_EQ(i + 1, seen.size()) << "events after the sweep, from: " << at(i + 1);
    return polls;
}

// The dialogue of a sweep cut short by the controller's failure: the check, the move, motion
// queries each followed by a poll, perhaps a last query, and nothing after it: no return to zero,
// no speed command. Returns the number of polls.
std::size_t expect_cut_short_dialogue(const std::vector<Event>& events) {
    const std::vector<std::string> seen = dialogue_of(events);
    const auto at = [&](std::size_t k) { return k < seen.size() ? seen[k] : std::string(); };
    std::size_t i = expect_bench_check(seen);
    std::size_t polls = 0;
    while (at(i) == "motor pr mv" && at(i + 1) == "gyro G") {
        i += 2;
        ++polls;
    }
    if (at(i) == "motor pr mv") {
        ++i;
    }
    EXPECT_EQ(i, seen.size()) << "events after the sweep was cut short, from: " << at(i);
    return polls;
}

// Commands the controller received.
std::size_t motor_commands(const std::vector<Event>& events) {
    std::size_t count = 0;
    for (const std::string& text : dialogue_of(events)) {
        count += text.starts_with("motor ") ? 1u : 0u;
    }
    return count;
}

// Every logged sample is a frame as sent, in order from the first, and at most `lost` frames at
// the end were not logged.
void expect_leading_frames_logged(const std::vector<Values>& samples,
                                  const std::vector<FrameRecord>& frames, std::size_t lost) {
    const SampleMatch match = match_samples(samples, frames);
    std::vector<std::size_t> leading(samples.size());
    for (std::size_t i = 0; i < leading.size(); ++i) {
        leading[i] = i;
    }
    EXPECT_EQ(match.frame_index, leading);
    EXPECT_LE(samples.size(), frames.size());
    EXPECT_LE(frames.size(), samples.size() + lost);
    for (const FrameRecord& frame : frames) {
        EXPECT_TRUE(is_good(frame)) << frame.kind;
    }
}

// Console text as the program under test writes it: "\n" becomes "\r\n" on Windows.
std::string console(const std::string& text) {
    if (!config_from_environment().crlf) {
        return text;
    }
    std::string converted;
    for (const char c : text) {
        converted += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return converted;
}

const std::string success_lines = console("open gyro port succeeded\nopen Motor port succeeded\n");

// Fast runs: no line pacing, and the sweep of 25.4 s of motor time in 1.27 s.
std::vector<std::string> fast(std::vector<std::string> options) {
    options.insert(options.begin(), {"--no-pacing", "--time-scale", "20"});
    return options;
}

// A run with a fault must still end, and soon: the longest wait for a silent device is 3 s.
constexpr double fault_time_bound_s = 15.0;

// A C string literal of the text, for the run summaries.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    }
    return out + "\"";
}

// One line per fault run, to see at a glance what the program did.
void summarize(const char* fault, const SweepRun& run, std::size_t samples) {
    std::printf("[ summary  ] %s | status %s | %.2f s | %zu samples of %zu frames | stdout %s | "
                "stderr %s\n",
                fault, run.status ? std::to_string(*run.status).c_str() : "none", run.seconds(),
                samples, run.frames.size(), quoted(run.out).c_str(), quoted(run.err).c_str());
}

void finish(const SweepRun& run) {
    if (::testing::Test::HasFailure()) {
        std::printf("run folder kept: %s\n", run.dir.c_str());
    } else {
        harness_remove_tree(run.dir);
    }
}

// A sweep that ended as a healthy one does: status 0, only the two success lines, a log. Returns
// the log's samples.
std::vector<Values> expect_clean_completion(const SweepRun& run) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, success_lines);
    EXPECT_EQ(run.out, "");
    if (!run.log.has_value()) {
        ADD_FAILURE() << "no sample log";
        return {};
    }
    return parse_log(*run.log, config_from_environment().crlf);
}

// Each sample's time is its poll's moment as the simulator saw it, counted from the move command:
// the median of the differences is how late a busy machine let the simulator see the move.
void expect_times_of_polls(std::vector<double> times, const std::vector<Event>& events) {
    std::optional<double> move_ms;
    std::size_t poll = 0;
    for (const Event& event : events) {
        move_ms = event.text == "motor ma 1000000" ? event.ms : move_ms;
        if (event.text == "gyro G" && move_ms && poll < times.size()) {
            times[poll++] -= (event.ms - *move_ms) / 1000;
        }
    }
    ASSERT_TRUE(poll == times.size() && poll > 0) << "times without a poll, or none";
    std::sort(times.begin(), times.end());
    EXPECT_LT(std::fabs(times[times.size() / 2]), 0.05) << "median difference, s";
}

TEST(E2eTest, FullSweepLogsEveryFrameAndReplacesAnEarlierLog) {
    // An argument other than a request for help is ignored.
    const SweepRun run = run_on_bench(
        sweep_argv({"com6"}), fast({}),
        {.setup =
             [](const SweepRun& r) {
                 ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor.txt", "an earlier run\n"));
                 ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor_times.txt", "99.0000\n"));
             },
         .during = {},
         .ready = {}});
    EXPECT_EQ(run.sim_status, 0);
    const std::vector<Values> samples = expect_clean_completion(run);
    EXPECT_GE(samples.size(), 10u);
    expect_every_good_frame_logged(samples, run.frames);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    expect_port_order(run.events);
    // The platform turned once round while it was sampled.
    bool west = false;
    bool east = false;
    for (const Values& sample : samples) {
        west = west || sample[2] < -90.0;
        east = east || sample[2] > 90.0;
    }
    EXPECT_TRUE(west && east);
    const std::vector<double> times = parse_times(run.times, config_from_environment().crlf);
    EXPECT_EQ(times.size(), samples.size());
    expect_times_of_polls(times, run.events);
    finish(run);
}

// Runs the program with the controller's port com6 leading to a path that does not exist (and
// the simulator's controller elsewhere); a link already there (a Wine prefix has one for every
// COM name) is put back after. An earlier log is left in the run folder if one is given.
SweepRun run_without_com6(const std::vector<std::string>& program,
                          const std::optional<std::string>& earlier_log) {
    std::optional<std::string> earlier_target;
    const SweepRun run = run_on_bench(
        program, fast({"--motor-name", "com6-elsewhere"}),
        {.setup =
             [&](const SweepRun& r) {
                 if (earlier_log) {
                     ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor.txt", *earlier_log));
                 }
                 const std::string link = r.link_dir + "/com6";
                 std::array<char, 4096> target{};
                 if (const ssize_t length =
                         readlink(link.c_str(), target.data(), target.size() - 1);
                     length > 0) {
                     earlier_target = std::string(target.data(), static_cast<std::size_t>(length));
                     unlink(link.c_str());
                 }
                 ASSERT_EQ(symlink((r.dir + "/no-such-device").c_str(), link.c_str()), 0);
             },
         .during = {},
         .ready = {}});
    unlink((run.link_dir + "/com6").c_str());
    if (earlier_target) {
        symlink(earlier_target->c_str(), (run.link_dir + "/com6").c_str());
    }
    return run;
}

TEST(E2eTest, MissingMotorPortFailsAndLeavesTheEarlierLogAlone) {
    const SweepRun run = run_without_com6(sweep_argv(), "an earlier run\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, console("Motor - could not open serial port, com6 2\n"));
    EXPECT_EQ(run.err, console("open gyro port succeeded\nopen Motor port failed\n"));
    EXPECT_EQ(run.log, "an earlier run\n");
    // Only the gyro's port was ever opened.
    for (const Event& event : run.events) {
        EXPECT_TRUE(event.text == "gyro open" || event.text == "gyro close") << event.text;
    }
    finish(run);
}

// A port that someone else has: another process holding it open (without any lock of its own),
// or a live lock file of a terminal program. The program refuses it with error 16 (EBUSY) and
// moves nothing.
struct HeldPortCase {
    const char* name;
    const char* link; // the simulator's link to the port
    bool lock_file;   // a live lock file, else an open descriptor
    std::string out;
    std::string err;
};

class E2eHeldPortTest : public ::testing::TestWithParam<HeldPortCase> {};

TEST_P(E2eHeldPortTest, PortIsRefusedAndNothingMoves) {
    if (!native_sweep()) {
        GTEST_SKIP() << "other holders and lock files of this system are the native build's "
                        "business, not that of the command in GM_E2E_SWEEP_COMMAND";
    }
    const HeldPortCase& held = GetParam();
    if (held.lock_file && access("/run/lock", W_OK) != 0) {
        GTEST_SKIP() << "/run/lock cannot be written here";
    }
    int holder = -1;
    std::string lock;
    const SweepRun run = run_on_bench(
        sweep_argv(), fast({}),
        {.setup =
             [](const SweepRun& r) {
                 ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor.txt", "an earlier run\n"));
             },
         .during = {},
         .ready =
             [&](const SweepRun& r) {
                 const std::string link = r.link_dir + "/" + held.link;
                 if (!held.lock_file) {
                     holder = open(link.c_str(), O_RDWR | O_NOCTTY);
                     ASSERT_GE(holder, 0);
                     return;
                 }
                 // The lock's name for /dev/pts/N is LCK..pts_N; this test process is alive.
                 std::array<char, 64> target{};
                 ASSERT_GT(readlink(link.c_str(), target.data(), target.size() - 1), 9);
                 std::string name = std::string(target.data()).substr(5);
                 name[name.find('/')] = '_';
                 lock = "/run/lock/LCK.." + name;
                 char text[16];
                 std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
                 ASSERT_TRUE(harness_write_file(lock, text));
             }});
    if (holder >= 0) {
        close(holder);
    }
    const std::optional<std::string> lock_after =
        lock.empty() ? std::nullopt : harness_read_file(lock);
    if (!lock.empty()) {
        unlink(lock.c_str());
    }
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, console(held.out));
    EXPECT_EQ(run.err, console(held.err));
    EXPECT_EQ(run.log, "an earlier run\n");
    EXPECT_EQ(motor_commands(run.events), 0u);
    if (held.lock_file) {
        EXPECT_TRUE(lock_after.has_value()) << "the other program's lock was removed";
    }
    summarize(held.name, run, 0);
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    HeldPorts, E2eHeldPortTest,
    ::testing::Values(HeldPortCase{"GyroHeldOpen", "com8", false,
                                   "Gyro - could not open serial port, 16\n",
                                   "open gyro port failed\n"},
                      HeldPortCase{"MotorLocked", "com6", true,
                                   "Motor - could not open serial port, com6 16\n",
                                   "open gyro port succeeded\nopen Motor port failed\n"}),
    case_name);

// Options of the simulator for one case.
struct FrameFaultCase {
    const char* name;
    std::vector<std::string> options;
    bool frames_lost = false; // some frames are sent bad (else none is lost)
};

// Controller and line variants the sweep must not notice, and faults that cost single frames:
// each run still ends normally, with the good frames logged.
class E2eControllerTest : public ::testing::TestWithParam<FrameFaultCase> {};

TEST_P(E2eControllerTest, SweepCompletesAsWithThePlainController) {
    const SweepRun run = run_sweep(fast(GetParam().options));
    const std::vector<Values> samples = expect_clean_completion(run);
    if (GetParam().frames_lost) {
        std::size_t good = 0;
        for (const FrameRecord& frame : run.frames) {
            good += is_good(frame) ? 1u : 0u;
        }
        EXPECT_LT(good, run.frames.size()); // the fault did happen
    } else {
        EXPECT_GE(samples.size(), 10u);
    }
    expect_every_good_frame_logged(samples, run.frames);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    EXPECT_LT(run.seconds(), fault_time_bound_s);
    summarize(GetParam().name, run, samples.size());
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, E2eControllerTest,
    ::testing::Values(FrameFaultCase{"Echo", {"--echo"}},
                      FrameFaultCase{"QuestionPrompts", {"--question-prompts"}},
                      FrameFaultCase{"EchoAndQuestionPrompts", {"--echo", "--question-prompts"}},
                      // What a run cut short leaves waiting on both lines.
                      FrameFaultCase{"Leftovers", {"--leftovers"}},
                      // A gyro line left translating by an earlier program, and frames of
                      // nothing but the bytes it would change: each is logged exactly.
                      FrameFaultCase{"TranslatingGyroLineAwkwardFrames",
                                     {"--translating-gyro-line", "--awkward-frames"}},
                      FrameFaultCase{"BadChecksum", {"--bad-checksum-every", "3"}, true}),
    case_name);

// Frames that reach the port in pieces (split by a pause, or by a USB adapter's latency tick) or
// behind stray bytes. The sweep completes without a message; every frame that strays did not hit
// is logged whole (at least 95 % of them, as a busy machine may delay a reply past the time-outs)
// and every logged record is a frame as sent. The one exception is a window that starts in stray
// bytes and passes the 8-bit checksum by chance (1 in 256 of the polls that strays hit); those are
// counted as wrong and reported.
struct FramesKept {
    std::size_t sent = 0;
    std::size_t hit_by_strays = 0; // or sent with a bad checksum: not to be logged
    std::size_t kept = 0;          // of the others, logged whole
    std::size_t wrong = 0;         // logged windows that start in stray bytes
};

FramesKept expect_frames_kept(const std::vector<Values>& samples,
                              const std::vector<FrameRecord>& frames) {
    const SampleMatch match = match_samples(samples, frames);
    FramesKept result;
    result.sent = frames.size();
    std::vector<bool> logged(frames.size(), false);
    for (const std::size_t index : match.frame_index) {
        if (index != SIZE_MAX) {
            logged[index] = true;
        }
    }
    std::size_t offset = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::size_t strays = frames[i].bytes.size() - 30;
        const bool eligible = is_good(frames[i]) || frames[i].kind == "split";
        result.hit_by_strays += eligible ? 0u : 1u;
        result.kept += eligible && logged[i] ? 1u : 0u;
        EXPECT_TRUE(eligible || !logged[i]) << "frame " << i + 1 << " (" << frames[i].kind << ")";
        for (std::size_t s = 0; s < samples.size(); ++s) {
            const std::size_t start = match.start[s];
            if (match.frame_index[s] == SIZE_MAX && start >= offset && start < offset + strays) {
                ++result.wrong;
            }
        }
        offset += frames[i].bytes.size();
    }
    EXPECT_EQ(match.aligned + result.wrong, samples.size()) << "records that straddle two frames";
    EXPECT_GE(result.kept * 100, (result.sent - result.hit_by_strays) * 95)
        << result.kept << " of " << result.sent - result.hit_by_strays << " frames logged";
    return result;
}

// Samples per second from the first gyro poll to the last in the simulator's transcript.
double samples_per_second(const std::vector<Event>& events, std::size_t samples) {
    std::optional<double> first;
    double last = 0.0;
    for (const Event& event : events) {
        if (event.text == "gyro G") {
            first = first.value_or(event.ms);
            last = event.ms;
        }
    }
    return first && last > *first ? static_cast<double>(samples) * 1000.0 / (last - *first) : 0.0;
}

class E2eFramesInPiecesTest : public ::testing::TestWithParam<FrameFaultCase> {};

TEST_P(E2eFramesInPiecesTest, EveryFrameStraysDidNotHitIsLoggedWhole) {
    const SweepRun run = run_sweep(GetParam().options);
    const std::vector<Values> samples = expect_clean_completion(run);
    const FramesKept kept = expect_frames_kept(samples, run.frames);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    EXPECT_LT(run.seconds(), fault_time_bound_s);
    std::printf(
        "[ frames   ] %s | %zu sent | %zu hit by strays | %zu of the others kept (%.1f %%) | "
        "%zu wrong | %.2f samples/s\n",
        GetParam().name, kept.sent, kept.hit_by_strays, kept.kept,
        kept.sent > kept.hit_by_strays ? 100.0 * static_cast<double>(kept.kept) /
                                             static_cast<double>(kept.sent - kept.hit_by_strays)
                                       : 100.0,
        kept.wrong, samples_per_second(run.events, samples.size()));
    summarize(GetParam().name, run, samples.size());
    finish(run);
}

// Paced lines behind the adapter model: at line rate a 7.8 ms frame spans one to several ticks.
// The model sits on both lines, so the controller's answers come in pieces too. Time scale 5
// gives some 70 (16 ms) to 120 (1 ms) frames.
std::vector<std::string> on_adapter(const char* tick_ms, std::vector<std::string> options) {
    options.insert(options.begin(), {"--time-scale", "5", "--usb-tick-ms", tick_ms});
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, E2eFramesInPiecesTest,
    ::testing::Values(
        FrameFaultCase{"SplitFrames", fast({"--split-every", "8"})},
        FrameFaultCase{"StrayBytesBeforeEveryTenthFrame",
                       fast({"--stray-bytes", "3", "--stray-every", "10"})},
        FrameFaultCase{"UsbTick1msWithStrays",
                       on_adapter("1", {"--stray-bytes", "3", "--stray-every", "20"})},
        FrameFaultCase{"UsbTick16msWithStrays",
                       on_adapter("16", {"--stray-bytes", "3", "--stray-every", "20"})}),
    case_name);

TEST(E2eTest, PacedLinesStillSweepCompletely) {
    // Real line rates and latencies; a busy machine may split a frame by delay, so the log is
    // checked as for split frames, and must hold samples.
    const SweepRun run = run_sweep({"--time-scale", "20"});
    const std::vector<Values> samples = expect_clean_completion(run);
    const SampleMatch match = match_samples(samples, run.frames);
    EXPECT_GE(match.aligned, 5u);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    finish(run);
}

// Devices that fail during the sweep: the run ends with status 3 and the failing device's one
// message, soon, and every sample logged before is complete.
enum class FaultEffect {
    // Nothing more is sent to the controller: no return to zero.
    controller_lost,
    // The sweep goes on while the controller reports motion, and returns to zero.
    gyro_silent,
    // As gyro_silent, without polls once the port is gone; the frame in flight may go with it.
    gyro_port_lost,
    // The gyro answers every poll, and no frame is valid: nothing logged, the motor returned.
    no_valid_frame,
    // The motor already moves: one motion query, no move, no log.
    not_started,
};

struct DeviceFaultCase {
    const char* name;
    std::vector<std::string> options;
    // The message after the success lines: one of these, where the failing operation depends on
    // when the line went; "%d" stands for the error code of a line that hung up. The time in
    // "no answer for N ms" is measured: N is the least it may be.
    std::vector<std::string> messages;
    FaultEffect effect;
    std::size_t motor_commands = 0; // commands the controller got in all (0: not checked)
    // Standard error is a pipe whose reader goes away after the two success lines: the message
    // is lost, and nothing else may change.
    bool stderr_reader_leaves = false;
    // Another build's message for a line that hung up: Wine's reads on it may return at once
    // with nothing instead of failing, and the link then reports the silence once it has lasted.
    std::string hangup_read_as_silence{};
};

// Whether the console text is the expected one, where the silence in "no answer for N ms" may
// be longer than N (the program reports what it measured) but not by a second or more.
bool console_matches(const std::string& text, const std::string& expected) {
    const std::string silence = "no answer for ";
    const std::size_t at = expected.find(silence);
    if (at == std::string::npos) {
        return text == expected;
    }
    const std::size_t number = at + silence.size();
    const std::size_t rest = expected.find(' ', number);
    const std::size_t text_rest = text.find(' ', number);
    if (text.compare(0, number, expected, 0, number) != 0 || text_rest == std::string::npos ||
        text.substr(text_rest) != expected.substr(rest)) {
        return false;
    }
    const std::string measured = text.substr(number, text_rest - number);
    if (measured.empty() || measured.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int nominal = std::stoi(expected.substr(number, rest - number));
    const int ms = std::stoi(measured);
    return ms >= nominal && ms < nominal + 1000;
}

// Makes the sweep's standard error a pipe whose reader leaves once it has read the two success
// lines; sweep.err then holds what it read.
BenchHooks stderr_reader_leaves_after_success() {
    return {[](const SweepRun& r) { ASSERT_EQ(mkfifo((r.dir + "/sweep.err").c_str(), 0600), 0); },
            [](const SweepRun& r, pid_t) {
                const std::string path = r.dir + "/sweep.err";
                const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
                ASSERT_GE(reader, 0);
                std::string seen;
                const Clock::time_point start = Clock::now();
                while (std::count(seen.begin(), seen.end(), '\n') < 2 &&
                       Clock::now() - start < std::chrono::seconds(10)) {
                    std::array<char, 256> buffer{};
                    const ssize_t got = read(reader, buffer.data(), buffer.size());
                    if (got > 0) {
                        seen.append(buffer.data(), static_cast<std::size_t>(got));
                    } else {
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    }
                }
                close(reader);
                unlink(path.c_str());
                EXPECT_TRUE(harness_write_file(path, seen));
            },
            {}};
}

class E2eDeviceFaultTest : public ::testing::TestWithParam<DeviceFaultCase> {};

TEST_P(E2eDeviceFaultTest, SweepStopsWithTheDevicesMessage) {
    const DeviceFaultCase& fault = GetParam();
    if (fault.stderr_reader_leaves && !native_sweep()) {
        GTEST_SKIP() << "the pipe would lead to the command in GM_E2E_SWEEP_COMMAND, not to the "
                        "program it runs";
    }
    const SweepRun run = run_on_bench(
        sweep_argv(), fast(fault.options),
        fault.stderr_reader_leaves ? stderr_reader_leaves_after_success() : BenchHooks{});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.sim_status, 0);
    EXPECT_EQ(run.out, "");
    std::vector<std::string> messages = fault.messages;
    if (!native_sweep() && !fault.hangup_read_as_silence.empty()) {
        messages.push_back(fault.hangup_read_as_silence);
    }
    std::vector<std::string> consoles;
    for (std::string message : messages) {
        if (const std::size_t code = message.find("%d"); code != std::string::npos) {
            message.replace(code, 2, config_from_environment().hangup_error);
        }
        if (const std::size_t polls = message.find("%n"); polls != std::string::npos) {
            message.replace(polls, 2, std::to_string(run.frames.size()));
        }
        consoles.push_back(success_lines + console(fault.stderr_reader_leaves ? "" : message));
    }
    EXPECT_TRUE(std::any_of(consoles.begin(), consoles.end(), [&](const std::string& c) {
        return console_matches(run.err, c);
    })) << run.err;
    EXPECT_LT(run.seconds(), fault_time_bound_s);
    std::vector<Values> samples;
    if (fault.effect == FaultEffect::not_started) {
        EXPECT_FALSE(run.log.has_value());
    } else {
        ASSERT_TRUE(run.log.has_value());
        samples = parse_log(*run.log, config_from_environment().crlf);
    }
    if (fault.effect != FaultEffect::no_valid_frame && fault.effect != FaultEffect::not_started) {
        EXPECT_GE(samples.size(), 1u) << "the fault came before the first sample";
        expect_leading_frames_logged(samples, run.frames,
                                     fault.effect == FaultEffect::gyro_port_lost ? 1 : 0);
    }
    switch (fault.effect) {
    case FaultEffect::controller_lost:
        EXPECT_EQ(expect_cut_short_dialogue(run.events), run.frames.size());
        break;
    case FaultEffect::gyro_silent:
        EXPECT_GT(expect_sweep_dialogue(run.events), run.frames.size());
        break;
    case FaultEffect::gyro_port_lost:
        EXPECT_GE(expect_sweep_dialogue(run.events, GyroPolls::may_stop), run.frames.size());
        break;
    case FaultEffect::no_valid_frame:
        EXPECT_TRUE(samples.empty());
        EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
        break;
    case FaultEffect::not_started:
        EXPECT_EQ(dialogue_of(run.events), std::vector<std::string>{"motor pr mv"});
        break;
    }
    if (fault.motor_commands != 0) {
        EXPECT_EQ(motor_commands(run.events), fault.motor_commands);
    }
    expect_port_order(run.events);
    summarize(fault.name, run, samples.size());
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceFaults, E2eDeviceFaultTest,
    ::testing::Values(
        // The 21st command, the 20th motion query, is the first one unanswered: three reads of a
        // 100-byte answer time out, and nothing more is sent.
        DeviceFaultCase{"MotorFallsSilent",
                        {"--motor-silent-after", "20"},
                        {"Motor - no answer for 3300 ms\n"},
                        FaultEffect::controller_lost,
                        21},
        DeviceFaultCase{"MotorHangsUp",
                        {"--hangup-motor-after", "0.3"},
                        {"Motor - error reading: %d\n", "Motor - error writing: %d\n"},
                        FaultEffect::controller_lost,
                        0,
                        false,
                        "Motor - no answer for 3000 ms\n"},
        // Five reads of a 30-byte frame time out; the move ends meanwhile, and the motor goes home.
        DeviceFaultCase{"GyroFallsSilent",
                        {"--gyro-silent-after", "20"},
                        {"Gyro - no answer for 2000 ms\n"},
                        FaultEffect::gyro_silent},
        DeviceFaultCase{"GyroHangsUp",
                        {"--hangup-gyro-after", "0.3"},
                        {"Gyro - error reading: %d\n", "Gyro - error writing: %d\n"},
                        FaultEffect::gyro_port_lost,
                        0,
                        false,
                        "Gyro - no answer for 2000 ms\n"},
        // SIGPIPE ignored, the failed console line changes nothing: the motor goes home and
        // every answered poll is logged.
        DeviceFaultCase{"GyroFallsSilentAfterStderrReaderLeft",
                        {"--gyro-silent-after", "20"},
                        {"Gyro - no answer for 2000 ms\n"},
                        FaultEffect::gyro_silent,
                        0,
                        true},
        // A wrong device or a wrong data-bits setting: every poll answered, every frame bad.
        DeviceFaultCase{"BadChecksumEveryFrame",
                        {"--bad-checksum-every", "1"},
                        {"Gyro - no valid frame in %n polls\n"},
                        FaultEffect::no_valid_frame},
        // Every frame behind stray bytes: not one record made of two frames' pieces.
        DeviceFaultCase{"StrayBytesBeforeEveryFrame",
                        {"--stray-bytes", "5"},
                        {"Gyro - no valid frame in %n polls\n"},
                        FaultEffect::no_valid_frame},
        // At the plain time scale the move from the start outlasts the program's own start.
        DeviceFaultCase{"MotorStillMoving",
                        {"--moving-at-start", "--time-scale", "1"},
                        {"Motor - still moving, not starting\n"},
                        FaultEffect::not_started}),
    case_name);

// Waits until the transcript shows count lines that end with text; false after timeout_s.
bool wait_for_events(const std::string& transcript, const std::string& text, std::size_t count,
                     double timeout_s) {
    const Clock::time_point start = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - start).count() < timeout_s) {
        std::size_t seen = 0;
        for (const std::string& line :
             harness_split_lines(harness_read_file(transcript).value_or(""))) {
            seen += line.ends_with(text) ? 1u : 0u;
        }
        if (seen >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// A request to stop in the middle of the sweep: the sweep stops logging, says so, returns the
// motor to zero and closes everything. A second request during that return stops it at once.
struct InterruptCase {
    const char* name;
    int signal;
    int status;
    bool again_during_return = false;
};

class E2eInterruptTest : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(E2eInterruptTest, SweepStopsLoggingAndReturnsWithCompleteRecords) {
    if (!native_sweep()) {
        GTEST_SKIP() << "a POSIX signal to the command in GM_E2E_SWEEP_COMMAND (Wine, say) is no "
                        "console interrupt of the program it runs";
    }
    const InterruptCase& interrupt = GetParam();
    std::optional<Clock::time_point> signalled;
    // A sweep of 6.35 s: well under way after 20 polls, far from its end; the return from there
    // lasts about half a second.
    const SweepRun run =
        run_sweep({"--no-pacing", "--time-scale", "4"}, [&](const SweepRun& r, pid_t sweep) {
            const std::string transcript = r.dir + "/transcript.txt";
            if (!wait_for_events(transcript, " gyro G", 20, 10.0)) {
                return;
            }
            kill(sweep, interrupt.signal);
            signalled = Clock::now();
            if (interrupt.again_during_return) {
                if (!wait_for_events(transcript, " motor ma 0", 1, 10.0)) {
                    signalled.reset();
                    return;
                }
                kill(sweep, interrupt.signal);
                signalled = Clock::now();
            }
        });
    ASSERT_TRUE(signalled.has_value()) << "the sweep never made 20 polls, or never returned";
    EXPECT_EQ(run.status, interrupt.status);
    EXPECT_EQ(run.out, "");
    const double stop_s = std::chrono::duration<double>(run.ended - *signalled).count();
    std::printf("%s: ended %.3f s after the last signal\n", interrupt.name, stop_s);
    const std::vector<std::string> seen = dialogue_of(run.events);
    if (interrupt.again_during_return) {
        EXPECT_EQ(run.err, success_lines + "sweep interrupted\nreturn interrupted\n");
        // The longest wait, a silent read of a 100-byte answer, lasts 1.1 s.
        EXPECT_LT(stop_s, 2.0);
        // After the return's move only motion queries, the one under way the last: no speed.
        const auto move_back = std::find(seen.begin(), seen.end(), "motor ma 0");
        ASSERT_NE(move_back, seen.end());
        EXPECT_TRUE(std::all_of(move_back + 1, seen.end(),
                                [](const std::string& text) { return text == "motor pr mv"; }));
    } else {
        EXPECT_EQ(run.err, success_lines + "sweep interrupted\n");
        EXPECT_LT(stop_s, 3.0);
        EXPECT_GE(expect_sweep_dialogue(run.events, GyroPolls::until_interrupt), 20u);
    }
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, config_from_environment().crlf);
    EXPECT_GE(samples.size(), 19u);
    // A frame that came while the program stopped its read is not logged.
    expect_leading_frames_logged(samples, run.frames, 1);
    expect_port_order(run.events);
    summarize(interrupt.name, run, samples.size());
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(Signals, E2eInterruptTest,
                         ::testing::Values(InterruptCase{"Sigint", SIGINT, 130},
                                           InterruptCase{"Sigterm", SIGTERM, 143},
                                           InterruptCase{"Sighup", SIGHUP, 129},
                                           InterruptCase{"SigintTwice", SIGINT, 130, true}),
                         case_name);

// A kill leaves no torn record: when the poll after the 20th answered one comes (the gyro falls
// silent at it), all 20 records are on file, whole, with their times.
TEST(E2eTest, KilledSweepLeavesEveryAnsweredPollAsAWholeRecord) {
    if (!native_sweep()) {
        GTEST_SKIP()
            << "a POSIX signal to the command in GM_E2E_SWEEP_COMMAND (Wine, say) does not "
               "kill the program it runs";
    }
    bool killed = false;
    const SweepRun run =
        run_sweep(fast({"--gyro-silent-after", "20"}), [&](const SweepRun& r, pid_t sweep) {
            killed = wait_for_events(r.dir + "/transcript.txt", " gyro G", 21, 10.0) &&
                     kill(sweep, SIGKILL) == 0;
        });
    ASSERT_TRUE(killed) << "the sweep never made 21 polls";
    EXPECT_EQ(run.status, -SIGKILL);
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, false);
    EXPECT_EQ(samples.size(), 20u);
    expect_leading_frames_logged(samples, run.frames, 0);
    EXPECT_EQ(parse_times(run.times, false).size(), 20u);
    summarize("Sigkill", run, samples.size());
    finish(run);
}

// A log whose device fills up: /dev/full takes nothing, and under a limit of 2048 bytes (the
// shell's "ulimit -f 4", in blocks of 512) a record's write stops part-way. Either way the sweep
// goes on, the log keeps whole records only, and the status says the log is incomplete.
struct FullDeviceCase {
    const char* name;
    bool dev_full; // else the size limit
    const char* reason;
};

class E2eFullDeviceTest : public ::testing::TestWithParam<FullDeviceCase> {};

TEST_P(E2eFullDeviceTest, LogIsReportedAfterACompleteSweepAndHoldsWholeRecords) {
    if (!native_sweep()) {
        GTEST_SKIP() << "/dev/full and the shell's file size limit are of this system, not of the "
                        "one in GM_E2E_SWEEP_COMMAND";
    }
    const FullDeviceCase& full = GetParam();
    std::vector<std::string> program = sweep_argv();
    if (!full.dev_full) {
        program = {"/bin/sh", "-c", "ulimit -f 4 && trap '' XFSZ && exec \"$0\"", GM_SWEEP_PATH};
    }
    const SweepRun run = run_on_bench(
        program, fast({}),
        {.setup =
             [&](const SweepRun& r) {
                 if (full.dev_full) {
                     ASSERT_EQ(symlink("/dev/full", (r.dir + "/gyro_motor.txt").c_str()), 0);
                 }
             },
         .during = {},
         .ready = {}});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, success_lines + "sample log gyro_motor.txt could not be completed: " +
                           full.reason + "\n");
    EXPECT_LT(run.seconds(), fault_time_bound_s);
    // The log's failure does not cut the sweep short: every motion report got its poll, and the
    // motor went home.
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    EXPECT_GE(run.frames.size(), 10u);
    expect_port_order(run.events);
    std::size_t logged = 0;
    if (full.dev_full) {
        std::error_code ignored;
        EXPECT_TRUE(std::filesystem::is_symlink(run.dir + "/gyro_motor.txt", ignored))
            << "the log was replaced instead of opened";
    } else {
        ASSERT_TRUE(run.log.has_value());
        EXPECT_LE(run.log->size(), 2048u);
        const std::vector<Values> samples = parse_log(*run.log, false);
        logged = samples.size();
        EXPECT_GE(logged, 5u);
        expect_leading_frames_logged(samples, run.frames, run.frames.size());
    }
    // No time for a sample that is not on file.
    EXPECT_EQ(parse_times(run.times, false).size(), logged);
    summarize(full.name, run, logged);
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, E2eFullDeviceTest,
    ::testing::Values(FullDeviceCase{"DevFull", true, "No space left on device"},
                      FullDeviceCase{"FileSizeLimit", false, "File too large"}),
    case_name);

// The report of a sweep's log as JSON, with the times beside the log if there are any.
nlohmann::json report_of(const SweepRun& run, const std::string& log) {
    const std::string json = run.dir + "/" + log + ".json";
    const pid_t report =
        harness_spawn({GM_REPORT_PATH, "--turn-rate", "14.4", "--json", json, run.dir + "/" + log},
                      run.dir, run.dir + "/report.out", run.dir + "/report.err");
    EXPECT_EQ(harness_wait(report, 30.0), 0)
        << harness_read_file(run.dir + "/report.err").value_or("");
    return nlohmann::json::parse(harness_read_file(json).value_or(""), nullptr, false);
}

// A sensor with every kind of known error, swept through the real program at the real speed on
// the wall clock of an irregular bench (each answer a little late at random, every 200th gyro
// answer stalled by a quarter of a second), then reported on: with the sweep's times the report
// gives back what the simulator injected, while the same sweep fitted by sample number misses by
// far more.
TEST(E2eTest, TheReportRecoversTheSensorErrorsTheSimulatorInjects) {
    const SensorErrors errors{.b = -1.0,
                              .c = 0.6,
                              .d = 0.3,
                              .e = -0.4,
                              .hard_x = -0.08,
                              .hard_y = 0.12,
                              .major = 0.3,
                              .minor = 0.18,
                              .angle = -55,
                              .scale_percent = -1.5,
                              .tilt = 0.8,
                              .azimuth = 200,
                              .mount_roll = -0.5,
                              .mount_pitch = 0.7};
    std::vector<std::string> options = harness_split_words(
        "--time-scale 1 --answer-jitter-ms 8 --gyro-stall-every 200 --gyro-stall-ms 250");
    const std::vector<std::pair<const char*, std::vector<double>>> injections = {
        {"--compass-deviation", {errors.b, errors.c, errors.d, errors.e}},
        {"--hard-iron", {errors.hard_x, errors.hard_y}},
        {"--soft-iron", {errors.major, errors.minor, errors.angle}},
        {"--yaw-scale-error", {errors.scale_percent}},
        {"--tilt", {errors.tilt, errors.azimuth}},
        {"--mount-offset", {errors.mount_roll, errors.mount_pitch}}};
    for (const auto& [option, values] : injections) {
        std::string text;
        for (const double value : values) {
            // Appended piece by piece: GCC 12 at -O3 takes "a" + std::string for an overlapping
            // copy (-Wrestrict).
            if (!text.empty()) {
                text += ',';
            }
            text += std::to_string(value);
        }
        options.insert(options.end(), {option, text});
    }
    const SweepRun run = run_sweep(options);
    const std::size_t samples = expect_clean_completion(run).size();
    EXPECT_EQ(harness_split_lines(run.times.value_or("")).size(), samples);

    const nlohmann::json timed = report_of(run, "gyro_motor.txt");
    ASSERT_TRUE(timed.is_object()) << "no report";
    EXPECT_EQ(timed["sampling"]["timed"], true);
    expect_report_recovers(timed, errors);
    // The ramps at both ends are left out of the cruise, which covers nearly the whole turn.
    EXPECT_GT(timed["cruise"]["first"].get<int>(), 1);
    EXPECT_LT(timed["cruise"]["last"].get<int>(), timed["samples"].get<int>());
    EXPECT_GT(timed["heading"]["turned_deg"].get<double>(), 340);
    EXPECT_GT(timed["sampling"]["max_interval_ms"].get<double>(), 250); // a stall was met

    // The same log without its times, as an older sweep left it.
    ASSERT_TRUE(harness_write_file(run.dir + "/untimed.txt", run.log.value_or("")));
    const nlohmann::json untimed = report_of(run, "untimed.txt");
    ASSERT_TRUE(untimed.is_object()) << "no report";
    EXPECT_EQ(untimed["sampling"]["timed"], false);
    double timed_miss = 0;
    double untimed_miss = 0;
    const std::array<std::pair<const char*, double>, 4> injected{
        {{"B_deg", errors.b}, {"C_deg", errors.c}, {"D_deg", errors.d}, {"E_deg", errors.e}}};
    for (const auto& [key, value] : injected) {
        timed_miss = std::max(timed_miss, std::fabs(timed["heading"][key].get<double>() - value));
        untimed_miss =
            std::max(untimed_miss, std::fabs(untimed["heading"][key].get<double>() - value));
    }
    EXPECT_LT(timed_miss, 0.05);
    EXPECT_GT(untimed_miss, 0.3);
    std::printf("[ report   ] B-E missed by %.4f deg with the times, %.3f deg by sample number\n",
                timed_miss, untimed_miss);
    std::printf("[ report   ] %s\n", timed.dump().c_str());
    finish(run);
}

// gyro_motor_home against the simulated controller.

TEST(E2eHomeTest, DrivesToTheEndWaitsAndBacksOff) {
    if (!native_sweep()) {
        GTEST_SKIP() << "gyro_motor_home is tested in its native build only";
    }
    // The homing move of 5000000 units at 40000 units/s lasts 125.4 s of motor time, 1.25 s here.
    const SweepRun run = run_on_bench({GM_HOME_PATH}, {"--no-pacing", "--time-scale", "100"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "homed: drove to the negative end, waited for the motion to end and backed "
                       "off by 10000; error register 0\n");
    EXPECT_EQ(run.err, "open Motor port succeeded\n");
    EXPECT_LT(run.seconds(), fault_time_bound_s);
    EXPECT_GE(run.seconds(), 1.0) << "it did not wait for the end of the move";
    const std::vector<std::string> seen = dialogue_of(run.events);
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen.front(), "motor mr -5000000");
    for (std::size_t i = 1; i + 3 < seen.size(); ++i) {
        EXPECT_EQ(seen[i], "motor pr mv") << "event " << i;
    }
    EXPECT_EQ(seen[seen.size() - 3], "motor pr mv");
    EXPECT_EQ(seen[seen.size() - 2], "motor pr er");
    EXPECT_EQ(seen[seen.size() - 1], "motor mr 10000");
    // The gyro's port is never touched; the controller's is opened once and closed at the end.
    std::vector<std::string> lines;
    for (const Event& event : run.events) {
        if (is_line_event(event)) {
            lines.push_back(event.text);
        }
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"motor open", "motor close"}));
    EXPECT_EQ(run.events.back().text, "motor close");
    finish(run);
}

TEST(E2eHomeTest, MissingMotorPortFails) {
    if (!native_sweep()) {
        GTEST_SKIP() << "gyro_motor_home is tested in its native build only";
    }
    const SweepRun run = run_without_com6({GM_HOME_PATH}, std::nullopt);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Motor - could not open serial port, com6 2\n");
    EXPECT_EQ(run.err, "open Motor port failed\n");
    EXPECT_EQ(dialogue_of(run.events), std::vector<std::string>{});
    EXPECT_EQ(run.events.size(), 0u) << "the program opened a port";
    finish(run);
}

struct HomeArgumentsCase {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    // Status 0: what standard output holds; else what the one line on standard error names.
    const char* named;
    bool sweep = false; // the sweep's arguments, in every build, rather than the homing's
};

class E2eHomeArgumentsTest : public ::testing::TestWithParam<HomeArgumentsCase> {};

TEST_P(E2eHomeArgumentsTest, UsageAndNoMotion) {
    const HomeArgumentsCase& arguments = GetParam();
    if (!native_sweep() && !arguments.sweep) {
        GTEST_SKIP() << "gyro_motor_home is tested in its native build only";
    }
    std::vector<std::string> program = {GM_HOME_PATH};
    program.insert(program.end(), arguments.arguments.begin(), arguments.arguments.end());
    const SweepRun run =
        run_on_bench(arguments.sweep ? sweep_argv(arguments.arguments) : program, fast({}));
    EXPECT_EQ(run.status, arguments.status);
    if (arguments.status == 0) {
        EXPECT_NE(run.out.find(console(arguments.named)), std::string::npos) << run.out;
        EXPECT_EQ(run.err, "");
    } else {
        EXPECT_TRUE(run.err.starts_with("gyro_motor_home: ")) << run.err;
        EXPECT_NE(run.err.find(arguments.named), std::string::npos) << run.err;
        EXPECT_EQ(harness_split_lines(run.err).size(), 1u) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(run.events.size(), 0u) << "the program touched a port";
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, E2eHomeArgumentsTest,
    ::testing::Values(HomeArgumentsCase{"UnknownOption", {"--bogus"}, 2, "--bogus"},
                      HomeArgumentsCase{"TwoArguments", {"com6", "9600"}, 2, "com6 9600"},
                      HomeArgumentsCase{"ValueForAFlag", {"--version=1"}, 2, "version"},
                      HomeArgumentsCase{"Help", {"--help"}, 0, "Usage: gyro_motor_home"},
                      // Asking the sweep for help must not move the motor.
                      HomeArgumentsCase{"SweepHelp", {"--help"}, 0, "Usage: gyro_motor\n", true},
                      HomeArgumentsCase{"SweepH", {"-h"}, 0, "Usage: gyro_motor\n", true},
                      HomeArgumentsCase{
                          "SweepSlashQuestion", {"/?"}, 0, "Usage: gyro_motor\n", true},
                      HomeArgumentsCase{"SweepVersion", {"--version"}, 0, "gyro_motor ", true}),
    case_name);

} // namespace
