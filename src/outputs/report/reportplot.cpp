#include "outputs/report/reportplot.h"

#include "base/text/text.h"
#include "base/usage/usage.h"
#include "outputs/gnuplot/gnuplot.h"

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <numbers>

namespace {

// The data blocks: the deviation at each cruise sample, the card, and the cruise's field.
std::string reportplot_data(const Report& report, std::span<const SweepLogSample> samples) {
    // The points go in as data blocks, so no scratch file is needed.
    std::string script = "set encoding utf8\n$deviation << EOD\n";
    for (std::size_t k = 0; k < report.deviation.uniform_deg.size(); ++k) {
        script += text_format("%.4f %.5f\n", report.deviation.uniform_deg[k],
                              report.deviation.deviation_deg[k]);
    }
    script += "EOD\n$card << EOD\n";
    for (const ReportCardRow& row : report.deviation_card) {
        script += text_format("%.0f %.5f\n", row.heading_deg, row.deviation_deg);
    }
    script += "EOD\n$field << EOD\n";
    for (const SweepLogSample& sample : samples) {
        if (sample.number >= report.cruise.first && sample.number <= report.cruise.last) {
            script += text_format("%.5f %.5f\n", sample.values[sweeplog_mag_x],
                                  sample.values[sweeplog_mag_y]);
        }
    }
    return script + "EOD\n";
}

// The heading's deviation from the uniform turn, with the fitted curve and the card.
std::string reportplot_deviation_panel(const Report& report) {
    const ReportHeading& h = report.heading;
    std::string panel = "set title 'Heading deviation from a uniform turn'\n"
                        "set xlabel 'heading of the uniform turn (°)'\nset ylabel 'deviation (°)'\n"
                        "set xrange [0:360]\nset xtics 45\nset size noratio\n";
    if (h.b_deg) {
        panel += text_format(
            "plot $deviation using 1:2 with points pointtype 7 pointsize 0.4 linecolor rgb "
            "'#1f77b4' title 'heading - uniform turn', \\\n"
            "    %.6f*sin(x*pi/180) + %.6f*cos(x*pi/180) + %.6f*sin(2*x*pi/180) + "
            "%.6f*cos(2*x*pi/180) with lines linewidth 2 linecolor rgb '#d62728' "
            "title 'fitted B-E curve', \\\n"
            "    $card using 1:2 with points pointtype 9 pointsize 1.3 linecolor rgb '#2ca02c' "
            "title 'deviation card'\n",
            *h.b_deg, *h.c_deg, *h.d_deg, *h.e_deg);
    } else {
        panel += text_format("set label 1 'no deviation curve: the cruise turned %.0f°, "
                             "the fit needs %.0f°' at graph 0.5,0.5 center\n"
                             "set yrange [-1:1]\nplot 0 with lines linecolor rgb '#bbbbbb' "
                             "notitle\nunset label 1\nset autoscale y\n",
                             std::fabs(h.turned_deg), report_min_turn_deg);
    }
    return panel;
}

// The magnetometer's points with the fitted ellipse and its centre.
std::string reportplot_field_panel(const Report& report) {
    const ReportHeading& h = report.heading;
    const ReportMag& m = report.mag;
    std::string panel =
        "set title 'Magnetometer: X Mag against Y Mag'\nset xlabel 'X Mag (gauss)'\n"
        "set ylabel 'Y Mag (gauss)'\nset autoscale x\nset xtics autofreq\n"
        "set size ratio -1\n";
    if (std::fabs(h.turned_deg) < report_min_ellipse_turn_deg) {
        panel += text_format("set label 1 'no ellipse: the cruise turned %.0f°, the fit needs "
                             "%.0f°' at graph 0.5,0.92 center front\n",
                             std::fabs(h.turned_deg), report_min_ellipse_turn_deg);
    }
    panel += "plot $field using 1:2 with points pointtype 7 pointsize 0.4 linecolor rgb "
             "'#1f77b4' title 'cruise samples'";
    if (m.major_gauss) {
        const double angle = m.major_angle_deg.value_or(0) * (std::numbers::pi / 180.0);
        panel += text_format(
            ", \\\n    [0:2*pi] '+' using (%.6f + %.6f*cos($1)*%.6f - %.6f*sin($1)*%.6f):"
            "(%.6f + %.6f*cos($1)*%.6f + %.6f*sin($1)*%.6f) with lines linewidth 2 linecolor "
            "rgb '#d62728' title 'fitted ellipse', \\\n"
            "    '+' using (%.6f):(%.6f) every ::0::0 with points pointtype 2 pointsize 2 "
            "linewidth 2 linecolor rgb '#2ca02c' title 'centre (hard iron)'",
            *m.hard_iron_x_gauss, *m.major_gauss, std::cos(angle), *m.minor_gauss, std::sin(angle),
            *m.hard_iron_y_gauss, *m.major_gauss, std::sin(angle), *m.minor_gauss, std::cos(angle),
            *m.hard_iron_x_gauss, *m.hard_iron_y_gauss);
    }
    return panel + "\n";
}

bool reportplot_one_line(std::initializer_list<const std::string*> texts) {
    for (const std::string* text : texts) {
        if (text->find_first_of("\r\n") != std::string::npos) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string reportplot_gnuplot_script(const Report& report, std::span<const SweepLogSample> samples,
                                      const std::string& png_path, const std::string& svg_path,
                                      const std::string& title) {
    if (!reportplot_one_line({&png_path, &svg_path, &title})) {
        return {};
    }
    const std::string panels = "set multiplot layout 1,2 title " + gnuplot_string(title) +
                               " font ',13'\nset grid\nset key below height 1\nset bmargin 6\n" +
                               reportplot_deviation_panel(report) + reportplot_field_panel(report) +
                               "unset multiplot\n";
    return reportplot_data(report, samples) +
           gnuplot_pictures(png_path, svg_path, 1100, 480, panels);
}

std::string reportplot_page_script(const Report& report, std::span<const SweepLogSample> samples,
                                   const std::string& deviation_svg, const std::string& field_svg) {
    if (!reportplot_one_line({&deviation_svg, &field_svg})) {
        return {};
    }
    const std::string common = "set grid\nset key below height 1\n";
    return reportplot_data(report, samples) +
           gnuplot_pictures("", deviation_svg, 660, 360,
                            common + reportplot_deviation_panel(report)) +
           gnuplot_pictures("", field_svg, 380, 360, common + reportplot_field_panel(report));
}

bool reportplot_can_draw() {
    return gnuplot_find().has_value();
}

bool reportplot_draw(const char* program, const Report& report,
                     std::span<const SweepLogSample> samples, const std::string& png_path,
                     const std::string& svg_path, const std::string& title) {
    const std::optional<std::filesystem::path> gnuplot = gnuplot_find();
    if (!gnuplot) {
        std::fprintf(stderr, "%s: gnuplot not found on the PATH, so no picture was drawn. %s.\n",
                     program, usage_gnuplot_install);
        return false;
    }
    std::vector<std::string> outputs;
    for (const std::string* path : {&png_path, &svg_path}) {
        if (!path->empty()) {
            outputs.push_back(*path);
        }
    }
    return gnuplot_draw(program, *gnuplot, outputs,
                        reportplot_gnuplot_script(report, samples, png_path, svg_path, title));
}
