// The step that the report and the station share, on one table: the run file beside the log (none,
// broken, never ended, not replacing the log, another size, or a sweep's end with its status) ×
// the log (a whole turn, empty, missing) × what is asked (judge, archive, archive unverified, a
// station's attempt) → the outcome, the exit status and what the record keeps. The text from the
// sweep's line on is checked against outcomes.txt (GM_UPDATE_GOLDEN=1 writes it anew).
#include "station/outcome/outcome.h"

#include "analysis/limits/limits.h"
#include "base/text/text.h"
#include "outputs/report/reportout.h"
#include "sweep/runfile/runfile.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A perfect sensor turned once round: 400 samples, 0.9 deg apart, at 25 deg C.
std::string whole_turn() {
    std::string log;
    for (int k = 0; k < 400; ++k) {
        const double heading = 0.9 * k;
        const double rad = heading * std::numbers::pi / 180.0;
        log += tool_join({"Roll    0.00 Pitch    0.00 Heading ", text_format("%7.2f", heading),
                          " \n", "X Roll Rate   0.000 Y Pitch Rate   0.000 Z Yaw Rate  14.400 \n",
                          "X Accel 0.00000 Y Accel 0.00000 Z Accel 1.00000 \n", "X Mag ",
                          text_format("%7.5f", 0.25 * std::cos(rad)), " Y Mag ",
                          text_format("%7.5f", -0.25 * std::sin(rad)), " Z Mag 0.30000 \n",
                          "Temp   25.00 \n"});
    }
    return log;
}

enum class Account { missing, broken, running, not_replaced, ended, bytes_more, bytes_less };
enum class Log { whole, empty, missing };
enum class Asked { judge, archive, unverified, station, station_later, station_same };

struct Row {
    const char* name;
    Account account;
    int status; // the sweep's, for an account that has an end
    Log log;
    Asked asked;
    const char* limits; // "pass", "fail" or nullptr
    // What comes of it; refused: nothing judged or written.
    bool refused;
    OutcomeSweep sweep;
    const char* outcome; // nullptr: none
    int exit;
    bool figures; // analysed: the figures shown and kept
};

constexpr const char* gyro_silent = "Gyro - no answer for 2002 ms";

const std::vector<Row> rows = {
    {"pass", Account::ended, 0, Log::whole, Asked::archive, "pass", false, OutcomeSweep::complete,
     "PASS", 0, true},
    {"fail", Account::ended, 0, Log::whole, Asked::archive, "fail", false, OutcomeSweep::complete,
     "FAIL", 5, true},
    {"no limits", Account::ended, 0, Log::whole, Asked::archive, nullptr, false,
     OutcomeSweep::complete, nullptr, 0, true},
    {"judged only", Account::ended, 0, Log::whole, Asked::judge, "pass", false,
     OutcomeSweep::complete, "PASS", 0, true},
    {"device failed", Account::ended, 3, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::failed, "ERROR", 7, true},
    {"log failed", Account::ended, 4, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::failed, "ERROR", 7, true},
    {"status 128", Account::ended, 128, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::failed, "ERROR", 7, true},
    {"SIGHUP", Account::ended, 129, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::aborted, "ABORTED", 7, true},
    {"Ctrl-C", Account::ended, 130, Log::whole, Asked::archive, "fail", false,
     OutcomeSweep::aborted, "ABORTED", 7, true},
    {"status 131", Account::ended, 131, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::failed, "ERROR", 7, true},
    {"status 142", Account::ended, 142, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::failed, "ERROR", 7, true},
    {"SIGTERM", Account::ended, 143, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::aborted, "ABORTED", 7, true},
    {"status 144", Account::ended, 144, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::failed, "ERROR", 7, true},
    {"failed, judged only", Account::ended, 3, Log::whole, Asked::judge, "pass", false,
     OutcomeSweep::failed, "ERROR", 7, true},
    {"failed with an empty log", Account::ended, 3, Log::empty, Asked::archive, "pass", false,
     OutcomeSweep::failed, "ERROR", 7, false},
    {"ports not opened", Account::not_replaced, 1, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::stale, "ERROR", 7, false},
    {"a byte more", Account::bytes_more, 0, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::stale, "ERROR", 7, false},
    {"a byte less", Account::bytes_less, 0, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::stale, "ERROR", 7, false},
    {"never ended", Account::running, 0, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::stale, "ERROR", 7, false},
    {"broken run file", Account::broken, 0, Log::whole, Asked::archive, "pass", false,
     OutcomeSweep::stale, "ERROR", 7, false},
    {"log gone", Account::ended, 0, Log::missing, Asked::archive, "pass", false,
     OutcomeSweep::stale, "ERROR", 7, false},
    {"stale, judged only", Account::not_replaced, 1, Log::whole, Asked::judge, "pass", false,
     OutcomeSweep::stale, "ERROR", 7, false},
    {"no run file", Account::missing, 0, Log::whole, Asked::archive, "pass", true,
     OutcomeSweep::unchecked, nullptr, 2, false},
    {"no run file, unverified", Account::missing, 0, Log::whole, Asked::unverified, "fail", false,
     OutcomeSweep::unverified, "FAIL", 5, true},
    {"no run file, judged only", Account::missing, 0, Log::whole, Asked::judge, "pass", false,
     OutcomeSweep::unverified, "PASS", 0, true},
    {"unverified empty log", Account::missing, 0, Log::empty, Asked::unverified, "pass", false,
     OutcomeSweep::unverified, "ERROR", 1, false},
    {"station, no run file", Account::missing, 0, Log::whole, Asked::station, "pass", false,
     OutcomeSweep::stale, "ERROR", 7, false},
    {"station, an earlier run file", Account::ended, 0, Log::whole, Asked::station_later, "pass",
     false, OutcomeSweep::stale, "ERROR", 7, false},
    {"station, started that very moment", Account::ended, 0, Log::whole, Asked::station_same,
     "pass", false, OutcomeSweep::complete, "PASS", 0, true},
    {"station, its own run file", Account::ended, 0, Log::whole, Asked::station, "pass", false,
     OutcomeSweep::complete, "PASS", 0, true},
};

constexpr const char* started = "2026-12-09T13:38:57.123Z";

// No pictures in the records: gnuplot would take most of the test's time, and nothing here
// depends on them.
void hide_gnuplot() {
    tool_set_environment("PATH", "");
}

class OutcomeTable : public testing::Test {
  protected:
    void SetUp() override {
        hide_gnuplot();
        dir = tool_make_test_dir("gm_outcome_test_");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
};

void write_account(const Row& row, const fs::path& folder, std::uintmax_t log_bytes) {
    const std::string path = (folder / "gyro_motor_run.txt").string();
    if (row.account == Account::missing) {
        return;
    }
    if (row.account == Account::broken) {
        tool_write_file(path, "gyro_motor_run=1\nstarted=yesterday\n");
        return;
    }
    RunAccount account{.started = started,
                       .ended = "2026-12-09T13:39:31.456Z",
                       .status = row.status,
                       .message = row.status == 0 ? "" : gyro_silent,
                       .samples = 400,
                       .polls = 402,
                       .log_replaced = true,
                       .log_bytes = log_bytes,
                       .version = "0.1"};
    if (row.account == Account::running) {
        account.ended.clear();
        account.status.reset();
        account.message.clear();
    } else if (row.account == Account::not_replaced) {
        account.message = "open gyro port failed";
        account.log_replaced = false;
        account.log_bytes.reset();
        account.samples = account.polls = 0;
    } else if (row.account == Account::bytes_more || row.account == Account::bytes_less) {
        account.log_bytes = row.account == Account::bytes_more ? log_bytes + 1 : log_bytes - 1;
    }
    ASSERT_EQ(runfile_write(path.c_str(), account), 0);
}

std::string text_from_sweep_line(const std::string& text) {
    const std::size_t at = text.find("Sweep: ");
    return at == std::string::npos ? text : text.substr(at);
}

} // namespace

TEST_F(OutcomeTable, TheRunFileTheLogAndTheStatusGiveTheOutcome) {
    const std::string log_text = whole_turn();
    Limits pass;
    Limits fail;
    std::string error;
    tool_write_file(dir / "pass.toml",
                    "name = \"warm\"\n[figures]\n\"temperature.mean_c\" = { max = 30 }\n");
    tool_write_file(dir / "fail.toml",
                    "name = \"cold\"\n[figures]\n\"temperature.mean_c\" = { max = 20 }\n");
    const nlohmann::ordered_json figures = reportout_document(Report{});
    ASSERT_TRUE(limits_read((dir / "pass.toml").string(), figures, pass, error)) << error;
    ASSERT_TRUE(limits_read((dir / "fail.toml").string(), figures, fail, error)) << error;
    std::string texts;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path folder = dir / (std::string("case ") + row.name);
        const fs::path archive = folder / "archive";
        fs::create_directories(archive);
        const std::string log = (folder / "gyro_motor.txt").string();
        const std::string text = row.log == Log::empty ? "" : log_text;
        if (row.log != Log::missing) {
            tool_write_file(log, text);
        }
        write_account(row, folder, text.size());
        const bool archived = row.asked != Asked::judge;
        const std::string limits_name = row.limits ? row.limits : "";
        OutcomeRequest request;
        request.program = "outcome_test";
        request.log = log;
        request.times = (folder / "gyro_motor_times.txt").string();
        request.limits = limits_name == "pass" ? &pass : limits_name == "fail" ? &fail : nullptr;
        request.unverified = row.asked == Asked::unverified;
        request.archive = archived ? archive.string() : "";
        request.serial = "SN1";
        request.trace[archive_operator] = "anna";
        request.now = std::chrono::system_clock::now();
        if (row.asked == Asked::station || row.asked == Asked::station_later ||
            row.asked == Asked::station_same) {
            request.not_before = row.asked == Asked::station_later  ? "2026-12-09T13:38:57.124Z"
                                 : row.asked == Asked::station_same ? started
                                                                    : "2026-12-09T13:38:57.122Z";
            request.trace[archive_station] = "bench-7";
        }
        OutcomeResult result;
        testing::internal::CaptureStderr();
        const bool verified = outcome_verify(request, result);
        if (verified) {
            outcome_judge(request, result);
        }
        const bool written = verified && archived && outcome_archive(request, result);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(!verified, row.refused) << said;
        if (!verified) {
            EXPECT_NE(said.find("--unverified"), std::string::npos) << said;
            EXPECT_FALSE(fs::exists(archive / "SN1"));
            texts += tool_join({"== ", row.name, "\nrefused\n"});
            continue;
        }
        const int status = outcome_status(result, true, !archived || written);
        EXPECT_EQ(result.sweep, row.sweep);
        EXPECT_EQ(std::string(outcome_name(result.outcome) ? outcome_name(result.outcome) : "-"),
                  row.outcome ? row.outcome : "-");
        EXPECT_EQ(status, row.exit);
        EXPECT_EQ(result.analysed, row.figures);
        EXPECT_EQ(result.document.contains("heading"), row.figures);
        // The reason goes with ERROR and ABORTED, and only with them.
        const bool error_outcome =
            result.outcome == Outcome::error || result.outcome == Outcome::aborted;
        EXPECT_EQ(!result.reason.empty(), error_outcome);
        EXPECT_EQ(result.verdict.has_value(),
                  row.figures && row.limits != nullptr && !error_outcome);
        texts += tool_join({"== ", row.name, "\n", text_from_sweep_line(result.text), "status ",
                            std::to_string(status), "\n"});
        if (!archived) {
            continue;
        }
        ASSERT_TRUE(written) << said;
        const fs::path record = fs::path(result.record);
        const nlohmann::json json =
            nlohmann::json::parse(tool_read_file(record / "report.json"), nullptr, false);
        ASSERT_TRUE(json.is_object());
        const nlohmann::json& about = json["record"];
        EXPECT_EQ(about["outcome"], row.outcome ? nlohmann::json(row.outcome) : nullptr);
        EXPECT_EQ(about["reason"].is_string(), error_outcome);
        EXPECT_EQ(about["operator"], "anna");
        EXPECT_EQ(about["station"].get<std::string>() == "bench-7",
                  request.trace[archive_station].has_value());
        // The log is kept unless it is not this sweep's; the run file whenever there is one.
        const bool stale = row.sweep == OutcomeSweep::stale;
        EXPECT_EQ(fs::exists(record / "gyro_motor.txt"), !stale);
        if (!stale) {
            EXPECT_EQ(tool_read_file(record / "gyro_motor.txt"), text);
        }
        EXPECT_EQ(fs::exists(record / "gyro_motor_run.txt"), row.account != Account::missing);
        EXPECT_EQ(fs::exists(record / "limits.toml"), result.verdict.has_value());
        EXPECT_EQ(tool_read_file(record / "report.txt").empty(), false);
        // The certificate states the outcome, and the manifest seals it with the rest.
        const std::string outcome = row.outcome ? row.outcome : "NOT JUDGED";
        EXPECT_NE(tool_read_file(record / "record.html").find(">" + outcome + "</p>"),
                  std::string::npos);
        EXPECT_NE(tool_read_file(record / "manifest.sha256").find(" record.html\n"),
                  std::string::npos);
        if (row.account == Account::ended || row.account == Account::not_replaced) {
            EXPECT_EQ(about["sweep"]["status"], row.status);
            EXPECT_EQ(about["sweep"]["started"], started);
            EXPECT_EQ(about["sweep"]["samples"], row.account == Account::ended ? 400 : 0);
            EXPECT_EQ(about["sweep"]["message"].get<std::string>().empty(), row.status == 0);
        } else if (row.account == Account::missing || row.account == Account::broken) {
            EXPECT_TRUE(about["sweep"].is_null());
        }
    }
    const fs::path golden = fs::path(GM_OUTCOME_DATA) / "outcomes.txt";
    if (const char* update = std::getenv("GM_UPDATE_GOLDEN"); update && *update == '1') {
        tool_write_file(golden, texts);
    }
    EXPECT_EQ(texts, tool_read_file(golden));
}
