// Model of the motor controller: a text command channel (commands end with a carriage return,
// answers end with a prompt) in front of one axis that moves toward its target at a set speed in
// simulated time. The caller owns the clock: every call that depends on time takes the simulated
// time in seconds, which never goes backwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr double sim_motor_default_speed = 40000.0; // units per second
// Longest command kept; the rest of a longer line is dropped, and the line is refused.
inline constexpr std::size_t sim_motor_max_command = 64;

// Error numbers reported by "pr er".
inline constexpr int sim_motor_error_none = 0;
inline constexpr int sim_motor_error_unknown_command = 20;
inline constexpr int sim_motor_error_bad_value = 21;

struct SimMotor {
    double clock = 0.0;    // simulated seconds up to which the motion has been followed
    double position = 0.0; // units
    double target = 0.0;   // units
    double speed = sim_motor_default_speed;
    int error = sim_motor_error_none; // last error, as "pr er" reports it
    bool echo = false;                // answers start with the command text and "\r\n"
    char prompt = '>';                // ends every accepted command's answer
    std::string pending;              // command text received so far
    bool overlong = false;            // the pending line was cut
};

// Takes one received byte: returns the command text (without the carriage return) when the byte
// completes one. A line feed is ignored.
std::optional<std::string> sim_motor_take_byte(SimMotor& motor, std::uint8_t byte);

// Follows the motion up to simulated time now.
void sim_motor_advance(SimMotor& motor, double now);

// Carries out one command at simulated time now and returns the full answer, ending with the
// prompt, or with '?' for a command it refuses:
//   "ma N" move to N, "mr N" move by N, "vm N" set the speed (N > 0): an empty line;
//   "pr mv": "1" while moving, else "0"; "pr er": the last error number.
// Without echo every answer starts with "\r\n", and a value is followed by "\r\n", so the moving
// flag of "pr mv" is the fourth character from the end ("\r\n1\r\n>").
std::string sim_motor_execute(SimMotor& motor, std::string_view command, double now);

bool sim_motor_moving(const SimMotor& motor);

// Signed velocity in units per second: the speed toward the target while moving, else 0.
double sim_motor_velocity(const SimMotor& motor);
