// The motor link: the controller's port as module state, a text command channel whose answers end
// with a prompt ('>' or '?'), and the motion operations built on it.
#pragma once

#include "sweep/serial/serial.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr std::size_t motor_reply_size = 100;
// The controller answers within milliseconds; this long without a byte means it is gone.
inline constexpr std::uint32_t motor_silence_limit_ms = 3000;

// The controller's port, from motor_open_port to motor_close_port.
extern SerialHandle motor_port;
// Non-zero prints the channel's diagnostic traces on standard error.
extern int motor_debug;

// 0 when the port is open and configured, -1 (after a message) when not.
int motor_open_port(const char* port_name, std::uint32_t baud_rate);
int motor_close_port();
// True once the controller stopped answering or its port failed (a message has been printed);
// from then on nothing is sent, motion queries report no motion and the return to zero is
// skipped. Opening the port again clears it.
bool motor_link_failed();

// Waits for the transmit queue to drain, then writes the command; returns the bytes written.
std::size_t motor_send_command(const char* command);
// Fills reply (motor_reply_size bytes, cleared first) with the answer up to the read that
// brought a prompt, or until the buffer is full.
void motor_read_reply(std::span<std::uint8_t, motor_reply_size> reply);
void motor_wait_output_drained();
// True while the controller reports motion: the fourth character from the end of the answer to
// "pr mv" is '1'.
bool motor_is_moving();
// Judges a motion answer as motor_is_moving does; the answer is modified in place.
bool motor_answer_reports_motion(std::span<std::uint8_t, motor_reply_size> answer);
void motor_move_absolute(std::int32_t position, int wait);
void motor_return_to_zero();
// Sends the normal speed command (the speed a sweep runs at) and reads its answer.
void motor_send_normal_speed();

// Drives a long way in the negative direction, waits for the end of that motion, queries the
// error register and backs off by 10000 without waiting.
void motor_home();
// The error register as the last homing read it: the number in the controller's answer to
// "pr er", or nothing when the answer held none.
extern std::optional<std::int32_t> motor_error_register;
// Replace the speed commands ("vm N\r") that the next return to zero sends after and before its
// move; nothing is sent now.
void motor_set_normal_speed(std::int32_t value);
void motor_set_return_speed(std::int32_t value);
// True when the receive queue holds at least one byte.
bool motor_input_pending();
// One read of up to motor_reply_size bytes, discarded; later data stays queued.
void motor_flush_input();
// Drops what the controller's port holds by its receive queue count (serial_drop_pending): no
// wait when nothing is pending. A failed read fails the link like any other.
void motor_drop_pending();
