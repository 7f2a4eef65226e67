// The operator's shift at a test station: the serial asked for and checked, what the archive
// already holds of that sensor, the sweep run as a process of its own with its progress read from
// the growing log, and the outcome shown in large letters. gyro_motor_station strings these
// together around the step it shares with the report (station/outcome/). How the sweep is
// started and waited for, how the console is coloured and how Ctrl-C is held off are the
// platform's part (shift_posix.cpp, shift_win32.cpp).
#pragma once

#include "station/outcome/outcome.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

// --- the serial ----------------------------------------------------------------------------

// A line as typed, or as a barcode scanner types it: without its line end and the blanks around.
std::string shift_trim(std::string_view line);

// Why the serial is refused, or empty when it is accepted: it must be a plain name (as the
// archive's folders are) and, where a pattern is given, match it whole.
std::string shift_refusal(const std::string& serial, const std::regex* pattern,
                          const std::string& pattern_text);

// What the archive already holds of one sensor.
struct ShiftRecords {
    std::size_t passed = 0; // records whose outcome is PASS
    std::size_t failed = 0; // FAIL or ERROR: the attempts that count against --max-tries
    std::size_t unreadable = 0;
};

// Reads the records of DIR/SERIAL/; a sensor without a folder has none.
ShiftRecords shift_records(const std::filesystem::path& archive, const std::string& serial);

// --- the sweep's progress ------------------------------------------------------------------

// What the growing log says so far. The log of an earlier run stays until the sweep replaces
// it, so nothing is read before the log differs from what it was when the sweep was started.
struct ShiftProgress {
    std::uintmax_t before_size = 0;
    std::filesystem::file_time_type before_time{};
    bool before_exists = false;
    bool started = false;    // the log has been replaced
    std::uintmax_t read = 0; // bytes of it read
    std::string partial;     // the start of a line not yet whole
    std::size_t samples = 0;
    std::optional<double> last_heading;
    double turned_deg = 0.0; // the headings' steps added up, each taken the short way round
};

// Notes the log as it is before the sweep starts.
ShiftProgress shift_progress_begin(const std::filesystem::path& log);

// Reads what the log gained since the last call.
void shift_progress_read(const std::filesystem::path& log, ShiftProgress& progress);

// "312 samples, 181.4 deg turned", or "starting" before the log is replaced.
std::string shift_progress_text(const ShiftProgress& progress);

// --- the outcome ---------------------------------------------------------------------------

// The outcome's word in large letters: five lines of '#' blocks.
std::string shift_big_letters(std::string_view word);

// The session so far, as the last line says it.
struct ShiftSession {
    std::size_t swept = 0;
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t errors = 0;
    std::size_t aborted = 0;
};

void shift_count(ShiftSession& session, Outcome outcome);

// "Session: swept 4, passed 2, failed 1, errors 1, aborted 0".
std::string shift_session_text(const ShiftSession& session);

// --- the platform's part -------------------------------------------------------------------

enum class ShiftColour { plain, green, red, yellow };

// Whether standard output is a console (a terminal) that updates a line in place and may be
// coloured; colour also needs NO_COLOR unset or empty.
bool shift_is_console();
bool shift_use_colour();
// Whether standard input is a console, which shows what is typed; answers read from elsewhere (a
// script's) are written after their prompts, so that the output reads as a dialogue.
bool shift_input_is_console();

// Sets the colour of what is written to standard output from here on.
void shift_set_colour(ShiftColour colour);

// The sweep program beside this program's own executable (gyro_motor, gyro_motor.exe).
std::filesystem::path shift_sweep_program();

// Ctrl-C, and the requests to stop, as the station takes them: while a sweep runs they are the
// sweep's (it shares the console, or on POSIX the process group, and stops safely), and the
// station waits for it; at the prompt Ctrl-C ends the loop.
void shift_catch_signals();
// The request to stop seen since the last call (0 when none): on POSIX the signal's number.
int shift_take_signal();

// A sweep started in the current folder: its process.
struct ShiftSweep {
    std::intptr_t process = -1;
};

// Starts the program with no arguments, standard input, output and error shared with this
// program. False with the reason in `error` when it could not be started.
bool shift_start(const std::filesystem::path& program, ShiftSweep& sweep, std::string& error);

// Waits up to `wait_ms` for the sweep to end: its exit status (128 + the signal's number for one
// that a signal ended) once it has, else nothing.
std::optional<int> shift_wait(ShiftSweep& sweep, unsigned wait_ms);
