// Model of the motor controller: a text command channel (commands end with a carriage return,
// answers end with a prompt) in front of one axis that moves toward its target at a set speed in
// simulated time, speeding up and slowing down at a set acceleration (a trapezoidal profile). The
// caller owns the clock: every call that depends on time takes the simulated time in seconds, which
// never goes backwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr double sim_motor_default_speed = 40000.0; // units per second
// A realistic ramp for the bench program: the default speed is reached in 0.4 s.
inline constexpr double sim_motor_default_accel = 100000.0; // units per second squared
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
    // Units per second squared; 0 reaches the speed at once and stops dead at the target.
    double accel = 0.0;
    double velocity = 0.0;            // units per second, signed; only followed while accel > 0
    int error = sim_motor_error_none; // last error, as "pr er" reports it
    bool echo = false;                // answers start with the command text and "\r\n"
    char prompt = '>';                // ends every accepted command's answer
    std::string pending;              // command text received so far
    bool overlong = false;            // the pending line was cut
};

// Takes one received byte: returns the command text (without the carriage return) when the byte
// completes one. A line feed is ignored.
std::optional<std::string> sim_motor_take_byte(SimMotor& motor, std::uint8_t byte);

// Follows the motion up to simulated time now. With an acceleration the axis speeds up toward
// the set speed, cruises, and brakes so as to stop exactly on the target; a speed lowered
// mid-move is reached by braking, and a target behind it (or too close to stop for) is reached
// by stopping first and coming back.
void sim_motor_advance(SimMotor& motor, double now);

// Carries out one command at simulated time now and returns the full answer, ending with the
// prompt, or with '?' for a command it refuses:
//   "ma N" move to N, "mr N" move by N, "vm N" set the speed (N > 0): an empty line;
//   "pr mv": "1" while moving, else "0"; "pr er": the last error number.
// Without echo every answer starts with "\r\n", and a value is followed by "\r\n", so the moving
// flag of "pr mv" is the fourth character from the end ("\r\n1\r\n>").
std::string sim_motor_execute(SimMotor& motor, std::string_view command, double now);

// Whether a command is the motion query "pr mv", read as sim_motor_execute reads it.
bool sim_motor_is_motion_query(std::string_view command);

bool sim_motor_moving(const SimMotor& motor);

// Signed velocity in units per second: without an acceleration the speed toward the target while
// moving, else 0; with one, the velocity of the ramp at the time followed last.
double sim_motor_velocity(const SimMotor& motor);
