#include "outputs/history/historypage.h"

#include "base/text/text.h"
#include "outputs/history/historyout.h"
#include "outputs/history/historyplot.h"

#include <algorithm>

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

// The outcome of a sweep as its cell shows it.
PagesCell historypage_outcome(const HistoryRecord& record) {
    if (!record.passed) {
        return {"no verdict", "unjudged"};
    }
    return *record.passed ? PagesCell{"PASS", "pass"} : PagesCell{"FAIL", "fail"};
}

// The figures' failures: for each figure the verdicts judged, the sweeps that failed it of those
// judged on it, and the sensors whose latest sweep failed it; only figures that failed once.
std::string historypage_failures(const HistoryPageBatch& batch) {
    std::vector<std::vector<PagesCell>> rows;
    for (const std::string& figure : history_judged_figures(batch.records)) {
        std::size_t judged = 0;
        std::size_t failed = 0;
        std::size_t failing_now = 0;
        const auto fails = [&](const HistoryRecord& record) {
            return std::ranges::find(record.failed, figure) != record.failed.end();
        };
        for (const HistoryRecord& record : batch.records) {
            if (std::ranges::any_of(record.limits,
                                    [&](const HistoryLimit& l) { return l.figure == figure; })) {
                ++judged;
            }
            if (fails(record)) {
                ++failed;
            }
        }
        for (const HistorySensor& sensor : batch.sensors) {
            if (fails(batch.records[sensor.latest])) {
                ++failing_now;
            }
        }
        if (failed > 0) {
            rows.push_back({{pages_escape(figure)},
                            {std::to_string(failed), "num"},
                            {std::to_string(judged), "num"},
                            {std::to_string(failing_now), "num"}});
        }
    }
    std::string html = "<h2>Failed figures</h2>\n";
    if (rows.empty()) {
        return html + "<p>No sweep failed a figure.</p>\n";
    }
    return html + pages_table("failures",
                              {"figure", "failed sweeps", "of sweeps judged on it",
                               "sensors failing it at their latest sweep"},
                              rows);
}

// The summary's table as the text view shows it, and its closing lines as a list.
std::string historypage_capability(const HistorySummary& summary) {
    std::string html = "<h2>Yields</h2>\n<ul class=\"yields\">\n";
    const std::string yields = historyout_yields_text(summary);
    for (std::size_t start = 0; start < yields.size();) {
        const std::size_t end = yields.find('\n', start);
        html += "<li>" + pages_escape(yields.substr(start, end - start)) + "</li>\n";
        start = end + 1;
    }
    html += "</ul>\n<h2>Capability over the latest sweep of each sensor</h2>\n";
    if (summary.figures.empty()) {
        return html + "<p>No sweep was judged against limits.</p>\n";
    }
    const HistoryTable table = historyout_summary(summary);
    std::vector<std::vector<PagesCell>> rows;
    for (const std::vector<HistoryCell>& row : table.rows) {
        std::vector<PagesCell> cells;
        for (const HistoryCell& cell : row) {
            const bool text = std::holds_alternative<std::optional<std::string>>(cell);
            cells.push_back({pages_escape(historyout_shown(cell)), text ? "" : "num"});
        }
        rows.push_back(std::move(cells));
    }
    return html + "<div class=\"wide\">\n" + pages_table("capability", table.columns, rows) +
           "</div>\n";
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

// One row per sensor: its latest sweep's outcome and failing figures, and a link to the
// certificate of each of its sweeps, oldest first (a record without one is named, not linked).
std::string historypage_sensors(const HistoryPageBatch& batch) {
    std::vector<std::vector<PagesCell>> rows;
    for (const HistorySensor& sensor : batch.sensors) {
        const HistoryRecord& latest = batch.records[sensor.latest];
        std::string failing;
        for (const std::string& figure : latest.failed) {
            if (!failing.empty()) {
                failing += ", ";
            }
            failing += pages_escape(figure);
        }
        std::string links;
        for (std::size_t i = sensor.first; i <= sensor.latest; ++i) {
            const std::string name = pages_escape(batch.records[i].name);
            if (!links.empty()) {
                links += ' ';
            }
            links +=
                batch.certificates[i].empty()
                    ? "<span>" + name + "</span>"
                    : "<a href=\"" + pages_escape(batch.certificates[i]) + "\">" + name + "</a>";
        }
        rows.push_back({{pages_escape(sensor.serial)},
                        {std::to_string(sensor.sweeps), "num"},
                        {pages_escape(latest.time)},
                        historypage_outcome(latest),
                        {pages_escape(latest.limits_name)},
                        {failing},
                        {links}});
    }
    return "<h2>Sensors</h2>\n" + pages_table("sensors",
                                              {"serial", "sweeps", "latest sweep (UTC)", "outcome",
                                               "limits", "failing figures", "certificates"},
                                              rows);
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
    if (batch.skipped > 0) {
        html += text_format("; %zu %s could not be read", batch.skipped,
                            batch.skipped == 1 ? "record" : "records");
    }
    html += "</p>\n</header>\n<main>\n" + historypage_capability(batch.summary) +
            historypage_failures(batch) + historypage_charts(batch.summary, pictures) +
            historypage_sensors(batch) + "</main>\n";
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
