// The sensor archive's reader and its statistics on a generated archive of ten sweeps of five
// sensors, checked against a hand computation; and the real gyro_motor_history program on it:
// its views against golden files, its filters, damaged records, a dry archive and bad arguments.
// GM_HISTORY_TOOL in the environment runs another build of the program (the Windows zip's).
#include "outputs/history/historyout.h"
#include "records/history/history.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// One generated sweep: its record folder, verdict (none: reported without limits), the limits'
// name, and its figures (nothing: not measured).
struct Sweep {
    const char* serial;
    const char* name;
    const char* verdict;
    const char* limits;
    std::optional<double> peak; // heading.peak_deviation_deg, limits max_abs 0.5
    double scale;               // yaw_rate.scale_error_percent, limits max 0.3
    std::optional<double> fit;  // mag.fit_rms_gauss, max 0.002 in rev C, 0.003 in rev D
    double temperature;
};

// SN1's second and third sweep share a second; SN4's first sweep has no verdict. The latest
// sweeps: SN1-SN4 pass, SN5 fails; SN2's latest was judged against rev D.
const std::vector<Sweep> batch = {
    {"SN1", "20261209T101503Z", "FAIL", "rev C", 0.70, 0.10, 0.0010, 24.0},
    {"SN1", "20261209T120000Z-10", "PASS", "rev C", 0.20, 0.15, 0.0011, 24.5},
    {"SN1", "20261209T120000Z-2", "PASS", "rev C", 0.40, 0.20, 0.0012, 25.0},
    {"SN2", "20261209T110000Z", "PASS", "rev C", 0.30, 0.05, 0.0010, 25.5},
    {"SN2", "20261210T080000Z", "PASS", "rev D", 0.20, 0.20, 0.0025, 23.0},
    {"SN3", "20261209T130000Z", "FAIL", "rev C", 0.55, 0.35, 0.0010, 26.0},
    {"SN3", "20261210T090000Z", "PASS", "rev C", -0.10, 0.25, 0.0014, 23.5},
    {"SN4", "20261209T140000Z", nullptr, nullptr, std::nullopt, 0.10, 0.0010, 25.0},
    {"SN4", "20261210T100000Z", "PASS", "rev C", 0.30, 0.15, 0.0009, 24.0},
    {"SN5", "20261210T110000Z", "FAIL", "rev C", 0.60, 0.05, std::nullopt, 22.5},
};

nlohmann::json figure_or_null(const std::optional<double>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// A report.json as an archived report holds it.
std::string record_json(const Sweep& sweep) {
    const std::string n = sweep.name;
    const std::string time = n.substr(0, 4) + "-" + n.substr(4, 2) + "-" + n.substr(6, 2) + "T" +
                             n.substr(9, 2) + ":" + n.substr(11, 2) + ":" + n.substr(13, 2) + "Z";
    nlohmann::json json = {{"samples", 300},
                           {"sampling", {{"timed", true}, {"mean_interval_ms", 37.6}}},
                           {"heading", {{"peak_deviation_deg", figure_or_null(sweep.peak)}}},
                           {"yaw_rate", {{"scale_error_percent", sweep.scale}}},
                           {"mag", {{"fit_rms_gauss", figure_or_null(sweep.fit)}}},
                           {"temperature", {{"mean_c", sweep.temperature}}},
                           {"verdict", nullptr},
                           {"record",
                            {{"serial", sweep.serial},
                             {"time", time},
                             {"station", "bench-1"},
                             {"operator", nullptr},
                             {"program", "gyro_motor_report"},
                             {"version", "0.1"}}}};
    if (sweep.verdict != nullptr) {
        const double fit_max = std::string(sweep.limits) == "rev D" ? 0.003 : 0.002;
        json["verdict"] = {
            {"limits",
             {{"name", sweep.limits},
              {"file", "limits.toml"},
              {"figures",
               {{"heading.peak_deviation_deg",
                 {{"min", nullptr}, {"max", nullptr}, {"max_abs", 0.5}, {"guard", 0.02}}},
                {"yaw_rate.scale_error_percent",
                 {{"min", nullptr}, {"max", 0.3}, {"max_abs", nullptr}, {"guard", nullptr}}},
                {"mag.fit_rms_gauss", {{"max", fit_max}}}}}}},
            {"result", sweep.verdict}};
    }
    return json.dump(2);
}

void write_batch(const fs::path& archive) {
    for (const Sweep& sweep : batch) {
        fs::create_directories(archive / sweep.serial / sweep.name);
        tool_write_file(archive / sweep.serial / sweep.name / "report.json", record_json(sweep));
    }
}

class HistoryTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = tool_make_test_dir("gm_history_test_");
        archive = dir / "archive";
        write_batch(archive);
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir, error);
    }
    ToolResult run(std::vector<std::string> arguments) {
        const char* other = std::getenv("GM_HISTORY_TOOL");
        return tool_run(other != nullptr ? other : GM_HISTORY_TOOL, arguments, dir);
    }
    fs::path dir;
    fs::path archive;
};

std::string lf_lines(std::string text) {
    std::erase(text, '\r');
    return text;
}

} // namespace

TEST_F(HistoryTest, TheBatchGivesTheYieldsAndCapabilityOfAHandComputation) {
    HistoryArchive read;
    std::string error;
    ASSERT_TRUE(history_read(archive.string(), read, error)) << error;
    EXPECT_TRUE(read.skipped.empty());
    ASSERT_EQ(read.records.size(), 10u);
    const std::vector<HistorySensor> sensors = history_sensors(read.records);
    ASSERT_EQ(sensors.size(), 5u);
    // -10 is the later record of its second.
    EXPECT_EQ(read.records[sensors[0].latest].name, "20261209T120000Z-10");
    const HistorySummary summary = history_summarise(
        read.records, sensors,
        {"heading.peak_deviation_deg", "yaw_rate.scale_error_percent", "mag.fit_rms_gauss"});
    ASSERT_EQ(summary.figures.size(), 3u);

    // The latest sweeps in time order: SN1 (the 9th), SN2, SN3, SN4, SN5 (the 10th, 08:00 to
    // 11:00). The peak deviation's limit is max_abs 0.5 alone, so its sizes count: 0.2, 0.2,
    // |-0.1|, 0.3, 0.6, mean 1.4 / 5 = 0.28; squares about it 0.0064 + 0.0064 + 0.0324 + 0.0004
    // + 0.1024 = 0.148, / 4 = 0.037, sd 0.192353840616713; Ppu = 0.22 / (3 sd) =
    // 0.38124184626736. Moving ranges 0, 0.1, 0.2, 0.3: MR-bar 0.15, sigma within 0.15 / 1.128
    // = 0.132978723404255, Cpu = 0.22 / (3 * 0.132978723404255) = 0.551466666666667.
    const HistoryFigureSummary& peak = summary.figures[0];
    EXPECT_EQ(peak.n, 5u);
    EXPECT_TRUE(peak.absolute);
    EXPECT_FALSE(peak.lsl);
    EXPECT_EQ(peak.usl, 0.5);
    EXPECT_EQ(peak.guard, 0.02);
    EXPECT_NEAR(*peak.mean, 0.28, 1e-12);
    EXPECT_NEAR(*peak.sd, 0.192353840616713, 1e-12);
    EXPECT_EQ(*peak.min, 0.1);
    EXPECT_EQ(*peak.max, 0.6);
    const Capability& c = peak.capability;
    EXPECT_EQ(c.sides, CapabilitySides::upper);
    EXPECT_TRUE(c.few);
    EXPECT_NEAR(*c.sigma_within, 0.132978723404255, 1e-12);
    EXPECT_FALSE(c.pp);
    EXPECT_NEAR(*c.ppk, 0.38124184626736, 1e-9);
    EXPECT_NEAR(*c.cpk, 0.551466666666667, 1e-9);
    EXPECT_NEAR(c.ppk_ci95->low, -0.0126664218912606, 1e-9);
    EXPECT_NEAR(c.cpk_ci95->high, 1.03251255275147, 1e-9);
    EXPECT_FALSE(c.normality_p); // fewer than 8
    // Latest scale errors 0.15, 0.2, 0.25, 0.15, 0.05: mean 0.16, squares 0.0001 + 0.0016 +
    // 0.0081 + 0.0001 + 0.0121 = 0.022, / 4 = 0.0055, sd 0.0741619848709566; max 0.3 alone:
    // Ppu = 0.14 / (3 sd) = 0.629253204965693. Moving ranges 0.05, 0.05, 0.1, 0.1: Cpu 0.14 /
    // (3 * 0.075 / 1.128) = 0.701866666666667.
    const HistoryFigureSummary& scale = summary.figures[1];
    EXPECT_FALSE(scale.absolute);
    EXPECT_FALSE(scale.guard);
    EXPECT_NEAR(*scale.sd, 0.0741619848709566, 1e-12);
    EXPECT_EQ(scale.capability.sides, CapabilitySides::upper);
    EXPECT_NEAR(*scale.capability.ppk, 0.629253204965693, 1e-9);
    EXPECT_NEAR(*scale.capability.cpk, 0.701866666666667, 1e-9);
    // Latest temperatures 24.5, 23, 23.5, 24, 22.5 against a min of 22 alone: mean 23.5, squares
    // 1 + 0.25 + 0 + 0.25 + 1 = 2.5, / 4 = 0.625, sd 0.790569415042095; Ppl = 1.5 / (3 sd) =
    // 0.632455532033676. Moving ranges 1.5, 0.5, 0.5, 1.5: sigma within 1 / 1.128, Cpl = 1.5 /
    // (3 / 1.128) = 0.564.
    std::vector<HistoryRecord> cold = read.records;
    for (HistoryRecord& record : cold) {
        record.limits.push_back(
            {"temperature.mean_c", 22.0, std::nullopt, std::nullopt, std::nullopt});
    }
    const HistoryFigureSummary temperature =
        history_summarise(cold, sensors, {"temperature.mean_c"}).figures.at(0);
    EXPECT_EQ(temperature.capability.sides, CapabilitySides::lower);
    EXPECT_NEAR(*temperature.capability.ppk, 0.632455532033676, 1e-9);
    EXPECT_NEAR(*temperature.capability.cpk, 0.564, 1e-9);
    // rev C and rev D disagree on the fit's limit: no index, but the spread; SN5 did not measure
    // it. In time order 0.0011, 0.0025, 0.0014, 0.0009: moving ranges 0.0014, 0.0011, 0.0005.
    const HistoryFigureSummary& fit = summary.figures[2];
    EXPECT_TRUE(fit.limits_disagree);
    EXPECT_EQ(fit.capability.sides, CapabilitySides::none);
    EXPECT_FALSE(fit.capability.ppk);
    EXPECT_NEAR(*fit.capability.sigma_within, 0.001 / 1.128, 1e-15);
    EXPECT_EQ(fit.n, 4u);
    EXPECT_EQ(fit.unmeasured, 1u);
    ASSERT_EQ(fit.points.size(), 4u);
    EXPECT_EQ(fit.points[1].serial, "SN2");
    EXPECT_EQ(fit.points[1].value, 0.0025);
    // First sweeps: SN1 FAIL, SN2 PASS, SN3 FAIL, SN4 none, SN5 FAIL: 1 of 4, one unjudged.
    // Latest: SN1-SN4 PASS, SN5 FAIL: 4 of 5.
    EXPECT_EQ(summary.first_pass.passed, 1u);
    EXPECT_EQ(summary.first_pass.judged, 4u);
    EXPECT_EQ(summary.first_pass.unjudged, 1u);
    EXPECT_EQ(summary.first_pass.before_window, 0u);
    EXPECT_EQ(summary.final_pass.passed, 4u);
    EXPECT_EQ(summary.final_pass.judged, 5u);

    // From the 10th on, SN2-SN4 keep only their re-tests: only SN5 was first swept in the window,
    // and failed.
    std::vector<HistoryRecord> window = read.records;
    HistoryFilter since;
    since.since = 1796860800; // 2026-12-10T00:00:00Z
    history_filter(window, since);
    std::vector<HistorySensor> kept = history_sensors(window);
    history_mark_first_sweeps(read.records, window, kept);
    const HistorySummary shift = history_summarise(window, kept, {});
    EXPECT_EQ(shift.first_pass.passed, 0u);
    EXPECT_EQ(shift.first_pass.judged, 1u);
    EXPECT_EQ(shift.first_pass.before_window, 3u);
    EXPECT_EQ(shift.final_pass.judged, 4u);
    EXPECT_EQ(shift.final_pass.before_window, 0u);
}

// A limit that comes down to |x| <= M is one on the size; min or max cutting into it leave a
// signed range. A guard counts when every latest sweep applied the same.
TEST(HistoryLimits, WhichLimitsAFigureIsSummarisedAgainst) {
    using Maybe = std::optional<double>;
    struct Row {
        Maybe min, max, max_abs;
        Maybe other_guard; // the second sensor's guard; the first applies 0.02
        bool absolute;
        Maybe lsl, usl, guard;
    };
    const Maybe no;
    for (const Row& row : std::vector<Row>{
             {no, no, 0.5, 0.02, true, no, 0.5, 0.02},
             {-0.5, 0.5, 0.5, 0.02, true, no, 0.5, 0.02},
             {-0.6, 0.7, 0.5, 0.02, true, no, 0.5, 0.02},
             {-0.4, no, 0.5, 0.02, false, -0.4, 0.5, 0.02},
             {no, 0.4, 0.5, 0.02, false, -0.5, 0.4, 0.02},
             {0.0, no, 0.5, 0.03, false, 0.0, 0.5, no},
             {no, 0.3, no, no, false, no, 0.3, no},
             {-0.3, no, no, 0.02, false, -0.3, no, 0.02},
         }) {
        std::vector<HistoryRecord> records(2);
        for (std::size_t i = 0; i < records.size(); ++i) {
            records[i].serial = "SN" + std::to_string(i);
            records[i].passed = true;
            records[i].limits = {
                {"x.v", row.min, row.max, row.max_abs, i == 0 ? 0.02 : row.other_guard}};
            records[i].figures = {{"x.v", i == 0 ? -0.2 : 0.1}};
        }
        const HistoryFigureSummary f =
            history_summarise(records, history_sensors(records), {"x.v"}).figures[0];
        SCOPED_TRACE(testing::Message() << row.min.value_or(99) << " " << row.max.value_or(99));
        EXPECT_EQ(f.absolute, row.absolute);
        EXPECT_EQ(f.lsl, row.lsl);
        EXPECT_EQ(f.usl, row.usl);
        EXPECT_EQ(f.guard, row.guard);
        EXPECT_EQ(f.min, row.absolute ? 0.1 : -0.2);
    }
}

TEST(HistoryNames, TimesAndGlobs) {
    struct TimeCase {
        const char* text;
        std::optional<std::int64_t> seconds;
        bool date_only;
    };
    for (const TimeCase& row : std::vector<TimeCase>{
             {"1970-01-01", 0, true},
             {"2026-12-09T10:15:03Z", 1796811303, false},
             {"20261209T101503Z", 1796811303, false},
             {"2024-02-29", 1709164800, true},
             {"2026-02-29", std::nullopt, false},
             {"2026-12-09T24:00:00Z", std::nullopt, false},
             {"2026-12-09T10:15:03", std::nullopt, false},
             {"2026-12-9", std::nullopt, false},
         }) {
        bool date_only = false;
        EXPECT_EQ(history_parse_time(row.text, date_only), row.seconds) << row.text;
        EXPECT_TRUE(!row.seconds || date_only == row.date_only) << row.text;
    }
    for (const auto& [glob, text, match] :
         std::vector<std::tuple<const char*, const char*, bool>>{{"SN*", "SN0042", true},
                                                                 {"*42", "SN0042", true},
                                                                 {"S?0*2", "SN0042", true},
                                                                 {"*4*4*", "SN0042", false},
                                                                 {"SN", "SN0042", false},
                                                                 {"*", "", true},
                                                                 {"a*b*c", "abxbc", true},
                                                                 {"?", "", false}}) {
        EXPECT_EQ(history_glob_match(glob, text), match) << glob << " " << text;
    }
    EXPECT_TRUE(archive_is_record_name("20261209T101503Z-12"));
    for (const char* name : {"20261209T101503Z-", "20261209T101503", "2026120xT101503Z"}) {
        EXPECT_FALSE(archive_is_record_name(name)) << name;
    }
}

// A CSV field that holds a comma, a quote or a line break is quoted, its quotes doubled, so that
// a spreadsheet keeps the row whole; limits names and operators may hold any of them.
TEST(HistoryCsv, FieldsThatWouldSplitTheRowAreQuoted) {
    for (const auto& [field, written] : std::vector<std::pair<std::string, std::string>>{
             {"rev C", "rev C"},
             {"", ""},
             {"rev C, 2026", "\"rev C, 2026\""},
             {"rev \"C\"", "\"rev \"\"C\"\"\""},
             {"rev C\n2026", "\"rev C\n2026\""},
             {"rev C\r", "\"rev C\r\""},
             {"it's; fine", "it's; fine"},
         }) {
        const HistoryTable table{"sweeps", {field}, {{std::optional<std::string>(field)}}};
        EXPECT_EQ(historyout_csv(table), written + "\n" + written + "\n") << field;
    }
}

TEST_F(HistoryTest, ViewsMatchTheirGoldenFiles) {
    struct View {
        std::vector<std::string> arguments;
        const char* golden;
    };
    for (const View& view : std::vector<View>{
             {{archive.string()}, "sensors.txt"},
             {{"--summary", archive.string()}, "summary.txt"},
             {{"--sweeps", "--figures", "temperature.mean_c,heading.peak_deviation_deg", "--csv",
               "-", archive.string()},
              "sweeps.csv"},
             {{"--summary", "--json", "-", archive.string()}, "summary.json"},
             {{"--summary", "--since", "2026-12-10", "--csv", "-", archive.string()},
              "summary_window.csv"},
         }) {
        const ToolResult result = run(view.arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        const std::string golden = tool_read_file(fs::path(GM_HISTORY_DATA) / view.golden);
        const bool text = fs::path(view.golden).extension() == ".txt";
        EXPECT_EQ(lf_lines(result.out), golden) << view.golden;
        EXPECT_EQ(result.err.empty(), text) << result.err;
    }
}

TEST_F(HistoryTest, FiltersDamagedRecordsAndDryArchives) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments; // before DIR
        std::string damaged;                // a file under the archive, written with `content`
        std::string content;
        int status;
        std::string says;   // the first line of standard output, or what standard error holds
        bool empty = false; // an empty archive folder, or (status 1) none at all
        const char* left_out = ""; // the summary CSV's count of records skipped
    };
    const char* none_left_out = "skipped,count\nerror,0\naborted,0\n";
    const char* one_error = "skipped,count\nerror,1\naborted,0\n";
    const std::vector<Case> cases = {
        {"serial", {"--serial", "*3"}, "", "", 0, "2 sweeps of 1 sensor"},
        {"since", {"--since", "2026-12-10"}, "", "", 0, "4 sweeps of 4 sensors"},
        {"until a day", {"--until", "2026-12-09"}, "", "", 0, "6 sweeps of 4 sensors"},
        {"until a second", {"--until", "20261209T120000Z"}, "", "", 0, "4 sweeps of 2 sensors"},
        {"limits", {"--limits", "rev D"}, "", "", 0, "1 sweep of 1 sensor"},
        // A day ends at its last second: a sweep then is kept, one at the next midnight is not;
        // --since a day keeps its midnight.
        {"until a day, its last second",
         {"--until", "2026-12-09"},
         "SN6/20261209T235959Z/report.json",
         record_json({"SN6", "20261209T235959Z", nullptr, nullptr, 0.1, 0.1, 0.001, 25}),
         0,
         "7 sweeps of 5 sensors"},
        {"until a day, the next midnight",
         {"--until", "2026-12-09"},
         "SN6/20261210T000000Z/report.json",
         record_json({"SN6", "20261210T000000Z", nullptr, nullptr, 0.1, 0.1, 0.001, 25}),
         0,
         "6 sweeps of 4 sensors"},
        {"since a day, its midnight",
         {"--since", "2026-12-10"},
         "SN6/20261210T000000Z/report.json",
         record_json({"SN6", "20261210T000000Z", nullptr, nullptr, 0.1, 0.1, 0.001, 25}),
         0,
         "5 sweeps of 5 sensors"},
        {"none left", {"--serial", "SN9*"}, "", "", 1, "no record in"},
        {"scratch",
         {},
         "SN1/.partial-20261209T101503Z-pc-7/report.json",
         "{",
         3,
         ".partial-20261209T101503Z-pc-7: a record being written, or left by a crash",
         false,
         "skipped,count\nerror,0\naborted,1\n"},
        {"invalid JSON",
         {},
         "SN2/20261211T000000Z/report.json",
         "{\"record\": ",
         3,
         "report.json: not valid JSON",
         false,
         one_error},
        {"no time",
         {},
         "SN2/20261211T000000Z/report.json",
         R"({"record": {"serial": "SN2"}})",
         3,
         "report.json: no record.time",
         false,
         one_error},
        {"verdict PAS",
         {},
         "SN2/20261211T000000Z/report.json",
         record_json({"SN2", "20261211T000000Z", "PAS", "rev C", 0.2, 0.1, 0.001, 25}),
         3,
         "report.json: verdict.result is neither PASS nor FAIL",
         false,
         one_error},
        {"no report",
         {},
         "SN2/20261211T000000Z/report.txt",
         "",
         3,
         ": no report.json",
         false,
         one_error},
        {"stray folder",
         {},
         "SN2/old/report.json",
         "{}",
         3,
         "old: not a record",
         false,
         none_left_out},
        {"stray file",
         {},
         "notes.txt",
         "",
         3,
         "notes.txt: not a sensor's folder",
         false,
         none_left_out},
        {"dry", {}, "", "", 1, "holds no record\n", true},
        {"missing", {}, "", "", 1, "cannot read", true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const fs::path where = dir / row.name;
        fs::create_directories(where);
        if (!row.empty) {
            write_batch(where);
        }
        if (!row.damaged.empty()) {
            fs::create_directories((where / row.damaged).parent_path());
            tool_write_file(where / row.damaged, row.content);
        }
        std::vector<std::string> arguments = row.arguments;
        arguments.push_back((row.says == "cannot read" ? where / "nowhere" : where).string());
        const ToolResult result = run(arguments);
        EXPECT_EQ(result.status, row.status) << result.err;
        const std::string out = lf_lines(result.out);
        if (row.status == 0) {
            EXPECT_EQ(out.substr(0, out.find('\n')), row.says) << out;
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_NE(lf_lines(result.err).find(row.says), std::string::npos) << result.err;
            // A skipped record is one line, the rest still listed; nothing else is a table.
            EXPECT_EQ(tool_count_lines(result.err), 1u) << result.err;
            EXPECT_EQ(out.starts_with("10 sweeps of 5 sensors, 1 skipped"), row.status == 3) << out;
        }
        if (row.status == 3) {
            arguments.insert(arguments.begin(), {"--summary", "--csv", "-"});
            EXPECT_TRUE(lf_lines(run(arguments).out).ends_with(row.left_out));
            // The text says so only when a sweep was lost.
            const std::string text = lf_lines(run({"--summary", where.string()}).out);
            EXPECT_EQ(text.find("\nLeft out: ") != std::string::npos,
                      std::string(row.left_out) != none_left_out)
                << text;
        }
    }
}

TEST_F(HistoryTest, BadArgumentsEndWithStatusTwoAndOneLine) {
    const std::string dir_argument = archive.string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "DIR"},
        {{"--bogus", dir_argument}, "--bogus"},
        {{"--sweeps", "--summary", dir_argument}, "--summary"},
        {{"--png", "a.png", dir_argument}, "--plot"},
        {{"--plot", "mag.fit_rms_gauss", dir_argument}, "--png"},
        {{"--since", "2026-12-32", dir_argument}, "--since"},
        {{"--until", "yesterday", dir_argument}, "--until"},
        {{"--csv", "-", "--json", "-", dir_argument}, "standard output"},
        {{"--csv", "x", "--json", "x", dir_argument}, "--json would overwrite --csv"},
        {{"--figures", "heading.nope", dir_argument}, "heading.nope"},
        {{"--png", "a.png", "--plot", "mag.fit_rms_gauss", "--chart", "pareto", dir_argument},
         "--chart"},
        {{"--chart", "imr", dir_argument}, "--png"},
    };
    for (const auto& [arguments, named] : cases) {
        const ToolResult result = run(arguments);
        EXPECT_EQ(result.status, 2) << named;
        EXPECT_TRUE(result.err.starts_with("gyro_motor_history: ")) << result.err;
        EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
        EXPECT_EQ(tool_count_lines(result.err), 1u) << result.err;
        EXPECT_EQ(result.out, "");
    }
    const ToolResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* part : {"Usage: gyro_motor_history", "Ppk = min(USL - mean, mean - LSL)",
                             "neither\npasses nor fails", "PATH: reason", "Exit status"}) {
        EXPECT_NE(lf_lines(help.out).find(part), std::string::npos) << part;
    }
}

TEST_F(HistoryTest, DrawsTheTrendAndTheControlChart) {
    if (!tool_gnuplot_on_path()) {
        GTEST_SKIP() << "gnuplot is not on the PATH (install gnuplot-nox): the picture is not "
                        "tested";
    }
    const fs::path png = dir / "peak.png";
    const std::vector<std::string> draw = {"--png", png.string(), "--plot",
                                           "heading.peak_deviation_deg"};
    struct Case {
        std::vector<std::string> arguments; // before DRAW and DIR
        int status;
        const char* err;
    };
    for (const Case& row : std::vector<Case>{
             {{}, 0, ""},
             {{"--chart", "trend"}, 0, ""},
             {{"--chart", "imr"}, 0, ""},
             {{"--chart", "imr", "--serial", "SN1"},
              1,
              "gyro_motor_history: a control chart needs two sensors whose latest sweep "
              "measured heading.peak_deviation_deg; 1 did\n"},
         }) {
        std::error_code gone;
        fs::remove(png, gone);
        std::vector<std::string> arguments = row.arguments;
        arguments.insert(arguments.end(), draw.begin(), draw.end());
        arguments.push_back(archive.string());
        const ToolResult result = run(arguments);
        EXPECT_EQ(result.status, row.status) << result.err;
        EXPECT_EQ(lf_lines(result.err), row.err); // gnuplot had nothing to warn about either
        if (row.status == 0) {
            const std::string picture = tool_read_file(png);
            ASSERT_GT(picture.size(), 1000u);
            EXPECT_EQ(picture.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        } else {
            EXPECT_FALSE(fs::exists(png));
        }
    }
}
