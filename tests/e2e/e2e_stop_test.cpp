// End to end, a sweep stopped from outside: the signals that ask it to stop, and a kill that
// leaves no torn record.
#include "tests/support/e2e_bench.h"
#include "tests/support/e2e_check.h"
#include "tests/support/process_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

// A request to stop in the middle of the sweep: the sweep stops logging, says so, returns the
// motor to zero and closes everything. A second request during that return stops it at once.
// Started under nohup (SIGHUP ignored), it ignores SIGHUP and sweeps to its end.
struct InterruptCase {
    const char* name;
    int signal;
    int status;
    bool again_during_return = false;
    bool under_nohup = false;
};

class E2eInterruptTest : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(E2eInterruptTest, SweepStopsLoggingAndReturnsWithCompleteRecords) {
    if (!bench_native_sweep()) {
        GTEST_SKIP() << "a POSIX signal to the command in GM_E2E_SWEEP_COMMAND (Wine, say) is no "
                        "console interrupt of the program it runs";
    }
    const InterruptCase& interrupt = GetParam();
    std::optional<BenchClock::time_point> signalled;
    // A sweep of 6.35 s: well under way after 20 polls, far from its end; the return from there
    // lasts about half a second.
    const SweepRun run = bench_run_sweep(
        {"--no-pacing", "--time-scale", "4"},
        [&](const SweepRun& r, pid_t sweep) {
            const std::string transcript = r.dir + "/transcript.txt";
            if (!bench_wait_for_events(transcript, " gyro G", 20, 10.0)) {
                return;
            }
            kill(sweep, interrupt.signal);
            signalled = BenchClock::now();
            if (interrupt.again_during_return) {
                if (!bench_wait_for_events(transcript, " motor ma 0", 1, 10.0)) {
                    signalled.reset();
                    return;
                }
                kill(sweep, interrupt.signal);
                signalled = BenchClock::now();
            }
        },
        interrupt.under_nohup ? std::vector<std::string>{"/usr/bin/nohup", GM_SWEEP_PATH}
                              : bench_sweep_argv());
    ASSERT_TRUE(signalled.has_value()) << "the sweep never made 20 polls, or never returned";
    if (interrupt.under_nohup) {
        expect_clean_completion(run);
        return bench_finish(run);
    }
    EXPECT_EQ(run.status, interrupt.status);
    EXPECT_EQ(run.out, "");
    const double stop_s = std::chrono::duration<double>(run.ended - *signalled).count();
    std::printf("%s: ended %.3f s after the last signal\n", interrupt.name, stop_s);
    const std::vector<std::string> seen = dialogue_of(run.events);
    if (interrupt.again_during_return) {
        EXPECT_EQ(run.err, bench_success_lines() + "sweep interrupted\nreturn interrupted\n");
        // The longest wait, a silent read of a 100-byte answer, lasts 1.1 s.
        EXPECT_LT(stop_s, 2.0);
        // After the return's move only motion queries, the one under way the last: no speed.
        const auto move_back = std::find(seen.begin(), seen.end(), "motor ma 0");
        ASSERT_NE(move_back, seen.end());
        EXPECT_TRUE(std::all_of(move_back + 1, seen.end(),
                                [](const std::string& text) { return text == "motor pr mv"; }));
    } else {
        EXPECT_EQ(run.err, bench_success_lines() + "sweep interrupted\n");
        EXPECT_LT(stop_s, 3.0);
        EXPECT_GE(expect_sweep_dialogue(run.events, GyroPolls::until_interrupt), 20u);
    }
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, bench_config().crlf);
    EXPECT_GE(samples.size(), 19u);
    // A frame that came while the program stopped its read is not logged.
    expect_leading_frames_logged(samples, run.frames, 1);
    expect_port_order(run.events);
    bench_summarize(interrupt.name, run, samples.size());
    bench_finish(run);
}

INSTANTIATE_TEST_SUITE_P(Signals, E2eInterruptTest,
                         ::testing::Values(InterruptCase{"Sigint", SIGINT, 130},
                                           InterruptCase{"Sigterm", SIGTERM, 143},
                                           InterruptCase{"Sighup", SIGHUP, 129},
                                           InterruptCase{"SigintTwice", SIGINT, 130, true},
                                           InterruptCase{"Nohup", SIGHUP, 0, false, true}),
                         bench_case_name);

// A kill leaves no torn record: when the poll after the 20th answered one comes (the gyro falls
// silent at it), all 20 records are on file, whole, with their times.
TEST(E2eTest, KilledSweepLeavesEveryAnsweredPollAsAWholeRecord) {
    if (!bench_native_sweep()) {
        GTEST_SKIP()
            << "a POSIX signal to the command in GM_E2E_SWEEP_COMMAND (Wine, say) does not "
               "kill the program it runs";
    }
    bool killed = false;
    const SweepRun run = bench_run_sweep(
        bench_fast({"--gyro-silent-after", "20"}), [&](const SweepRun& r, pid_t sweep) {
            killed = bench_wait_for_events(r.dir + "/transcript.txt", " gyro G", 21, 10.0) &&
                     kill(sweep, SIGKILL) == 0;
        });
    ASSERT_TRUE(killed) << "the sweep never made 21 polls";
    EXPECT_EQ(run.status, -SIGKILL);
    ASSERT_TRUE(run.log.has_value());
    const std::vector<Values> samples = parse_log(*run.log, false);
    EXPECT_EQ(samples.size(), 20u);
    expect_leading_frames_logged(samples, run.frames, 0);
    EXPECT_EQ(parse_times(run.times, false).size(), 20u);
    bench_summarize("Sigkill", run, samples.size());
    bench_finish(run);
}

} // namespace
