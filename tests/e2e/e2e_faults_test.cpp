// End to end, what goes wrong around a sweep: ports that are missing or held by another program,
// devices that fail during the sweep, and a log whose device fills up.
#include "tests/support/e2e_bench.h"
#include "tests/support/e2e_check.h"
#include "tests/support/process_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

TEST(E2eTest, MissingMotorPortFailsAndLeavesTheEarlierLogAlone) {
    const SweepRun run = bench_run_without_com6(bench_sweep_argv(), "an earlier run\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, bench_console("Motor - could not open serial port, com6 2\n"));
    EXPECT_EQ(run.err, bench_console("open gyro port succeeded\nopen Motor port failed\n"));
    EXPECT_EQ(run.log, "an earlier run\n");
    // Only the gyro's port was ever opened.
    for (const Event& event : run.events) {
        EXPECT_TRUE(event.text == "gyro open" || event.text == "gyro close") << event.text;
    }
    bench_finish(run);
}

// A port that someone else has: another process holding it open (without any lock of its own),
// or a live lock file of a terminal program. The program refuses it with error 16 (EBUSY) and
// moves nothing.
struct HeldPortCase {
    const char* name;
    const char* link; // the simulator's link to the port
    bool lock_file;   // a live lock file, else an open descriptor
    std::string out;
    std::string err;
};

class E2eHeldPortTest : public ::testing::TestWithParam<HeldPortCase> {};

TEST_P(E2eHeldPortTest, PortIsRefusedAndNothingMoves) {
    if (!bench_native_sweep()) {
        GTEST_SKIP() << "other holders and lock files of this system are the native build's "
                        "business, not that of the command in GM_E2E_SWEEP_COMMAND";
    }
    const HeldPortCase& held = GetParam();
    if (held.lock_file && access("/run/lock", W_OK) != 0) {
        GTEST_SKIP() << "/run/lock cannot be written here";
    }
    int holder = -1;
    std::string lock;
    const SweepRun run = bench_run(
        bench_sweep_argv(), bench_fast({}),
        {.setup =
             [](const SweepRun& r) {
                 ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor.txt", "an earlier run\n"));
             },
         .during = {},
         .ready =
             [&](const SweepRun& r) {
                 const std::string link = r.link_dir + "/" + held.link;
                 if (!held.lock_file) {
                     holder = open(link.c_str(), O_RDWR | O_NOCTTY);
                     ASSERT_GE(holder, 0);
                     return;
                 }
                 // The lock's name for /dev/pts/N is LCK..pts_N; this test process is alive.
                 std::array<char, 64> target{};
                 ASSERT_GT(readlink(link.c_str(), target.data(), target.size() - 1), 9);
                 std::string name = std::string(target.data()).substr(5);
                 name[name.find('/')] = '_';
                 lock = "/run/lock/LCK.." + name;
                 char text[16];
                 std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
                 ASSERT_TRUE(harness_write_file(lock, text));
             }});
    if (holder >= 0) {
        close(holder);
    }
    const std::optional<std::string> lock_after =
        lock.empty() ? std::nullopt : harness_read_file(lock);
    if (!lock.empty()) {
        unlink(lock.c_str());
    }
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, bench_console(held.out));
    EXPECT_EQ(run.err, bench_console(held.err));
    EXPECT_EQ(run.log, "an earlier run\n");
    EXPECT_EQ(motor_commands(run.events), 0u);
    if (held.lock_file) {
        EXPECT_TRUE(lock_after.has_value()) << "the other program's lock was removed";
    }
    bench_summarize(held.name, run, 0);
    bench_finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    HeldPorts, E2eHeldPortTest,
    ::testing::Values(HeldPortCase{"GyroHeldOpen", "com8", false,
                                   "Gyro - could not open serial port, 16\n",
                                   "open gyro port failed\n"},
                      HeldPortCase{"MotorLocked", "com6", true,
                                   "Motor - could not open serial port, com6 16\n",
                                   "open gyro port succeeded\nopen Motor port failed\n"}),
    bench_case_name);

// Devices that fail during the sweep: the run ends with status 3 and the failing device's one
// message, soon, and every sample logged before is complete.
enum class FaultEffect {
    // Nothing more is sent to the controller: no return to zero.
    controller_lost,
    // The sweep goes on while the controller reports motion, and returns to zero.
    gyro_silent,
    // As gyro_silent, without polls once the port is gone; the frame in flight may go with it.
    gyro_port_lost,
    // The gyro answers every poll, and no frame is valid: nothing logged, the motor returned.
    no_valid_frame,
    // The motor already moves: one motion query, no move, no log.
    not_started,
};

struct DeviceFaultCase {
    const char* name;
    std::vector<std::string> options;
    // The message after the success lines: one of these, where the failing operation depends on
    // when the line went; "%d" stands for the error code of a line that hung up. The time in
    // "no answer for N ms" is measured: N is the least it may be.
    std::vector<std::string> messages;
    FaultEffect effect;
    std::size_t motor_commands = 0; // commands the controller got in all (0: not checked)
    // Standard error is a pipe whose reader goes away after the two success lines: the message
    // is lost, and nothing else may change.
    bool stderr_reader_leaves = false;
    // Another build's message for a line that hung up: Wine's reads on it may return at once
    // with nothing instead of failing, and the link then reports the silence once it has lasted.
    std::string hangup_read_as_silence{};
};

// Whether the console text is the expected one, where the silence in "no answer for N ms" may
// be longer than N (the program reports what it measured) but not by a second or more.
bool console_matches(const std::string& text, const std::string& expected) {
    const std::string silence = "no answer for ";
    const std::size_t at = expected.find(silence);
    if (at == std::string::npos) {
        return text == expected;
    }
    const std::size_t number = at + silence.size();
    const std::size_t rest = expected.find(' ', number);
    const std::size_t text_rest = text.find(' ', number);
    if (text.compare(0, number, expected, 0, number) != 0 || text_rest == std::string::npos ||
        text.substr(text_rest) != expected.substr(rest)) {
        return false;
    }
    const std::string measured = text.substr(number, text_rest - number);
    if (measured.empty() || measured.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int nominal = std::stoi(expected.substr(number, rest - number));
    const int ms = std::stoi(measured);
    return ms >= nominal && ms < nominal + 1000;
}

// Makes the sweep's standard error a pipe whose reader leaves once it has read the two success
// lines; sweep.err then holds what it read.
BenchHooks stderr_reader_leaves_after_success() {
    return {[](const SweepRun& r) { ASSERT_EQ(mkfifo((r.dir + "/sweep.err").c_str(), 0600), 0); },
            [](const SweepRun& r, pid_t) {
                const std::string path = r.dir + "/sweep.err";
                const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
                ASSERT_GE(reader, 0);
                std::string seen;
                const BenchClock::time_point start = BenchClock::now();
                while (std::count(seen.begin(), seen.end(), '\n') < 2 &&
                       BenchClock::now() - start < std::chrono::seconds(10)) {
                    std::array<char, 256> buffer{};
                    const ssize_t got = read(reader, buffer.data(), buffer.size());
                    if (got > 0) {
                        seen.append(buffer.data(), static_cast<std::size_t>(got));
                    } else {
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    }
                }
                close(reader);
                unlink(path.c_str());
                EXPECT_TRUE(harness_write_file(path, seen));
            },
            {}};
}

class E2eDeviceFaultTest : public ::testing::TestWithParam<DeviceFaultCase> {};

TEST_P(E2eDeviceFaultTest, SweepStopsWithTheDevicesMessage) {
    const DeviceFaultCase& fault = GetParam();
    if (fault.stderr_reader_leaves && !bench_native_sweep()) {
        GTEST_SKIP() << "the pipe would lead to the command in GM_E2E_SWEEP_COMMAND, not to the "
                        "program it runs";
    }
    const SweepRun run =
        bench_run(bench_sweep_argv(), bench_fast(fault.options),
                  fault.stderr_reader_leaves ? stderr_reader_leaves_after_success() : BenchHooks{});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.sim_status, 0);
    EXPECT_EQ(run.out, "");
    std::vector<std::string> messages = fault.messages;
    if (!bench_native_sweep() && !fault.hangup_read_as_silence.empty()) {
        messages.push_back(fault.hangup_read_as_silence);
    }
    std::vector<std::string> consoles;
    for (std::string message : messages) {
        if (const std::size_t code = message.find("%d"); code != std::string::npos) {
            message.replace(code, 2, bench_config().hangup_error);
        }
        if (const std::size_t polls = message.find("%n"); polls != std::string::npos) {
            message.replace(polls, 2, std::to_string(run.frames.size()));
        }
        consoles.push_back(bench_success_lines() +
                           bench_console(fault.stderr_reader_leaves ? "" : message));
    }
    EXPECT_TRUE(std::any_of(consoles.begin(), consoles.end(), [&](const std::string& c) {
        return console_matches(run.err, c);
    })) << run.err;
    EXPECT_LT(run.seconds(), bench_fault_time_bound_s);
    std::vector<Values> samples;
    if (fault.effect == FaultEffect::not_started) {
        EXPECT_FALSE(run.log.has_value());
    } else {
        ASSERT_TRUE(run.log.has_value());
        samples = parse_log(*run.log, bench_config().crlf);
    }
    if (fault.effect != FaultEffect::no_valid_frame && fault.effect != FaultEffect::not_started) {
        EXPECT_GE(samples.size(), 1u) << "the fault came before the first sample";
        expect_leading_frames_logged(samples, run.frames,
                                     fault.effect == FaultEffect::gyro_port_lost ? 1 : 0);
    }
    switch (fault.effect) {
    case FaultEffect::controller_lost:
        EXPECT_EQ(expect_cut_short_dialogue(run.events), run.frames.size());
        break;
    case FaultEffect::gyro_silent:
        EXPECT_GT(expect_sweep_dialogue(run.events), run.frames.size());
        break;
    case FaultEffect::gyro_port_lost:
        EXPECT_GE(expect_sweep_dialogue(run.events, GyroPolls::may_stop), run.frames.size());
        break;
    case FaultEffect::no_valid_frame:
        EXPECT_TRUE(samples.empty());
        EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
        break;
    case FaultEffect::not_started:
        EXPECT_EQ(dialogue_of(run.events), std::vector<std::string>{"motor pr mv"});
        break;
    }
    if (fault.motor_commands != 0) {
        EXPECT_EQ(motor_commands(run.events), fault.motor_commands);
    }
    expect_port_order(run.events);
    bench_summarize(fault.name, run, samples.size());
    bench_finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceFaults, E2eDeviceFaultTest,
    ::testing::Values(
        // The 21st command, the 20th motion query, is the first one unanswered: three reads of a
        // 100-byte answer time out, and nothing more is sent.
        DeviceFaultCase{"MotorFallsSilent",
                        {"--motor-silent-after", "20"},
                        {"Motor - no answer for 3300 ms\n"},
                        FaultEffect::controller_lost,
                        21},
        DeviceFaultCase{"MotorHangsUp",
                        {"--hangup-motor-after", "0.3"},
                        {"Motor - error reading: %d\n", "Motor - error writing: %d\n"},
                        FaultEffect::controller_lost,
                        0,
                        false,
                        "Motor - no answer for 3000 ms\n"},
        // Five reads of a 30-byte frame time out; the move ends meanwhile, and the motor goes home.
        DeviceFaultCase{"GyroFallsSilent",
                        {"--gyro-silent-after", "20"},
                        {"Gyro - no answer for 2000 ms\n"},
                        FaultEffect::gyro_silent},
        DeviceFaultCase{"GyroHangsUp",
                        {"--hangup-gyro-after", "0.3"},
                        {"Gyro - error reading: %d\n", "Gyro - error writing: %d\n"},
                        FaultEffect::gyro_port_lost,
                        0,
                        false,
                        "Gyro - no answer for 2000 ms\n"},
        // SIGPIPE ignored, the failed console line changes nothing: the motor goes home and
        // every answered poll is logged.
        DeviceFaultCase{"GyroFallsSilentAfterStderrReaderLeft",
                        {"--gyro-silent-after", "20"},
                        {"Gyro - no answer for 2000 ms\n"},
                        FaultEffect::gyro_silent,
                        0,
                        true},
        // A wrong device or a wrong data-bits setting: every poll answered, every frame bad.
        DeviceFaultCase{"BadChecksumEveryFrame",
                        {"--bad-checksum-every", "1"},
                        {"Gyro - no valid frame in %n polls\n"},
                        FaultEffect::no_valid_frame},
        // Every frame behind stray bytes: not one record made of two frames' pieces. A window
        // that starts in the strays passes the 8-bit checksum by chance once in 256 polls, so the
        // motor's time goes in lock step with the queries: the same frames on every run.
        DeviceFaultCase{"StrayBytesBeforeEveryFrame",
                        {"--stray-bytes", "5", "--lockstep-ms", "2000"},
                        {"Gyro - no valid frame in %n polls\n"},
                        FaultEffect::no_valid_frame},
        // At the plain time scale the move from the start outlasts the program's own start.
        DeviceFaultCase{"MotorStillMoving",
                        {"--moving-at-start", "--time-scale", "1"},
                        {"Motor - still moving, not starting\n"},
                        FaultEffect::not_started}),
    bench_case_name);

// A log whose device fills up: /dev/full takes nothing, and under a limit of 2048 bytes (the
// shell's "ulimit -f 4", in blocks of 512) a record's write stops part-way. Either way the sweep
// goes on, the log keeps whole records only, and the status says the log is incomplete.
struct FullDeviceCase {
    const char* name;
    bool dev_full; // else the size limit
    const char* reason;
};

class E2eFullDeviceTest : public ::testing::TestWithParam<FullDeviceCase> {};

TEST_P(E2eFullDeviceTest, LogIsReportedAfterACompleteSweepAndHoldsWholeRecords) {
    if (!bench_native_sweep()) {
        GTEST_SKIP() << "/dev/full and the shell's file size limit are of this system, not of the "
                        "one in GM_E2E_SWEEP_COMMAND";
    }
    const FullDeviceCase& full = GetParam();
    std::vector<std::string> program = bench_sweep_argv();
    if (!full.dev_full) {
        program = {"/bin/sh", "-c", "ulimit -f 4 && trap '' XFSZ && exec \"$0\"", GM_SWEEP_PATH};
    }
    const SweepRun run = bench_run(
        program, bench_fast({}),
        {.setup =
             [&](const SweepRun& r) {
                 if (full.dev_full) {
                     ASSERT_EQ(symlink("/dev/full", (r.dir + "/gyro_motor.txt").c_str()), 0);
                 }
             },
         .during = {},
         .ready = {}});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, bench_success_lines() +
                           "sample log gyro_motor.txt could not be completed: " + full.reason +
                           "\n");
    EXPECT_LT(run.seconds(), bench_fault_time_bound_s);
    // The log's failure does not cut the sweep short: every motion report got its poll, and the
    // motor went home.
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    EXPECT_GE(run.frames.size(), 10u);
    expect_port_order(run.events);
    std::size_t logged = 0;
    if (full.dev_full) {
        std::error_code ignored;
        EXPECT_TRUE(std::filesystem::is_symlink(run.dir + "/gyro_motor.txt", ignored))
            << "the log was replaced instead of opened";
    } else {
        ASSERT_TRUE(run.log.has_value());
        EXPECT_LE(run.log->size(), 2048u);
        const std::vector<Values> samples = parse_log(*run.log, false);
        logged = samples.size();
        EXPECT_GE(logged, 5u);
        expect_leading_frames_logged(samples, run.frames, run.frames.size());
    }
    // No time for a sample that is not on file.
    EXPECT_EQ(parse_times(run.times, false).size(), logged);
    bench_summarize(full.name, run, logged);
    bench_finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, E2eFullDeviceTest,
    ::testing::Values(FullDeviceCase{"DevFull", true, "No space left on device"},
                      FullDeviceCase{"FileSizeLimit", false, "File too large"}),
    bench_case_name);

} // namespace
