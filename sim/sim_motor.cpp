#include "sim/sim_motor.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <vector>

namespace {

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ') {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

// A whole word of optional sign and decimal digits that fits 32 bits.
std::optional<std::int32_t> parse_number(std::string_view word) {
    if (!word.empty() && word.front() == '+') {
        word.remove_prefix(1);
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (word.empty() || error != std::errc{} || end != word.data() + word.size()) {
        return std::nullopt;
    }
    return value;
}

bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool is_motion_query(const std::vector<std::string_view>& words) {
    return words.size() == 2 && same_text(words[0], "pr") && same_text(words[1], "mv");
}

} // namespace

std::optional<std::string> sim_motor_take_byte(SimMotor& motor, std::uint8_t byte) {
    if (byte == '\n') {
        return std::nullopt;
    }
    if (byte == '\r') {
        std::string command = std::move(motor.pending);
        motor.pending.clear();
        if (motor.overlong) {
            // Mark the cut line so that it cannot pass for a valid command.
            command += '~';
            motor.overlong = false;
        }
        return command;
    }
    if (motor.pending.size() < sim_motor_max_command) {
        motor.pending += static_cast<char>(byte);
    } else {
        motor.overlong = true;
    }
    return std::nullopt;
}

namespace {

// Closer than this to the target when a braking ends, the axis stands on it: the ramps are
// followed in floating point, and a real controller counts whole units anyway.
constexpr double arrival_tolerance = 1e-6;

// The axis under a constant acceleration for a while.
void coast(SimMotor& motor, double accel, double seconds) {
    motor.position += motor.velocity * seconds + accel * seconds * seconds / 2.0;
    motor.velocity += accel * seconds;
    motor.clock += seconds;
}

// Follows a move with ramps: each pass covers one stretch of constant acceleration (a braking
// away from the target, a ramp to the speed, the cruise, the braking onto the target), so a few
// passes cover any call; the limit only guards against a rounding that never settles.
void follow_ramps(SimMotor& motor, double now) {
    const double a = motor.accel;
    for (int pass = 0; pass < 32 && motor.clock < now; ++pass) {
        const double v = motor.velocity;
        const double remaining = motor.target - motor.position;
        const double left = now - motor.clock;
        if (v == 0.0 && std::fabs(remaining) <= arrival_tolerance) {
            motor.position = motor.target;
            motor.clock = now;
            return;
        }
        // Signed distance that braking from here takes.
        const double braking = v * std::fabs(v) / (2.0 * a);
        const double direction = v > 0.0 ? 1.0 : -1.0;
        if (v != 0.0 && (remaining - braking) * direction <= arrival_tolerance) {
            // Moving away from the target, or just far enough from it to stop: brake.
            const double stop_time = std::fabs(v) / a;
            if (left < stop_time) {
                coast(motor, -direction * a, left);
                return;
            }
            motor.position += braking;
            motor.velocity = 0.0;
            motor.clock += stop_time;
            if (std::fabs(motor.target - motor.position) <= arrival_tolerance) {
                motor.position = motor.target;
            }
            continue;
        }
        // At rest or heading for the target with room to spare.
        const double toward = remaining > 0.0 ? 1.0 : -1.0;
        const double u = v * toward;
        const double margin = std::fabs(remaining) - u * u / (2.0 * a);
        if (u > motor.speed) {
            // The speed was lowered mid-move. Slowing down at the braking rate leaves the
            // point where the axis would stop where it is.
            const double slow_time = (u - motor.speed) / a;
            coast(motor, -toward * a, std::min(left, slow_time));
            if (left >= slow_time) {
                motor.velocity = toward * motor.speed;
            }
        } else if (u < motor.speed) {
            // Speed up until the speed is reached or the braking must begin: there the margin,
            // shrinking by u t + a t^2 / 2 + (braking distance gained), is used up.
            const double speed_time = (motor.speed - u) / a;
            const double brake_time = (std::sqrt(u * u + a * margin) - u) / a;
            const double stretch = std::min(speed_time, brake_time);
            coast(motor, toward * a, std::min(left, stretch));
            if (left >= speed_time && speed_time <= brake_time) {
                motor.velocity = toward * motor.speed;
            }
        } else {
            coast(motor, 0.0, std::min(left, margin / motor.speed));
        }
    }
    motor.clock = std::max(motor.clock, now);
}

} // namespace

void sim_motor_advance(SimMotor& motor, double now) {
    if (now <= motor.clock) {
        return;
    }
    if (motor.accel > 0.0) {
        follow_ramps(motor, now);
        return;
    }
    const double step = motor.speed * (now - motor.clock);
    motor.clock = now;
    const double remaining = motor.target - motor.position;
    if (std::fabs(remaining) <= step) {
        motor.position = motor.target;
    } else {
        motor.position += remaining > 0 ? step : -step;
    }
}

bool sim_motor_is_motion_query(std::string_view command) {
    return is_motion_query(split_words(command));
}

bool sim_motor_moving(const SimMotor& motor) {
    return motor.position != motor.target || motor.velocity != 0.0;
}

double sim_motor_velocity(const SimMotor& motor) {
    if (motor.accel > 0.0) {
        return motor.velocity;
    }
    if (!sim_motor_moving(motor)) {
        return 0.0;
    }
    return motor.target > motor.position ? motor.speed : -motor.speed;
}

std::string sim_motor_execute(SimMotor& motor, std::string_view command, double now) {
    sim_motor_advance(motor, now);

    const std::vector<std::string_view> words = split_words(command);
    std::string value;
    bool accepted = false;
    int error = sim_motor_error_unknown_command;
    if (words.size() == 2 &&
        (same_text(words[0], "ma") || same_text(words[0], "mr") || same_text(words[0], "vm"))) {
        if (const std::optional<std::int32_t> number = parse_number(words[1])) {
            if (same_text(words[0], "ma")) {
                motor.target = *number;
                accepted = true;
            } else if (same_text(words[0], "mr")) {
                motor.target = motor.position + *number;
                accepted = true;
            } else if (*number > 0) {
                motor.speed = *number;
                accepted = true;
            } else {
                error = sim_motor_error_bad_value;
            }
        }
    } else if (is_motion_query(words)) {
        value.push_back(sim_motor_moving(motor) ? '1' : '0');
        accepted = true;
    } else if (words.size() == 2 && same_text(words[0], "pr") && same_text(words[1], "er")) {
        value = std::to_string(motor.error);
        accepted = true;
    } else if (words.empty()) {
        accepted = true; // an empty line just gets a prompt
    }
    if (!accepted) {
        motor.error = error;
    }

    std::string answer;
    if (motor.echo) {
        answer.append(command);
    }
    answer += "\r\n";
    if (!value.empty()) {
        answer += value;
        answer += "\r\n";
    }
    answer += accepted ? motor.prompt : '?';
    return answer;
}
