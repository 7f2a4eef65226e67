#include "tests/support/e2e_check.h"

#include "tests/support/process_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

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

// Before its move a sweep asks whether the motor moves and sets the sweep speed: the commands
// from there on are those of every sweep. Returns the index after them.
std::size_t expect_bench_check(const std::vector<std::string>& seen) {
    const std::vector<std::string> check = {"motor pr mv", "motor vm 40000", "motor ma 1000000"};
    for (std::size_t i = 0; i < check.size(); ++i) {
        EXPECT_EQ(i < seen.size() ? seen[i] : std::string(), check[i]) << "event " << i;
    }
    return check.size();
}

} // namespace

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

bool is_line_event(const Event& event) {
    return event.text.ends_with(" open") || event.text.ends_with(" close") ||
           event.text.ends_with(" hang-up") || event.text.ends_with(" replaced");
}

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

std::vector<std::string> dialogue_of(const std::vector<Event>& events) {
    std::vector<std::string> seen;
    for (const Event& event : events) {
        if (!is_line_event(event)) {
            seen.push_back(event.text);
        }
    }
    return seen;
}

std::size_t expect_sweep_dialogue(const std::vector<Event>& events, GyroPolls gyro_polls) {
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

std::size_t motor_commands(const std::vector<Event>& events) {
    std::size_t count = 0;
    for (const std::string& text : dialogue_of(events)) {
        count += text.starts_with("motor ") ? 1u : 0u;
    }
    return count;
}

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

std::vector<Values> expect_clean_completion(const SweepRun& run) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, bench_success_lines());
    EXPECT_EQ(run.out, "");
    if (!run.log.has_value()) {
        ADD_FAILURE() << "no sample log";
        return {};
    }
    return parse_log(*run.log, bench_config().crlf);
}
