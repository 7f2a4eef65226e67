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
// For example:
//   GM_E2E_SWEEP_COMMAND="wine build/mingw/gyro_motor.exe" GM_E2E_SIM_ARGS=--raw
//   GM_E2E_LINK_DIR="$WINEPREFIX/dosdevices" GM_E2E_CRLF=1 build/default/tests/e2e_test
#include "tests/support/process_harness.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
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

struct SweepRun {
    std::string dir;
    std::string link_dir;
    std::optional<int> status; // nothing: the sweep did not end in time
    std::optional<int> sim_status;
    std::string out;
    std::string err;
    std::optional<std::string> log;
    std::vector<FrameRecord> frames;
    std::vector<Event> events;
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

// Starts the simulator with the options, lets setup prepare the folders, runs the sweep, stops
// the simulator and collects everything.
SweepRun run_sweep(const std::vector<std::string>& sim_options,
                   const std::function<void(const SweepRun&)>& setup = {}) {
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
    if (setup) {
        setup(run);
    }
    const pid_t sim = harness_spawn(sim_argv, run.dir, run.dir + "/sim.out", run.dir + "/sim.err");
    if (!harness_wait_for_file(run.dir + "/ready", sim, 10.0)) {
        ADD_FAILURE() << "the simulator did not get ready: "
                      << harness_read_file(run.dir + "/sim.err").value_or("");
        run.sim_status = harness_stop(sim, 10.0);
        return run;
    }

    const std::vector<std::string> sweep_argv =
        config.sweep_command.empty()
            ? std::vector<std::string>{GM_SWEEP_PATH}
            : std::vector<std::string>{"/bin/sh", "-c", "exec " + config.sweep_command};
    const pid_t sweep =
        harness_spawn(sweep_argv, run.dir, run.dir + "/sweep.out", run.dir + "/sweep.err");
    run.status = harness_wait(sweep, config.timeout_s);
    run.sim_status = harness_stop(sim, 10.0);

    run.out = harness_read_file(run.dir + "/sweep.out").value_or("");
    run.err = harness_read_file(run.dir + "/sweep.err").value_or("");
    run.log = harness_read_file(run.dir + "/gyro_motor.txt");
    run.frames = read_frames(run.dir + "/frames.txt");
    run.events = read_events(run.dir + "/transcript.txt");
    return run;
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
            continue;
        }
        next = *found + 30;
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

bool is_open_or_close(const Event& event) {
    return event.text.ends_with(" open") || event.text.ends_with(" close");
}

// The program opens the gyro's port before the controller's and closes it after.
void expect_port_order(const std::vector<Event>& events) {
    std::optional<std::size_t> gyro_open;
    std::optional<std::size_t> motor_open;
    std::optional<std::size_t> gyro_close;
    std::optional<std::size_t> motor_close;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const std::string& text = events[i].text;
        if (text == "gyro open" && !gyro_open) {
            gyro_open = i;
        } else if (text == "motor open" && !motor_open) {
            motor_open = i;
        } else if (text == "gyro close") {
            gyro_close = i;
        } else if (text == "motor close") {
            motor_close = i;
        }
    }
    ASSERT_TRUE(gyro_open && motor_open && gyro_close && motor_close);
    EXPECT_LT(*gyro_open, *motor_open);
    EXPECT_LT(*motor_close, *gyro_close);
    // No command before the controller's port was open, none after it was closed.
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (!is_open_or_close(events[i])) {
            EXPECT_GT(i, *motor_open) << events[i].text;
            EXPECT_LT(i, *motor_close) << events[i].text;
        }
    }
}

// The dialogue of a complete sweep: the move, a motion query before each poll until one reports
// no motion, the return at the higher speed with its motion wait, the normal speed. Returns the
// number of polls.
std::size_t expect_sweep_dialogue(const std::vector<Event>& events) {
    std::vector<std::string> seen;
    for (const Event& event : events) {
        if (!is_open_or_close(event)) {
            seen.push_back(event.text);
        }
    }
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return k < seen.size() ? seen[k] : std::string(); };
    EXPECT_EQ(at(i), "motor ma 1000000");
    ++i;
    std::size_t polls = 0;
    while (at(i) == "motor pr mv" && at(i + 1) == "gyro G") {
        i += 2;
        ++polls;
    }
    EXPECT_EQ(at(i), "motor pr mv") << "event " << i;
    EXPECT_EQ(at(i + 1), "motor vm 200000") << "event " << i + 1;
    EXPECT_EQ(at(i + 2), "motor ma 0") << "event " << i + 2;
    i += 3;
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

// Fast runs: no line pacing, and the sweep of 25 s of motor time in 1.25 s.
std::vector<std::string> fast(std::vector<std::string> options) {
    options.insert(options.begin(), {"--no-pacing", "--time-scale", "20"});
    return options;
}

void finish(const SweepRun& run) {
    if (::testing::Test::HasFailure()) {
        std::printf("run folder kept: %s\n", run.dir.c_str());
    } else {
        harness_remove_tree(run.dir);
    }
}

TEST(E2eTest, FullSweepLogsEveryFrameAndReplacesAnEarlierLog) {
    const SweepRun run = run_sweep(fast({}), [](const SweepRun& r) {
        ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor.txt", "an earlier run\n"));
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.sim_status, 0);
    EXPECT_EQ(run.err, success_lines);
    EXPECT_EQ(run.out, "");
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, config_from_environment().crlf);
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
    finish(run);
}

TEST(E2eTest, MissingMotorPortFailsAndLeavesTheEarlierLogAlone) {
    // com6 leads to a path that does not exist; a link already there (a Wine prefix has one for
    // every COM name) is put back afterwards.
    std::optional<std::string> earlier_target;
    const SweepRun run =
        run_sweep(fast({"--motor-name", "com6-elsewhere"}), [&](const SweepRun& r) {
            ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor.txt", "an earlier run\n"));
            const std::string link = r.link_dir + "/com6";
            std::array<char, 4096> target{};
            if (const ssize_t length = readlink(link.c_str(), target.data(), target.size() - 1);
                length > 0) {
                earlier_target = std::string(target.data(), static_cast<std::size_t>(length));
                unlink(link.c_str());
            }
            ASSERT_EQ(symlink((r.dir + "/no-such-device").c_str(), link.c_str()), 0);
        });
    unlink((run.link_dir + "/com6").c_str());
    if (earlier_target) {
        symlink(earlier_target->c_str(), (run.link_dir + "/com6").c_str());
    }
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

// Faults that cost single frames: each run still ends normally, with the good frames logged.
struct FrameFaultCase {
    const char* name;
    std::vector<std::string> options;
};

class E2eFrameFaultTest : public ::testing::TestWithParam<FrameFaultCase> {};

TEST_P(E2eFrameFaultTest, SweepCompletesAndLogsTheGoodFrames) {
    const SweepRun run = run_sweep(fast(GetParam().options));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, success_lines);
    EXPECT_EQ(run.out, "");
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, config_from_environment().crlf);
    expect_every_good_frame_logged(samples, run.frames);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    std::size_t good = 0;
    for (const FrameRecord& frame : run.frames) {
        good += is_good(frame) ? 1u : 0u;
    }
    EXPECT_LT(good, run.frames.size()); // the fault did happen
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, E2eFrameFaultTest,
    ::testing::Values(FrameFaultCase{"BadChecksum", {"--bad-checksum-every", "3"}},
                      FrameFaultCase{"BadChecksumEveryFrame", {"--bad-checksum-every", "1"}}),
    [](const ::testing::TestParamInfo<FrameFaultCase>& param) { return param.param.name; });

// Controller variants the sweep must not notice.
class E2eControllerTest : public ::testing::TestWithParam<FrameFaultCase> {};

TEST_P(E2eControllerTest, SweepCompletesAsWithThePlainController) {
    const SweepRun run = run_sweep(fast(GetParam().options));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, success_lines);
    EXPECT_EQ(run.out, "");
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, config_from_environment().crlf);
    EXPECT_GE(samples.size(), 10u);
    expect_every_good_frame_logged(samples, run.frames);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, E2eControllerTest,
    ::testing::Values(FrameFaultCase{"Echo", {"--echo"}},
                      FrameFaultCase{"QuestionPrompts", {"--question-prompts"}},
                      FrameFaultCase{"EchoAndQuestionPrompts", {"--echo", "--question-prompts"}}),
    [](const ::testing::TestParamInfo<FrameFaultCase>& param) { return param.param.name; });

TEST(E2eTest, SplitFramesAreDroppedWithoutAMessage) {
    // Fewer splits than frames; a reader that keeps the rest of a split frame queued reads
    // across frame boundaries afterwards, and only windows with a valid checksum may be logged.
    const SweepRun run = run_sweep(fast({"--split-every", "8"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, success_lines);
    EXPECT_EQ(run.out, "");
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, config_from_environment().crlf);
    const SampleMatch match = match_samples(samples, run.frames);
    // Up to the first split every frame is logged as sent.
    std::vector<std::size_t> before_split;
    for (std::size_t i = 0; i < run.frames.size() && is_good(run.frames[i]); ++i) {
        before_split.push_back(i);
    }
    ASSERT_LT(before_split.size(), run.frames.size()) << "no frame was split";
    ASSERT_GE(match.frame_index.size(), before_split.size());
    EXPECT_EQ(std::vector<std::size_t>(match.frame_index.begin(),
                                       match.frame_index.begin() +
                                           static_cast<std::ptrdiff_t>(before_split.size())),
              before_split);
    // No split frame's first piece is ever logged as a sample.
    for (const std::size_t index : match.frame_index) {
        EXPECT_TRUE(index == SIZE_MAX || is_good(run.frames[index]));
    }
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    std::printf("split run: %zu frames sent, %zu logged whole, %zu logged across frames\n",
                run.frames.size(), match.aligned, samples.size() - match.aligned);
    finish(run);
}

TEST(E2eTest, PacedLinesStillSweepCompletely) {
    // Real line rates and latencies; a busy machine may split a frame by delay, so the log is
    // checked as for split frames, and must hold samples.
    const SweepRun run = run_sweep({"--time-scale", "20"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, success_lines);
    EXPECT_EQ(run.out, "");
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, config_from_environment().crlf);
    const SampleMatch match = match_samples(samples, run.frames);
    EXPECT_GE(match.aligned, 5u);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    finish(run);
}

// Devices that fail during the sweep: the run ends with status 3 and the failing device's
// message, and every sample logged before is complete.
struct DeviceFaultCase {
    const char* name;
    std::vector<std::string> options;
    const char* message_start;
};

class E2eDeviceFaultTest : public ::testing::TestWithParam<DeviceFaultCase> {};

TEST_P(E2eDeviceFaultTest, SweepStopsWithTheDevicesMessage) {
    const SweepRun run = run_sweep(fast(GetParam().options));
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(run.err.rfind(success_lines, 0), 0u) << run.err;
    const std::string rest = run.err.substr(success_lines.size());
    EXPECT_EQ(rest.rfind(GetParam().message_start, 0), 0u) << rest;
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, config_from_environment().crlf);
    const SampleMatch match = match_samples(samples, run.frames);
    EXPECT_EQ(match.aligned, samples.size());
    finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceFaults, E2eDeviceFaultTest,
    ::testing::Values(DeviceFaultCase{"GyroFallsSilent", {"--gyro-silent-after", "20"}, "Gyro - "},
                      DeviceFaultCase{
                          "MotorFallsSilent", {"--motor-silent-after", "30"}, "Motor - "},
                      DeviceFaultCase{"GyroHangsUp", {"--hangup-gyro-after", "0.3"}, "Gyro - "},
                      DeviceFaultCase{"MotorHangsUp", {"--hangup-motor-after", "0.3"}, "Motor - "}),
    [](const ::testing::TestParamInfo<DeviceFaultCase>& param) { return param.param.name; });

} // namespace
