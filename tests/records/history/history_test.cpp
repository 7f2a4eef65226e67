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
        const double fit_max = std::string(sweep.limits) == "rev C" ? 0.002 : 0.003;
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

void write_sweep(const fs::path& archive, const std::string& folder, const Sweep& sweep) {
    fs::create_directories(archive / folder / sweep.name);
    tool_write_file(archive / folder / sweep.name / "report.json", record_json(sweep));
}

// The batch, with the limits named `rev_d` where they are rev D.
void write_batch(const fs::path& archive, const char* rev_d = "rev D") {
    for (Sweep sweep : batch) {
        sweep.limits =
            sweep.limits != nullptr && std::string(sweep.limits) == "rev D" ? rev_d : sweep.limits;
        write_sweep(archive, sweep.serial, sweep);
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

    // Latest peak deviations 0.2, 0.2, -0.1, 0.3, 0.6: mean 1.2 / 5 = 0.24; squares about it
    // 0.0016 + 0.0016 + 0.1156 + 0.0036 + 0.1296 = 0.252, / 4 = 0.063, sd 0.250998008;
    // limits -0.5..0.5: Cpk = min(0.26, 0.74) / (3 * 0.250998008) = 0.345287.
    const HistoryFigureSummary& peak = summary.figures[0];
    EXPECT_EQ(peak.n, 5u);
    EXPECT_NEAR(*peak.mean, 0.24, 1e-12);
    EXPECT_NEAR(*peak.sd, 0.250998008, 1e-9);
    EXPECT_EQ(*peak.min, -0.1);
    EXPECT_EQ(*peak.max, 0.6);
    EXPECT_EQ(peak.index, "Cpk");
    EXPECT_NEAR(*peak.capability, 0.345288, 1e-6);
    // Latest scale errors 0.15, 0.2, 0.25, 0.15, 0.05: mean 0.16, squares 0.0001 + 0.0016 +
    // 0.0081 + 0.0001 + 0.0121 = 0.022, / 4 = 0.0055, sd 0.0741620; max 0.3 alone:
    // Cpu = 0.14 / (3 * 0.0741620) = 0.629253.
    const HistoryFigureSummary& scale = summary.figures[1];
    EXPECT_NEAR(*scale.sd, 0.0741620, 1e-7);
    EXPECT_EQ(scale.index, "Cpu");
    EXPECT_NEAR(*scale.capability, 0.629253, 1e-6);
    // Latest temperatures 24.5, 23, 23.5, 24, 22.5 against a min of 22 alone: mean 23.5, squares
    // 1 + 0.25 + 0 + 0.25 + 1 = 2.5, / 4 = 0.625, sd 0.790569; Cpl = 1.5 / (3 * 0.790569).
    std::vector<HistoryRecord> cold = read.records;
    for (HistoryRecord& record : cold) {
        record.limits.push_back({"temperature.mean_c", 22.0, std::nullopt, std::nullopt});
    }
    const HistoryFigureSummary temperature =
        history_summarise(cold, sensors, {"temperature.mean_c"}).figures.at(0);
    EXPECT_EQ(temperature.index, "Cpl");
    EXPECT_NEAR(*temperature.capability, 0.632456, 1e-6);
    // rev C and rev D disagree on the fit's limit; SN5 did not measure it.
    const HistoryFigureSummary& fit = summary.figures[2];
    EXPECT_TRUE(fit.limits_disagree);
    EXPECT_FALSE(fit.capability);
    EXPECT_EQ(fit.n, 4u);
    EXPECT_EQ(fit.unmeasured, 1u);
    // First sweeps: SN1 FAIL, SN2 PASS, SN3 FAIL, SN4 none, SN5 FAIL: 1 of 4, one unjudged.
    // Latest: SN1-SN4 PASS, SN5 FAIL: 4 of 5.
    EXPECT_EQ(summary.first_pass.passed, 1u);
    EXPECT_EQ(summary.first_pass.judged, 4u);
    EXPECT_EQ(summary.first_pass.unjudged, 1u);
    EXPECT_EQ(summary.final_pass.passed, 4u);
    EXPECT_EQ(summary.final_pass.judged, 5u);
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
    // Limits whose name a console shows in fewer columns than it has bytes.
    const fs::path german = dir / "german";
    write_batch(german, "Prüfgrenzen Größe – rev Ä");
    for (const View& view : std::vector<View>{
             {{"--sweeps", german.string()}, "sweeps.txt"},
             {{archive.string()}, "sensors.txt"},
             {{"--summary", archive.string()}, "summary.txt"},
             {{"--sweeps", "--figures", "temperature.mean_c,heading.peak_deviation_deg", "--csv",
               "-", archive.string()},
              "sweeps.csv"},
             {{"--summary", "--json", "-", archive.string()}, "summary.json"},
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
    };
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
         ".partial-20261209T101503Z-pc-7: a record being written, or left by a crash"},
        {"invalid JSON",
         {},
         "SN2/20261211T000000Z/report.json",
         "{\"record\": ",
         3,
         "report.json: not valid JSON"},
        {"no time",
         {},
         "SN2/20261211T000000Z/report.json",
         R"({"record": {"serial": "SN2"}})",
         3,
         "report.json: no record.time"},
        {"verdict PAS",
         {},
         "SN2/20261211T000000Z/report.json",
         record_json({"SN2", "20261211T000000Z", "PAS", "rev C", 0.2, 0.1, 0.001, 25}),
         3,
         "report.json: verdict.result is neither PASS nor FAIL"},
        {"no report", {}, "SN2/20261211T000000Z/report.txt", "", 3, ": no report.json"},
        {"stray folder", {}, "SN2/old/report.json", "{}", 3, "old: not a record"},
        {"stray file", {}, "notes.txt", "", 3, "notes.txt: not a sensor's folder"},
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
    for (const char* part : {"Usage: gyro_motor_history", "Cpk = min(USL - mean, mean - LSL)",
                             "neither\npasses nor fails", "PATH: reason", "Exit status"}) {
        EXPECT_NE(lf_lines(help.out).find(part), std::string::npos) << part;
    }
}

TEST_F(HistoryTest, DrawsAFigureOverTimeAndTemperature) {
    if (!tool_gnuplot_on_path()) {
        GTEST_SKIP() << "gnuplot is not on the PATH (install gnuplot-nox): the picture is not "
                        "tested";
    }
    const fs::path png = dir / "peak.png";
    const ToolResult result =
        run({"--png", png.string(), "--plot", "heading.peak_deviation_deg", archive.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, ""); // gnuplot had nothing to warn about either
    const std::string picture = tool_read_file(png);
    ASSERT_GT(picture.size(), 1000u);
    EXPECT_EQ(picture.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

// A record of sn1 that Windows put into SN1's folder, and a folder sn2 beside SN2 (where the
// file system tells the two apart): one sensor each, said on standard error.
TEST_F(HistoryTest, SerialsThatDifferOnlyInLetterCaseAreOneSensor) {
    write_sweep(archive, "SN1",
                {"sn1", "20261211T090000Z", "PASS", "rev C", 0.1, 0.1, 0.001, 24.0});
    const bool two_folders = !fs::exists(archive / "sn2") && fs::create_directory(archive / "sn2");
    if (two_folders) {
        write_sweep(archive, "sn2",
                    {"sn2", "20261209T100000Z", "FAIL", "rev C", 0.9, 0.1, 0.001, 24.0});
    }
    HistoryArchive read;
    std::string error;
    ASSERT_TRUE(history_read(archive.string(), read, error)) << error;
    const std::vector<HistorySensor> sensors = history_sensors(read.records);
    ASSERT_EQ(sensors.size(), 5u);
    EXPECT_EQ(sensors[0].serial, "SN1");
    EXPECT_EQ(sensors[0].sweeps, 4u);
    EXPECT_EQ(read.records[sensors[0].latest].serial, "sn1");
    EXPECT_EQ(sensors[1].sweeps, two_folders ? 3u : 2u);
    // sn2's sweep is SN2's first: it sorts by its time among SN2's.
    EXPECT_EQ(read.records[sensors[1].first].serial, two_folders ? "sn2" : "SN2");
    std::vector<std::vector<std::string>> spellings{{"SN1", "sn1"}};
    if (two_folders) {
        spellings.push_back({"SN2", "sn2"});
    }
    EXPECT_EQ(read.spellings, spellings);

    const ToolResult all = run({archive.string()});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_TRUE(lf_lines(all.out).starts_with(two_folders ? "12 sweeps of 5 sensors\n"
                                                          : "11 sweeps of 5 sensors\n"))
        << all.out;
    EXPECT_EQ(lf_lines(all.err).substr(0, lf_lines(all.err).find('\n') + 1),
              "gyro_motor_history: SN1 and sn1 differ only in letter case: one sensor\n");
    EXPECT_EQ(tool_count_lines(all.err), spellings.size());
    // The serial's glob matches in any letter case.
    const ToolResult one = run({"--serial", "sN1", archive.string()});
    EXPECT_TRUE(lf_lines(one.out).starts_with("4 sweeps of 1 sensor\n")) << one.out;
}
