#include "outputs/sweep/sweepplot.h"

#include "base/text/text.h"
#include "outputs/gnuplot/gnuplot.h"

#include <algorithm>
#include <array>
#include <cmath>

bool sweepplot_write_csv(std::FILE* csv, std::span<const SweepLogSample> samples,
                         std::span<const double> times) {
    std::fputs("sample", csv);
    for (const SweepLogQuantity& quantity : sweeplog_quantities) {
        std::fprintf(csv, ",%.*s", static_cast<int>(quantity.column.size()),
                     quantity.column.data());
    }
    // Last, so that every other column keeps its place with and without times.
    std::fputs(times.empty() ? "\n" : ",time_s\n", csv);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        std::fprintf(csv, "%zu", samples[k].number);
        for (std::size_t q = 0; q < sweeplog_value_count; ++q) {
            std::fprintf(csv, ",%.*f", sweeplog_quantities[q].decimals, samples[k].values[q]);
        }
        if (k < times.size()) {
            std::fprintf(csv, ",%.4f", times[k]);
        } else if (!times.empty()) {
            std::fputc(',', csv);
        }
        std::fputc('\n', csv);
    }
    return std::ferror(csv) == 0;
}

namespace {

// One stacked panel: its series are quantity indices on the left axis, plus one on the right
// axis (the heading, whose ±180° would flatten roll and pitch on a shared axis).
struct SweepPlotPanel {
    const char* title;
    const char* ylabel;
    std::array<int, 3> left; // -1 marks an unused slot
    int right;               // -1 when the panel has no right axis
    const char* right_label;
};

constexpr std::array<SweepPlotPanel, 5> sweepplot_panels{{
    {"Angles", "roll, pitch (°)", {0, 1, -1}, 2, "heading (°)"},
    {"Angular rates", "rate (°/s)", {3, 4, 5}, -1, ""},
    {"Accelerations", "acceleration (g)", {6, 7, 8}, -1, ""},
    {"Magnetic field", "field (gauss)", {9, 10, 11}, -1, ""},
    {"Temperature", "temperature (°C)", {12, -1, -1}, -1, ""},
}};

constexpr std::array<const char*, sweeplog_value_count> sweepplot_series_titles{"roll",
                                                                                "pitch",
                                                                                "heading (right)",
                                                                                "X (roll rate)",
                                                                                "Y (pitch rate)",
                                                                                "Z (yaw rate)",
                                                                                "X",
                                                                                "Y",
                                                                                "Z",
                                                                                "X",
                                                                                "Y",
                                                                                "Z",
                                                                                "temperature"};

// Line style per series: X, roll red; Y, pitch green; Z, heading blue; temperature orange.
constexpr std::array<int, sweeplog_value_count> sweepplot_series_styles{1, 2, 3, 1, 2, 3, 1,
                                                                        2, 3, 1, 2, 3, 4};

// The range command for one axis: gnuplot's own for a spread of values, a fixed one around a
// flat series (where gnuplot would warn and pick a range of its own).
std::string sweepplot_range(const char* axis, std::span<const SweepLogSample> samples,
                            std::span<const int> quantities) {
    double low = INFINITY;
    double high = -INFINITY;
    int decimals = 0;
    for (const int q : quantities) {
        if (q < 0) {
            continue;
        }
        const auto index = static_cast<std::size_t>(q);
        decimals = std::max(decimals, sweeplog_quantities[index].decimals);
        for (const SweepLogSample& sample : samples) {
            low = std::min(low, sample.values[index]);
            high = std::max(high, sample.values[index]);
        }
    }
    std::string command;
    if (high - low >= std::pow(10.0, -decimals)) {
        text_append(command, "set autoscale %s\n", axis);
    } else {
        const double margin = std::max(std::fabs(high) * 0.05, 10 * std::pow(10.0, -decimals));
        text_append(command, "set %srange [%.9g:%.9g]\n", axis, low - margin, high + margin);
    }
    return command;
}

std::string sweepplot_panels_script(const SweepPlot& plot,
                                    std::span<const SweepLogSample> samples) {
    std::string script;
    const std::string title = gnuplot_string(plot.title);
    if (samples.empty()) {
        text_append(script,
                    "set title %s font ',13'\nunset key\nunset tics\nunset border\n"
                    "set label 1 'no samples in the log' at graph 0.5,0.5 center\n"
                    "plot [0:1][0:1] 2 notitle\nunset label 1\nset border\nset tics\n",
                    title.c_str());
        return script;
    }
    const std::string data = gnuplot_string(plot.csv_path);
    const std::size_t count = samples.size();
    // Fixed margins line the panels up over one shared sample axis.
    constexpr double top = 0.945;
    constexpr double bottom = 0.055;
    constexpr double gap = 0.032;
    constexpr double left = 0.085;
    constexpr double right = 0.78;
    const double height = (top - bottom - gap * (sweepplot_panels.size() - 1)) /
                          static_cast<double>(sweepplot_panels.size());
    text_append(script, "set multiplot title %s font ',13'\n", title.c_str());
    text_append(script, "set lmargin at screen %.3f\nset rmargin at screen %.3f\n", left, right);
    // A handful of samples shows its points, half a sample clear of the borders, on whole-number
    // tics; a long sweep draws lines from the first sample to the last.
    const bool points = count < 50;
    if (points) {
        text_append(script, "set xrange [0.5:%zu.5]\n", count);
    } else {
        text_append(script, "set xrange [1:%zu]\n", count);
    }
    script += "set grid\nset xtics out\nset mxtics\nset ytics mirror\n";
    script += count <= 10 ? "set xtics 1\n" : "set xtics autofreq\n";
    for (std::size_t p = 0; p < sweepplot_panels.size(); ++p) {
        const SweepPlotPanel& panel = sweepplot_panels[p];
        const double panel_top = top - static_cast<double>(p) * (height + gap);
        text_append(script, "set tmargin at screen %.4f\nset bmargin at screen %.4f\n", panel_top,
                    panel_top - height);
        text_append(script, "set title %s offset 0,-0.7\nset ylabel %s\n",
                    gnuplot_string(panel.title).c_str(), gnuplot_string(panel.ylabel).c_str());
        text_append(script, "set key at screen %.3f,%.4f left top Left reverse samplen 2\n",
                    right + 0.065, panel_top);
        if (p + 1 == sweepplot_panels.size()) {
            script += "set format x '%g'\nset xlabel 'sample number'\n";
        } else {
            script += "set format x ''\nunset xlabel\n";
        }
        script += sweepplot_range("y", samples, panel.left);
        if (panel.right >= 0) {
            const auto right_index = static_cast<std::size_t>(panel.right);
            bool within_half_turn = true;
            for (const SweepLogSample& sample : samples) {
                within_half_turn = within_half_turn && std::fabs(sample.values[right_index]) <= 180;
            }
            script += "set ytics nomirror\nset y2tics\n";
            if (within_half_turn) {
                script += "set y2range [-180:180]\nset y2tics 90\n";
            } else {
                const std::array<int, 1> right_only{panel.right};
                script += sweepplot_range("y2", samples, right_only);
            }
            text_append(script, "set y2label %s\n", gnuplot_string(panel.right_label).c_str());
        }
        if (panel.right >= 0) {
            script += "wrap_last = NaN\n";
        }
        script += "plot";
        const char* separator = " ";
        std::array<int, 4> series{panel.left[0], panel.left[1], panel.left[2], panel.right};
        for (std::size_t s = 0; s < series.size(); ++s) {
            if (series[s] < 0) {
                continue;
            }
            const auto q = static_cast<std::size_t>(series[s]);
            const std::string value = text_format("$%zu", q + 2);
            // The heading jumps between +180 and -180 as it passes south: break the line there
            // (gnuplot leaves an undefined point out) instead of drawing a stroke across the
            // whole axis.
            const std::string column =
                s == 3 ? text_format("(wrap_step = %s - wrap_last, wrap_last = %s, "
                                     "abs(wrap_step) > 180 ? 1/0 : %s) axes x1y2",
                                     value.c_str(), value.c_str(), value.c_str())
                       : text_format("%zu", q + 2);
            text_append(script, "%s%s skip 1 using 1:%s with ", separator, data.c_str(),
                        column.c_str());
            text_append(script, "%s linestyle %d%s", points ? "linespoints" : "lines",
                        sweepplot_series_styles[q], points ? " pointtype 7 pointsize 0.5" : "");
            text_append(script, " title %s", gnuplot_string(sweepplot_series_titles[q]).c_str());
            separator = ", \\\n    ";
        }
        script += "\n";
        if (panel.right >= 0) {
            script += "unset y2tics\nunset y2label\nset ytics mirror\n";
        }
    }
    script += "unset multiplot\n";
    return script;
}

} // namespace

std::string sweepplot_gnuplot_script(const SweepPlot& plot,
                                     std::span<const SweepLogSample> samples) {
    for (const std::string* text : {&plot.csv_path, &plot.png_path, &plot.svg_path, &plot.title}) {
        if (text->find_first_of("\r\n") != std::string::npos) {
            return {};
        }
    }
    std::string script = "set encoding utf8\n"
                         "set datafile separator comma\n"
                         "set style line 1 linecolor rgb '#d62728' linewidth 1.5\n"
                         "set style line 2 linecolor rgb '#2ca02c' linewidth 1.5\n"
                         "set style line 3 linecolor rgb '#1f77b4' linewidth 1.5\n"
                         "set style line 4 linecolor rgb '#e07b00' linewidth 1.5\n";
    script += gnuplot_pictures(plot.png_path, plot.svg_path, 1000, 1250,
                               sweepplot_panels_script(plot, samples));
    return script;
}
