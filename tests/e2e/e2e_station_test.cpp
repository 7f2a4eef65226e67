// End to end, the test station over the simulated bench, serials from standard input: sensors
// that fail against tight limits until --max-tries refuses them, one that passes and is not swept
// again without a reason, one tried with the simulator stopped (an ERROR, never the earlier
// sensor's PASS), and one whose sweep Ctrl-C stops (ABORTED, the motor back at zero). The report's
// two ways to archive a sweep that is not this sensor's whole sweep: a stale log, a gyro that
// fell silent. And one serial given on the command line, which the Windows zip runs under Wine.
#include "tests/support/e2e_bench.h"
#include "tests/support/e2e_check.h"
#include "tests/support/process_harness.h"
#include "tests/support/test_database.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// At four times the real speed: a sensor without errors, which the wide limits pass with room to
// spare even on a busy machine, and the verdict's end-to-end sensor, which the tight limits fail
// on its compass deviation and yaw-rate scale.
const std::vector<std::string> sensor = harness_split_words("--time-scale 4 --no-pacing");
const std::vector<std::string> faulty = harness_split_words(
    "--time-scale 4 --no-pacing --compass-deviation 0.6,-0.3,0.2,0.1 --yaw-scale-error 0.8");

std::string limits_file(const char* name) {
    return std::string(GM_LIMITS_DATA) + "/" + name;
}

// The program of the build under test with its standard input from a file of the run folder.
std::vector<std::string> with_input(std::vector<std::string> argv, const std::string& input) {
    if (argv.size() == 3 && argv[0] == "/bin/sh" && argv[1] == "-c") {
        argv[2] += " <" + input;
        return argv;
    }
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <" + input});
    return argv;
}

std::vector<std::string> station(const std::vector<std::string>& arguments) {
    const auto argv = bench_program_argv("gyro_motor_station", arguments);
    return argv ? *argv : std::vector<std::string>{};
}

// The records of a sensor in the archive, in time order: their report.json.
std::vector<nlohmann::json> records_of(const std::string& archive, const std::string& serial) {
    std::vector<fs::path> folders;
    std::error_code ignored;
    for (fs::directory_iterator it(archive + "/" + serial, ignored), end; it != end;
         it.increment(ignored)) {
        folders.push_back(it->path());
    }
    std::sort(folders.begin(), folders.end());
    std::vector<nlohmann::json> records;
    for (const fs::path& folder : folders) {
        nlohmann::json json = nlohmann::json::parse(
            harness_read_file((folder / "report.json").string()).value_or(""), nullptr, false);
        json["folder"] = folder.string();
        records.push_back(std::move(json));
    }
    return records;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(bench_console(part)) != std::string::npos;
}

class E2eStationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (station({}).empty()) {
            GTEST_SKIP() << "the companion programs of the sweep under test are not given";
        }
        archive = harness_make_temp_dir("gm_e2e_archive_");
    }
    void TearDown() override {
        if (!HasFailure()) {
            harness_remove_tree(archive);
        } else {
            std::printf("archive kept: %s\n", archive.c_str());
        }
    }
    // A station session in a fresh run folder against the simulated sensor, the serials as input.
    SweepRun session(const char* limits, const std::string& serials,
                     std::vector<std::string> options = {}, const BenchHooks& hooks = {},
                     const std::vector<std::string>& sim_options = sensor) {
        options.insert(options.begin(), {"--limits", limits_file(limits), "--archive", archive,
                                         "--operator", "e2e"});
        options = with_database(options);
        BenchHooks with_serials = hooks;
        with_serials.setup = [&serials](const SweepRun& run) {
            ASSERT_TRUE(harness_write_file(run.dir + "/serials.txt", serials));
        };
        return bench_run(with_input(station(options), "serials.txt"), sim_options, with_serials);
    }
    // The arguments, with --database where the session writes to one.
    std::vector<std::string> with_database(std::vector<std::string> arguments) const {
        if (!database.empty()) {
            arguments.insert(arguments.end(), {"--database", database});
        }
        return arguments;
    }
    // gyro_motor_history's standard output, run in `dir`.
    std::string history_of(const std::string& dir, const std::vector<std::string>& arguments) {
        const pid_t history = harness_spawn(*bench_program_argv("gyro_motor_history", arguments),
                                            dir, dir + "/history.out", dir + "/history.err");
        EXPECT_EQ(harness_wait(history, 60.0), 0)
            << harness_read_file(dir + "/history.err").value_or("");
        return harness_read_file(dir + "/history.out").value_or("");
    }
    std::string archive;
    std::string database; // empty: the tests' database server is not up
};

} // namespace

TEST_F(E2eStationTest, ASessionRecordsEveryAttemptWithItsOutcome) {
    if (!bench_native_sweep()) {
        GTEST_SKIP() << "the whole session runs in the native build; the zip's runs one serial";
    }
    // Where the tests' database server is up, every attempt goes to it too.
    std::string why;
    if (const std::optional<std::string> server = test_database_server(why)) {
        std::string error;
        ASSERT_TRUE(test_database_fresh(*server, "gm_station", database, error)) << error;
    }
    // Tight limits: two FAIL records, then the third attempt is refused, and so is the same
    // sensor spelt otherwise, before it is swept.
    const SweepRun failing =
        session("e2e_tight.toml", "SN-F\nSN-F\nSN-F\nsn-f\n", {"--max-tries", "2"}, {}, faulty);
    EXPECT_EQ(failing.status, 0) << failing.err;
    EXPECT_TRUE(has(failing.out, "Serial: SN-F\nSN-F refused: 2 failed or errored attempts on "
                                 "record (--max-tries 2)\nSerial: sn-f\nsn-f refused: \"sn-f\": "))
        << failing.out;
    EXPECT_TRUE(has(failing.out, " holds this sensor as \"SN-F\": serials that differ only in "
                                 "letter case are one sensor's\nSerial: \nSession: "))
        << failing.out;
    EXPECT_TRUE(has(failing.out, "Verdict: FAIL ("));
    EXPECT_TRUE(has(failing.out, "Session: swept 2, passed 0, failed 2, errors 0, aborted 0\n"));
    const std::vector<nlohmann::json> failed = records_of(archive, "SN-F");
    ASSERT_EQ(failed.size(), 2u);
    for (const nlohmann::json& record : failed) {
        EXPECT_EQ(record["record"]["outcome"], "FAIL");
        EXPECT_EQ(record["record"]["program"], "gyro_motor_station");
        EXPECT_EQ(record["record"]["sweep"]["status"], 0);
    }
    bench_finish(failing);

    // Wide limits: a PASS, and the same serial again with no reason is skipped.
    const SweepRun passing = session("e2e_wide.toml", "SN-P\nSN-P\n\n");
    EXPECT_EQ(passing.status, 0) << passing.err;
    EXPECT_TRUE(has(passing.out, "Serial: SN-P\nSN-P has a PASS record. Reason to sweep it "
                                 "again (empty: skip): \nSN-P skipped\n"))
        << passing.out;
    EXPECT_TRUE(has(passing.out, "Session: swept 1, passed 1, failed 0, errors 0, aborted 0\n"));
    const std::vector<nlohmann::json> passed = records_of(archive, "SN-P");
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_EQ(passed[0]["record"]["outcome"], "PASS");
    EXPECT_EQ(passed[0]["record"]["operator"], "e2e");
    EXPECT_EQ(passed[0]["record"]["reason"], nullptr);
    EXPECT_EQ(passed[0]["record"]["sweep"]["samples"], passed[0]["samples"]);

    // The simulator stopped, in the same folder: the next sensor is an ERROR, not SN-P's PASS
    // again, and its record holds no log.
    ASSERT_TRUE(harness_write_file(passing.dir + "/serials.txt", "SN-E\n"));
    const std::string earlier_log = harness_read_file(passing.dir + "/gyro_motor.txt").value_or("");
    const pid_t stopped =
        harness_spawn(with_input(station(with_database({"--limits", limits_file("e2e_wide.toml"),
                                                        "--archive", archive})),
                                 "serials.txt"),
                      passing.dir, passing.dir + "/stopped.out", passing.dir + "/stopped.err");
    EXPECT_EQ(harness_wait(stopped, 60.0), 0);
    const std::string stopped_out = harness_read_file(passing.dir + "/stopped.out").value_or("");
    EXPECT_TRUE(has(stopped_out, "ERROR: the last sweep (status 1: open gyro port failed) did "
                                 "not replace the log, which is an earlier sweep's\n"))
        << stopped_out;
    EXPECT_TRUE(has(stopped_out, "Session: swept 1, passed 0, failed 0, errors 1, aborted 0\n"));
    const std::vector<nlohmann::json> errored = records_of(archive, "SN-E");
    ASSERT_EQ(errored.size(), 1u);
    EXPECT_EQ(errored[0]["record"]["outcome"], "ERROR");
    EXPECT_EQ(errored[0]["record"]["sweep"]["log_replaced"], false);
    EXPECT_FALSE(errored[0].contains("heading"));
    EXPECT_FALSE(fs::exists(errored[0]["folder"].get<std::string>() + "/gyro_motor.txt"));
    EXPECT_EQ(harness_read_file(passing.dir + "/gyro_motor.txt"), earlier_log);

    // The report, asked to archive that log under a new serial, does not pass it either.
    const pid_t report = harness_spawn(
        *bench_program_argv("gyro_motor_report",
                            with_database({"--limits", limits_file("e2e_wide.toml"), "--serial",
                                           "SN0052", "--archive", archive, "gyro_motor.txt"})),
        passing.dir, passing.dir + "/report.out", passing.dir + "/report.err");
    EXPECT_EQ(harness_wait(report, 60.0), 7);
    const std::vector<nlohmann::json> stale = records_of(archive, "SN0052");
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(stale[0]["record"]["outcome"], "ERROR");
    EXPECT_TRUE(stale[0]["record"]["reason"].get<std::string>().starts_with("the last sweep"));
    EXPECT_EQ(stale[0]["verdict"], nullptr);
    bench_finish(passing);

    // Ctrl-C to the station's process group in the middle of a sweep: the sweep returns the
    // motor to zero, the attempt is ABORTED, and the loop goes on to the end of its input.
    const SweepRun aborted = session(
        "e2e_wide.toml", "SN-A\n", {},
        {.setup = {},
         .during =
             [](const SweepRun& run, pid_t group) {
                 if (bench_wait_for_events(run.dir + "/transcript.txt", " gyro G", 20, 20.0)) {
                     kill(-group, SIGINT);
                 }
             },
         .ready = {}});
    EXPECT_EQ(aborted.status, 0) << aborted.err;
    EXPECT_TRUE(has(aborted.out, "Session: swept 1, passed 0, failed 0, errors 0, aborted 1\n"))
        << aborted.out;
    const std::vector<std::string> dialogue = dialogue_of(aborted.events);
    EXPECT_NE(std::find(dialogue.begin(), dialogue.end(), "motor ma 0"), dialogue.end());
    EXPECT_EQ(dialogue.back(), "motor vm 40000");
    const std::vector<nlohmann::json> stopped_by_user = records_of(archive, "SN-A");
    ASSERT_EQ(stopped_by_user.size(), 1u);
    EXPECT_EQ(stopped_by_user[0]["record"]["outcome"], "ABORTED");
    EXPECT_EQ(stopped_by_user[0]["record"]["sweep"]["status"], 130);
    EXPECT_EQ(stopped_by_user[0]["record"]["sweep"]["message"], "sweep interrupted");

    // The database holds every attempt with its outcome: its history is the folder's.
    if (!database.empty()) {
        const std::string sweeps = history_of(aborted.dir, {"--sweeps", "--csv", "-", archive});
        EXPECT_NE(sweeps.find(",ABORTED,"), std::string::npos) << sweeps;
        // The database keeps no reason of an ERROR or ABORTED sweep (docs/database.md): its
        // `why` is empty there.
        const std::string without_reasons = std::regex_replace(
            sweeps, std::regex(R"((,(?:ERROR|ABORTED),)(?:"(?:[^"]|"")*"|[^,\n]*),)"), "$1,");
        EXPECT_NE(without_reasons, sweeps);
        EXPECT_EQ(history_of(aborted.dir, {"--sweeps", "--csv", "-", "--database", database}),
                  without_reasons);
        const std::string summary = history_of(aborted.dir, {"--summary", "--json", "-", archive});
        EXPECT_NE(summary.find("\"errors\": 2,"), std::string::npos) << summary;
        EXPECT_EQ(history_of(aborted.dir, {"--summary", "--json", "-", "--database", database}),
                  summary);
    }
    bench_finish(aborted);
}

// A gyro that falls silent near the end: gyro_motor ends with status 3, and the report keeps the
// log with the reason as an ERROR, never a PASS.
TEST_F(E2eStationTest, TheReportRecordsAFailedSweepAsAnError) {
    std::vector<std::string> silent = faulty;
    silent.insert(silent.end(), {"--gyro-silent-after", "120"});
    const SweepRun run = bench_run_sweep(silent);
    ASSERT_EQ(run.status, 3) << run.err;
    const auto report_argv = bench_program_argv(
        "gyro_motor_report", {"--limits", limits_file("e2e_wide.toml"), "--serial", "SN0051",
                              "--archive", archive, "gyro_motor.txt"});
    const pid_t report =
        harness_spawn(*report_argv, run.dir, run.dir + "/report.out", run.dir + "/report.err");
    EXPECT_EQ(harness_wait(report, 60.0), 7);
    const std::string out = harness_read_file(run.dir + "/report.out").value_or("");
    EXPECT_TRUE(has(out, "Outcome: ERROR: the sweep failed (status 3: Gyro - no answer for "))
        << out;
    EXPECT_FALSE(has(out, "Verdict: PASS"));
    const std::vector<nlohmann::json> records = records_of(archive, "SN0051");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["record"]["outcome"], "ERROR");
    EXPECT_EQ(records[0]["record"]["sweep"]["status"], 3);
    EXPECT_EQ(harness_read_file(records[0]["folder"].get<std::string>() + "/gyro_motor.txt"),
              run.log);
    EXPECT_TRUE(records[0]["heading"].is_object()) << "the figures are kept, unjudged";
    bench_finish(run);
}

// One serial from the command line: no prompt, the outcome as the exit status. The Windows zip's
// station runs this one under Wine, its gyro_motor.exe started beside it; the limits and the
// archive are named within the run folder, as a bench PC would name its own.
TEST_F(E2eStationTest, OneSerialFromTheCommandLine) {
    const std::string toml = harness_read_file(limits_file("e2e_wide.toml")).value_or("");
    const SweepRun run =
        bench_run(station({"--limits", "e2e_wide.toml", "--archive", "archive", "--serial", "SN-W",
                           "--station", "bench-9"}),
                  sensor,
                  {.setup =
                       [&toml](const SweepRun& r) {
                           ASSERT_TRUE(harness_write_file(r.dir + "/e2e_wide.toml", toml));
                           fs::create_directory(r.dir + "/archive");
                       },
                   .during = {},
                   .ready = {}});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_FALSE(has(run.out, "Serial: "));
    EXPECT_TRUE(has(run.out, "archived ")) << run.out;
    const std::vector<nlohmann::json> records = records_of(run.dir + "/archive", "SN-W");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["record"]["outcome"], "PASS");
    EXPECT_EQ(records[0]["record"]["station"], "bench-9");
    EXPECT_EQ(records[0]["verdict"]["result"], "PASS");
    const std::string folder = records[0]["folder"].get<std::string>();
    EXPECT_EQ(harness_read_file(folder + "/gyro_motor.txt"), run.log);
    EXPECT_EQ(harness_read_file(folder + "/gyro_motor_run.txt"),
              harness_read_file(run.dir + "/gyro_motor_run.txt"));
    bench_finish(run);
}
