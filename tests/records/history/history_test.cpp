// The sensor archive's reader and its statistics on a generated archive of ten sweeps of five
// sensors, checked against a hand computation; and the real gyro_motor_history program on it:
// its views against golden files, its filters, damaged records, a dry archive and bad arguments.
// GM_HISTORY_TOOL in the environment runs another build of the program (the Windows zip's).
#include "outputs/history/historyout.h"
#include "records/archive/archive.h"
#include "records/digest/digest.h"
#include "records/history/history.h"
#include "records/select/select.h"
#include "tests/support/sealed_record.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

// One generated sweep: its record folder, the limits it was judged against (none: reported
// without limits), the verdict those give, and its figures (nothing: not measured).
struct Sweep {
    const char* serial;
    const char* name;
    const char* verdict;
    const char* limits;         // a key of limits_toml
    std::optional<double> peak; // heading.peak_deviation_deg, limits max_abs 0.5
    double scale;               // yaw_rate.scale_error_percent, limits max 0.3
    std::optional<double> fit;  // mag.fit_rms_gauss, max 0.002 in rev C, 0.003 in rev D
    double temperature;
};

// SN1's second and third sweep share a second; SN4's first sweep has no verdict. The latest
// sweeps: SN1-SN4 pass, SN5 fails; SN2's latest was judged against rev D, SN4's against a copy
// of rev C whose fit limit was loosened to 0.0025 under the same name.
const std::vector<Sweep> batch = {
    {"SN1", "20261209T101503Z", "FAIL", "rev C", 0.70, 0.10, 0.0010, 24.0},
    {"SN1", "20261209T120000Z-10", "PASS", "rev C", 0.20, 0.15, 0.0011, 24.5},
    {"SN1", "20261209T120000Z-2", "PASS", "rev C", 0.40, 0.20, 0.0012, 25.0},
    {"SN2", "20261209T110000Z", "PASS", "rev C", 0.30, 0.05, 0.0010, 25.5},
    {"SN2", "20261210T080000Z", "PASS", "rev D", 0.20, 0.20, 0.0025, 23.0},
    {"SN3", "20261209T130000Z", "FAIL", "rev C", 0.55, 0.35, 0.0010, 26.0},
    {"SN3", "20261210T090000Z", "PASS", "rev C", -0.10, 0.25, 0.0014, 23.5},
    {"SN4", "20261209T140000Z", nullptr, nullptr, std::nullopt, 0.10, 0.0010, 25.0},
    {"SN4", "20261210T100000Z", "PASS", "rev C loosened", 0.30, 0.15, 0.0009, 24.0},
    {"SN5", "20261210T110000Z", "FAIL", "rev C", 0.60, 0.05, std::nullopt, 22.5},
};

// The limits files: rev C, rev D, and the loosened copy that calls itself rev C.
std::string limits_toml(const std::string& key, const char* name = nullptr) {
    const char* fit = key == "rev D" ? "0.003" : key == "rev C loosened" ? "0.0025" : "0.002";
    return "name = \"" + (name != nullptr ? std::string(name) : key.substr(0, 5)) +
           "\"\n[figures]\n"
           "\"heading.peak_deviation_deg\" = { max_abs = 0.5 }\n"
           "\"yaw_rate.scale_error_percent\" = { max = 0.3 }\n"
           "\"mag.fit_rms_gauss\" = { max = " +
           fit + " }\n[guard]\n\"heading.peak_deviation_deg\" = 0.02\n";
}

nlohmann::ordered_json figure_or_null(const std::optional<double>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

// The lot of SN1-SN3 is 17, that of SN4 and SN5 18.
std::string lot_of(const std::string& serial) {
    return serial <= "SN3" ? "17" : "18";
}

// The sweep's record as gyro_motor_report --archive writes it, its limits named `limits_name`
// where one is given.
void write_record(const fs::path& folder, const Sweep& sweep, const char* limits_name = nullptr) {
    const std::string n = sweep.name;
    const std::string time = n.substr(0, 4) + "-" + n.substr(4, 2) + "-" + n.substr(6, 2) + "T" +
                             n.substr(9, 2) + ":" + n.substr(11, 2) + ":" + n.substr(13, 2) + "Z";
    nlohmann::ordered_json json = {
        {"samples", 300},
        {"sampling", {{"timed", true}, {"mean_interval_ms", 37.6}}},
        {"heading", {{"peak_deviation_deg", figure_or_null(sweep.peak)}}},
        {"yaw_rate", {{"scale_error_percent", sweep.scale}}},
        {"mag", {{"fit_rms_gauss", figure_or_null(sweep.fit)}}},
        {"temperature", {{"mean_c", sweep.temperature}}},
        {"verdict", nullptr},
        {"record",
         {{"format", archive_format},
          {"serial", sweep.serial},
          {"time", time},
          {"operator", nullptr},
          {"station", "bench-1"},
          {"lot", lot_of(sweep.serial)},
          {"part", "HS-200"},
          {"program", "gyro_motor_report"},
          {"version", "0.1"}}}};
    // Its certificate, sealed with the rest; SN4's first sweep is kept from before records had one.
    if (sweep.verdict != nullptr) {
        fs::create_directories(folder);
        tool_write_file(folder / "record.html", "<!DOCTYPE html>\n<title>x</title>\n");
    }
    std::string error;
    ASSERT_TRUE(sealed_record_write(
        folder, json,
        sweep.limits != nullptr ? std::optional<std::string>(limits_toml(sweep.limits, limits_name))
                                : std::nullopt,
        error))
        << error;
    const nlohmann::ordered_json written =
        nlohmann::ordered_json::parse(tool_read_file(folder / "report.json"));
    if (sweep.limits != nullptr) {
        ASSERT_EQ(written["verdict"]["result"], sweep.verdict) << sweep.name;
    }
}

// The sweep's report.json as parsed before any check: its verdict as written, no manifest.
nlohmann::ordered_json record_document(const Sweep& sweep) {
    const std::string n = sweep.name;
    const std::string time = n.substr(0, 4) + "-" + n.substr(4, 2) + "-" + n.substr(6, 2) + "T" +
                             n.substr(9, 2) + ":" + n.substr(11, 2) + ":" + n.substr(13, 2) + "Z";
    nlohmann::ordered_json json = {{"yaw_rate", {{"scale_error_percent", sweep.scale}}},
                                   {"verdict", nullptr},
                                   {"record", {{"serial", sweep.serial}, {"time", time}}}};
    if (sweep.verdict != nullptr) {
        json["verdict"] = {
            {"limits",
             {{"name", sweep.limits},
              {"file", "limits.toml"},
              {"figures",
               {{"yaw_rate.scale_error_percent",
                 {{"min", nullptr}, {"max", 0.3}, {"max_abs", nullptr}, {"guard", nullptr}}}}}}},
            {"result", sweep.verdict}};
    }
    return json;
}

void write_sweep(const fs::path& archive, const std::string& folder, const Sweep& sweep) {
    write_record(archive / folder / sweep.name, sweep);
}

// The batch, with the limits named `rev_d` where they are rev D.
void write_batch(const fs::path& archive, const char* rev_d = nullptr) {
    for (const Sweep& sweep : batch) {
        write_record(archive / sweep.serial / sweep.name, sweep,
                     sweep.limits != nullptr && std::string(sweep.limits) == "rev D" ? rev_d
                                                                                     : nullptr);
    }
}

// A forger's tools: a record's report.json changed, and its manifest written again to match.
void edit_json(const fs::path& folder, const std::function<void(nlohmann::ordered_json&)>& edit) {
    nlohmann::ordered_json json =
        nlohmann::ordered_json::parse(tool_read_file(folder / "report.json"));
    edit(json);
    tool_write_file(folder / "report.json", json.dump(2) + "\n");
}

void restamp(const fs::path& folder) {
    std::string error;
    ASSERT_TRUE(archive_write_manifest(folder, error)) << error;
}

// A copy of SN5's record (FAIL: peak 0.6 against max_abs 0.5, fit not measured) as the sweep
// `name` of `serial`, the start of each forgery.
fs::path copy_record(const fs::path& archive, const char* serial = "SN5",
                     const char* name = "20261211T000000Z") {
    const fs::path to = archive / serial / name;
    fs::create_directories(to.parent_path());
    fs::copy(archive / "SN5" / "20261210T110000Z", to);
    return to;
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

// The batch page with its charts' part as a mark (what gnuplot draws differs from one version to
// the next, and the browser test counts the charts) and the test's folder as DIR.
std::string page_comparable(std::string page, const fs::path& dir) {
    const std::size_t start = page.find("<h2>Trends</h2>\n");
    const std::size_t end = page.find("<h2>Sensors</h2>");
    if (start != std::string::npos && end != std::string::npos) {
        page.replace(start + 16, end - start - 16, "[charts]\n");
    }
    for (std::size_t at; (at = page.find(dir.string())) != std::string::npos;) {
        page.replace(at, dir.string().size(), "DIR");
    }
    // The paths the page names, as Windows writes them too.
    std::replace(page.begin(), page.end(), '\\', '/');
    return page;
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
    SelectFilter since;
    since.since = 1796860800; // 2026-12-10T00:00:00Z
    select_filter(window, since);
    std::vector<HistorySensor> kept = history_sensors(window);
    history_mark_first_sweeps(read.records, window, kept);
    const HistorySummary shift = history_summarise(window, kept, {});
    EXPECT_EQ(shift.first_pass.passed, 0u);
    EXPECT_EQ(shift.first_pass.judged, 1u);
    EXPECT_EQ(shift.first_pass.before_window, 3u);
    EXPECT_EQ(shift.final_pass.judged, 4u);
    EXPECT_EQ(shift.final_pass.before_window, 0u);

    // Failures by hand: first sweeps SN1 on peak (0.7), SN3 on peak (0.55) and scale (0.35),
    // SN5 on peak (0.6) and fit (not measured); latest SN5 alone. By the first count, then the
    // latest, then the name.
    ASSERT_EQ(summary.pareto.size(), 3u);
    const std::vector<std::tuple<std::string, std::size_t, std::size_t>> pareto = {
        {"heading.peak_deviation_deg", 3, 1},
        {"mag.fit_rms_gauss", 1, 1},
        {"yaw_rate.scale_error_percent", 1, 0}};
    for (std::size_t k = 0; k < pareto.size(); ++k) {
        EXPECT_EQ(
            std::tie(summary.pareto[k].figure, summary.pareto[k].first, summary.pareto[k].latest),
            pareto[k]);
    }
    EXPECT_EQ(read.records[sensors[4].latest].failed,
              (std::vector<std::string>{"heading.peak_deviation_deg", "mag.fit_rms_gauss"}));
    // Two files call themselves rev C; rev D is one file.
    ASSERT_EQ(summary.shared_names.size(), 1u);
    EXPECT_EQ(summary.shared_names[0].name, "rev C");
    std::vector<std::string> digests{*digest_sha256(limits_toml("rev C")),
                                     *digest_sha256(limits_toml("rev C loosened"))};
    std::sort(digests.begin(), digests.end());
    EXPECT_EQ(summary.shared_names[0].sha256, digests);
    for (const HistoryRecord& record : read.records) {
        EXPECT_TRUE(record.sealed) << record.path;
    }
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

TEST(HistoryNames, ShortNamesAndLimitsShown) {
    const std::vector<std::string> paths{"heading.peak_deviation_deg", "heading.B_deg",
                                         "tilt.mean_deg", "temperature.mean_deg"};
    EXPECT_EQ(history_short_name("heading.peak_deviation_deg", paths), "peak_deviation_deg");
    EXPECT_EQ(history_short_name("tilt.mean_deg", paths), "tilt.mean_deg");
    EXPECT_EQ(history_short_name("broken_records", paths), "broken_records");
    HistoryRecord record{};
    record.limits_name = "rev C";
    EXPECT_EQ(history_limits_shown(record), "rev C");
    record.limits_sha256 = std::string(56, '0') + "3f2a9c1e";
    EXPECT_EQ(history_limits_shown(record), "rev C (00000000)");
}

// record.outcome against the verdict: older records have none and take the verdict's; an ERROR or
// ABORTED sweep passed or failed nothing, and counts apart from both sides of the yields.
TEST(HistoryOutcome, TheOutcomeIsReadAndIncompleteSweepsCountApart) {
    const nlohmann::json absent = "absent";
    struct Case {
        nlohmann::json outcome; // "absent": no such key
        const char* verdict;    // nullptr: null
        const char* read;       // nullptr: the record is refused
        std::optional<bool> passed;
    };
    const std::vector<Case> cases = {
        {absent, "PASS", "PASS", true},
        {absent, "FAIL", "FAIL", false},
        {absent, nullptr, "", std::nullopt},
        {nullptr, nullptr, "", std::nullopt},
        {nullptr, "PASS", nullptr, std::nullopt},
        {"PASS", "PASS", "PASS", true},
        {"FAIL", "FAIL", "FAIL", false},
        {"FAIL", "PASS", nullptr, std::nullopt},
        {"PASS", nullptr, nullptr, std::nullopt},
        {"ERROR", nullptr, "ERROR", std::nullopt},
        {"ABORTED", nullptr, "ABORTED", std::nullopt},
        {"ERROR", "PASS", "ERROR", std::nullopt},
        {"error", nullptr, nullptr, std::nullopt},
        {3, nullptr, nullptr, std::nullopt},
    };
    const Sweep plain{"SN1", "20261209T101503Z", nullptr, nullptr, 0.1, 0.1, 0.001, 25.0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome.dump() + " " + (c.verdict ? c.verdict : "null"));
        Sweep sweep = plain;
        sweep.verdict = c.verdict;
        sweep.limits = c.verdict ? "rev C" : nullptr;
        nlohmann::ordered_json json = record_document(sweep);
        if (c.outcome != absent) {
            json["record"]["outcome"] = c.outcome;
        }
        HistoryRecord record;
        std::string error;
        EXPECT_EQ(history_parse_record(json, sweep.name, record, error), c.read != nullptr);
        if (c.read != nullptr) {
            EXPECT_EQ(record.outcome, c.read);
            EXPECT_EQ(record.passed, c.passed);
        } else {
            EXPECT_EQ(error, "record.outcome is not what the verdict says, nor ERROR or ABORTED");
        }
    }
    // First sweeps: SN1 ERROR, SN2 ABORTED, SN3 PASS; latest: SN1 PASS, SN2 ABORTED, SN3 FAIL.
    std::vector<HistoryRecord> records;
    for (const auto& [serial, name, outcome, verdict] :
         std::vector<std::array<const char*, 4>>{{"SN1", "20261209T100000Z", "ERROR", nullptr},
                                                 {"SN1", "20261209T110000Z", "PASS", "PASS"},
                                                 {"SN2", "20261209T100000Z", "ABORTED", nullptr},
                                                 {"SN3", "20261209T100000Z", "PASS", "PASS"},
                                                 {"SN3", "20261209T110000Z", "FAIL", "FAIL"}}) {
        Sweep sweep{serial, name, verdict, verdict ? "rev C" : nullptr, 0.1, 0.1, 0.001, 25.0};
        nlohmann::ordered_json json = record_document(sweep);
        json["record"]["outcome"] = outcome;
        std::string error;
        ASSERT_TRUE(history_parse_record(json, name, records.emplace_back(), error)) << error;
    }
    const HistorySummary summary =
        history_summarise(records, history_sensors(records), {"yaw_rate.scale_error_percent"});
    EXPECT_EQ(summary.first_pass.passed, 1u);
    EXPECT_EQ(summary.first_pass.judged, 1u);
    EXPECT_EQ(summary.first_pass.errors, 1u);
    EXPECT_EQ(summary.first_pass.aborted, 1u);
    EXPECT_EQ(summary.first_pass.unjudged, 0u);
    EXPECT_EQ(summary.final_pass.passed, 1u);
    EXPECT_EQ(summary.final_pass.judged, 2u);
    EXPECT_EQ(summary.final_pass.errors, 0u);
    EXPECT_EQ(summary.final_pass.aborted, 1u);
    // SN2's latest sweep was interrupted: its figures are no point of the batch's statistics.
    EXPECT_EQ(summary.figures[0].n, 2u);
    EXPECT_EQ(summary.figures[0].unmeasured, 0u);
    EXPECT_EQ(historyout_yields_text(summary),
              "First-pass yield: 100.0 % (1 of 1 sensors whose first sweep has a verdict; "
              "1 ERROR, 1 ABORTED)\n"
              "Final yield: 50.0 % (1 of 2 sensors whose latest sweep has a verdict; 0 ERROR, "
              "1 ABORTED)\n");
    HistorySummary none;
    none.first_pass.errors = 2;
    EXPECT_EQ(historyout_yields_text(none),
              "First-pass yield: none, no sensor's first sweep has a verdict (2 ERROR, 0 "
              "ABORTED)\nFinal yield: none, no sensor's latest sweep has a verdict\n");
    const HistoryTable sweeps = historyout_sweeps(records, {});
    EXPECT_EQ(std::get<std::optional<std::string>>(sweeps.rows[0][3]), "ERROR");
    EXPECT_EQ(std::get<std::optional<std::string>>(sweeps.rows[2][3]), "ABORTED");
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
        EXPECT_EQ(archive_parse_time(row.text, date_only), row.seconds) << row.text;
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
        EXPECT_EQ(select_glob_match(glob, text), match) << glob << " " << text;
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
        int status = 0;
    };
    // Limits whose name a console shows in fewer columns than it has bytes.
    const fs::path german = dir / "german";
    write_batch(german, "Prüfgrenzen Größe – rev Ä");
    // A batch with a forged record and one kept before records were sealed: the page lists the
    // first as left out and names the second without a link.
    const fs::path damaged = dir / "damaged";
    write_batch(damaged);
    edit_json(copy_record(damaged), [](nlohmann::ordered_json& json) { json["samples"] = 301; });
    const fs::path older = copy_record(damaged, "SN5", "20261212T000000Z");
    fs::remove(older / "manifest.sha256");
    fs::remove(older / "record.html");
    edit_json(older, [](nlohmann::ordered_json& json) { json["record"].erase("format"); });
    // And a sensor whose only sweep ended in ERROR: its row says so, and why.
    const Sweep failed_sweep{"SN6", "20261210T120000Z", nullptr, nullptr, 0.1, 0.1, 0.001, 25.0};
    write_record(damaged / "SN6" / failed_sweep.name, failed_sweep);
    edit_json(damaged / "SN6" / failed_sweep.name, [](nlohmann::ordered_json& json) {
        json["record"]["outcome"] = "ERROR";
        json["record"]["reason"] = "the sweep failed (status 3: Gyro - no answer for 2002 ms)";
    });
    restamp(damaged / "SN6" / failed_sweep.name);
    for (const View& view : std::vector<View>{
             {{"--sweeps", german.string()}, "sweeps.txt"},
             {{archive.string()}, "sensors.txt"},
             {{"--summary", archive.string()}, "summary.txt"},
             {{"--sweeps", "--show", "lot,operator", "--figures",
               "temperature.mean_c,heading.peak_deviation_deg", "--csv", "-", archive.string()},
              "sweeps.csv"},
             {{"--summary", "--json", "-", archive.string()}, "summary.json"},
             {{"--summary", "--since", "2026-12-10", "--csv", "-", archive.string()},
              "summary_window.csv"},
             // Beside the archive: its links lead into it.
             {{"--html", (dir / "batch.html").string(), damaged.string()}, "batch.html", 3},
         }) {
        const ToolResult result = run(view.arguments);
        EXPECT_EQ(result.status, view.status) << result.err;
        const fs::path golden_path = fs::path(GM_HISTORY_DATA) / view.golden;
        const std::string out = golden_path.extension() == ".html"
                                    ? page_comparable(tool_read_file(dir / "batch.html"), dir)
                                    : lf_lines(result.out);
        if (std::getenv("GM_UPDATE_GOLDEN") != nullptr) {
            tool_write_file(golden_path, out);
        }
        const bool text = golden_path.extension() == ".txt";
        EXPECT_EQ(out, tool_read_file(golden_path)) << view.golden;
        EXPECT_EQ(result.err.empty(), text) << result.err;
    }
}

// Each row is run on a fresh copy of the batch, changed by its `damage`. A forged record is a
// copy of a real one changed with care: its manifest written again, so that only the reader's
// own checks can tell.
TEST_F(HistoryTest, FiltersDamagedRecordsAndDryArchives) {
    using Damage = std::function<void(const fs::path&)>;
    const auto file = [](std::string name, std::string content) -> Damage {
        return [name, content](const fs::path& where) {
            fs::create_directories((where / name).parent_path());
            tool_write_file(where / name, content);
        };
    };
    // A scratch folder last changed `age` ago.
    const auto scratch = [](std::chrono::seconds age) -> Damage {
        return [age](const fs::path& where) {
            const fs::path folder = where / "SN1" / ".partial-20261209T101503Z-pc-7";
            fs::create_directories(folder);
            tool_write_file(folder / "report.json", "{");
            tool_age_folder(folder, age);
        };
    };
    const auto forged = [](const char* serial,
                           std::function<void(const fs::path&)> change) -> Damage {
        return [serial, change](const fs::path& where) {
            const fs::path record = copy_record(where, serial);
            change(record);
            restamp(record);
        };
    };
    // SN5's record with the value at `pointer` in its report.json set, and sealed again.
    const auto resealed = [&forged](const char* pointer, nlohmann::ordered_json value) {
        return forged("SN5", [pointer, value](const fs::path& record) {
            edit_json(record, [&](nlohmann::ordered_json& json) {
                json[nlohmann::ordered_json::json_pointer(pointer)] = value;
            });
        });
    };
    const auto added = [](const Sweep& sweep) -> Damage {
        return [sweep](const fs::path& where) {
            write_record(where / sweep.serial / sweep.name, sweep);
        };
    };
    const std::string rev_d = digest_sha256(limits_toml("rev D"))->substr(0, 8);
    const std::string rev_c = digest_sha256(limits_toml("rev C"))->substr(0, 8);
    struct Case {
        const char* name;
        std::vector<std::string> arguments; // before DIR
        Damage damage;                      // done to the archive's copy
        int status;
        std::string says;   // the first line of standard output, or what standard error holds
        std::string note{}; // with status 0, what standard error holds
        bool empty = false; // an empty archive folder, or (status 1) none at all
    };
    const std::vector<Case> cases = {
        {"serial", {"--serial", "*3"}, {}, 0, "2 sweeps of 1 sensor"},
        {"since", {"--since", "2026-12-10"}, {}, 0, "4 sweeps of 4 sensors"},
        {"until a day", {"--until", "2026-12-09"}, {}, 0, "6 sweeps of 4 sensors"},
        {"until a second", {"--until", "20261209T120000Z"}, {}, 0, "4 sweeps of 2 sensors"},
        // A day ends at its last second: a sweep then is kept, one at the next midnight is not;
        // --since a day keeps its midnight.
        {"until a day, its last second",
         {"--until", "2026-12-09"},
         added({"SN6", "20261209T235959Z", nullptr, nullptr, 0.1, 0.1, 0.001, 25}),
         0,
         "7 sweeps of 5 sensors"},
        {"until a day, the next midnight",
         {"--until", "2026-12-09"},
         added({"SN6", "20261210T000000Z", nullptr, nullptr, 0.1, 0.1, 0.001, 25}),
         0,
         "6 sweeps of 4 sensors"},
        {"since a day, its midnight",
         {"--since", "2026-12-10"},
         added({"SN6", "20261210T000000Z", nullptr, nullptr, 0.1, 0.1, 0.001, 25}),
         0,
         "5 sweeps of 5 sensors"},
        {"since is until",
         {"--since", "20261209T120000Z", "--until", "2026-12-09T12:00:00Z"},
         {},
         0,
         "2 sweeps of 1 sensor"},
        {"limits", {"--limits", "rev D"}, {}, 0, "1 sweep of 1 sensor"},
        {"limits of one name", {"--limits", "rev C"}, {}, 0, "8 sweeps of 5 sensors"},
        {"limits by digest", {"--limits", rev_d}, {}, 0, "1 sweep of 1 sensor"},
        {"limits by digest in capitals",
         {"--limits",
          [&] {
              std::string upper = rev_c;
              std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
              return upper;
          }()},
         {},
         0,
         "7 sweeps of 4 sensors"},
        {"limits by 7 digits", {"--limits", rev_d.substr(0, 7)}, {}, 1, "no record in"},
        {"limits as shown", {"--limits", "rev C (" + rev_c + ")"}, {}, 0, "7 sweeps of 4 sensors"},
        {"lot", {"--lot", "17"}, {}, 0, "7 sweeps of 3 sensors"},
        {"lot glob", {"--lot", "1?"}, {}, 0, "10 sweeps of 5 sensors"},
        {"part and station",
         {"--part", "HS-200", "--station", "bench-*"},
         {},
         0,
         "10 sweeps of 5 sensors"},
        {"operator not kept", {"--operator", "anna"}, {}, 1, "no record in"},
        {"none left", {"--serial", "SN9*"}, {}, 1, "no record in"},
        {"young scratch",
         {},
         scratch(std::chrono::seconds(570)),
         0,
         "10 sweeps of 5 sensors",
         ".partial-20261209T101503Z-pc-7: a record being written now"},
        {"old scratch",
         {},
         scratch(std::chrono::seconds(610)),
         3,
         ".partial-20261209T101503Z-pc-7: left by a crash"},
        {"older record",
         {},
         [](const fs::path& where) {
             const fs::path record = copy_record(where);
             edit_json(record, [](nlohmann::ordered_json& json) {
                 json["record"].erase("format");
                 json["verdict"]["limits"].erase("sha256");
             });
             fs::remove(record / "manifest.sha256");
         },
         0,
         "11 sweeps of 5 sensors, 1 unverified (written before records had manifests)"},
        {"invalid JSON",
         {},
         file("SN2/20261211T000000Z/report.json", "{\"record\": "),
         3,
         "report.json: not valid JSON"},
        {"no time",
         {},
         file("SN2/20261211T000000Z/report.json", R"({"record": {"serial": "SN2"}})"),
         3,
         "report.json: no record.time"},
        {"no report", {}, file("SN2/20261211T000000Z/report.txt", ""), 3, ": no report.json"},
        {"stray folder", {}, file("SN2/old/report.json", "{}"), 3, "old: not a record"},
        {"stray file", {}, file("notes.txt", ""), 3, "notes.txt: not a sensor's folder"},
        {"misfiled",
         {},
         forged("SNC", [](const fs::path&) {}),
         3,
         "misfiled: record.serial is SN5, the folder SNC"},
        {"figure as a string",
         {},
         resealed("/temperature/mean_c", "22.5"),
         3,
         "damaged: temperature.mean_c is not a number"},
        {"verdict removed",
         {},
         resealed("/verdict", nullptr),
         3,
         "damaged: no verdict, though the record holds limits.toml"},
        {"verdict PAS",
         {},
         resealed("/verdict/result", "PAS"),
         3,
         "damaged: verdict.result is neither PASS nor FAIL"},
        {"verdict edited",
         {},
         resealed("/verdict/result", "PASS"),
         3,
         "wrong verdict: it says PASS, its figures against its limits give FAIL"},
        {"limits edited",
         {},
         forged("SN5",
                [](const fs::path& record) {
                    tool_write_file(record / "limits.toml", limits_toml("rev C loosened"));
                }),
         3,
         "altered: limits.toml is not the file the verdict applied"},
        {"limits edited with their digest",
         {},
         forged("SN5",
                [](const fs::path& record) {
                    const std::string loose =
                        "name = \"rev C\"\n[figures]\n\"heading.peak_deviation_deg\" = { max_abs = "
                        "0.7 }\n";
                    tool_write_file(record / "limits.toml", loose);
                    edit_json(record, [&](nlohmann::ordered_json& json) {
                        json["verdict"]["limits"]["sha256"] = *digest_sha256(loose);
                    });
                }),
         3,
         "wrong verdict: it says FAIL, its figures against its limits give PASS"},
        {"the verdict's copy of the limits edited",
         {},
         resealed("/verdict/limits/figures/heading.peak_deviation_deg/max_abs", 5.0),
         3,
         "wrong verdict: its rows or its copy of the limits are not what its limits.toml gives"},
        {"a verdict row edited",
         {},
         resealed("/verdict/rows/0/value", 0.45),
         3,
         "wrong verdict: its rows or its copy of the limits are not what its limits.toml gives"},
        {"a file edited without its manifest",
         {},
         [](const fs::path& where) {
             edit_json(copy_record(where),
                       [](nlohmann::ordered_json& json) { json["temperature"]["mean_c"] = 21.5; });
         },
         3,
         "altered: report.json does not match its manifest"},
        {"a file added",
         {},
         [](const fs::path& where) { tool_write_file(copy_record(where) / "notes.txt", "x"); },
         3,
         "altered: notes.txt is not in the manifest"},
        {"the manifest removed",
         {},
         [](const fs::path& where) { fs::remove(copy_record(where) / "manifest.sha256"); },
         3,
         "altered: no manifest.sha256"},
        {"dry", {}, {}, 1, "holds no record\n", "", true},
        {"missing", {}, {}, 1, "cannot read", "", true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const fs::path where = dir / row.name;
        fs::create_directories(where);
        if (!row.empty) {
            write_batch(where);
        }
        if (row.damage) {
            row.damage(where);
        }
        std::vector<std::string> arguments = row.arguments;
        arguments.push_back((row.says == "cannot read" ? where / "nowhere" : where).string());
        const ToolResult result = run(arguments);
        EXPECT_EQ(result.status, row.status) << result.err;
        const std::string out = lf_lines(result.out);
        if (row.status == 0) {
            EXPECT_EQ(out.substr(0, out.find('\n')), row.says) << out;
            EXPECT_EQ(tool_count_lines(result.err), row.note.empty() ? 0u : 1u) << result.err;
            EXPECT_NE(lf_lines(result.err).find(row.note), std::string::npos) << result.err;
        } else {
            EXPECT_NE(lf_lines(result.err).find(row.says), std::string::npos) << result.err;
            // A skipped record is one line, the rest still listed; nothing else is a table.
            EXPECT_EQ(tool_count_lines(result.err), 1u) << result.err;
            EXPECT_EQ(out.starts_with("10 sweeps of 5 sensors, 1 skipped"), row.status == 3) << out;
        }
    }
}

// --verify: a fresh archive is whole; each record that is not, and each older record, is a line
// of its own, and the status says so.
TEST_F(HistoryTest, VerifyListsEveryRecordThatIsNotWhole) {
    ToolResult result = run({"--verify", archive.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(lf_lines(result.out), "10 records whole\n");
    EXPECT_EQ(result.err, "");

    const fs::path older = copy_record(archive, "SN5", "20261212T000000Z");
    fs::remove(older / "manifest.sha256");
    edit_json(older, [](nlohmann::ordered_json& json) { json["record"].erase("format"); });
    edit_json(copy_record(archive), [](nlohmann::ordered_json& json) { json["samples"] = 301; });
    result = run({"--verify", archive.string()});
    EXPECT_EQ(result.status, 3) << result.err;
    const std::string out = lf_lines(result.out);
    EXPECT_EQ(tool_count_lines(out), 3u) << out;
    EXPECT_NE(out.find("20261211T000000Z: altered: report.json does not match its manifest\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("20261212T000000Z: unverified: no manifest"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("\n10 records whole, 2 not (listed above)\n")) << out;
    EXPECT_EQ(result.err, "");
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
        {{"--since", "2026-12-10", "--until", "2026-12-09", dir_argument},
         "--since 2026-12-10 is after --until 2026-12-09"},
        {{"--since", "2026-12-09T12:00:00Z", "--until", "20261209T115959Z", dir_argument},
         "is after --until"},
        {{"--json", (archive / "out.json").string(), dir_argument}, "--json"},
        // By another name of the archive: no prefix of the name it was given.
        {{"--csv", (dir / "x" / ".." / "archive" / "SN1" / "out.csv").string(), dir_argument},
         "is inside the archive"},
        {{"--png", (dir / "x" / ".." / "archive" / "a.png").string(), "--plot", "mag.fit_rms_gauss",
          dir_argument},
         "a.png is inside the archive"},
        {{"--lot", "17\n18", dir_argument}, "--lot"},
        {{"--operator", std::string(65, 'a'), dir_argument}, "--operator"},
        {{"--show", "serial", dir_argument}, "--show"},
        {{"--verify", "--summary", dir_argument}, "--summary"},
        {{"--verify", "--database", "DSN=bench"}, "--database"},
        {{"--verify", "--lot", "17", dir_argument}, "--lot"},
        {{"--json", "-", "--html", "-", dir_argument}, "standard output"},
        {{"--html", (dir / "x" / ".." / "archive" / "SN1" / "b.html").string(), dir_argument},
         "b.html is inside the archive"},
        {{"--html", "p.html", "--database", "DSN=x"}, "--database"},
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

// The batch page as a browser shows it, opened from its file beside the archive: nothing
// fetched, no error, a row per sensor, a chart per judged figure, a link to every record's
// certificate that resolves, valid markup; the screenshot is kept in the build folder.
TEST_F(HistoryTest, TheBatchPageOpensInABrowserAndLinksEveryCertificate) {
#ifdef _WIN32
    GTEST_SKIP() << "the browser runs on the build's own platform";
#else
    if (std::getenv("GM_HISTORY_TOOL") != nullptr) {
        GTEST_SKIP() << "the browser checks the build's own page";
    }
    const fs::path page = dir / "batch.html";
    const ToolResult result = run({"--html", page.string(), archive.string()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("wrote " + page.string()), std::string::npos) << result.out;
    fs::create_directories(GM_ARTEFACT_DIR);
    const ToolResult checked =
        tool_run("python3",
                 {GM_BROWSER_CHECK, page.string(), "--text", "batch=" + archive.string(), "--count",
                  "table.sensors tbody tr=5", "--count", "a[href]=9", "--count",
                  tool_gnuplot_on_path() ? "svg.picture=3" : "#no-pictures=1", "--links", "--tidy",
                  "--screenshot", std::string(GM_ARTEFACT_DIR) + "/batch.png"},
                 dir);
    if (checked.status == 77) {
        GTEST_SKIP() << checked.out;
    }
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
#endif
}
