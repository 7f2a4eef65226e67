#include "sim/sim_motor.h"

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

void sim_motor_advance(SimMotor& motor, double now) {
    if (now <= motor.clock) {
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

bool sim_motor_moving(const SimMotor& motor) {
    return motor.position != motor.target;
}

double sim_motor_velocity(const SimMotor& motor) {
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
    } else if (words.size() == 2 && same_text(words[0], "pr") && same_text(words[1], "mv")) {
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
