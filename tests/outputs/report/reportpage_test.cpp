// The sensor's certificate against its golden files, one per kind of record: a pass with its
// pictures, a fail with everything a record may hold (texts that need escaping among them), a
// sweep reported without limits and without times, and an attempt that ended in an error before
// its log was analysed. Each page is also checked by tidy where it is installed. GM_UPDATE_GOLDEN=1
// rewrites the golden files.
#include "analysis/limits/limits.h"
#include "outputs/report/reportout.h"
#include "outputs/report/reportpage.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::ordered_json;

// The figures of a timed sweep over nearly a whole turn, fixed numbers.
Report timed_report() {
    Report report;
    report.samples = 436;
    report.sampling = {true, 436, 14.5, 39.3, 6.3};
    report.cruise = {7, 431, 425};
    ReportHeading& h = report.heading;
    h.turned_deg = 353.79;
    h.b_deg = 0.469;
    h.c_deg = -0.282;
    h.d_deg = 0.206;
    h.e_deg = 0.0884;
    h.b_se_deg = 0.0102;
    h.c_se_deg = 0.0051;
    h.d_se_deg = 0.0065;
    h.e_se_deg = 0.005;
    h.residual_rms_deg = 0.0700303;
    h.peak_deviation_deg = -0.771219;
    h.turn_rate_dps = 57.6216;
    for (std::size_t k = 0; k < report_card_rows; ++k) {
        const double heading = static_cast<double>(k) * report_card_step_deg;
        report.deviation_card.push_back({heading, report_deviation_at(h, heading)});
    }
    report.mag = {0.25,     0.0012,  0.0049,  0.48, 1.97,     -0.00008,
                  -0.00001, 0.25018, 0.25001, {},   0.0011988};
    report.yaw_rate = {57.592, 0.136, {}, -0.051869};
    report.tilt = {-0.012, 0.001, 0.002, -0.003, 0.0220686, 0.021};
    report.temperature = {25.01, 24.8, 25.18};
    return report;
}

// A short sweep by sample number: B-E and the card absent.
Report untimed_report() {
    Report report = timed_report();
    report.sampling = {};
    report.heading = {};
    report.heading.turned_deg = -249.5;
    report.deviation_card.clear();
    report.yaw_rate.scale_error_percent.reset();
    report.yaw_rate.given_turn_rate_dps = 14.4;
    return report;
}

Limits hs200() {
    return {.name = "HS-200 production, rev C",
            .file = "hs200.toml",
            .text = {},
            .figures = {{"heading.peak_deviation_deg", {}, {}, 0.5, 0.02},
                        {"heading.residual_rms_deg", {}, 0.05, {}, {}},
                        {"yaw_rate.scale_error_percent", -0.3, 0.3, {}, {}},
                        {"mag.major_angle_deg", {}, {}, 90, {}},
                        {"tilt.roll_wobble_deg", {}, 0.5, {}, {}}}};
}

Json record(const char* serial) {
    return {{"serial", serial},
            {"time", "2026-12-09T13:39:30Z"},
            {"local_time", "2026-12-09T14:39:30+01:00"},
            {"station", "bench-3"},
            {"operator", "anna"},
            {"program", "gyro_motor_report"},
            {"version", "0.1"},
            {"turn_rate_dps", nullptr}};
}

// A picture as gnuplot's svg terminal writes one, small.
std::string gnuplot_svg(const char* text) {
    return std::string("<?xml version=\"1.0\" encoding=\"utf-8\"  standalone=\"no\"?>\n"
                       "<svg \n viewBox=\"0 0 100 60\"\n xmlns=\"http://www.w3.org/2000/svg\"\n"
                       " xmlns:xlink=\"http://www.w3.org/1999/xlink\"\n>\n\n"
                       "<title>Gnuplot</title>\n<g id=\"gnuplot_canvas\">\n<defs>\n"
                       "\t<circle id='gpPt6' r='1'/>\n</defs>\n"
                       "\t<use xlink:href='#gpPt6' x='10' y='20'/>\n<text x='5' y='50'>") +
           text + "</text>\n</g>\n</svg>\n\n";
}

struct CertificateCase {
    const char* name;
    Json document;
    PagesPictures pictures;
};

std::vector<CertificateCase> certificate_cases() {
    std::vector<CertificateCase> cases;

    Json pass = reportout_document(timed_report());
    Limits limits = hs200();
    limits.figures[3] = {"mag.fit_rms_gauss", {}, 0.002, {}, {}};
    limits.figures[0].max_abs = 0.8;
    pass["verdict"] = limits_verdict_json(limits_judge(limits, pass, 0, false));
    pass["record"] = record("SN0041");
    cases.push_back({"pass",
                     pass,
                     {{pages_inline_svg(gnuplot_svg("deviation"), "p1-", "Heading deviation"),
                       pages_inline_svg(gnuplot_svg("field"), "p2-", "Magnetometer")},
                      ""}});

    // A figure not measured (the major axis of a near circle), broken records and times; every
    // field a record may carry, some of them texts that must show literally.
    Json fail = reportout_document(timed_report());
    fail["verdict"] = limits_verdict_json(limits_judge(hs200(), fail, 2, true));
    fail["verdict"]["limits"]["sha256"] =
        "3f2a9c1e00112233445566778899aabbccddeeff00112233445566778899aabb";
    fail["record"] = record("SN0042");
    fail["record"]["operator"] = "<b>O'Neil & \"Co\"</b>";
    fail["record"]["station"] = "bench <3> & Jürgen's";
    fail["record"]["lot"] = "L-2026-49";
    fail["record"]["part"] = "HS-200 \"rev C\"";
    fail["record"]["retest_reason"] = "re-mounted after <adjustment>";
    fail["record"]["outcome"] = "FAIL";
    cases.push_back({"fail_escaped", fail, {{}, "gnuplot was not found on the PATH"}});

    // Reported without limits, from a log without times, by an older program: no local time.
    Json unjudged = reportout_document(untimed_report());
    unjudged["verdict"] = nullptr;
    unjudged["record"] = record("SN0043");
    unjudged["record"].erase("local_time");
    unjudged["record"]["operator"] = nullptr;
    cases.push_back({"unjudged_untimed", unjudged, {{}, "gnuplot could not draw them"}});

    // An attempt whose sweep failed: nothing analysed, the outcome and why, the sweep's account.
    Json error = {{"verdict", nullptr}, {"record", record("SN0044")}};
    error["record"]["outcome"] = "ERROR";
    error["record"]["reason"] = "the sweep ended with status 3: Motor - no answer for 3000 ms";
    error["record"]["sweep"] = {{"started", "2026-12-09T13:38:57.123Z"},
                                {"ended", "2026-12-09T13:39:01.456Z"},
                                {"status", 3},
                                {"message", "Motor - no answer for 3000 ms"},
                                {"samples", 12},
                                {"log_replaced", true},
                                {"log_bytes", nullptr}};
    cases.push_back({"error_unanalysed", error, {{}, "the sweep's log was not analysed"}});

    // An interrupted sweep whose log was analysed: its figures shown, marked unjudged.
    Json aborted = reportout_document(timed_report());
    aborted["verdict"] = nullptr;
    aborted["record"] = record("SN0045");
    aborted["record"]["outcome"] = "ABORTED";
    aborted["record"]["reason"] = "the sweep was interrupted (status 130: stopped by Ctrl-C)";
    cases.push_back({"aborted_unjudged", aborted, {{}, "gnuplot was not found on the PATH"}});
    return cases;
}

} // namespace

TEST(ReportPage, TheCertificateOfEachKindOfRecordIsItsGoldenFile) {
    const bool update = std::getenv("GM_UPDATE_GOLDEN") != nullptr;
    const fs::path dir = tool_make_test_dir("gm_reportpage_test_");
    for (const CertificateCase& c : certificate_cases()) {
        SCOPED_TRACE(c.name);
        const std::string page = reportpage_html(c.document, c.pictures);
        const fs::path golden =
            fs::path(GM_REPORTPAGE_DATA) / ("certificate_" + std::string(c.name) + ".html");
        if (update) {
            tool_write_file(golden, page);
        }
        EXPECT_EQ(page, tool_read_file(golden));
        tool_write_file(dir / golden.filename(), page);
#ifndef _WIN32
        // Valid markup: tidy, where it is installed, has nothing to say about it.
        if (tool_run("sh", {"-c", "command -v tidy"}, dir).status == 0) {
            const ToolResult tidy =
                tool_run("tidy", {"-q", "-e", (dir / golden.filename()).string()}, dir);
            EXPECT_EQ(tidy.status, 0) << tidy.err;
            EXPECT_EQ(tidy.err, "");
        } else if (std::getenv("GM_REQUIRE_BROWSER") != nullptr) {
            ADD_FAILURE() << "tidy is missing";
        }
#endif
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

// The parts of a record page that only a record's own texts fill: escaped, each character.
TEST(ReportPage, EveryTextOfTheRecordShowsLiterally) {
    Json document = {{"verdict", nullptr}, {"record", record("SN1")}};
    const struct {
        const char* field;
        const char* text;
        const char* shown;
    } cases[] = {
        {"operator", "<b>O'Neil & \"Co\"</b>",
         "&lt;b&gt;O&#39;Neil &amp; &quot;Co&quot;&lt;/b&gt;"},
        {"station", "a&b", "a&amp;b"},
        {"lot", "<lot>", "&lt;lot&gt;"},
        {"part", "x>y", "x&gt;y"},
        {"retest_reason", "\"q'", "&quot;q&#39;"},
        {"reason", "Jürgen ✓", "Jürgen ✓"},
        {"serial", "<i>", "&lt;i&gt;"},
        {"program", "x<y", "x&lt;y"},
    };
    for (const auto& c : cases) {
        Json changed = document;
        changed["record"][c.field] = c.text;
        const std::string page = reportpage_html(changed, {{}, "none"});
        EXPECT_NE(page.find(c.shown), std::string::npos) << c.field;
        EXPECT_EQ(page.find(c.text),
                  std::string(c.text) == c.shown ? page.find(c.shown) : std::string::npos)
            << c.field;
    }
}
