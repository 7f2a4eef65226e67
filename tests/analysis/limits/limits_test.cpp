// The limits file and the verdict: one table of limits files against one figure's value, and
// the verdict's text and JSON against the golden files in tests/analysis/limits/.
#include "analysis/limits/limits.h"
#include "outputs/report/reportout.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string head = "name = \"t\"\n[figures]\n";

struct LimitsCase {
    std::string file;            // the limits file; the figure x.v takes the value
    std::optional<double> value; // nothing: null in the report
    // "pass", the reason it fails, or "error: " and what the one line says after the file name.
    std::string expected;
};

TEST(Limits, AFileReadAndAValueJudged) {
    const double above_half = std::nextafter(0.5, 1.0);
    const std::vector<LimitsCase> cases{
        {head + "\"x.v\" = { max = 0.5 }", 0.5, "pass"},
        {head + "\"x.v\" = { max = 0.5 }", above_half, "above max"},
        {head + "\"x.v\" = { min = -0.3, max = 0.3 }", -0.3, "pass"},
        {head + "\"x.v\" = { min = -0.3, max = 0.3 }", -0.30000000000000004, "below min"},
        {head + "\"x.v\" = { max = 2 }", 2, "pass"},
        // Guarded bounds as a person works them out: 0.3 - 0.1 is 0.2.
        {head + "\"x.v\" = { max = 0.3 }\n[guard]\n\"x.v\" = 0.1", 0.2, "pass"},
        {head + "\"x.v\" = { max = 0.3 }\n[guard]\n\"x.v\" = 0.1", 0.20000000000000004,
         "within the guard of max"},
        {head + "\"x.v\" = { min = -0.3 }\n[guard]\n\"x.v\" = 0.1", -0.2, "pass"},
        {head + "\"x.v\" = { min = -0.3 }\n[guard]\n\"x.v\" = 0.1", -0.25,
         "within the guard of min"},
        {head + "\"x.v\" = { max_abs = 1 }", -1, "pass"},
        {head + "\"x.v\" = { max_abs = 1 }", -1.5, "outside max_abs"},
        {head + "\"x.v\" = { max_abs = 1 }\n[guard]\n\"x.v\" = 0.25", -0.8,
         "within the guard of max_abs"},
        {head + "\"x.v\" = { min = 0, max = 1 }\n[guard]\n\"x.v\" = 0.5", 0.5, "pass"},
        // min = max: a valid limit that only that value passes.
        {head + "\"x.v\" = { min = 1, max = 1 }", 1, "pass"},
        {head + "\"x.v\" = { min = 1, max = 1 }", std::nextafter(1.0, 2.0), "above max"},
        {head + "\"x.v\" = { max_abs = 0.3 }\n[guard]\n\"x.v\" = 0.1", 0.2, "pass"},
        {head + "\"x.v\" = { max_abs = 0.3 }\n[guard]\n\"x.v\" = 0.1", -0.2, "pass"},
        {head + "\"x.v\" = { max_abs = 0.3 }\n[guard]\n\"x.v\" = 0.1", -0.20000000000000004,
         "within the guard of max_abs"},
        // A guard as wide as max_abs leaves 0 alone; any wider leaves nothing.
        {head + "\"x.v\" = { max_abs = 1 }\n[guard]\n\"x.v\" = 1", 0, "pass"},
        {head + "\"x.v\" = { max = 1 }", std::nullopt, "not measured"},
        {head + "\"x.v\" = { max = 1 }", NAN, "not measured"},
        {"\xEF\xBB\xBF" + head + "\"x.v\" = { max = 1 }", 1, "pass"},
        {head + "\"x.w\" = { max = 1 }", 0, "error: 3: \"x.w\": not a figure of the report"},
        {head + "\"x.flag\" = { max = 1 }", 0, "error: 3: \"x.flag\": not a figure"},
        {head + "x.v = { max = 1 }", 0, "error: 3: \"x\": not a figure"},
        {head + "\"x.v\" = 1", 0, "error: 3: \"x.v\": expected limits such as"},
        {head + "[figures.\"x.v\"]\nmax = \"high\"", 0, "error: 4: \"x.v\": max is not a number"},
        {head + "\"x.v\" = { max = nan }", 0, "error: 3: \"x.v\": max is not a number"},
        {head + "\"x.v\" = { maximum = 1 }", 0, "error: 3: \"x.v\": unknown limit maximum"},
        {head + "\"x.v\" = { }", 0, "error: 3: \"x.v\": no limit"},
        {head + "\"x.v\" = { min = 2, max = 1 }", 0, "error: 3: \"x.v\": min is above max"},
        {head + "\"x.v\" = { max_abs = -1 }", 0, "error: 3: \"x.v\": max_abs is below 0"},
        {head + "\"x.v\" = { max = 1 }\n[guard]\n\"x.v\" = -0.1", 0,
         "error: 3: \"x.v\": the guard "
         "is below 0"},
        {head + "\"x.v\" = { min = 0, max = 1 }\n[guard]\n\"x.v\" = 0.6", 0,
         "error: 3: \"x.v\": the guard leaves no value that passes"},
        {head + "\"x.v\" = { max_abs = 1 }\n[guard]\n\"x.v\" = 1.000001", 0,
         "error: 3: \"x.v\": the guard leaves no value that passes"},
        {head + "\"x.v\" = { min = 0.5, max_abs = 0.4 }", 0,
         "error: 3: \"x.v\": the limits leave no value that passes"},
        {head + "\"x.v\" = { max = 1 }\n[guard]\n\"x.u\" = 0.1", 0,
         "error: 5: \"x.u\": a guard for a figure without limits"},
        {head + "\"x.v\" = { max = 1 }\n[guards]\n", 0, "error: 4: unknown key guards"},
        {"[figures]\n\"x.v\" = { max = 1 }", 0, "error: 1: expected name = "},
        {"name = \"t\"\n", 0, "error: 1: expected a table [figures]"},
        {head + "\"x.v\" = { max = }", 0, "error: 3: "},
    };
    const fs::path dir = tool_make_test_dir("gm_limits_test_");
    const std::string path = (dir / "limits.toml").string();
    for (const LimitsCase& c : cases) {
        SCOPED_TRACE(c.file);
        tool_write_file(path, c.file + "\n");
        const nlohmann::ordered_json document = {
            {"x", {{"v", c.value ? nlohmann::ordered_json(*c.value) : nullptr}, {"flag", true}}}};
        Limits limits;
        std::string error;
        const bool read = limits_read(path, document, limits, error);
        if (c.expected.starts_with("error: ")) {
            EXPECT_FALSE(read);
            EXPECT_TRUE(error.starts_with(path + ":" + c.expected.substr(7))) << error;
            continue;
        }
        ASSERT_TRUE(read) << error;
        ASSERT_EQ(limits.figures.size(), 1u);
        const LimitsVerdict verdict = limits_judge(limits, document, 0, false);
        EXPECT_EQ(verdict.rows[0].reason ? verdict.rows[0].reason : "pass", c.expected);
        EXPECT_EQ(verdict.pass, c.expected == "pass");
    }
    std::string error;
    Limits limits;
    EXPECT_FALSE(limits_read((dir / "none.toml").string(), {}, limits, error));
    EXPECT_TRUE(error.starts_with((dir / "none.toml").string() + ": cannot open")) << error;
    fs::remove_all(dir);
}

// Figures in the file's order, values shown as far as their verdict needs, what broke in the
// log, and the limits read back from the JSON as the history reads them.
TEST(Limits, TheVerdictIsLaidOutAsItsGoldenFiles) {
    const fs::path golden = fs::path(GM_LIMITS_DATA);
    const nlohmann::ordered_json document = nlohmann::ordered_json::parse(
        R"({"samples": 412, "heading": {"B_deg": 0.31, "peak_deviation_deg": 0.49,
            "E_deg": null}, "yaw_rate": {"scale_error_percent": 0.30000001}})");
    Limits limits;
    std::string error;
    ASSERT_TRUE(limits_read((golden / "verdict.toml").string(), document, limits, error)) << error;
    const LimitsVerdict verdict = limits_judge(limits, document, 2, false);
    EXPECT_EQ(limits_text(verdict), tool_read_file(golden / "verdict.txt"));
    EXPECT_EQ(limits_verdict_json(verdict).dump(2) + "\n", tool_read_file(golden / "verdict.json"));

    Limits back;
    ASSERT_TRUE(limits_from_json(nlohmann::json(limits_json(limits)), back, error)) << error;
    EXPECT_EQ(nlohmann::json(limits_json(back)), nlohmann::json(limits_json(limits)));
    EXPECT_FALSE(limits_from_json(
        nlohmann::json::parse(R"({"name": "t", "figures": {"a.b": {"min": "x"}}})"), back, error));

    limits.figures = {limits.figures.back()};
    EXPECT_TRUE(
        limits_text(limits_judge(limits, document, 0, false)).ends_with("\nVerdict: PASS\n"));
    // Figures that pass, taken by sample number: no PASS.
    const LimitsVerdict untimed = limits_judge(limits, document, 0, true);
    EXPECT_FALSE(untimed.pass);
    EXPECT_TRUE(limits_text(untimed).ends_with(
        "\nVerdict: FAIL (0 of 1 figures, the times file unusable)\n"))
        << limits_text(untimed);
}

} // namespace

// A figure that carries a sign, limited on one side only, is read with a warning that names
// max_abs; any other limit, or a figure without a sign, without one.
TEST(Limits, OneSideOfASignedFigureWarns) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"\"heading.peak_deviation_deg\" = { max = 0.5 }",
         ":3: warning: \"heading.peak_deviation_deg\" carries a sign, and max alone sets no bound "
         "below: limit its size with max_abs"},
        {"\"heading.E_deg\" = { min = -0.5 }",
         ":3: warning: \"heading.E_deg\" carries a sign, and min alone sets no bound above: limit "
         "its size with max_abs"},
        {"\"tilt.accel_pitch_deg\" = { max = 0.2 }", ":3: warning: \"tilt.accel_pitch_deg\""},
        {"\"heading.peak_deviation_deg\" = { max_abs = 0.5 }", ""},
        {"\"heading.peak_deviation_deg\" = { max = 0.5, max_abs = 0.6 }", ""},
        {"\"yaw_rate.scale_error_percent\" = { min = -0.3, max = 0.3 }", ""},
        {"\"mag.fit_rms_gauss\" = { max = 0.002 }", ""},
    };
    const nlohmann::ordered_json document = reportout_document(Report{});
    const std::vector<std::string> known = limits_figure_paths(document);
    for (const std::string& figure : limits_signed_figures()) {
        EXPECT_NE(std::find(known.begin(), known.end(), figure), known.end()) << figure;
    }
    const fs::path dir = tool_make_test_dir("gm_limits_warn_test_");
    const std::string path = (dir / "limits.toml").string();
    for (const auto& [figure, warning] : cases) {
        SCOPED_TRACE(figure);
        tool_write_file(path, head + figure + "\n");
        Limits limits;
        std::string error;
        ASSERT_TRUE(limits_read(path, document, limits, error)) << error;
        const std::vector<std::string> warnings = limits_warnings(limits, path);
        ASSERT_EQ(warnings.size(), warning.empty() ? 0u : 1u);
        if (!warning.empty()) {
            EXPECT_TRUE(warnings[0].starts_with(path + warning)) << warnings[0];
        }
    }
    fs::remove_all(dir);
}
