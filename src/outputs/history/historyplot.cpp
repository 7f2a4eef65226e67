#include "outputs/history/historyplot.h"

#include "base/text/text.h"
#include "outputs/gnuplot/gnuplot.h"

#include <array>

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

// The plot command of one panel: the series with points, x from `x_column`, and the limits.
std::string historyplot_panel(const std::array<std::string, 3>& blocks, int x_column,
                              const HistoryFigureSummary& summary) {
    std::string plot = "plot ";
    const char* separator = "";
    for (std::size_t s = 0; s < blocks.size(); ++s) {
        if (blocks[s].empty()) {
            continue;
        }
        text_append(plot,
                    "%s%s using %d:2 with points pointtype 7 pointsize 0.8 linecolor rgb '%s' "
                    "title '%s'",
                    separator, historyplot_series[s].block, x_column, historyplot_series[s].colour,
                    historyplot_series[s].title);
        separator = ", \\\n    ";
    }
    for (const auto& [limit, title] :
         {std::pair{summary.lsl, "LSL"}, std::pair{summary.usl, "USL"}}) {
        if (limit) {
            text_append(plot,
                        ", \\\n    %.17g with lines dashtype 2 linewidth 2 linecolor rgb "
                        "'#444444' title '%s %.6g'",
                        *limit, title, *limit);
        }
    }
    return plot + "\n";
}

} // namespace

std::string historyplot_gnuplot_script(const std::vector<HistoryRecord>& records,
                                       const HistoryFigureSummary& summary,
                                       const std::string& png_path, const std::string& title) {
    for (const std::string* text : {&png_path, &title, &summary.figure}) {
        if (text->find_first_of("\r\n") != std::string::npos) {
            return {};
        }
    }
    // One data block per verdict: time in seconds since 1970, the figure, the mean temperature.
    std::array<std::string, 3> blocks;
    bool any_temperature = false;
    for (const HistoryRecord& record : records) {
        const std::optional<double>* value = history_value(record, summary.figure);
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
    if (blocks[0].empty() && blocks[1].empty() && blocks[2].empty()) {
        return {};
    }
    std::string script = "set encoding utf8\n";
    for (std::size_t s = 0; s < blocks.size(); ++s) {
        if (!blocks[s].empty()) {
            script += std::string(historyplot_series[s].block) + " << EOD\n" + blocks[s] + "EOD\n";
        }
    }
    const std::string figure = gnuplot_string(summary.figure);
    std::string panels = "set multiplot layout 2,1 title " + gnuplot_string(title) +
                         " font ',13'\nset grid\nset key outside right top\n"
                         "set offsets graph 0.03, graph 0.03, graph 0.08, graph 0.08\n"
                         "set ylabel " +
                         figure + "\n";
    panels += "set title 'over time (UTC)'\nset xdata time\nset timefmt '%s'\n"
              "set format x \"%Y-%m-%d\\n%H:%M\"\nset xlabel ''\n";
    panels += historyplot_panel(blocks, 1, summary);
    panels += "set title 'over the mean temperature of the sweep'\nset xdata\nset format x '%g'\n"
              "set xlabel 'mean temperature (°C)'\n";
    if (any_temperature) {
        panels += historyplot_panel(blocks, 3, summary);
    } else {
        panels += "set label 1 'no sweep measured its temperature' at graph 0.5,0.5 center\n"
                  "plot 0 with lines linecolor rgb '#bbbbbb' notitle\nunset label 1\n";
    }
    panels += "unset multiplot\n";
    return script + gnuplot_pictures(png_path, "", 1000, 760, panels);
}
