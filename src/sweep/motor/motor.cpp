#include "sweep/motor/motor.h"

#include "sweep/runfile/runfile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

SerialHandle motor_port = serial_invalid_handle;
int motor_debug = 0;
std::optional<std::int32_t> motor_error_register;

namespace {

// Speed commands of the return to zero: the faster one before the move back, the normal one after.
std::string normal_speed_command = "vm 40000\r";
std::string return_speed_command = "vm 200000\r";

// Set once the controller stopped answering or its port failed: from then on nothing is sent.
bool motor_failed = false;

constexpr std::uint32_t motor_drain_poll_ms = 100;
constexpr std::uint32_t motor_motion_poll_ms = 50;

// The link has given up, its port is closed, or the user asked the program to stop: no further
// exchanges.
bool motor_halted() {
    return motor_failed || motor_port == serial_invalid_handle || serial_stop_now();
}

// Reports the first failure only: one message, however many operations it cuts short.
void motor_fail(const char* message_format, int value) {
    if (!motor_failed) {
        runfile_say(message_format, value);
        motor_failed = true;
    }
}

void motor_wait_until_stopped() {
    while (motor_is_moving()) {
        serial_sleep_ms(motor_motion_poll_ms);
    }
}

std::array<std::uint8_t, motor_reply_size> motor_command_and_reply(const char* command) {
    std::array<std::uint8_t, motor_reply_size> reply{};
    motor_send_command(command);
    motor_read_reply(reply);
    return reply;
}

// The first whole number in an answer; an echo of the command before it holds none.
std::optional<std::int32_t> motor_answer_number(std::span<const std::uint8_t> answer) {
    const auto length = std::find(answer.begin(), answer.end(), 0) - answer.begin();
    const std::string_view text(reinterpret_cast<const char*>(answer.data()),
                                static_cast<std::size_t>(length));
    const auto digit = std::find_if(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (digit == text.end()) {
        return std::nullopt;
    }
    const char* start = text.data() + (digit - text.begin());
    if (start > text.data() && start[-1] == '-') {
        --start;
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(start, text.data() + text.size(), value);
    return error == std::errc{} ? std::optional(value) : std::nullopt;
}

std::string motor_speed_command(std::int32_t value) {
    std::array<char, 20> text{};
    std::snprintf(text.data(), text.size(), "vm %d\r", static_cast<int>(value));
    return text.data();
}

} // namespace

int motor_open_port(const char* port_name, std::uint32_t baud_rate) {
    motor_failed = false;
    motor_port = serial_open(port_name);
    if (motor_port == serial_invalid_handle) {
        std::printf("Motor - could not open serial port, %s %d\n", port_name, serial_last_error());
        return -1;
    }
    if (!serial_apply_line_settings(motor_port, baud_rate, "Motor")) {
        serial_close(motor_port);
        motor_port = serial_invalid_handle;
        return -1;
    }
    return 0;
}

// The handle is forgotten with the port: the platform may hand the same number to the next file
// or port it opens.
int motor_close_port() {
    serial_close(motor_port);
    motor_port = serial_invalid_handle;
    return 0;
}

bool motor_link_failed() {
    return motor_failed;
}

void motor_wait_output_drained() {
    for (std::uint32_t waited_ms = 0; !motor_halted(); waited_ms += motor_drain_poll_ms) {
        SerialStatus status;
        // A driver that cannot report its queue: the write goes ahead, and tells if the port
        // failed.
        if (!serial_status(motor_port, status)) {
            return;
        }
        if (motor_debug != 0) {
            std::fprintf(stderr, "cOQ: %d\n", static_cast<int>(status.out_queue));
        }
        if (status.out_queue == 0) {
            return;
        }
        if (waited_ms >= motor_silence_limit_ms) {
            motor_fail("Motor - transmit queue stuck with %d bytes\n",
                       static_cast<int>(status.out_queue));
            return;
        }
        serial_sleep_ms(motor_drain_poll_ms);
    }
}

std::size_t motor_send_command(const char* command) {
    motor_wait_output_drained();
    const std::size_t length = std::strlen(command);
    if (length == 0 || motor_halted()) {
        return 0;
    }
    if (motor_debug != 0) {
        std::fprintf(stderr, "dbg: sp %d\n", static_cast<int>(motor_port));
    }
    std::size_t written = 0;
    if (!serial_write(motor_port, {reinterpret_cast<const std::uint8_t*>(command), length},
                      written)) {
        motor_fail("Motor - error writing: %d\n", serial_last_error());
    }
    return written;
}

void motor_read_reply(std::span<std::uint8_t, motor_reply_size> reply) {
    std::fill(reply.begin(), reply.end(), std::uint8_t{0});
    std::size_t received = 0;
    // Timed on the clock from the last byte, not summed from the reads' nominal lengths: reads
    // that return early must not make the controller look silent too soon.
    std::uint64_t last_heard_ms = serial_clock_ms();
    bool prompt_seen = false;
    // A full buffer ends the answer too: a further read could only ask for nothing, forever.
    while (!prompt_seen && received < reply.size() && !motor_halted()) {
        const std::span<std::uint8_t> rest = reply.subspan(received);
        std::size_t count = 0;
        if (!serial_read(motor_port, rest, count)) {
            motor_fail("Motor - error reading: %d\n", serial_last_error());
            return;
        }
        if (count == 0) {
            const std::uint64_t silent_ms = serial_clock_ms() - last_heard_ms;
            if (silent_ms >= motor_silence_limit_ms) {
                motor_fail("Motor - no answer for %d ms\n", static_cast<int>(silent_ms));
            }
            continue;
        }
        last_heard_ms = serial_clock_ms();
        for (std::size_t i = received; i < received + count; ++i) {
            if (reply[i] == '>' || reply[i] == '?') {
                prompt_seen = true;
            }
        }
        received += count;
    }
}

bool motor_answer_reports_motion(std::span<std::uint8_t, motor_reply_size> answer) {
    std::size_t length = 0;
    while (length < answer.size() && answer[length] != 0) {
        if (static_cast<std::int8_t>(answer[length]) < 32) {
            answer[length] = '~';
        }
        ++length;
    }
    // Too short an answer has no flag position: no motion.
    return length >= 4 && answer[length - 4] == '1';
}

bool motor_is_moving() {
    if (motor_halted()) {
        return false;
    }
    std::array<std::uint8_t, motor_reply_size> answer{};
    motor_send_command("pr mv\r");
    motor_read_reply(answer);
    // An answer cut short by a failure or an interruption says nothing about motion.
    return !motor_halted() && motor_answer_reports_motion(answer);
}

void motor_move_absolute(std::int32_t position, int wait) {
    std::array<char, motor_reply_size> command{};
    std::snprintf(command.data(), command.size(), "ma %d\r", static_cast<int>(position));
    motor_command_and_reply(command.data());
    if (wait != 0) {
        motor_wait_until_stopped();
    }
}

void motor_return_to_zero() {
    if (motor_halted()) {
        return;
    }
    motor_command_and_reply(return_speed_command.c_str());
    motor_command_and_reply("ma 0\r");
    motor_wait_until_stopped();
    motor_send_normal_speed();
}

void motor_send_normal_speed() {
    motor_command_and_reply(normal_speed_command.c_str());
}

void motor_home() {
    motor_error_register.reset();
    motor_command_and_reply("mr -5000000\r");
    motor_wait_until_stopped();
    motor_error_register = motor_answer_number(motor_command_and_reply("pr er\r"));
    motor_command_and_reply("mr 10000\r");
}

void motor_set_normal_speed(std::int32_t value) {
    normal_speed_command = motor_speed_command(value);
}

void motor_set_return_speed(std::int32_t value) {
    return_speed_command = motor_speed_command(value);
}

bool motor_input_pending() {
    SerialStatus status;
    serial_status(motor_port, status);
    return status.in_queue != 0;
}

void motor_flush_input() {
    if (motor_debug != 0) {
        std::fprintf(stderr, "dbg_fIB: %d\n", motor_input_pending() ? 1 : 0);
    }
    std::array<std::uint8_t, motor_reply_size> buffer{};
    std::size_t count = 0;
    serial_read(motor_port, buffer, count);
    if (motor_debug != 0) {
        std::fprintf(stderr, "dbg_fIB: %.*s\n", static_cast<int>(buffer.size()),
                     reinterpret_cast<const char*>(buffer.data()));
    }
}

void motor_drop_pending() {
    if (!motor_halted() && !serial_drop_pending(motor_port)) {
        motor_fail("Motor - error reading: %d\n", serial_last_error());
    }
}
