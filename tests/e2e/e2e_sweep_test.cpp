// End to end, sweeps that must complete: the plain bench, whose every frame is logged with its
// time, paced lines, controller and line variants the sweep must not notice, and frames that
// reach the port in pieces or behind stray bytes.
#include "tests/support/e2e_bench.h"
#include "tests/support/e2e_check.h"
#include "tests/support/process_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

// Each sample's time is its poll's moment as the simulator saw it, counted from the move command:
// the median of the differences is how late a busy machine let the simulator see the move.
void expect_times_of_polls(std::vector<double> times, const std::vector<Event>& events) {
    std::optional<double> move_ms;
    std::size_t poll = 0;
    for (const Event& event : events) {
        move_ms = event.text == "motor ma 1000000" ? event.ms : move_ms;
        if (event.text == "gyro G" && move_ms && poll < times.size()) {
            times[poll++] -= (event.ms - *move_ms) / 1000;
        }
    }
    ASSERT_TRUE(poll == times.size() && poll > 0) << "times without a poll, or none";
    std::sort(times.begin(), times.end());
    EXPECT_LT(std::fabs(times[times.size() / 2]), 0.05) << "median difference, s";
}

TEST(E2eTest, FullSweepLogsEveryFrameAndReplacesAnEarlierLog) {
    // An argument other than a request for help is ignored.
    const SweepRun run = bench_run(
        bench_sweep_argv({"com6"}), bench_fast({}),
        {.setup =
             [](const SweepRun& r) {
                 ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor.txt", "an earlier run\n"));
                 ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor_times.txt", "99.0000\n"));
             },
         .during = {},
         .ready = {}});
    EXPECT_EQ(run.sim_status, 0);
    const std::vector<Values> samples = expect_clean_completion(run);
    EXPECT_GE(samples.size(), 10u);
    expect_every_good_frame_logged(samples, run.frames);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    expect_port_order(run.events);
    // The platform turned once round while it was sampled.
    bool west = false;
    bool east = false;
    for (const Values& sample : samples) {
        west = west || sample[2] < -90.0;
        east = east || sample[2] > 90.0;
    }
    EXPECT_TRUE(west && east);
    const std::vector<double> times = parse_times(run.times, bench_config().crlf);
    EXPECT_EQ(times.size(), samples.size());
    expect_times_of_polls(times, run.events);
    bench_finish(run);
}

// Options of the simulator for one case.
struct FrameFaultCase {
    const char* name;
    std::vector<std::string> options;
    bool frames_lost = false; // some frames are sent bad (else none is lost)
};

// Controller and line variants the sweep must not notice, and faults that cost single frames:
// each run still ends normally, with the good frames logged.
class E2eControllerTest : public ::testing::TestWithParam<FrameFaultCase> {};

TEST_P(E2eControllerTest, SweepCompletesAsWithThePlainController) {
    const SweepRun run = bench_run_sweep(bench_fast(GetParam().options));
    const std::vector<Values> samples = expect_clean_completion(run);
    if (GetParam().frames_lost) {
        std::size_t good = 0;
        for (const FrameRecord& frame : run.frames) {
            good += is_good(frame) ? 1u : 0u;
        }
        EXPECT_LT(good, run.frames.size()); // the fault did happen
    } else {
        EXPECT_GE(samples.size(), 10u);
    }
    expect_every_good_frame_logged(samples, run.frames);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    EXPECT_LT(run.seconds(), bench_fault_time_bound_s);
    bench_summarize(GetParam().name, run, samples.size());
    bench_finish(run);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, E2eControllerTest,
    ::testing::Values(FrameFaultCase{"Echo", {"--echo"}},
                      FrameFaultCase{"QuestionPrompts", {"--question-prompts"}},
                      FrameFaultCase{"EchoAndQuestionPrompts", {"--echo", "--question-prompts"}},
                      // What a run cut short leaves waiting on both lines.
                      FrameFaultCase{"Leftovers", {"--leftovers"}},
                      // A gyro line left translating by an earlier program, and frames of
                      // nothing but the bytes it would change: each is logged exactly.
                      FrameFaultCase{"TranslatingGyroLineAwkwardFrames",
                                     {"--translating-gyro-line", "--awkward-frames"}},
                      FrameFaultCase{"BadChecksum", {"--bad-checksum-every", "3"}, true}),
    bench_case_name);

// Frames that reach the port in pieces (split by a pause, or by a USB adapter's latency tick) or
// behind stray bytes. The sweep completes without a message; every frame that strays did not hit
// is logged whole (at least 95 % of them, as a busy machine may delay a reply past the time-outs)
// and every logged record is a frame as sent. The one exception is a window that starts in stray
// bytes and passes the 8-bit checksum by chance (1 in 256 of the polls that strays hit); those are
// counted as wrong and reported.
struct FramesKept {
    std::size_t sent = 0;
    std::size_t hit_by_strays = 0; // or sent with a bad checksum: not to be logged
    std::size_t kept = 0;          // of the others, logged whole
    std::size_t wrong = 0;         // logged windows that start in stray bytes
};

FramesKept expect_frames_kept(const std::vector<Values>& samples,
                              const std::vector<FrameRecord>& frames) {
    const SampleMatch match = match_samples(samples, frames);
    FramesKept result;
    result.sent = frames.size();
    std::vector<bool> logged(frames.size(), false);
    for (const std::size_t index : match.frame_index) {
        if (index != SIZE_MAX) {
            logged[index] = true;
        }
    }
    std::size_t offset = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::size_t strays = frames[i].bytes.size() - 30;
        const bool eligible = is_good(frames[i]) || frames[i].kind == "split";
        result.hit_by_strays += eligible ? 0u : 1u;
        result.kept += eligible && logged[i] ? 1u : 0u;
        EXPECT_TRUE(eligible || !logged[i]) << "frame " << i + 1 << " (" << frames[i].kind << ")";
        for (std::size_t s = 0; s < samples.size(); ++s) {
            const std::size_t start = match.start[s];
            if (match.frame_index[s] == SIZE_MAX && start >= offset && start < offset + strays) {
                ++result.wrong;
            }
        }
        offset += frames[i].bytes.size();
    }
    EXPECT_EQ(match.aligned + result.wrong, samples.size()) << "records that straddle two frames";
    EXPECT_GE(result.kept * 100, (result.sent - result.hit_by_strays) * 95)
        << result.kept << " of " << result.sent - result.hit_by_strays << " frames logged";
    return result;
}

// Samples per second from the first gyro poll to the last in the simulator's transcript.
double samples_per_second(const std::vector<Event>& events, std::size_t samples) {
    std::optional<double> first;
    double last = 0.0;
    for (const Event& event : events) {
        if (event.text == "gyro G") {
            first = first.value_or(event.ms);
            last = event.ms;
        }
    }
    return first && last > *first ? static_cast<double>(samples) * 1000.0 / (last - *first) : 0.0;
}

class E2eFramesInPiecesTest : public ::testing::TestWithParam<FrameFaultCase> {};

TEST_P(E2eFramesInPiecesTest, EveryFrameStraysDidNotHitIsLoggedWhole) {
    const SweepRun run = bench_run_sweep(GetParam().options);
    const std::vector<Values> samples = expect_clean_completion(run);
    const FramesKept kept = expect_frames_kept(samples, run.frames);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    EXPECT_LT(run.seconds(), bench_fault_time_bound_s);
    std::printf(
        "[ frames   ] %s | %zu sent | %zu hit by strays | %zu of the others kept (%.1f %%) | "
        "%zu wrong | %.2f samples/s\n",
        GetParam().name, kept.sent, kept.hit_by_strays, kept.kept,
        kept.sent > kept.hit_by_strays ? 100.0 * static_cast<double>(kept.kept) /
                                             static_cast<double>(kept.sent - kept.hit_by_strays)
                                       : 100.0,
        kept.wrong, samples_per_second(run.events, samples.size()));
    bench_summarize(GetParam().name, run, samples.size());
    bench_finish(run);
}

// Paced lines behind the adapter model: at line rate a 7.8 ms frame spans one to several ticks.
// The model sits on both lines, so the controller's answers come in pieces too. Time scale 5
// gives some 70 (16 ms) to 120 (1 ms) frames.
std::vector<std::string> on_adapter(const char* tick_ms, std::vector<std::string> options) {
    options.insert(options.begin(), {"--time-scale", "5", "--usb-tick-ms", tick_ms});
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, E2eFramesInPiecesTest,
    ::testing::Values(
        FrameFaultCase{"SplitFrames", bench_fast({"--split-every", "8"})},
        FrameFaultCase{"StrayBytesBeforeEveryTenthFrame",
                       bench_fast({"--stray-bytes", "3", "--stray-every", "10"})},
        FrameFaultCase{"UsbTick1msWithStrays",
                       on_adapter("1", {"--stray-bytes", "3", "--stray-every", "20"})},
        FrameFaultCase{"UsbTick16msWithStrays",
                       on_adapter("16", {"--stray-bytes", "3", "--stray-every", "20"})}),
    bench_case_name);

TEST(E2eTest, PacedLinesStillSweepCompletely) {
    // Real line rates and latencies; a busy machine may split a frame by delay, so the log is
    // checked as for split frames, and must hold samples.
    const SweepRun run = bench_run_sweep({"--time-scale", "20"});
    const std::vector<Values> samples = expect_clean_completion(run);
    const SampleMatch match = match_samples(samples, run.frames);
    EXPECT_GE(match.aligned, 5u);
    EXPECT_EQ(expect_sweep_dialogue(run.events), run.frames.size());
    bench_finish(run);
}

} // namespace
