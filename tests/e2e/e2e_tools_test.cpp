// End to end, the companion programs on the simulated bench: the report recovers the errors the
// simulator injects into a real sweep, and gyro_motor_home drives the controller; no program's
// arguments move anything, and each takes its help, names and files as its platform's users do.
#include "tests/support/e2e_bench.h"
#include "tests/support/e2e_check.h"
#include "tests/support/process_harness.h"
#include "tests/support/report_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// The record that a report's last line names: "archived ./SN-7/NAME" (.\SN-7\NAME on Windows).
std::string archived_name(const std::string& out) {
    std::string name = out.substr(out.find_last_of("/\\", out.size() - 2) + 1);
    name.erase(name.find_first_of("\r\n"));
    return name;
}

// A certificate with what two reports of one log may differ in marked: the times (the record's
// own, in UTC and local, and the title's), the station's name and the pictures (drawn by
// whichever gnuplot there is).
std::string certificate_comparable(const std::string& page) {
    std::string kept;
    for (std::size_t start = 0; start < page.size();) {
        const std::size_t end = std::min(page.find('\n', start), page.size());
        const std::string line = page.substr(start, end - start);
        start = end + 1;
        if (line.starts_with("<title>")) {
            kept += "[title]\n";
        } else if (line == "<div class=\"pictures\">") {
            start = page.find("</div>\n", start) + 7;
            kept += "[pictures]\n";
        } else if (line.starts_with("<p class=\"note\" id=\"no-pictures\">")) {
            kept += "[pictures]\n";
        } else {
            bool marked = false;
            for (const char* fact : {"Tested (UTC)", "Local time", "Station"}) {
                if (line.starts_with(std::string("<tr><th>") + fact + "</th>")) {
                    kept += std::string("[") + fact + "]\n";
                    marked = true;
                }
            }
            if (!marked) {
                kept += line + "\n";
            }
        }
    }
    return kept;
}

// The report of a sweep's log as JSON, with the times beside the log if there are any.
nlohmann::json report_of(const SweepRun& run, const std::string& log) {
    const std::string json = run.dir + "/" + log + ".json";
    const pid_t report =
        harness_spawn({GM_REPORT_PATH, "--turn-rate", "14.4", "--json", json, run.dir + "/" + log},
                      run.dir, run.dir + "/report.out", run.dir + "/report.err");
    EXPECT_EQ(harness_wait(report, 30.0), 0)
        << harness_read_file(run.dir + "/report.err").value_or("");
    return nlohmann::json::parse(harness_read_file(json).value_or(""), nullptr, false);
}

// A sensor with every kind of known error, swept through the real program at the real speed on
// the wall clock of an irregular bench (each answer a little late at random, every 200th gyro
// answer stalled by a quarter of a second), then reported on: with the sweep's times the report
// gives back what the simulator injected, while the same sweep fitted by sample number misses by
// far more.
TEST(E2eTest, TheReportRecoversTheSensorErrorsTheSimulatorInjects) {
    const SensorErrors errors{.b = -1.0,
                              .c = 0.6,
                              .d = 0.3,
                              .e = -0.4,
                              .hard_x = -0.08,
                              .hard_y = 0.12,
                              .major = 0.3,
                              .minor = 0.18,
                              .angle = -55,
                              .scale_percent = -1.5,
                              .tilt = 0.8,
                              .azimuth = 200,
                              .mount_roll = -0.5,
                              .mount_pitch = 0.7};
    std::vector<std::string> options = harness_split_words(
        "--time-scale 1 --answer-jitter-ms 8 --gyro-stall-every 200 --gyro-stall-ms 250");
    const std::vector<std::pair<const char*, std::vector<double>>> injections = {
        {"--compass-deviation", {errors.b, errors.c, errors.d, errors.e}},
        {"--hard-iron", {errors.hard_x, errors.hard_y}},
        {"--soft-iron", {errors.major, errors.minor, errors.angle}},
        {"--yaw-scale-error", {errors.scale_percent}},
        {"--tilt", {errors.tilt, errors.azimuth}},
        {"--mount-offset", {errors.mount_roll, errors.mount_pitch}}};
    for (const auto& [option, values] : injections) {
        std::string text;
        for (const double value : values) {
            // Appended piece by piece: GCC 12 at -O3 takes "a" + std::string for an overlapping
            // copy (-Wrestrict).
            if (!text.empty()) {
                text += ',';
            }
            text += std::to_string(value);
        }
        options.insert(options.end(), {option, text});
    }
    const SweepRun run = bench_run_sweep(options);
    const std::size_t samples = expect_clean_completion(run).size();
    EXPECT_EQ(harness_split_lines(run.times.value_or("")).size(), samples);

    const nlohmann::json timed = report_of(run, "gyro_motor.txt");
    ASSERT_TRUE(timed.is_object()) << "no report";
    EXPECT_EQ(timed["sampling"]["timed"], true);
    expect_report_recovers(timed, errors);
    // The ramps at both ends are left out of the cruise, which covers nearly the whole turn.
    EXPECT_GT(timed["cruise"]["first"].get<int>(), 1);
    EXPECT_LT(timed["cruise"]["last"].get<int>(), timed["samples"].get<int>());
    EXPECT_GT(timed["heading"]["turned_deg"].get<double>(), 340);
    EXPECT_GT(timed["sampling"]["max_interval_ms"].get<double>(), 250); // a stall was met
    // Against the clock the turn is the controller's 40000 units/s: 14.4 deg/s within 0.05 %.
    EXPECT_NEAR(timed["heading"]["turn_rate_dps"].get<double>(), 14.4, 14.4 * 0.0005);

    // The same log without its times, as an older sweep left it.
    ASSERT_TRUE(harness_write_file(run.dir + "/untimed.txt", run.log.value_or("")));
    const nlohmann::json untimed = report_of(run, "untimed.txt");
    ASSERT_TRUE(untimed.is_object()) << "no report";
    EXPECT_EQ(untimed["sampling"]["timed"], false);
    double timed_miss = 0;
    double untimed_miss = 0;
    const std::array<std::pair<const char*, double>, 4> injected{
        {{"B_deg", errors.b}, {"C_deg", errors.c}, {"D_deg", errors.d}, {"E_deg", errors.e}}};
    for (const auto& [key, value] : injected) {
        timed_miss = std::max(timed_miss, std::fabs(timed["heading"][key].get<double>() - value));
        untimed_miss =
            std::max(untimed_miss, std::fabs(untimed["heading"][key].get<double>() - value));
    }
    EXPECT_LT(timed_miss, 0.05);
    EXPECT_GT(untimed_miss, 0.3);
    std::printf("[ report   ] B-E missed by %.4f deg with the times, %.3f deg by sample number\n",
                timed_miss, untimed_miss);
    std::printf("[ report   ] %s\n", timed.dump().c_str());
    bench_finish(run);
}

// A sensor whose compass deviation and yaw-rate scale are known, checked by the report of this
// run (under Wine the Windows one) against limits that three of its figures exceed: the verdict
// fails on exactly those. Against wider limits the same sweep passes. Each time the sweep is
// archived, and the record holds the log, its times and the limits byte for byte, the report as
// printed and its JSON with the verdict and the record's own facts.
TEST(E2eTest, AVerdictOnTheInjectedErrorsAndTheRecordOfIt) {
    // Four times the real speed, the scale error against the turn rate the report measures.
    const SweepRun run = bench_run_sweep(harness_split_words(
        "--time-scale 4 --no-pacing --compass-deviation 0.6,-0.3,0.2,0.1 --yaw-scale-error 0.8"));
    expect_clean_completion(run);
    const std::set<std::string> exceeded = {"heading.B_deg", "heading.peak_deviation_deg",
                                            "yaw_rate.scale_error_percent"};
    for (const auto& [limits, failed] : {std::pair{"e2e_tight.toml", exceeded},
                                         std::pair{"e2e_wide.toml", std::set<std::string>{}}}) {
        const std::string toml =
            harness_read_file(std::string(GM_LIMITS_DATA) + "/" + limits).value_or("");
        ASSERT_TRUE(harness_write_file(run.dir + "/" + limits, toml));
        std::filesystem::create_directories(run.dir + "/archive");
        const auto report_argv = bench_program_argv(
            "gyro_motor_report",
            {"--limits", limits, "--serial", "SN-7", "--archive", "archive", "--operator", "e2e",
             "--lot", "L17", "--part", "HS-200 rev B", "gyro_motor.txt"});
        if (!report_argv) {
            GTEST_SKIP() << "the companion programs of the sweep under test are not given";
        }
        const pid_t report =
            harness_spawn(*report_argv, run.dir, run.dir + "/report.out", run.dir + "/report.err");
        EXPECT_EQ(harness_wait(report, 60.0), failed.empty() ? 0 : 5)
            << harness_read_file(run.dir + "/report.err").value_or("");
        const std::string out = harness_read_file(run.dir + "/report.out").value_or("");
        // The last line names the record: "archived archive/SN-7/NAME" (\ on Windows).
        const std::string name = archived_name(out);
        const std::string record = run.dir + "/archive/SN-7/" + name + "/";
        EXPECT_EQ(harness_read_file(record + "gyro_motor.txt"), run.log) << out;
        EXPECT_EQ(harness_read_file(record + "gyro_motor_times.txt"), run.times);
        EXPECT_EQ(harness_read_file(record + "limits.toml"), toml);
        EXPECT_TRUE(out.starts_with(harness_read_file(record + "report.txt").value_or("-")));
        EXPECT_NE(out.find(bench_console(failed.empty() ? "\nVerdict: PASS\n"
                                                        : "\nVerdict: FAIL (3 of 6 figures)\n")),
                  std::string::npos)
            << out;
        const nlohmann::json json = nlohmann::json::parse(
            harness_read_file(record + "report.json").value_or(""), nullptr, false);
        ASSERT_TRUE(json.is_object()) << "no JSON in the record";
        std::set<std::string> failing;
        for (const nlohmann::json& row : json["verdict"]["rows"]) {
            if (!row["pass"].get<bool>()) {
                failing.insert(row["figure"].get<std::string>());
            }
        }
        EXPECT_EQ(failing, failed);
        EXPECT_EQ(json["verdict"]["result"], failed.empty() ? "PASS" : "FAIL");
        std::string stamp = json["record"]["time"].get<std::string>();
        std::erase_if(stamp, [](char c) { return c == '-' || c == ':'; });
        EXPECT_TRUE(name.starts_with(stamp)) << stamp;
        EXPECT_EQ(json["record"]["serial"], "SN-7");
        EXPECT_EQ(json["record"]["operator"], "e2e");
        EXPECT_EQ(json["record"]["lot"], "L17");
        EXPECT_EQ(json["record"]["part"], "HS-200 rev B");
        EXPECT_NE(json["record"]["station"], ""); // the computer's name
        EXPECT_EQ(json["record"]["format"], 2);
        // The manifest checks the record with sha256sum itself.
        const pid_t check =
            harness_spawn({"/usr/bin/env", "sha256sum", "--check", "--strict", "manifest.sha256"},
                          record, run.dir + "/check.out", run.dir + "/check.err");
        EXPECT_EQ(harness_wait(check, 30.0), 0)
            << harness_read_file(run.dir + "/check.err").value_or("");
        for (const char* sealed : {"report.json: OK", "record.html: OK"}) {
            EXPECT_NE(harness_read_file(run.dir + "/check.out").value_or("").find(sealed),
                      std::string::npos)
                << sealed;
        }
        // The same log reported by the build's own program: the certificate is the same byte for
        // byte but for the times, the station and the pictures (under Wine: the Windows
        // program's page against the native one).
        std::filesystem::create_directories(run.dir + "/native");
        const pid_t native = harness_spawn(
            {GM_REPORT_PATH, "--limits", limits, "--serial", "SN-7", "--archive", "native",
             "--operator", "e2e", "--lot", "L17", "--part", "HS-200 rev B", "gyro_motor.txt"},
            run.dir, run.dir + "/native.out", run.dir + "/native.err");
        EXPECT_EQ(harness_wait(native, 60.0), failed.empty() ? 0 : 5);
        const std::string native_record =
            run.dir + "/native/SN-7/" +
            archived_name(harness_read_file(run.dir + "/native.out").value_or("\n")) + "/";
        const std::string certificate =
            harness_read_file(record + "record.html").value_or("(none)");
        EXPECT_NE(certificate.find("<p id=\"outcome\" class=\"outcome"), std::string::npos);
        EXPECT_EQ(certificate_comparable(certificate),
                  certificate_comparable(
                      harness_read_file(native_record + "record.html").value_or("(none)")));
    }
    // The two records are whole, and the lot finds them.
    for (const auto& [arguments, says] :
         {std::pair{std::vector<std::string>{"--verify", "archive"}, "2 records whole\n"},
          std::pair{std::vector<std::string>{"--sweeps", "--lot", "L17", "archive"},
                    "2 sweeps of 1 sensor\n"}}) {
        const auto history_argv = bench_program_argv("gyro_motor_history", arguments);
        ASSERT_TRUE(history_argv);
        const pid_t history = harness_spawn(*history_argv, run.dir, run.dir + "/history.out",
                                            run.dir + "/history.err");
        EXPECT_EQ(harness_wait(history, 60.0), 0)
            << harness_read_file(run.dir + "/history.err").value_or("");
        EXPECT_TRUE(harness_read_file(run.dir + "/history.out")
                        .value_or("")
                        .starts_with(bench_console(says)));
    }
    // The database down (nothing listens on port 1; under Wine no driver is installed at all):
    // the record is kept in the folder, one line says why and one that it is kept, and the status
    // is the database's.
    const auto report_argv = bench_program_argv(
        "gyro_motor_report",
        {"--serial", "SN-8", "--archive", ".", "--database",
         "Driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so;Server=127.0.0.1;Port=1;Database=gm;"
         "Uid=gm;",
         "gyro_motor.txt"});
    const pid_t report =
        harness_spawn(*report_argv, run.dir, run.dir + "/down.out", run.dir + "/down.err");
    EXPECT_EQ(harness_wait(report, 60.0), 8);
    const std::string down_err = harness_read_file(run.dir + "/down.err").value_or("");
    EXPECT_TRUE(down_err.starts_with("gyro_motor_report: the record was not written to the "
                                     "database: "))
        << down_err;
    EXPECT_NE(down_err.find("\ngyro_motor_report: it is in the archive: gyro_motor_history "
                            "--export adds it"),
              std::string::npos)
        << down_err;
    EXPECT_EQ(std::count(down_err.begin(), down_err.end(), '\n'), 2) << down_err;
    const std::string out = harness_read_file(run.dir + "/down.out").value_or("");
    const std::size_t archived = out.find("archived ");
    ASSERT_NE(archived, std::string::npos) << out;
    EXPECT_EQ(harness_read_file(run.dir + "/SN-8/" + archived_name(out) + "/gyro_motor.txt"),
              run.log)
        << out;
    bench_finish(run);
}

// A sweep archived below a folder of more than 300 characters (past the 259 that Windows programs
// reach without the long-path prefix; gnuplot, which takes no more, draws the record's picture to
// a short name) and read back by the history; the same serial in small letters is then refused,
// and the archive keeps one folder for the sensor.
TEST(E2eTest, ARecordBelowALongFolderAndOneSpellingPerSensor) {
    const SweepRun run = bench_run_sweep(harness_split_words("--time-scale 4 --no-pacing"));
    expect_clean_completion(run);
    std::string deep = "archive";
    for (const char c : {'a', 'b', 'c', 'd'}) {
        deep += "/" + std::string(80, c);
    }
    std::filesystem::create_directories(run.dir + "/" + deep);
    ASSERT_GT((run.dir + "/" + deep).size(), 300u);
    const auto spawn = [&](const std::string& program, const std::vector<std::string>& arguments) {
        const auto argv = bench_program_argv(program, arguments);
        if (!argv) {
            return std::optional<int>();
        }
        const pid_t child =
            harness_spawn(*argv, run.dir, run.dir + "/tool.out", run.dir + "/tool.err");
        return std::optional<int>(harness_wait(child, 60.0));
    };
    const std::optional<int> archived =
        spawn("gyro_motor_report", {"--serial", "SN0042", "--archive", deep, "gyro_motor.txt"});
    if (!archived) {
        GTEST_SKIP() << "the companion programs of the sweep under test are not given";
    }
    const std::string err = harness_read_file(run.dir + "/tool.err").value_or("");
    EXPECT_EQ(*archived, 0) << err;
    const std::string out = harness_read_file(run.dir + "/tool.out").value_or("");
    std::string name = out.substr(out.find_last_of("/\\", out.size() - 2) + 1);
    name.erase(name.find_first_of("\r\n"));
    const std::string record = run.dir + "/" + deep + "/SN0042/" + name + "/";
    EXPECT_EQ(harness_read_file(record + "gyro_motor.txt"), run.log) << out;
    if (!bench_native_sweep()) {
        // The stand-in gnuplot is on the PATH.
        EXPECT_NE(harness_read_file(record + "report.png").value_or(""), "") << err;
    }
    EXPECT_EQ(err.find("without its picture"), std::string::npos) << err;

    ASSERT_EQ(spawn("gyro_motor_history", {"--sweeps", "--csv", "-", deep}), 0)
        << harness_read_file(run.dir + "/tool.err").value_or("");
    const std::string csv = harness_read_file(run.dir + "/tool.out").value_or("");
    EXPECT_NE(csv.find("SN0042," + name.substr(0, 4)), std::string::npos) << csv;

    EXPECT_EQ(
        spawn("gyro_motor_report", {"--serial", "sn0042", "--archive", deep, "gyro_motor.txt"}), 2);
    EXPECT_NE(harness_read_file(run.dir + "/tool.err")
                  .value_or("")
                  .find("holds this sensor as \"SN0042\""),
              std::string::npos);
    std::vector<std::string> sensors;
    for (const auto& entry : std::filesystem::directory_iterator(run.dir + "/" + deep)) {
        sensors.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(sensors, std::vector<std::string>{"SN0042"});
    bench_finish(run);
}

// gyro_motor_home against the simulated controller.

TEST(E2eHomeTest, DrivesToTheEndWaitsAndBacksOff) {
    if (!bench_native_sweep()) {
        GTEST_SKIP() << "gyro_motor_home is tested in its native build only";
    }
    // The homing move of 5000000 units at 40000 units/s lasts 125.4 s of motor time, 1.25 s here.
    const SweepRun run = bench_run({GM_HOME_PATH}, {"--no-pacing", "--time-scale", "100"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "homed: drove to the negative end, waited for the motion to end and backed "
                       "off by 10000; error register 0\n");
    EXPECT_EQ(run.err, "open Motor port succeeded\n");
    EXPECT_LT(run.seconds(), bench_fault_time_bound_s);
    EXPECT_GE(run.seconds(), 1.0) << "it did not wait for the end of the move";
    const std::vector<std::string> seen = dialogue_of(run.events);
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen.front(), "motor mr -5000000");
    for (std::size_t i = 1; i + 3 < seen.size(); ++i) {
        EXPECT_EQ(seen[i], "motor pr mv") << "event " << i;
    }
    EXPECT_EQ(seen[seen.size() - 3], "motor pr mv");
    EXPECT_EQ(seen[seen.size() - 2], "motor pr er");
    EXPECT_EQ(seen[seen.size() - 1], "motor mr 10000");
    // The gyro's port is never touched; the controller's is opened once and closed at the end.
    std::vector<std::string> lines;
    for (const Event& event : run.events) {
        if (is_line_event(event)) {
            lines.push_back(event.text);
        }
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"motor open", "motor close"}));
    EXPECT_EQ(run.events.back().text, "motor close");
    bench_finish(run);
}

TEST(E2eHomeTest, MissingMotorPortFails) {
    if (!bench_native_sweep()) {
        GTEST_SKIP() << "gyro_motor_home is tested in its native build only";
    }
    const SweepRun run = bench_run_without_com6({GM_HOME_PATH}, std::nullopt);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Motor - could not open serial port, com6 2\n");
    EXPECT_EQ(run.err, "open Motor port failed\n");
    EXPECT_EQ(dialogue_of(run.events), std::vector<std::string>{});
    EXPECT_EQ(run.events.size(), 0u) << "the program opened a port";
    bench_finish(run);
}

// What a case finds in its run folder, which the run must leave as it was, and what it must add.
struct ArgumentsFolder {
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> made; // not empty
};

struct ArgumentsCase {
    std::string name;
    std::string program;
    std::vector<std::string> arguments;
    int status;
    // Status 0: what standard output holds; else what the one line on standard error names.
    std::string named;
    bool windows_only; // Windows' spellings, and its names that ignore the letter case
    ArgumentsFolder folder;
};

std::vector<ArgumentsCase> arguments_cases() {
    const std::string log = harness_read_file(GM_PLOT_DATA "/known.log").value_or("");
    const ArgumentsFolder sweep{{{"gyro_motor.txt", log}, {"gyro_motor_times.txt", "0.1\n0.2\n"}},
                                {}};
    const ArgumentsFolder bom{{{"b.txt", "\xEF\xBB\xBFgyro_serial_port=com8\r\n"}}, {}};
    const ArgumentsFolder german{{{"Jürgen Größe/Größe.txt", log}},
                                 {"Jürgen Größe/Größe.csv", "Jürgen Größe/Größe.png"}};
    std::vector<ArgumentsCase> cases;
    const auto add = [&](const std::string& name, const std::string& program,
                         const std::vector<std::string>& arguments, int status,
                         const std::string& named, bool windows_only = false,
                         const ArgumentsFolder& folder = {}) {
        cases.push_back({name, program, arguments, status, named, windows_only, folder});
    };
    const std::string home = "gyro_motor_home";
    const std::string plot = "gyro_motor_plot";
    add("UnknownOption", home, {"--bogus"}, 2, "--bogus");
    add("TwoArguments", home, {"com6", "9600"}, 2, "com6 9600");
    add("ValueForAFlag", home, {"--version=1"}, 2, "version");
    add("Help", home, {"--help"}, 0, "Usage: gyro_motor_home");
    // Asking the sweep for help must not move the motor.
    add("SweepHelp", "gyro_motor", {"--help"}, 0, "Usage: gyro_motor\n");
    add("SweepH", "gyro_motor", {"-h"}, 0, "Usage: gyro_motor\n");
    add("SweepSlashQuestion", "gyro_motor", {"/?"}, 0, "Usage: gyro_motor\n");
    add("SweepVersion", "gyro_motor", {"--version"}, 0, "gyro_motor " GM_VERSION "\n");
    add("PlotVersion", plot, {"--version"}, 0, "gyro_motor_plot " GM_VERSION "\n");
    add("PlotLogInSlashes", plot, {"--no-plot", "/no-log.txt"}, 1, "/no-log.txt:");
    add("PlotFolderAsLog", plot, {"."}, 1, ".: is a folder");
    add("ParamsBom", "gyro_motor_params", {"b.txt"}, 0, "gyro_serial_port -> com8", false, bom);
    // Pictures by the gnuplot on the PATH: under Wine, a stand-in in "Program Files (x86)".
    add("PlotInAGermanFolder", plot, {"Jürgen Größe/Größe.txt"}, 0, "wrote Jürgen Größe/Größe.png",
        false, german);
    add("PlotCsvOnTheLogInCapitals", plot, {"--no-plot", "--csv", "GYRO_MOTOR.TXT"}, 2,
        "--csv would overwrite LOG", true, sweep);
    add("PlotCsvOnTheTimesInCapitals", plot, {"--csv", "GYRO_MOTOR_TIMES.TXT", "GYRO_MOTOR.TXT"}, 2,
        "--csv would overwrite --times", true, sweep);
    add("PlotPngOnTheCsvInCapitals", plot, {"--csv", "NEW.PNG", "--png", "new.png"}, 2,
        "--png would overwrite --csv", true, sweep);
    add("ReportJsonOnTheLog", "gyro_motor_report", {"--json", "Gyro_Motor.TXT"}, 2,
        "--json would overwrite LOG", true, sweep);
    // Records travel between platforms: names that Windows keeps for devices are refused on
    // every one, and so is what would land in the archive beside the records.
    const ArgumentsFolder archive{{{"gyro_motor.txt", log}, {"archive/SN1/x", ""}}, {}};
    add("ReportSerialCon", "gyro_motor_report", {"--serial", "con", "--archive", "archive"}, 2,
        "--serial", false, archive);
    add("ReportSerialComWithExtension", "gyro_motor_report",
        {"--serial", "COM8.txt", "--archive", "archive"}, 2, "--serial", false, archive);
    add("ReportSerialTrailingDot", "gyro_motor_report",
        {"--serial", "SN0042.", "--archive", "archive"}, 2, "--serial", false, archive);
    add("ReportLotOnTwoLines", "gyro_motor_report",
        {"--serial", "SN1", "--archive", "archive", "--lot", "17\n18"}, 2, "--lot", false, archive);
    add("ReportJsonInTheArchive", "gyro_motor_report",
        {"--serial", "SN1", "--archive", "archive", "--json", "archive/SN1/r.json"}, 2,
        "--json archive/SN1/r.json is inside the archive", false, archive);
    add("ReportPngInTheArchiveInCapitals", "gyro_motor_report",
        {"--serial", "SN1", "--archive", "archive", "--png", "ARCHIVE/r.png"}, 2,
        "is inside the archive", true, archive);
    // Help in every spelling of the platform, from every program.
    for (const std::string program :
         {"gyro_motor", "gyro_motor_home", "gyro_motor_plot", "gyro_motor_report",
          "gyro_motor_history", "gyro_motor_params"}) {
        const std::string usage = "Usage: " + program + (program == "gyro_motor" ? "\n" : " ");
        add(program + "DashQuestion", program, {"-?"}, 0, usage);
        add(program + "SlashH", program, {"/h"}, 0, usage, true);
        if (program != "gyro_motor") { // the sweep's row is above: /? is help on every platform
            add(program + "SlashQuestion", program, {"/?"}, 0, usage, true);
        }
    }
    return cases;
}

void PrintTo(const ArgumentsCase& arguments, std::ostream* out) {
    *out << arguments.name;
}

class E2eArgumentsTest : public ::testing::TestWithParam<ArgumentsCase> {};

TEST_P(E2eArgumentsTest, UsageAndNoMotion) {
    const ArgumentsCase& arguments = GetParam();
    if (arguments.windows_only && bench_native_sweep()) {
        GTEST_SKIP() << "Windows' own spellings and names";
    }
    const auto program = bench_program_argv(arguments.program, arguments.arguments);
    if (!program) {
        GTEST_SKIP() << "no " << arguments.program << " of this build (GM_E2E_TOOL_COMMAND)";
    }
    const auto put_files = [&](const SweepRun& run) {
        for (const auto& [name, content] : arguments.folder.files) {
            std::filesystem::create_directories(
                std::filesystem::path(run.dir + "/" + name).parent_path());
            ASSERT_TRUE(harness_write_file(run.dir + "/" + name, content));
        }
    };
    const SweepRun run =
        bench_run(*program, bench_fast({}), {.setup = put_files, .during = {}, .ready = {}});
    EXPECT_EQ(run.status, arguments.status);
    if (arguments.status == 0) {
        EXPECT_NE(run.out.find(bench_console(arguments.named)), std::string::npos) << run.out;
        EXPECT_EQ(run.err, "");
    } else {
        EXPECT_TRUE(run.err.starts_with(arguments.program + ": ")) << run.err;
        EXPECT_NE(run.err.find(arguments.named), std::string::npos) << run.err;
        EXPECT_EQ(harness_split_lines(run.err).size(), 1u) << run.err;
        EXPECT_EQ(run.out, "");
    }
    // Help fits a console of 80 columns, without a line that fills it.
    for (const std::string& line :
         harness_split_lines(arguments.named.starts_with("Usage: ") ? run.out : "")) {
        EXPECT_LE(
            std::ranges::count_if(line, [](char c) { return (c & 0xC0) != 0x80 && c != '\r'; }), 79)
            << line;
    }
    for (const auto& [name, content] : arguments.folder.files) {
        EXPECT_EQ(harness_read_file(run.dir + "/" + name), content) << name;
    }
    for (const std::string& name : arguments.folder.made) {
        EXPECT_NE(harness_read_file(run.dir + "/" + name).value_or(""), "") << name;
    }
    EXPECT_EQ(run.events.size(), 0u) << "the program touched a port";
    bench_finish(run);
}

INSTANTIATE_TEST_SUITE_P(Arguments, E2eArgumentsTest, ::testing::ValuesIn(arguments_cases()),
                         bench_case_name);

} // namespace
