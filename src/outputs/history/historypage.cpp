#include "outputs/history/historypage.h"

#include "base/files/files.h"
#include "base/text/text.h"
#include "outputs/history/historyout.h"
#include "outputs/history/historyplot.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

// The batch page's own look: the figures' charts two to a row on a screen, one per row on paper.
constexpr const char* historypage_style = R"(.kind { margin: 0; font-size: 0.8rem;
  letter-spacing: 0.08em; text-transform: uppercase; color: #555; }
header { border-bottom: 3px solid #1b1b1b; padding-bottom: 0.5rem; }
h1 { overflow-wrap: anywhere; }
table.sensors td:nth-child(-n+4), td.num { white-space: nowrap; }
table.capability { font-size: 0.8rem; }
.wide { overflow-x: auto; }
ul.yields { font-size: 1.1rem; padding-left: 1.2rem; }
.charts { display: grid; grid-template-columns: repeat(auto-fill, minmax(30rem, 1fr)); gap: 1rem; }
figure figcaption { font-size: 0.85rem; color: #555; }
td a { margin-right: 0.5rem; }
@media print { .charts { display: block; } figure { margin-bottom: 0.5rem; } }
)";

// A table of the history's views as the page shows it: texts escaped, numbers to the right, an
// outcome in its colour.
std::vector<std::vector<PagesCell>> historypage_cells(const HistoryTable& table) {
    std::vector<std::vector<PagesCell>> rows;
    for (const std::vector<HistoryCell>& row : table.rows) {
        std::vector<PagesCell> cells;
        for (std::size_t k = 0; k < row.size(); ++k) {
            const std::string shown = historyout_shown(row[k]);
            // Texts and flags to the left, as in the text table.
            const bool text = std::holds_alternative<std::optional<std::string>>(row[k]) ||
                              std::holds_alternative<HistoryFlag>(row[k]);
            std::string css_class = text ? "" : "num";
            if (table.columns[k] == "last_verdict") {
                css_class = shown == "PASS"      ? "pass"
                            : shown == "FAIL"    ? "fail"
                            : shown == "ERROR"   ? "error"
                            : shown == "ABORTED" ? "aborted"
                                                 : "unjudged";
            }
            cells.push_back({pages_escape(shown), css_class});
        }
        rows.push_back(std::move(cells));
    }
    return rows;
}

// The summary's failures by figure, as the text summary ends.
std::string historypage_failures(const HistorySummary& summary) {
    std::string html = "<h2>Failures by figure</h2>\n";
    if (summary.pareto.empty()) {
        return html + "<p>No sensor failed a figure.</p>\n";
    }
    return html + "<p>Sensors failing on it at their first sweep, at their latest.</p>\n" +
           pages_table("failures", {"figure", "first", "latest"},
                       historypage_cells(historyout_pareto(summary)));
}

// Each line of the text, escaped, between `open` and `close`.
std::string historypage_lines(const std::string& text, const char* open, const char* close) {
    std::string html;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        html += open + pages_escape(text.substr(start, end - start)) + close + "\n";
        start = end + 1;
    }
    return html;
}

// The yields as a list, then the summary's tables and notes as the text summary shows them.
std::string historypage_capability(const HistorySummary& summary) {
    std::string html = "<h2>Yields</h2>\n<ul class=\"yields\">\n";
    html += historypage_lines(historyout_yields_text(summary), "<li>", "</li>");
    html += "</ul>\n<h2>Capability over the latest sweep of each sensor</h2>\n";
    if (summary.figures.empty()) {
        return html + "<p>No sweep was judged against limits.</p>\n";
    }
    for (const HistoryTable& part : historyout_summary_parts(historyout_summary(summary))) {
        html += "<div class=\"wide\">\n" +
                pages_table("capability", part.columns, historypage_cells(part)) + "</div>\n";
    }
    return html +
           historypage_lines(historyout_summary_notes(summary), "<p class=\"note\">", "</p>");
}

std::string historypage_charts(const HistorySummary& summary, const PagesPictures& pictures) {
    std::string html = "<h2>Trends</h2>\n";
    if (summary.figures.empty()) {
        return html + "<p>No figure to chart: no sweep was judged against limits.</p>\n";
    }
    if (pictures.svgs.empty()) {
        return html + "<p class=\"note\" id=\"no-pictures\">No pictures: " +
               pages_escape(pictures.missing) + ".</p>\n";
    }
    html += "<div class=\"charts\">\n";
    for (std::size_t k = 0; k < pictures.svgs.size() && k < summary.figures.size(); ++k) {
        html += "<figure>\n" + pictures.svgs[k] + "<figcaption>" +
                pages_escape(summary.figures[k].figure) +
                " of every sweep over time; dashed the limits, dotted the guard band</figcaption>\n"
                "</figure>\n";
    }
    return html + "</div>\n";
}

// One row per sensor as the sensors view shows it, and a link to the certificate of each of its
// sweeps, oldest first; a record without one, or not sealed, is named and not linked.
std::string historypage_sensors(const HistoryPageBatch& batch) {
    const HistoryTable table = historyout_sensors(batch.records, batch.sensors, {});
    std::vector<std::vector<PagesCell>> rows = historypage_cells(table);
    for (std::size_t k = 0; k < batch.sensors.size(); ++k) {
        std::string links;
        for (std::size_t i = batch.sensors[k].first; i <= batch.sensors[k].latest; ++i) {
            const HistoryRecord& record = batch.records[i];
            const std::string name = pages_escape(record.name);
            links += links.empty() ? "" : " ";
            if (!batch.certificates[i].empty()) {
                links += "<a href=\"" + pages_escape(batch.certificates[i]) + "\">" + name + "</a>";
            } else {
                links += "<span class=\"unjudged\">" + name +
                         (record.sealed ? "" : " (unverified)") + "</span>";
            }
        }
        rows[k].push_back({links});
    }
    std::vector<std::string> heads = table.columns;
    heads.emplace_back("certificates");
    std::string shared = historyout_shared_names_text(batch.summary.shared_names);
    while (shared.ends_with('\n')) {
        shared.pop_back();
    }
    return "<h2>Sensors</h2>\n<div class=\"wide\">\n" + pages_table("sensors", heads, rows) +
           "</div>\n" +
           (shared.empty() ? "" : "<p class=\"note\">" + pages_escape(shared) + "</p>\n");
}

// The records that failed their checks: named with the reason, never linked.
std::string historypage_skipped(const std::vector<HistorySkip>& skipped) {
    if (skipped.empty()) {
        return {};
    }
    std::vector<std::vector<PagesCell>> rows;
    for (const HistorySkip& skip : skipped) {
        rows.push_back({{pages_escape(skip.path)}, {pages_escape(skip.reason), "fail"}});
    }
    return "<h2 id=\"left-out\">Left out: not whole or not readable</h2>\n" +
           pages_table("skipped", {"record", "reason"}, rows);
}

} // namespace

std::string historypage_html(const HistoryPageBatch& batch, const PagesPictures& pictures) {
    std::string html = pages_begin("Batch overview: " + std::string(batch.name), historypage_style);
    const std::size_t sweeps = batch.records.size();
    html += "<header>\n<p class=\"kind\">Batch overview</p>\n<h1 id=\"batch\">" +
            pages_escape(batch.name) + "</h1>\n<p id=\"counts\">" +
            text_format("%zu %s of %zu %s", sweeps, sweeps == 1 ? "sweep" : "sweeps",
                        batch.sensors.size(), batch.sensors.size() == 1 ? "sensor" : "sensors");
    if (sweeps > 0) {
        const auto [first, last] = std::ranges::minmax_element(
            batch.records, {}, [](const HistoryRecord& record) { return record.seconds; });
        html += ", " + pages_escape(first->time) + " to " + pages_escape(last->time) + " (UTC)";
    }
    if (!batch.skipped.empty()) {
        html += text_format("; %zu left out (listed below)", batch.skipped.size());
    }
    html += "</p>\n</header>\n<main>\n" + historypage_capability(batch.summary) +
            historypage_failures(batch.summary) + historypage_charts(batch.summary, pictures) +
            historypage_sensors(batch) + historypage_skipped(batch.skipped) + "</main>\n";
    html += "<footer class=\"note\">Written by gyro_motor_history. Each record's certificate "
            "(record.html) is linked from its sensor's row.</footer>\n";
    return html + pages_end();
}

PagesPictures historypage_pictures(const char* program, const std::vector<HistoryRecord>& records,
                                   const HistorySummary& summary) {
    std::vector<std::string> labels;
    for (const HistoryFigureSummary& figure : summary.figures) {
        labels.push_back(figure.figure + " over time");
    }
    if (labels.empty()) {
        return {};
    }
    return pages_draw(program, labels, [&](const std::vector<std::string>& names) {
        std::string script;
        for (std::size_t k = 0; k < names.size(); ++k) {
            script += historyplot_trend_script(records, summary.figures[k], names[k],
                                               text_format("_%zu", k + 1));
        }
        return script;
    });
}

std::string historypage_make(const char* program, const std::string& dir, const std::string& page,
                             const std::vector<HistoryRecord>& records,
                             const std::vector<HistorySensor>& sensors,
                             const HistorySummary& summary,
                             const std::vector<HistorySkip>& skipped) {
    std::filesystem::path folder =
        page == "-" ? std::filesystem::path(".") : files_path(page).parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    // Only a sealed record's certificate is linked: the manifest vouches for it.
    std::vector<std::string> certificates;
    std::error_code ignored;
    for (const HistoryRecord& record : records) {
        const std::filesystem::path certificate = files_path(record.path) / "record.html";
        certificates.push_back(
            record.sealed && std::filesystem::is_regular_file(files_system(certificate), ignored)
                ? pages_href(folder, certificate)
                : std::string());
    }
    return historypage_html({dir, records, sensors, summary, certificates, skipped},
                            historypage_pictures(program, records, summary));
}
