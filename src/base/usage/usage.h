// How every program is asked for help and for its version, and the words its help and messages
// use for the platform: one convention for the sweep and the companion programs. Standard library
// only, so that gyro_motor itself can use it; the platform's part (usage_posix.cpp or
// usage_win32.cpp) is chosen by the build.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Help fits a console 80 columns wide: a line that fills the last column makes the classic
// Windows console wrap, and a blank line follows it.
inline constexpr std::size_t usage_width = 79;

// True when the argument asks for help: -h, --help and -? everywhere; on Windows also /?, /h and
// /help (elsewhere an argument that starts with '/' is a path).
bool usage_asks_for_help(std::string_view argument);

// The help spellings beyond -h and --help, as a help lists them: "-?" or "-?, /?, /h, /help".
std::string usage_more_help();

// The project's version, e.g. "0.1", one for every program.
const char* usage_version_number();

// The version line: "NAME VERSION".
std::string usage_version(std::string_view program);

// The text with each line longer than `width` columns (as text_width counts them) wrapped at
// blanks, together with the lines below that carry it on up to the end of a sentence: those
// indented as far as its text goes on, which is after its first gap of two or more blanks within
// the first half of the width (an option and its description, an exit status and its meaning), else
// at its own indent. Every other line is left as it is.
std::string usage_wrap(std::string_view text, std::size_t width = usage_width);

// Whether /?, /h and /help ask for help: on Windows.
extern const bool usage_slash_help;

// How to get gnuplot onto the PATH: a sentence without its full stop.
extern const char* const usage_gnuplot_install;

// The statuses of an interrupted run and what gives them, e.g. "129/130/143 (SIGHUP, Ctrl-C,
// SIGTERM)".
extern const char* const usage_interrupts;
