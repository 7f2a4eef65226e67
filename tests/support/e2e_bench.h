// The end-to-end run: the simulated bench started with a case's options, the program under test
// run against it in a fresh run folder, and everything the run left collected (status, console
// text, sample log and times, the frames the gyro sent, the simulator's transcript).
//
// The same cases run other builds of the sweep through the environment:
//   GM_E2E_SWEEP_COMMAND  shell command that runs the sweep in the run folder
//                         (default: the native gyro_motor of this build)
//   GM_E2E_TOOL_COMMAND   shell command that runs a companion program once its file name
//                         (gyro_motor_plot.exe) is appended, e.g. the Wine run of a folder/
//   GM_E2E_LINK_DIR       folder for the device links (default: the run folder), e.g. a Wine
//                         prefix's dosdevices
//   GM_E2E_SIM_ARGS       extra simulator options, blank-separated (e.g. --raw for Wine)
//   GM_E2E_CRLF           1 when the program's text lines (log and console) end with "\r\n"
//                         (a Windows build)
//   GM_E2E_TIMEOUT_S      longest a sweep may take (default 60)
//   GM_E2E_HANGUP_ERROR   error code in the message of a line that hung up (default 5, EIO;
//                         Wine reports 21, ERROR_NOT_READY)
// With another build of the sweep, the cases that need the native programs of this build are
// skipped: signals sent to the sweep, a log on /dev/full, ports held by Linux processes, and
// gyro_motor_home's runs on the bench; the companions' arguments run with GM_E2E_TOOL_COMMAND.
// For example:
//   GM_E2E_SWEEP_COMMAND="wine build/mingw/gyro_motor.exe" GM_E2E_SIM_ARGS=--raw
//   GM_E2E_LINK_DIR="$WINEPREFIX/dosdevices" GM_E2E_CRLF=1 build/default/tests/e2e_sweep_test
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

inline constexpr std::size_t value_count = 13;
using Values = std::array<double, value_count>;

struct E2eConfig {
    std::string sweep_command; // empty: run GM_SWEEP_PATH directly
    std::string tool_command;  // empty: the companions of this build, or none for another sweep
    std::string link_dir;      // empty: the run folder
    std::vector<std::string> sim_args;
    bool crlf = false;
    double timeout_s = 60.0;
    std::string hangup_error = "5";
};

E2eConfig bench_config();

struct FrameRecord {
    std::string kind;                // "ok", or "bad", "split", "stray" joined by '+'
    std::vector<std::uint8_t> bytes; // stray bytes, then the frame
    Values values{};
};

struct Event {
    double ms = 0.0;
    std::string text; // "motor ma 1000000", "gyro G"
};

using BenchClock = std::chrono::steady_clock;

struct SweepRun {
    std::string dir;
    std::string link_dir;
    std::optional<int> status;      // nothing: the sweep did not end in time
    BenchClock::time_point started; // the program under test
    BenchClock::time_point ended;
    std::optional<int> sim_status;
    std::string out;
    std::string err;
    std::optional<std::string> log;
    std::optional<std::string> times;
    std::vector<FrameRecord> frames;
    std::vector<Event> events;

    double seconds() const { return std::chrono::duration<double>(ended - started).count(); }
};

// The sweep as this run is configured to start it, with the arguments.
std::vector<std::string> bench_sweep_argv(const std::vector<std::string>& arguments = {});

// A program of the build under test (gyro_motor, gyro_motor_plot, ...) with the arguments;
// nothing when that build's companions are not given.
std::optional<std::vector<std::string>>
bench_program_argv(const std::string& name, const std::vector<std::string>& arguments);

// Names a table's cases by their name field.
inline constexpr auto bench_case_name = [](const auto& param) {
    return std::string(param.param.name);
};

// The other build's programs run through a command line: signals sent to it need not reach them
// as the native build takes them, and the companion programs of that build are not run here.
bool bench_native_sweep();

struct BenchHooks {
    // Before the simulator starts: prepare the folders.
    std::function<void(const SweepRun&)> setup;
    // While the program runs (started and run.dir are set): e.g. send it a signal.
    std::function<void(const SweepRun&, pid_t)> during;
    // Once the simulator's links exist, before the program starts.
    std::function<void(const SweepRun&)> ready;
};

// Starts the simulator with the options, runs the program in a fresh run folder, stops the
// simulator and collects everything.
SweepRun bench_run(const std::vector<std::string>& program,
                   const std::vector<std::string>& sim_options, const BenchHooks& hooks = {});

SweepRun bench_run_sweep(const std::vector<std::string>& sim_options,
                         const std::function<void(const SweepRun&, pid_t)>& during = {},
                         const std::vector<std::string>& program = bench_sweep_argv());

// Runs the program with the controller's port com6 leading to a path that does not exist (and
// the simulator's controller elsewhere); a link already there (a Wine prefix has one for every
// COM name) is put back after. An earlier log is left in the run folder if one is given.
SweepRun bench_run_without_com6(const std::vector<std::string>& program,
                                const std::optional<std::string>& earlier_log);

// Console text as the program under test writes it: "\n" becomes "\r\n" on Windows.
std::string bench_console(const std::string& text);

// The two lines of a start where both ports opened.
std::string bench_success_lines();

// Fast runs: no line pacing, and the sweep of 25.4 s of motor time in 1.27 s.
std::vector<std::string> bench_fast(std::vector<std::string> options);

// A run with a fault must still end, and soon: the longest wait for a silent device is 3 s.
inline constexpr double bench_fault_time_bound_s = 15.0;

// One line per fault run, to see at a glance what the program did.
void bench_summarize(const char* fault, const SweepRun& run, std::size_t samples);

// Waits until the simulator's transcript shows `count` lines that end with `text`; false after
// timeout_s.
bool bench_wait_for_events(const std::string& transcript, const std::string& text,
                           std::size_t count, double timeout_s);

// Removes the run folder, or keeps it and says where when the test failed.
void bench_finish(const SweepRun& run);
