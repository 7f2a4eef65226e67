#include "outputs/report/reportout.h"

#include "base/text/text.h"

#include <cmath>

namespace {

// A figure that may be empty, with its unit, as the text shows it.
std::string reportout_optional(const std::optional<double>& value, int decimals, const char* unit) {
    return value ? reportout_number(*value, decimals) + unit : std::string("absent");
}

} // namespace

std::string reportout_number(double value, int decimals, int width) {
    const std::string shown = text_format("%*.*f", width, decimals, value);
    // printf does the rounding, so printf is asked whether the figure rounds to zero.
    if (std::signbit(value) &&
        text_format("%.*f", decimals, -value) == text_format("%.*f", decimals, 0.0)) {
        return text_format("%*.*f", static_cast<int>(shown.size()), decimals, 0.0);
    }
    return shown;
}

nlohmann::ordered_json reportout_figure(const std::optional<double>& value) {
    if (!value) {
        return nullptr;
    }
    return *value == 0 ? 0.0 : *value;
}

std::string reportout_text(const Report& report, const std::string& log_name) {
    const auto number = reportout_number;
    const ReportHeading& h = report.heading;
    const ReportMag& m = report.mag;
    const ReportTilt& t = report.tilt;
    std::string text =
        text_format("Sweep report of %s: %zu samples\n", log_name.c_str(), report.samples);
    text_append(text,
                "Cruise: samples %zu to %zu (%zu samples, the Z yaw rate within 5%% of its "
                "median)\n",
                report.cruise.first, report.cruise.last, report.cruise.count);
    const ReportSampling& sampling = report.sampling;
    if (sampling.timed) {
        text_append(text, "Clock: the sample times of %zu samples", sampling.count);
        text += ", mean interval " + number(sampling.mean_interval_ms.value_or(0), 1, 0) +
                " ms, longest " + number(sampling.max_interval_ms.value_or(0), 1, 0) + " ms\n\n";
    } else {
        text +=
            "Clock: the sample number (no usable times), the samples taken as evenly spaced\n\n";
    }

    text += "Heading deviation from a uniform turn\n";
    text += "  turned           " + number(h.turned_deg, 2, 9) + " deg over the cruise\n";
    if (h.b_deg) {
        // A standard error carries one decimal more than its figure.
        const auto with_se = [&number](double value, double se, int decimals) {
            return number(value, decimals, 9) + " +/- " + number(se, decimals + 1, 0);
        };
        text += "  uniform turn     " + with_se(*h.step_deg, *h.step_se_deg, 4) + " deg per " +
                (sampling.timed ? "second" : "sample") + "\n";
        text += "  B (sin heading)  " + with_se(*h.b_deg, *h.b_se_deg, 3) + " deg\n";
        text += "  C (cos heading)  " + with_se(*h.c_deg, *h.c_se_deg, 3) + " deg\n";
        text += "  D (sin 2 heading)" + with_se(*h.d_deg, *h.d_se_deg, 3) + " deg\n";
        text += "  E (cos 2 heading)" + with_se(*h.e_deg, *h.e_se_deg, 3) + " deg\n";
        text += "  residual RMS     " + number(*h.residual_rms_deg, 3, 9) + " deg\n";
        text += "  peak deviation   " + number(*h.peak_deviation_deg, 3, 9) + " deg at heading " +
                number(*h.peak_at_deg, 1, 0) + " deg\n";
        text += "  A constant deviation cannot be told apart from the unknown start angle\n"
                "  without an absolute reference, so none is reported.\n";
    } else {
        text += "  B-E              absent: the cruise turned " +
                number(std::fabs(h.turned_deg), 2, 0) + " deg, the fit needs at least " +
                number(report_min_turn_deg, 0, 0) + "\n";
    }

    if (!report.deviation_card.empty()) {
        // Four columns of six rows, each column a quarter of the turn.
        text +=
            "\nDeviation card (deg): the fitted deviation at each heading of the uniform turn\n";
        constexpr std::size_t columns = 4;
        constexpr std::size_t rows = report_card_rows / columns;
        text += "  heading deviation  heading deviation  heading deviation  heading deviation\n";
        for (std::size_t row = 0; row < rows; ++row) {
            std::string line;
            for (std::size_t column = 0; column < columns; ++column) {
                const ReportCardRow& card = report.deviation_card[column * rows + row];
                line += "  " + number(card.heading_deg, 0, 7) + number(card.deviation_deg, 3, 10);
            }
            text += line + "\n";
        }
    }

    text += "\nHorizontal field (the magnitude of X Mag, Y Mag)\n";
    text += "  mean             " + number(m.field_mean_gauss, 5, 0) + " gauss\n";
    text += "  spread           std " + number(m.field_std_gauss, 5, 0) + " gauss (" +
            reportout_optional(m.field_std_percent, 2, " %") + "), max-min " +
            number(m.field_range_gauss, 5, 0) + " gauss (" +
            reportout_optional(m.field_spread_percent, 2, " %") + ")\n";

    text += "\nMagnetometer (ellipse through X Mag, Y Mag)\n";
    if (std::fabs(h.turned_deg) < report_min_ellipse_turn_deg) {
        text += "  absent: the cruise turned " + number(std::fabs(h.turned_deg), 2, 0) +
                " deg, the ellipse needs at least " + number(report_min_ellipse_turn_deg, 0, 0) +
                "\n";
    } else if (m.major_gauss) {
        text += "  hard iron        X " + number(*m.hard_iron_x_gauss, 5, 0) + " gauss, Y " +
                number(*m.hard_iron_y_gauss, 5, 0) + " gauss\n";
        text += "  semi-axes        major " + number(*m.major_gauss, 5, 0) + " gauss, minor " +
                number(*m.minor_gauss, 5, 0) + " gauss\n";
        text += "  major axis       " +
                (m.major_angle_deg ? number(*m.major_angle_deg, 2, 0) + " deg from X"
                                   : "absent: the semi-axes differ by less than the fit RMS") +
                "\n";
        text += "  fit RMS          " + number(*m.fit_rms_gauss, 5, 0) + " gauss\n";
    } else {
        text += "  absent: the points trace no ellipse\n";
    }

    const ReportYawRate& yaw = report.yaw_rate;
    text += "\nYaw rate (Z)\n";
    text += "  mean             " + number(yaw.mean_dps, 3, 9) + " deg/s\n";
    text += "  std              " + number(yaw.std_dps, 3, 9) + " deg/s\n";
    if (yaw.scale_error_percent) {
        const double reference = yaw.given_turn_rate_dps.value_or(h.turn_rate_dps.value_or(0));
        text += "  scale error      " + number(*yaw.scale_error_percent, 3, 9) + " % against the " +
                (yaw.given_turn_rate_dps ? "given" : "measured") + " turn rate, " +
                number(reference, 4, 0) + " deg/s\n";
        if (yaw.given_turn_rate_dps && h.turn_rate_dps) {
            text += "  measured rate    " + number(*h.turn_rate_dps, 4, 9) + " deg/s\n";
        }
    } else {
        text += std::string("  scale error      absent: ") +
                (sampling.timed ? "the turn is too short to measure; give --turn-rate\n"
                                : "give the commanded rate with --turn-rate\n");
    }

    text += "\nTilt\n";
    text += "  roll, pitch      " + number(t.roll_mean_deg, 3, 0) + " deg, " +
            number(t.pitch_mean_deg, 3, 0) + " deg\n";
    text += "  accelerometer    roll " + number(t.accel_roll_deg, 3, 0) + " deg, pitch " +
            number(t.accel_pitch_deg, 3, 0) + " deg\n";
    text += "  wobble           roll " + reportout_optional(t.roll_wobble_deg, 3, " deg") +
            ", pitch " + reportout_optional(t.pitch_wobble_deg, 3, " deg") + "\n";

    const ReportTemperature& temp = report.temperature;
    text += "\nTemperature\n";
    text += "  mean " + number(temp.mean_c, 2, 0) + " deg C, min " + number(temp.min_c, 2, 0) +
            " deg C, max " + number(temp.max_c, 2, 0) + " deg C\n";
    return text;
}

nlohmann::ordered_json reportout_document(const Report& report) {
    const auto figure = reportout_figure;
    const ReportHeading& h = report.heading;
    const ReportMag& m = report.mag;
    const ReportTilt& t = report.tilt;
    nlohmann::ordered_json json;
    json["samples"] = report.samples;
    json["sampling"] = {{"timed", report.sampling.timed},
                        {"mean_interval_ms", figure(report.sampling.mean_interval_ms)},
                        {"max_interval_ms", figure(report.sampling.max_interval_ms)},
                        {"duration_s", figure(report.sampling.duration_s)}};
    json["cruise"] = {{"first", report.cruise.first},
                      {"last", report.cruise.last},
                      {"count", report.cruise.count}};
    json["heading"] = {{"turned_deg", figure(h.turned_deg)},
                       {"turn_rate_dps", figure(h.turn_rate_dps)},
                       {"turn_rate_dps_se", figure(h.turn_rate_se_dps)},
                       {"B_deg", figure(h.b_deg)},
                       {"B_deg_se", figure(h.b_se_deg)},
                       {"C_deg", figure(h.c_deg)},
                       {"C_deg_se", figure(h.c_se_deg)},
                       {"D_deg", figure(h.d_deg)},
                       {"D_deg_se", figure(h.d_se_deg)},
                       {"E_deg", figure(h.e_deg)},
                       {"E_deg_se", figure(h.e_se_deg)},
                       {"residual_rms_deg", figure(h.residual_rms_deg)},
                       {"peak_deviation_deg", figure(h.peak_deviation_deg)}};
    // Pairs of heading and deviation, or null without the fit.
    json["deviation_card"] = nullptr;
    for (const ReportCardRow& row : report.deviation_card) {
        json["deviation_card"].push_back({figure(row.heading_deg), figure(row.deviation_deg)});
    }
    json["mag"] = {{"field_mean_gauss", figure(m.field_mean_gauss)},
                   {"field_std_gauss", figure(m.field_std_gauss)},
                   {"field_std_percent", figure(m.field_std_percent)},
                   {"field_range_gauss", figure(m.field_range_gauss)},
                   {"field_spread_percent", figure(m.field_spread_percent)},
                   {"hard_iron_x_gauss", figure(m.hard_iron_x_gauss)},
                   {"hard_iron_y_gauss", figure(m.hard_iron_y_gauss)},
                   {"major_gauss", figure(m.major_gauss)},
                   {"minor_gauss", figure(m.minor_gauss)},
                   {"major_angle_deg", figure(m.major_angle_deg)},
                   {"fit_rms_gauss", figure(m.fit_rms_gauss)}};
    json["yaw_rate"] = {{"mean_dps", figure(report.yaw_rate.mean_dps)},
                        {"std_dps", figure(report.yaw_rate.std_dps)},
                        {"given_turn_rate_dps", figure(report.yaw_rate.given_turn_rate_dps)},
                        {"scale_error_percent", figure(report.yaw_rate.scale_error_percent)}};
    json["tilt"] = {{"roll_mean_deg", figure(t.roll_mean_deg)},
                    {"pitch_mean_deg", figure(t.pitch_mean_deg)},
                    {"accel_roll_deg", figure(t.accel_roll_deg)},
                    {"accel_pitch_deg", figure(t.accel_pitch_deg)},
                    {"roll_wobble_deg", figure(t.roll_wobble_deg)},
                    {"pitch_wobble_deg", figure(t.pitch_wobble_deg)}};
    json["temperature"] = {{"mean_c", figure(report.temperature.mean_c)},
                           {"min_c", figure(report.temperature.min_c)},
                           {"max_c", figure(report.temperature.max_c)}};
    return json;
}

std::string reportout_json(const Report& report) {
    return reportout_document(report).dump(2) + "\n";
}
