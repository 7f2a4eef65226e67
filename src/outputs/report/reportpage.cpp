#include "outputs/report/reportpage.h"

#include "analysis/limits/limits.h"
#include "base/text/text.h"
#include "outputs/report/reportout.h"
#include "outputs/report/reportplot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

// The certificate's own look: the head with the outcome boxed at its right, the pictures and
// the two columns of figures side by side; on paper, sizes that fit one page.
constexpr const char* reportpage_style = R"(.head { display: flex; justify-content: space-between;
  align-items: flex-start; gap: 1rem; border-bottom: 3px solid #1b1b1b; padding-bottom: 0.5rem; }
.kind { margin: 0; font-size: 0.8rem; letter-spacing: 0.08em; text-transform: uppercase;
  color: #555; }
table.facts th, table.facts td { border: 0; background: none; padding: 0.05rem 0.8rem 0.05rem 0; }
table.facts th { font-weight: normal; color: #555; white-space: nowrap; }
.outcome { margin: 0.2rem 0 0; padding: 0.1rem 1rem; font-size: 3rem; font-weight: 800;
  letter-spacing: 0.05em; text-align: center; border: 0.25rem solid currentColor;
  border-radius: 0.4rem; }
.why { max-width: 16rem; margin: 0.3rem 0 0; text-align: center; }
.pictures { display: grid; grid-template-columns: 64fr 36fr; gap: 1rem; align-items: end;
  margin-top: 0.8rem; }
.columns { display: grid; grid-template-columns: 1fr 1fr; gap: 1.5rem; }
table.card { width: 100%; }
table.card td { padding: 0.03rem 0.4rem; }
footer { margin-top: 1rem; font-size: 0.85em; }
@page { margin: 12mm; }
@media print {
  .outcome { font-size: 26pt; }
  h1 { font-size: 18pt; }
  h2 { margin: 0.5rem 0 0.2rem; }
  .pictures { margin-top: 0.3rem; }
}
)";

// A text of the object, or nothing when it is absent, null or not a text.
std::optional<std::string> reportpage_text(const Json& object, const char* key) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

// A number of the object, or nothing.
std::optional<double> reportpage_number(const Json& object, const char* key) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number()) {
        return std::nullopt;
    }
    return found->get<double>();
}

const Json& reportpage_member(const Json& object, const char* key) {
    static const Json none;
    if (!object.is_object()) {
        return none;
    }
    const auto found = object.find(key);
    return found == object.end() ? none : *found;
}

// The outcome as the record states it: record.outcome where it has one, else the verdict; its
// class is one of the style's, whatever the text.
std::pair<std::string, const char*> reportpage_outcome(const Json& document) {
    const std::optional<std::string> stated =
        reportpage_text(reportpage_member(document, "record"), "outcome");
    const std::optional<std::string> verdict =
        reportpage_text(reportpage_member(document, "verdict"), "result");
    const std::string outcome = stated ? *stated : verdict ? *verdict : "NOT JUDGED";
    constexpr std::array<std::pair<const char*, const char*>, 4> classes{
        {{"PASS", "pass"}, {"FAIL", "fail"}, {"ERROR", "error"}, {"ABORTED", "aborted"}}};
    for (const auto& [name, css_class] : classes) {
        if (outcome == name) {
            return {outcome, css_class};
        }
    }
    return {outcome, "unjudged"};
}

// A row of the facts table, when there is a value.
void reportpage_fact(std::string& html, const char* label, const std::optional<std::string>& text) {
    if (text && !text->empty()) {
        html +=
            std::string("<tr><th>") + label + "</th><td>" + pages_escape(*text) + "</td></tr>\n";
    }
}

// The verdict's rows as the record's JSON holds them, judged again by their limits: the same
// judgement that made them, so the page shows what the text shows.
LimitsVerdict reportpage_verdict(const Json& verdict) {
    LimitsVerdict judged;
    for (const Json& row : reportpage_member(verdict, "rows")) {
        LimitsRow shown;
        shown.limit = {.figure = reportpage_text(row, "figure").value_or(""),
                       .min = reportpage_number(row, "min"),
                       .max = reportpage_number(row, "max"),
                       .max_abs = reportpage_number(row, "max_abs"),
                       .guard = reportpage_number(row, "guard")};
        shown.value = reportpage_number(row, "value");
        shown.reason = limits_judge_value(shown.limit, shown.value);
        judged.failed += shown.reason != nullptr ? 1 : 0;
        judged.rows.push_back(std::move(shown));
    }
    judged.broken_records =
        static_cast<std::size_t>(reportpage_number(verdict, "broken_records").value_or(0));
    judged.broken_times = reportpage_member(verdict, "broken_times") == true;
    judged.pass = reportpage_text(verdict, "result") == "PASS";
    return judged;
}

std::string reportpage_head(const Json& document) {
    const Json& record = reportpage_member(document, "record");
    const Json& verdict = reportpage_member(document, "verdict");
    const Json& limits = reportpage_member(verdict, "limits");
    const auto [outcome, css_class] = reportpage_outcome(document);
    std::string html = "<header class=\"head\">\n<div>\n<p class=\"kind\">Sensor test record</p>\n"
                       "<h1 id=\"serial\">" +
                       pages_escape(reportpage_text(record, "serial").value_or("")) +
                       "</h1>\n<table class=\"facts\">\n";
    reportpage_fact(html, "Tested (UTC)", reportpage_text(record, "time"));
    reportpage_fact(html, "Local time", reportpage_text(record, "local_time"));
    for (const auto& [key, label] :
         std::array<std::pair<const char*, const char*>, 4>{{{"station", "Station"},
                                                             {"operator", "Operator"},
                                                             {"lot", "Lot"},
                                                             {"part", "Part"}}}) {
        reportpage_fact(html, label, reportpage_text(record, key));
    }
    // The limits as the history names them, "rev C (3f2a9c1e)", and the whole digest to check
    // the file against.
    const std::optional<std::string> digest = reportpage_text(limits, "sha256");
    if (const std::optional<std::string> name = reportpage_text(limits, "name")) {
        reportpage_fact(html, "Limits",
                        *name + (digest ? " (" + digest->substr(0, 8) + ")" : std::string()));
    }
    reportpage_fact(html, "Limits SHA-256", digest);
    const std::optional<std::string> program = reportpage_text(record, "program");
    const std::optional<std::string> version = reportpage_text(record, "version");
    if (program) {
        reportpage_fact(html, "Program", *program + (version ? " " + *version : std::string()));
    }
    reportpage_fact(html, "Retest because", reportpage_text(record, "retest_reason"));
    html += "</table>\n</div>\n<div>\n<p id=\"outcome\" class=\"outcome " + std::string(css_class) +
            "\">" + pages_escape(outcome) + "</p>\n";
    std::string why;
    if (const std::optional<std::string> reason = reportpage_text(record, "reason")) {
        why = pages_escape(*reason);
    } else if (verdict.is_object()) {
        const LimitsVerdict judged = reportpage_verdict(verdict);
        why = judged.pass ? text_format("all %zu figures within their limits", judged.rows.size())
                          : pages_escape(limits_verdict_line(judged).substr(15));
        if (!judged.pass && !why.empty()) {
            why.pop_back(); // the closing parenthesis of "Verdict: FAIL (...)"
        }
    } else {
        why = "reported without limits";
    }
    return html + "<p class=\"why " + css_class + "\">" + why + "</p>\n</div>\n</header>\n";
}

// Whether the sweep ended in ERROR or ABORTED: its figures, where it has them, were not judged.
bool reportpage_unjudged(const Json& document) {
    const std::string outcome = reportpage_outcome(document).first;
    return outcome == "ERROR" || outcome == "ABORTED";
}

// The mark on the figures of a sweep that was not judged.
std::string reportpage_unjudged_mark(const Json& document) {
    return reportpage_unjudged(document) ? " <span class=\"unjudged\">(unjudged)</span>" : "";
}

std::string reportpage_verdict_section(const Json& document) {
    const Json& verdict = reportpage_member(document, "verdict");
    if (reportpage_unjudged(document)) {
        return "<h2>Verdict</h2>\n<p class=\"note unjudged\" id=\"unjudged\">Not judged: the "
               "outcome is " +
               reportpage_outcome(document).first +
               ", so the figures below, where there are any, are shown as measured, against no "
               "limit.</p>\n";
    }
    if (!verdict.is_object()) {
        return "<h2>Verdict</h2>\n<p class=\"note\">No verdict: the sweep was not judged against "
               "limits.</p>\n";
    }
    const LimitsVerdict judged = reportpage_verdict(verdict);
    std::vector<std::vector<PagesCell>> rows;
    for (const LimitsRow& row : judged.rows) {
        const LimitsRowText shown = limits_row_text(row);
        rows.push_back({{pages_escape(shown.figure)},
                        {pages_escape(shown.value), "num"},
                        {pages_escape(shown.limits)},
                        {pages_escape(shown.guard), "num"},
                        {pages_escape(shown.result), row.reason ? "fail" : "pass"}});
    }
    std::string html =
        "<h2>Verdict</h2>\n" +
        pages_table("verdict", {"figure", "value", "limit", "guard", "result"}, rows);
    if (judged.broken_records > 0) {
        html +=
            text_format("<p class=\"fail\">FAIL: %zu broken %s in the log, where none may "
                        "be</p>\n",
                        judged.broken_records, judged.broken_records == 1 ? "record" : "records");
    }
    if (judged.broken_times) {
        html += "<p class=\"fail\">FAIL: the times file could not be used, the fits went by "
                "sample number</p>\n";
    }
    return html;
}

std::string reportpage_pictures_section(const PagesPictures& pictures) {
    if (pictures.svgs.empty()) {
        return "<p class=\"note\" id=\"no-pictures\">No pictures: " +
               pages_escape(pictures.missing) + ".</p>\n";
    }
    std::string html = "<div class=\"pictures\">\n";
    for (const std::string& svg : pictures.svgs) {
        html += "<figure>\n" + svg + "</figure>\n";
    }
    return html + "</div>\n";
}

// A figure of the document's group as the text report shows it, or "absent".
std::string reportpage_figure(const Json& group, const char* key, int decimals) {
    const std::optional<double> value = reportpage_number(group, key);
    return value ? reportout_number(*value, decimals) : "absent";
}

std::string reportpage_deviation(const Json& document) {
    const Json& heading = reportpage_member(document, "heading");
    std::string html = "<h2>Compass deviation" + reportpage_unjudged_mark(document) + "</h2>\n";
    if (!reportpage_number(heading, "B_deg")) {
        return html + "<p>B–E absent: the cruise turned " +
               reportout_number(std::abs(reportpage_number(heading, "turned_deg").value_or(0)), 2) +
               "°, the fit needs at least " + reportout_number(report_min_turn_deg, 0) + "°.</p>\n";
    }
    std::vector<std::vector<PagesCell>> rows;
    for (const auto& [name, key] :
         std::array<std::pair<const char*, const char*>, 4>{{{"B (sin heading)", "B_deg"},
                                                             {"C (cos heading)", "C_deg"},
                                                             {"D (sin 2 heading)", "D_deg"},
                                                             {"E (cos 2 heading)", "E_deg"}}}) {
        rows.push_back(
            {{name},
             {reportpage_figure(heading, key, 3), "num"},
             {"± " + reportpage_figure(heading, (std::string(key) + "_se").c_str(), 4), "num"}});
    }
    rows.push_back(
        {{"residual RMS"}, {reportpage_figure(heading, "residual_rms_deg", 3), "num"}, {}});
    rows.push_back(
        {{"peak deviation"}, {reportpage_figure(heading, "peak_deviation_deg", 3), "num"}, {}});
    return html + pages_table("", {"figure (deg)", "value", "standard error"}, rows);
}

std::string reportpage_card(const Json& document) {
    const Json& card = reportpage_member(document, "deviation_card");
    if (!card.is_array() || card.empty()) {
        return {};
    }
    // Four pairs of columns, each a quarter of the turn, as the text report lays it out.
    constexpr std::size_t columns = 4;
    const std::size_t height = (card.size() + columns - 1) / columns;
    std::vector<std::vector<PagesCell>> card_rows(height);
    for (std::size_t k = 0; k < card.size(); ++k) {
        const Json& row = card[k];
        const bool pair =
            row.is_array() && row.size() == 2 && row[0].is_number() && row[1].is_number();
        card_rows[k % height].push_back(
            {pair ? reportout_number(row[0].get<double>(), 0) : "-", "num"});
        card_rows[k % height].push_back(
            {pair ? reportout_number(row[1].get<double>(), 3) : "-", "num"});
    }
    std::vector<std::string> heads;
    for (std::size_t k = 0; k < columns; ++k) {
        heads.insert(heads.end(), {"heading", "deviation"});
    }
    return "<section>\n<h2>Deviation card (deg): the fitted deviation at each heading" +
           reportpage_unjudged_mark(document) + "</h2>\n" + pages_table("card", heads, card_rows) +
           "</section>\n";
}

std::string reportpage_sweep(const Json& document) {
    const Json& sampling = reportpage_member(document, "sampling");
    const Json& cruise = reportpage_member(document, "cruise");
    const Json& heading = reportpage_member(document, "heading");
    const Json& yaw = reportpage_member(document, "yaw_rate");
    const Json& temperature = reportpage_member(document, "temperature");
    std::string html = "<h2>Sweep</h2>\n<table class=\"facts\">\n";
    const auto fact = [&html](const char* label, const std::string& text) {
        html += std::string("<tr><th>") + label + "</th><td>" + text + "</td></tr>\n";
    };
    if (document.contains("samples")) {
        fact("samples", reportpage_figure(document, "samples", 0));
        fact("cruise", "samples " + reportpage_figure(cruise, "first", 0) + " to " +
                           reportpage_figure(cruise, "last", 0) + " (" +
                           reportpage_figure(cruise, "count", 0) + "), turned " +
                           reportpage_figure(heading, "turned_deg", 2) + "°");
        if (reportpage_member(sampling, "timed") == true) {
            fact("duration", reportpage_figure(sampling, "duration_s", 1) + " s");
            fact("clock", "the sample times, mean interval " +
                              reportpage_figure(sampling, "mean_interval_ms", 1) + " ms, longest " +
                              reportpage_figure(sampling, "max_interval_ms", 1) + " ms");
        } else {
            fact("clock",
                 "the sample number (no usable times), the samples taken as evenly spaced");
        }
        if (reportpage_number(heading, "turn_rate_dps")) {
            fact("turn rate", reportpage_figure(heading, "turn_rate_dps", 4) + " deg/s measured");
        }
        if (reportpage_number(yaw, "given_turn_rate_dps")) {
            fact("turn rate given", reportpage_figure(yaw, "given_turn_rate_dps", 4) + " deg/s");
        }
        fact("temperature", reportpage_figure(temperature, "mean_c", 2) + " °C (" +
                                reportpage_figure(temperature, "min_c", 2) + " to " +
                                reportpage_figure(temperature, "max_c", 2) + ")");
    }
    // The sweep's own account of its run, where the record keeps one.
    const Json& account = reportpage_member(reportpage_member(document, "record"), "sweep");
    if (account.is_object()) {
        for (const auto& [key, value] : account.items()) {
            if (value.is_null() || (value.is_string() && value.get<std::string>().empty())) {
                continue;
            }
            std::string label = "run " + key;
            std::replace(label.begin(), label.end(), '_', ' ');
            fact(pages_escape(label).c_str(),
                 pages_escape(value.is_string() ? value.get<std::string>() : value.dump()));
        }
    }
    return html + "</table>\n";
}

} // namespace

std::string reportpage_title(const nlohmann::ordered_json& document) {
    const Json& record = reportpage_member(document, "record");
    return reportpage_text(record, "serial").value_or("") + ", " +
           reportpage_text(record, "time").value_or("");
}

std::string reportpage_html(const nlohmann::ordered_json& document, const PagesPictures& pictures) {
    const Json& record = reportpage_member(document, "record");
    const std::string serial = reportpage_text(record, "serial").value_or("");
    const std::string program = reportpage_text(record, "program").value_or("");
    std::string html = pages_begin(serial + ": " + reportpage_outcome(document).first + ", " +
                                       reportpage_text(record, "time").value_or(""),
                                   reportpage_style);
    html += reportpage_head(document);
    html +=
        "<main>\n" + reportpage_verdict_section(document) + reportpage_pictures_section(pictures);
    if (document.contains("samples")) {
        html += "<div class=\"columns\">\n<section>\n" + reportpage_deviation(document) +
                "</section>\n<section>\n" + reportpage_sweep(document) + "</section>\n</div>\n" +
                reportpage_card(document);
    } else {
        html += "<p class=\"note\">No figures: the sweep's log was not analysed.</p>\n";
        if (reportpage_member(reportpage_member(document, "record"), "sweep").is_object()) {
            html += "<section>\n" + reportpage_sweep(document) + "</section>\n";
        }
    }
    html += "</main>\n";
    html += "<footer class=\"note\">Written by " + pages_escape(program) +
            " with the record; its report.txt and report.json hold every figure of the "
            "sweep.</footer>\n";
    return html + pages_end();
}

PagesPictures reportpage_pictures(const char* program, const Report& report,
                                  std::span<const SweepLogSample> samples) {
    return pages_draw(
        program, {"Heading deviation from a uniform turn", "Magnetometer: X Mag against Y Mag"},
        [&](const std::vector<std::string>& names) {
            return reportplot_page_script(report, samples, names[0], names[1]);
        });
}
