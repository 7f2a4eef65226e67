#include "outputs/history/historyplot.h"

#include "base/text/text.h"
#include "outputs/gnuplot/gnuplot.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <tuple>

namespace {

// The verdicts as the picture tells them apart: data block, title and colour.
struct HistoryPlotSeries {
    const char* block;
    const char* title;
    const char* colour;
};
constexpr std::array<HistoryPlotSeries, 3> historyplot_series{{
    {"$passed", "PASS", "#2ca02c"},
    {"$failed", "FAIL", "#d62728"},
    {"$unjudged", "no verdict", "#7f7f7f"},
}};

// The plot command of one panel: the series with points, x from `x_column`, and the limits;
// with `guard`, the guard band inside them dotted. `tag` follows the data blocks' names.
std::string historyplot_panel(const std::array<std::string, 3>& blocks, int x_column,
                              const HistoryFigureSummary& summary, bool guard,
                              const std::string& tag) {
    std::string plot = "plot ";
    const char* separator = "";
    for (std::size_t s = 0; s < blocks.size(); ++s) {
        if (blocks[s].empty()) {
            continue;
        }
        text_append(plot,
                    "%s%s%s using %d:2 with points pointtype 7 pointsize 0.8 linecolor rgb '%s' "
                    "title '%s'",
                    separator, historyplot_series[s].block, tag.c_str(), x_column,
                    historyplot_series[s].colour, historyplot_series[s].title);
        separator = ", \\\n    ";
    }
    for (const auto& [limit, title, inward] :
         {std::tuple{summary.lsl, "LSL", 1.0}, std::tuple{summary.usl, "USL", -1.0}}) {
        if (!limit) {
            continue;
        }
        text_append(plot,
                    ", \\\n    %.17g with lines dashtype 2 linewidth 2 linecolor rgb "
                    "'#444444' title '%s %.6g'",
                    *limit, title, *limit);
        if (guard && summary.guard && *summary.guard > 0) {
            const double band = *limit + inward * *summary.guard;
            text_append(plot,
                        ", \\\n    %.17g with lines dashtype 3 linewidth 1.5 linecolor rgb "
                        "'#e08a00' title 'guard %.6g'",
                        band, band);
        }
    }
    return plot + "\n";
}

// One data block per verdict: time in seconds since 1970, the figure, the mean temperature;
// empty blocks for a verdict no sweep had. Whether any sweep measured its temperature.
bool historyplot_blocks(const std::vector<HistoryRecord>& records, const std::string& figure,
                        std::array<std::string, 3>& blocks) {
    bool any_temperature = false;
    for (const HistoryRecord& record : records) {
        const std::optional<double>* value = history_value(record, figure);
        if (value == nullptr || !*value) {
            continue;
        }
        const std::optional<double>* temperature = history_value(record, "temperature.mean_c");
        const std::size_t s = !record.passed ? 2 : *record.passed ? 0 : 1;
        text_append(blocks[s], "%lld %.17g ", static_cast<long long>(record.seconds), **value);
        const bool measured = temperature != nullptr && *temperature;
        blocks[s] += measured ? text_format("%.17g\n", **temperature) : std::string("NaN\n");
        any_temperature = any_temperature || measured;
    }
    return any_temperature;
}

// The data blocks as the script defines them, their names followed by `tag`.
std::string historyplot_data(const std::array<std::string, 3>& blocks, const std::string& tag) {
    std::string script = "set encoding utf8\n";
    for (std::size_t s = 0; s < blocks.size(); ++s) {
        if (!blocks[s].empty()) {
            script +=
                std::string(historyplot_series[s].block) + tag + " << EOD\n" + blocks[s] + "EOD\n";
        }
    }
    return script;
}

// The x axis of a panel over time.
constexpr const char* historyplot_time_axis =
    "set xdata time\nset timefmt '%s'\nset format x \"%Y-%m-%d\\n%H:%M\"\nset xlabel ''\n";

bool historyplot_one_line(std::initializer_list<const std::string*> texts) {
    for (const std::string* text : texts) {
        if (text->find_first_of("\r\n") != std::string::npos) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string historyplot_gnuplot_script(const std::vector<HistoryRecord>& records,
                                       const HistoryFigureSummary& summary,
                                       const std::string& png_path, const std::string& title) {
    if (!historyplot_one_line({&png_path, &title, &summary.figure})) {
        return {};
    }
    std::array<std::string, 3> blocks;
    const bool any_temperature = historyplot_blocks(records, summary.figure, blocks);
    if (blocks[0].empty() && blocks[1].empty() && blocks[2].empty()) {
        return {};
    }
    const std::string script = historyplot_data(blocks, "");
    const std::string figure = gnuplot_string(summary.figure);
    std::string panels = "set multiplot layout 2,1 title " + gnuplot_string(title) +
                         " font ',13'\nset grid\nset key outside right top\n"
                         "set offsets graph 0.03, graph 0.03, graph 0.08, graph 0.08\n"
                         "set ylabel " +
                         figure + "\n";
    panels += std::string("set title 'over time (UTC)'\n") + historyplot_time_axis;
    panels += historyplot_panel(blocks, 1, summary, false, "");
    panels += "set title 'over the mean temperature of the sweep'\nset xdata\nset format x '%g'\n"
              "set xlabel 'mean temperature (°C)'\n";
    if (any_temperature) {
        panels += historyplot_panel(blocks, 3, summary, false, "");
    } else {
        panels += "set label 1 'no sweep measured its temperature' at graph 0.5,0.5 center\n"
                  "plot 0 with lines linecolor rgb '#bbbbbb' notitle\nunset label 1\n";
    }
    panels += "unset multiplot\n";
    return script + gnuplot_pictures(png_path, "", 1000, 760, panels);
}

std::string historyplot_trend_script(const std::vector<HistoryRecord>& records,
                                     const HistoryFigureSummary& summary,
                                     const std::string& svg_path, const std::string& tag) {
    if (!historyplot_one_line({&svg_path, &summary.figure})) {
        return {};
    }
    std::array<std::string, 3> blocks;
    historyplot_blocks(records, summary.figure, blocks);
    // A figure no sweep measured still gets its chart, saying so: the page has one per figure.
    std::string panels = "reset\nset grid\nset key outside right top\n"
                         "set offsets graph 0.03, graph 0.03, graph 0.08, graph 0.08\n"
                         "set title " +
                         gnuplot_string(summary.figure) + "\n" + historyplot_time_axis;
    // Four or five times along the axis, whatever the span: a chart is narrow.
    const auto [first, last] = std::ranges::minmax_element(
        records, {}, [](const HistoryRecord& record) { return record.seconds; });
    if (first != records.end() && last->seconds > first->seconds) {
        text_append(panels, "set xtics %lld\n",
                    static_cast<long long>((last->seconds - first->seconds + 3) / 4));
    }
    if (blocks[0].empty() && blocks[1].empty() && blocks[2].empty()) {
        panels += "set label 1 'no sweep measured it' at graph 0.5,0.5 center\nset xdata\n"
                  "plot 0 with lines linecolor rgb '#bbbbbb' notitle\nunset label 1\n";
    } else {
        panels += historyplot_panel(blocks, 1, summary, true, tag);
    }
    return historyplot_data(blocks, tag) + gnuplot_pictures("", svg_path, 600, 260, panels);
}
