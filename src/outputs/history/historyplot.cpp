#include "outputs/history/historyplot.h"

#include "base/text/text.h"
#include "outputs/gnuplot/gnuplot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>

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

// The plot clauses of the limits and their guard band, each beginning with a comma. `mirrored`
// draws a max_abs limit on both sides, for values with their sign.
std::string historyplot_limits(const HistoryFigureSummary& summary, bool mirrored) {
    struct Line {
        double at;
        std::string title; // empty: no entry in the key
        const char* style;
    };
    constexpr const char* limit_style = "dashtype 2 linewidth 2 linecolor rgb '#444444'";
    constexpr const char* guard_style = "dashtype 3 linewidth 1.5 linecolor rgb '#ff7f0e'";
    std::vector<Line> lines;
    const std::string guard =
        summary.guard && *summary.guard > 0.0 ? text_format("guard %.6g", *summary.guard) : "";
    const auto add = [&](std::optional<double> limit, const std::string& title, double inward) {
        if (!limit) {
            return;
        }
        lines.push_back({*limit, title, limit_style});
        if (!guard.empty()) {
            lines.push_back({*limit + inward * *summary.guard, "", guard_style});
        }
    };
    if (summary.absolute && mirrored) {
        add(summary.usl, text_format("max_abs %.6g", *summary.usl), -1.0);
        add(-*summary.usl, "", 1.0);
    } else {
        add(summary.lsl, summary.lsl ? text_format("LSL %.6g", *summary.lsl) : "", 1.0);
        add(summary.usl, summary.usl ? text_format("USL %.6g", *summary.usl) : "", -1.0);
    }
    std::string plot;
    bool guard_titled = false; // one entry in the key for the band, with its first line
    for (const Line& line : lines) {
        std::string title = line.title;
        if (line.style == guard_style && !guard_titled) {
            title = guard;
            guard_titled = true;
        }
        // 15 digits: a guarded bound as a person works it out, 0.48 and not 0.47999999999999998.
        text_append(plot, ", \\\n    %.15g with lines %s %s", line.at, line.style,
                    title.empty() ? "notitle" : ("title " + gnuplot_string(title)).c_str());
    }
    return plot;
}

// The plot command of one panel: the series with points, x from `x_column`, and the limits. `tag`
// follows the data blocks' names.
std::string historyplot_panel(const std::array<std::string, 3>& blocks, int x_column,
                              const HistoryFigureSummary& summary, const std::string& tag = "") {
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
    return plot + historyplot_limits(summary, true) + "\n";
}

bool historyplot_names_ok(std::initializer_list<const std::string*> names) {
    return std::none_of(names.begin(), names.end(), [](const std::string* text) {
        return text->find_first_of("\r\n") != std::string::npos;
    });
}

// One data block per verdict: time in seconds since 1970, the figure, the mean temperature (an
// empty block for a verdict no sweep had). Whether any sweep measured its temperature.
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

// The blocks as the script's data, their names followed by `tag`.
std::string historyplot_data(const std::array<std::string, 3>& blocks, const std::string& tag) {
    std::string script = "set encoding utf8\n";
    for (std::size_t s = 0; s < blocks.size(); ++s) {
        if (!blocks[s].empty()) {
            script += historyplot_series[s].block + tag + " << EOD\n" + blocks[s] + "EOD\n";
        }
    }
    return script;
}

constexpr const char* historyplot_time_axis =
    "set xdata time\nset timefmt '%s'\nset format x \"%Y-%m-%d\\n%H:%M\"\nset xlabel ''\n";

} // namespace

std::string historyplot_gnuplot_script(const std::vector<HistoryRecord>& records,
                                       const HistoryFigureSummary& summary,
                                       const std::string& png_path, const std::string& title) {
    if (!historyplot_names_ok({&png_path, &title, &summary.figure})) {
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

std::string historyplot_imr_script(const HistoryFigureSummary& summary, const std::string& png_path,
                                   const std::string& title) {
    std::vector<double> values;
    for (const HistoryPoint& point : summary.points) {
        values.push_back(point.value);
    }
    const std::optional<CapabilityControlLimits> control = capability_control_limits(values);
    if (!historyplot_names_ok({&png_path, &title, &summary.figure}) || !control) {
        return {};
    }
    // The individuals and the moving ranges, numbered in time order; those beyond their control
    // limits again, with the sensor's serial, to mark them.
    std::string points;
    std::string points_out;
    std::string ranges;
    std::string ranges_out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string row =
            text_format("%zu %.17g %s\n", i + 1, values[i], summary.points[i].serial.c_str());
        points += row;
        if (values[i] > control->ucl || values[i] < control->lcl) {
            points_out += row;
        }
        if (i > 0) {
            const double range = std::fabs(values[i] - values[i - 1]);
            const std::string range_row =
                text_format("%zu %.17g %s\n", i + 1, range, summary.points[i].serial.c_str());
            ranges += range_row;
            if (range > control->mr_ucl) {
                ranges_out += range_row;
            }
        }
    }
    std::string script =
        "set encoding utf8\n$points << EOD\n" + points + "EOD\n$ranges << EOD\n" + ranges + "EOD\n";
    for (const auto& [block, rows] :
         {std::pair{"$points_out", &points_out}, std::pair{"$ranges_out", &ranges_out}}) {
        if (!rows->empty()) {
            script += std::string(block) + " << EOD\n" + *rows + "EOD\n";
        }
    }
    const std::string figure = summary.absolute ? "|" + summary.figure + "|" : summary.figure;
    constexpr const char* value_style =
        "with linespoints pointtype 7 pointsize 0.8 linecolor rgb '#1f77b4'";
    constexpr const char* out_style =
        "with points pointtype 6 pointsize 2 linewidth 2 linecolor rgb '#d62728'";
    constexpr const char* centre_style = "with lines linewidth 1.5 linecolor rgb '#2ca02c'";
    constexpr const char* control_style = "with lines linewidth 1.5 linecolor rgb '#d62728'";
    const auto beyond = [&](const char* block, const std::string& rows) {
        return rows.empty() ? std::string()
                            : text_format(", \\\n    %s using 1:2 %s title 'beyond the control "
                                          "limits', \\\n    %s using 1:2:3 with labels offset "
                                          "0,1.2 textcolor rgb '#d62728' notitle",
                                          block, out_style, block);
    };
    std::string panels = "set multiplot layout 2,1 title " + gnuplot_string(title) +
                         " font ',13'\nset grid\nset key outside right top\n"
                         "set offsets graph 0.03, graph 0.03, graph 0.1, graph 0.1\n"
                         // The same margins for both panels, so that a sensor is above its range.
                         "set lmargin at screen 0.08\nset rmargin at screen 0.72\n"
                         "set xrange [0.5:" +
                         text_format("%zu.5]\n", values.size());
    panels += "set title 'individuals: the latest sweep of each sensor, in time order'\n"
              "set xlabel ''\nset ylabel " +
              gnuplot_string(figure) + "\n";
    panels += "plot $points using 1:2 " + std::string(value_style) + " title 'value'" +
              beyond("$points_out", points_out);
    text_append(panels, ", \\\n    %.17g %s title 'centre %.6g'", control->centre, centre_style,
                control->centre);
    text_append(panels, ", \\\n    %.17g %s title 'UCL, LCL %.6g, %.6g'", control->ucl,
                control_style, control->ucl, control->lcl);
    text_append(panels, ", \\\n    %.17g %s notitle", control->lcl, control_style);
    panels += historyplot_limits(summary, false) + "\n";
    panels += "set title 'moving ranges'\nset xlabel 'sensor, by the time of its latest sweep'\n"
              "set ylabel 'moving range'\n";
    panels += "plot $ranges using 1:2 " + std::string(value_style) + " title 'moving range'" +
              beyond("$ranges_out", ranges_out);
    text_append(panels, ", \\\n    %.17g %s title 'mean %.6g'", control->mr_mean, centre_style,
                control->mr_mean);
    text_append(panels, ", \\\n    %.17g %s title 'UCL %.6g'\n", control->mr_ucl, control_style,
                control->mr_ucl);
    panels += "unset multiplot\n";
    return script + gnuplot_pictures(png_path, "", 1000, 760, panels);
}

std::string historyplot_trend_script(const std::vector<HistoryRecord>& records,
                                     const HistoryFigureSummary& summary,
                                     const std::string& svg_path, const std::string& tag) {
    if (!historyplot_names_ok({&svg_path, &summary.figure, &tag})) {
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
        panels += historyplot_panel(blocks, 1, summary, tag);
    }
    return historyplot_data(blocks, tag) + gnuplot_pictures("", svg_path, 600, 260, panels);
}
