// The sweep report: its analysis on synthetic logs of a sensor with known errors, written with
// the gyro link's own log writer so that the numbers carry a real log's rounding; and the
// gyro_motor_report program itself on such logs.
#include "analysis/report/report.h"
#include "base/text/text.h"
#include "outputs/report/reportout.h"
#include "outputs/report/reportplot.h"
#include "sweep/gyro/gyro.h"
#include "tests/support/report_check.h"
#include "tests/support/tool_run.h"

#include <Eigen/Dense>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double rad = std::numbers::pi / 180;

using Sensor = SensorErrors;

// The sweep: a linear ramp up over `ramp` samples (never above 90% of the rate, so it stays out
// of the cruise), the cruise, the same ramp down. A busy bench PC adds up to `jitter_s` to each
// interval and a hiccup of seconds before the samples named.
struct Sweep {
    double rate_dps = 14.4;
    double seconds_per_sample = 0.07;
    std::size_t ramp = 8;
    double cruise_deg = 350;
    double jitter_s = 0;
    std::vector<std::pair<std::size_t, double>> hiccups{};
    std::uint32_t seed = 7; // of the sensor's noise
};

struct Synthetic {
    std::string log;
    std::vector<double> times; // as the times file holds them
    double longest_s = 0;      // the longest interval
    std::size_t cruise_first = 0;
    std::size_t cruise_last = 0;
    double turned_deg = 0;                                 // over the cruise
    double temp_mean = 0, temp_min = 1e9, temp_max = -1e9; // over the cruise
};

const Sweep irregular{
    .seconds_per_sample = 0.04, .jitter_s = 0.1, .hiccups = {{50, 0.45}, {140, 0.8}, {230, 0.6}}};
const Sweep reverse_irregular{.rate_dps = -14.4,
                              .seconds_per_sample = 0.04,
                              .jitter_s = 0.1,
                              .hiccups = {{50, 0.45}, {140, 0.8}, {230, 0.6}}};

std::int32_t word(double value, double step) {
    return static_cast<std::int32_t>(std::lround(value / step));
}

// The samples of one sweep by the shared sensor model, with small seeded noise.
Synthetic synthetic_sweep(const Sensor& sensor, const Sweep& sweep) {
    std::mt19937 random(sweep.seed);
    std::normal_distribution<double> noise(0, 1);
    std::mt19937 timing(11);
    std::uniform_real_distribution<double> unit(0, 1);
    const double cruise_step = sweep.rate_dps * (sweep.seconds_per_sample + sweep.jitter_s / 2);
    const auto cruise_count =
        static_cast<std::size_t>(std::lround(std::fabs(sweep.cruise_deg / cruise_step))) + 1;
    std::vector<double> rates;
    for (std::size_t k = 1; k <= sweep.ramp; ++k) {
        rates.push_back(0.9 * sweep.rate_dps * static_cast<double>(k) /
                        static_cast<double>(sweep.ramp));
    }
    rates.insert(rates.end(), cruise_count, sweep.rate_dps);
    for (std::size_t k = sweep.ramp; k >= 1; --k) {
        rates.push_back(0.9 * sweep.rate_dps * static_cast<double>(k) /
                        static_cast<double>(sweep.ramp));
    }
    Synthetic out;
    out.cruise_first = sweep.ramp + 1;
    out.cruise_last = sweep.ramp + cruise_count;
    std::FILE* file = std::tmpfile();
    double psi = 10;
    double time = 0;
    for (std::size_t i = 0; i < rates.size(); ++i) {
        double interval = sweep.seconds_per_sample + sweep.jitter_s * unit(timing);
        for (const auto& [before, seconds] : sweep.hiccups) {
            interval += before == i ? seconds : 0;
        }
        psi += rates[i] * interval;
        time += interval;
        out.times.push_back(std::round(time * 1e4) / 1e4);
        if (i > 0) {
            out.longest_s = std::max(out.longest_s, out.times[i] - out.times[i - 1]);
        }
        if (i + 1 > out.cruise_first && i + 1 <= out.cruise_last) {
            out.turned_deg += rates[i] * interval;
        }
        const double p = psi * rad;
        double heading = psi + sensor.b * std::sin(p) + sensor.c * std::cos(p) +
                         sensor.d * std::sin(2 * p) + sensor.e * std::cos(2 * p) +
                         0.02 * noise(random);
        heading = std::remainder(heading, 360.0);
        const double roll = sensor.mount_roll + sensor.tilt * std::sin(p - sensor.azimuth * rad) +
                            0.01 * noise(random);
        const double pitch = sensor.mount_pitch + sensor.tilt * std::cos(p - sensor.azimuth * rad) +
                             0.01 * noise(random);
        // The field turns against the heading, through the soft iron's ellipse.
        const double ux = std::cos(p);
        const double uy = -std::sin(p);
        const double ca = std::cos(sensor.angle * rad);
        const double sa = std::sin(sensor.angle * rad);
        const double along = sensor.major * (ca * ux + sa * uy);
        const double across = sensor.minor * (-sa * ux + ca * uy);
        const double mx = sensor.hard_x + ca * along - sa * across + 0.001 * noise(random);
        const double my = sensor.hard_y + sa * along + ca * across + 0.001 * noise(random);
        const double temp = 25 + 0.4 * std::sin(static_cast<double>(i) / 40);
        GyroSample sample;
        auto& w = sample.words;
        w[0] = word(roll, 180.0 / 32768);
        w[1] = word(pitch, 180.0 / 32768);
        w[2] = word(heading, 180.0 / 32768);
        w[5] =
            word(rates[i] * (1 + sensor.scale_percent / 100) + 0.01 * noise(random), 150.0 / 65536);
        const double r = roll * rad;
        const double q = pitch * rad;
        w[6] = word(-std::sin(q), 12.0 / 65536);
        w[7] = word(std::sin(r) * std::cos(q), 12.0 / 65536);
        w[8] = word(std::cos(r) * std::cos(q), 12.0 / 65536);
        w[9] = word(mx, 3.75 / 65536);
        w[10] = word(my, 3.75 / 65536);
        w[11] = word(0.4, 3.75 / 65536);
        w[12] = word((temp / 44.4 + 1.375) * 4096 / 5, 1);
        gyro_log_sample(file, sample);
        if (i + 1 >= out.cruise_first && i + 1 <= out.cruise_last) {
            // The temperature as the log shows it.
            const double logged = std::round((w[12] * 5.0 / 4096 - 1.375) * 44.4 * 100) / 100;
            out.temp_mean += logged / static_cast<double>(cruise_count);
            out.temp_min = std::min(out.temp_min, logged);
            out.temp_max = std::max(out.temp_max, logged);
        }
    }
    std::rewind(file);
    for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
        out.log.push_back(static_cast<char>(c));
    }
    std::fclose(file);
    return out;
}

std::vector<SweepLogSample> read_samples(const std::string& log) {
    std::FILE* file = std::tmpfile();
    std::fwrite(log.data(), 1, log.size(), file);
    std::rewind(file);
    std::vector<SweepLogSample> samples;
    std::vector<SweepLogProblem> problems;
    EXPECT_TRUE(sweeplog_read(file, samples, problems));
    EXPECT_TRUE(problems.empty());
    std::fclose(file);
    return samples;
}

constexpr double deviation_tolerance_deg = report_deviation_tolerance_deg;
// What a fit against the sample times achieves on a log, however irregular its spacing.
constexpr double timed_deviation_tolerance_deg = 0.02;
constexpr double field_tolerance_gauss = report_field_tolerance_gauss;
constexpr double scale_tolerance_percent = report_scale_tolerance_percent;
// A synthetic log carries only its rounding and small noise: B-E come out within 0.004 deg and
// the curve within 0.005 deg.
constexpr double fit_tolerance_deg = 0.01;
constexpr double curve_tolerance_deg = 0.015;

// Every field in the order of SensorErrors: B, C, D, E, hard iron x and y, major, minor, angle,
// scale %, tilt, azimuth, mount roll and pitch.
const Sensor all_errors{0.5, -0.3, 0.2, 0.1, 0.05, -0.03, 0.27, 0.22, 30, 0.5, 1.0, 40, 0.3, -0.2};
const Sensor steep{-2, 1, 0.4, -0.6, -0.1, 0.2, 0.3, 0.15, -60, -1, 0.5, 200, -0.5, 0.7};

// The deviation B sin t + C cos t + D sin 2t + E cos 2t the sensor was given, at heading t.
double injected_deviation(const Sensor& sensor, double t_deg) {
    const double t = t_deg * rad;
    return sensor.b * std::sin(t) + sensor.c * std::cos(t) + sensor.d * std::sin(2 * t) +
           sensor.e * std::cos(2 * t);
}

// The clock the report went by: with the sweep's times, B-E close and the intervals as they
// were; without, the sample number.
void expect_timed_recovery(const Report& report, const Sensor& sensor, const Synthetic* timed) {
    EXPECT_EQ(report.sampling.timed, timed != nullptr);
    const std::string text = reportout_text(report, "log.txt");
    if (timed == nullptr) {
        EXPECT_FALSE(report.sampling.mean_interval_ms || report.sampling.max_interval_ms ||
                     report.sampling.duration_s);
        tool_expect_has(text, "sample number");
        return;
    }
    tool_expect_has(text, text_format("sample times of %zu samples", timed->times.size()));
    ASSERT_TRUE(report.heading.b_deg && report.sampling.mean_interval_ms &&
                report.sampling.max_interval_ms);
    const ReportHeading& h = report.heading;
    EXPECT_NEAR(*h.b_deg, sensor.b, timed_deviation_tolerance_deg);
    EXPECT_NEAR(*h.c_deg, sensor.c, timed_deviation_tolerance_deg);
    EXPECT_NEAR(*h.d_deg, sensor.d, timed_deviation_tolerance_deg);
    EXPECT_NEAR(*h.e_deg, sensor.e, timed_deviation_tolerance_deg);
    const std::vector<double>& t = timed->times;
    EXPECT_NEAR(*report.sampling.mean_interval_ms,
                (t.back() - t.front()) / static_cast<double>(t.size() - 1) * 1000, 1e-6);
    EXPECT_NEAR(*report.sampling.max_interval_ms, timed->longest_s * 1000, 1e-6);
    EXPECT_EQ(report.sampling.duration_s, t.back() - t.front());
}

} // namespace

TEST(ReportAnalysis, RecoversTheInjectedErrors) {
    struct Case {
        const char* name;
        Sensor sensor;
        Sweep sweep;
        bool timed = false; // the analysis gets the sample times
        bool given = true;  // and the commanded rate, else sets the yaw rate against the measured
    };
    const std::vector<Case> cases{
        {"a sensor without errors", {}, {}},
        {"every error at once", all_errors, {}},
        {"irregular spacing and three hiccups, timed", all_errors, irregular, true},
        {"timed, the scale error against the measured rate", all_errors, irregular, true, false},
        {"timed, turning the other way, against the measured rate", all_errors, reverse_irregular,
         true, false},
        {"a turn the other way, steep soft iron, large deviation", steep, {.rate_dps = -14.4}},
        {"the soft iron's axis near the top of its range",
         {.major = 0.26, .minor = 0.2, .angle = 89},
         {.seconds_per_sample = 0.2, .ramp = 3, .cruise_deg = 320}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Synthetic sweep = synthetic_sweep(c.sensor, c.sweep);
        const std::vector<SweepLogSample> samples = read_samples(sweep.log);
        Report report;
        std::string error;
        // The commanded rate is a speed, whichever way the table turns.
        const std::optional<double> given =
            c.given ? std::optional(std::fabs(c.sweep.rate_dps)) : std::nullopt;
        ASSERT_TRUE(report_analyse(samples, given, report, error,
                                   c.timed ? sweep.times : std::vector<double>{}))
            << error;
        EXPECT_EQ(report.samples, samples.size());
        EXPECT_EQ(report.cruise.first, sweep.cruise_first);
        EXPECT_EQ(report.cruise.last, sweep.cruise_last);
        EXPECT_EQ(report.cruise.count, sweep.cruise_last - sweep.cruise_first + 1);
        EXPECT_NEAR(report.heading.turned_deg, sweep.turned_deg, 1);
        expect_report_recovers(nlohmann::json::parse(reportout_json(report)), c.sensor,
                               fit_tolerance_deg);
        expect_timed_recovery(report, c.sensor, c.timed ? &sweep : nullptr);
        EXPECT_NEAR(report.heading.turn_rate_dps.value_or(c.timed ? 0 : c.sweep.rate_dps),
                    c.sweep.rate_dps, 0.001); // in deg/s, with times only
        tool_expect_has(reportout_text(report, ""),
                        c.given ? "the given turn" : "the measured turn");
        for (std::size_t row = 0; row < report_card_rows; ++row) { // the card is the curve
            const double at = 15.0 * static_cast<double>(row);
            EXPECT_EQ(reportout_document(report)["deviation_card"].at(row),
                      nlohmann::ordered_json::array({at, report_deviation_at(report.heading, at)}));
        }
        ASSERT_TRUE(report.heading.b_deg && report.mag.major_gauss);
        EXPECT_NEAR(report.yaw_rate.mean_dps, c.sweep.rate_dps * (1 + c.sensor.scale_percent / 100),
                    0.01);
        EXPECT_LT(report.yaw_rate.std_dps, 0.05);
        EXPECT_LT(*report.heading.residual_rms_deg, 0.05);
        // The points' own noise: 0.001 gauss on each axis.
        EXPECT_NEAR(*report.mag.fit_rms_gauss, 0.001, 0.0003);
        EXPECT_NEAR(report.temperature.mean_c, sweep.temp_mean, 1e-9);
        EXPECT_DOUBLE_EQ(report.temperature.min_c, sweep.temp_min);
        EXPECT_DOUBLE_EQ(report.temperature.max_c, sweep.temp_max);
        // The fitted curve follows the injected one at every heading, and its peak is the
        // largest value of that curve.
        double largest = 0;
        double worst_misfit = 0;
        for (int deg = 0; deg < 360; ++deg) {
            const double injected = injected_deviation(c.sensor, deg);
            largest = std::max(largest, std::fabs(injected));
            worst_misfit = std::max(worst_misfit,
                                    std::fabs(report_deviation_at(report.heading, deg) - injected));
        }
        EXPECT_LT(worst_misfit, curve_tolerance_deg);
        EXPECT_NEAR(std::fabs(*report.heading.peak_deviation_deg), largest, curve_tolerance_deg);
    }
}

TEST(ReportAnalysis, ASweepShorterThanATurnLeavesTheDeviationAndWobbleAbsent) {
    const Synthetic sweep = synthetic_sweep(all_errors, {.cruise_deg = 250});
    Report report;
    std::string error;
    ASSERT_TRUE(report_analyse(read_samples(sweep.log), std::nullopt, report, error)) << error;
    EXPECT_NEAR(report.heading.turned_deg, 250, 1);
    EXPECT_FALSE(report.heading.b_deg || report.heading.residual_rms_deg ||
                 report.heading.peak_deviation_deg || report.tilt.roll_wobble_deg ||
                 report.yaw_rate.scale_error_percent);
    EXPECT_TRUE(report.deviation.uniform_deg.empty());
    // Part of the ellipse still fixes it.
    ASSERT_TRUE(report.mag.major_gauss);
    EXPECT_NEAR(*report.mag.hard_iron_x_gauss, all_errors.hard_x, field_tolerance_gauss);
    const std::string text = reportout_text(report, "short.txt");
    tool_expect_has(text, "B-E              absent: the cruise turned 249.");
    tool_expect_has(text, "wobble           roll absent, pitch absent");
    const nlohmann::json json = nlohmann::json::parse(reportout_json(report));
    for (const char* key :
         {"B_deg", "C_deg", "D_deg", "E_deg", "residual_rms_deg", "peak_deviation_deg"}) {
        EXPECT_TRUE(json["heading"][key].is_null()) << key;
    }
    EXPECT_TRUE(json["tilt"]["roll_wobble_deg"].is_null());
    EXPECT_TRUE(json["yaw_rate"]["scale_error_percent"].is_null());
    EXPECT_TRUE(json["mag"]["major_gauss"].is_number());
}

TEST(ReportAnalysis, TheJsonHasExactlyTheFiguresAndTheirNames) {
    const std::vector<std::pair<const char*, std::vector<const char*>>> sections{
        {"sampling", {"timed", "mean_interval_ms", "max_interval_ms", "duration_s"}},
        {"cruise", {"first", "last", "count"}},
        {"heading",
         {"turned_deg", "turn_rate_dps", "turn_rate_dps_se", "B_deg", "B_deg_se", "C_deg",
          "C_deg_se", "D_deg", "D_deg_se", "E_deg", "E_deg_se", "residual_rms_deg",
          "peak_deviation_deg"}},
        {"mag",
         {"field_mean_gauss", "field_std_gauss", "field_std_percent", "field_range_gauss",
          "field_spread_percent", "hard_iron_x_gauss", "hard_iron_y_gauss", "major_gauss",
          "minor_gauss", "major_angle_deg", "fit_rms_gauss"}},
        {"yaw_rate", {"mean_dps", "std_dps", "given_turn_rate_dps", "scale_error_percent"}},
        {"tilt",
         {"roll_mean_deg", "pitch_mean_deg", "accel_roll_deg", "accel_pitch_deg", "roll_wobble_deg",
          "pitch_wobble_deg"}},
        {"temperature", {"mean_c", "min_c", "max_c"}},
    };
    Report report;
    std::string error;
    const Synthetic sweep = synthetic_sweep(all_errors, {});
    ASSERT_TRUE(report_analyse(read_samples(sweep.log), 14.4, report, error, sweep.times));
    const nlohmann::json json = nlohmann::json::parse(reportout_json(report));
    EXPECT_EQ(json.size(), sections.size() + 2);
    EXPECT_EQ(json["samples"], report.samples);
    EXPECT_EQ(json["deviation_card"].size(), report_card_rows);
    for (const auto& [section, keys] : sections) {
        ASSERT_TRUE(json.contains(section)) << section;
        EXPECT_EQ(json[section].size(), keys.size()) << section;
        for (const char* key : keys) {
            EXPECT_TRUE(json[section].contains(key) &&
                        (json[section][key].is_number() || json[section][key].is_boolean()))
                << section << "." << key;
        }
    }
    EXPECT_EQ(json["heading"]["B_deg"], *report.heading.b_deg);

    // A figure that shows as zero shows no sign, in the text as in the JSON; the log's name
    // stays as it is.
    report.heading.b_deg = -0.0004;
    report.yaw_rate.scale_error_percent = -0.0;
    report.tilt.roll_mean_deg = -0.0001;
    const std::string text = reportout_text(report, "run-0.0.txt");
    EXPECT_TRUE(text.starts_with("Sweep report of run-0.0.txt")) << text;
    for (const char* shown :
         {"  B (sin heading)      0.000 +/- ", "  scale error          0.000 % ",
          "  roll, pitch       0.000 deg, "}) {
        tool_expect_has(text, shown);
    }
    tool_expect_has(reportout_json(report), "\"scale_error_percent\": 0.0\n");
}

// The text (NAME.report) and the picture's script (NAME.gp) as the golden files beside the tests
// hold them: every figure and the curve of a timed sweep with every error, and what a short
// untimed sweep without a commanded rate leaves absent.
TEST(ReportOutput, TheTextAndThePictureAreLaidOutAsTheirGoldenFiles) {
    const struct {
        const char* name;
        Sensor sensor;
        Sweep sweep;
        bool timed;
        std::optional<double> turn_rate;
    } cases[] = {
        {"all_errors_timed", all_errors, irregular, true, 14.4},
        {"short_untimed", {}, {.cruise_deg = 250}, false, std::nullopt},
        {"third_turn_timed", {}, {.cruise_deg = 108}, true, std::nullopt},
    };
    for (const auto& c : cases) {
        const Synthetic sweep = synthetic_sweep(c.sensor, c.sweep);
        const std::vector<SweepLogSample> samples = read_samples(sweep.log);
        Report report;
        std::string error;
        ASSERT_TRUE(report_analyse(samples, c.turn_rate, report, error,
                                   c.timed ? sweep.times : std::vector<double>{}))
            << error;
        const fs::path golden = fs::path(GM_REPORT_DATA) / c.name;
        EXPECT_EQ(reportout_text(report, "gyro_motor.txt"),
                  tool_read_file(golden.string() + ".report"))
            << c.name;
        EXPECT_EQ(reportplot_gnuplot_script(report, samples, "report.png", "",
                                            "Sweep report of gyro_motor.txt"),
                  tool_read_file(golden.string() + ".gp"))
            << c.name;
    }
}

// The standard errors against the spread over 50 noise seeds: within 20 %, as 50 draws allow.
TEST(ReportAnalysis, TheStandardErrorsMatchTheSpreadOverNoiseSeeds) {
    constexpr double seeds = 50;
    std::vector<double> sum(10), squares(10); // B-E and the turn rate, then their standard errors
    for (std::uint32_t seed = 1; seed <= seeds; ++seed) {
        const Synthetic sweep = synthetic_sweep(all_errors, {.seed = seed});
        Report report;
        std::string error;
        ASSERT_TRUE(report_analyse(read_samples(sweep.log), {}, report, error, sweep.times));
        const ReportHeading& h = report.heading;
        const std::vector figures{*h.b_deg,         *h.c_deg,           *h.d_deg,    *h.e_deg,
                                  *h.turn_rate_dps, *h.b_se_deg,        *h.c_se_deg, *h.d_se_deg,
                                  *h.e_se_deg,      *h.turn_rate_se_dps};
        for (std::size_t k = 0; k < figures.size(); ++k) {
            sum[k] += figures[k];
            squares[k] += figures[k] * figures[k];
        }
    }
    for (std::size_t k = 0; k < 5; ++k) {
        const double spread = std::sqrt((squares[k] - sum[k] * sum[k] / seeds) / (seeds - 1));
        EXPECT_NEAR(sum[k + 5] / seeds / spread, 1, 0.2) << "figure " << k << ", spread " << spread;
    }
}

// The standard errors worked out anew from the fit: sigma^2 (X'X)^-1 of its design, sigma^2 the
// residual's sum of squares over n - 6. A cruise of 25 samples, where n and n - 6 differ by 30 %.
TEST(ReportAnalysis, TheStandardErrorsAreTheResidualVarianceOverNMinusSixTimesTheInverse) {
    const Synthetic sweep =
        synthetic_sweep(all_errors, {.seconds_per_sample = 1, .ramp = 3, .cruise_deg = 350});
    Report report;
    std::string error;
    ASSERT_TRUE(report_analyse(read_samples(sweep.log), {}, report, error, sweep.times)) << error;
    const ReportHeading& h = report.heading;
    ASSERT_TRUE(h.b_deg && h.turn_rate_se_dps) << "no fit";
    const auto n = static_cast<Eigen::Index>(report.cruise.count);
    ASSERT_EQ(n, 25);
    Eigen::MatrixXd design(n, 6);
    for (Eigen::Index i = 0; i < n; ++i) {
        const double t = report.deviation.uniform_deg[static_cast<std::size_t>(i)] * rad;
        const std::size_t at = report.cruise.first - 1 + static_cast<std::size_t>(i);
        design.row(i) << 1, sweep.times[at] - sweep.times[report.cruise.first - 1], std::sin(t),
            std::cos(t), std::sin(2 * t), std::cos(2 * t);
    }
    const double variance = *h.residual_rms_deg * *h.residual_rms_deg * static_cast<double>(n) /
                            static_cast<double>(n - 6);
    const Eigen::MatrixXd inverse = (design.transpose() * design).inverse();
    const std::vector<std::pair<double, Eigen::Index>> errors{{*h.turn_rate_se_dps, 1},
                                                              {*h.b_se_deg, 2},
                                                              {*h.c_se_deg, 3},
                                                              {*h.d_se_deg, 4},
                                                              {*h.e_se_deg, 5}};
    for (const auto& [se, column] : errors) {
        EXPECT_NEAR(se / std::sqrt(variance * inverse(column, column)), 1, 1e-3) << column;
    }
}

TEST(ReportAnalysis, NoCruiseToFitGivesAReasonInsteadOfAReport) {
    struct Case {
        const char* name;
        std::vector<double> yaw_rates;
        const char* reason;
    };
    std::vector<double> rising(40);
    for (std::size_t k = 0; k < rising.size(); ++k) {
        rising[k] = static_cast<double>(k + 1);
    }
    const std::vector<Case> cases{
        {"no samples", {}, "not a sample log"},
        {"too few samples", std::vector<double>(report_min_samples - 1, 14.4), "only 9 samples"},
        {"standing still", std::vector<double>(50, 0.0), "did not turn"},
        {"no steady rate", rising, "the cruise (samples 20 to 21) has only 2 samples"},
        {"two rates, none at the median", {1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3}, "no steady turn"},
    };
    for (const Case& c : cases) {
        std::vector<SweepLogSample> samples;
        for (const double rate : c.yaw_rates) {
            SweepLogSample sample{.number = samples.size() + 1};
            sample.values[5] = rate;
            samples.push_back(sample);
        }
        Report report;
        std::string error;
        EXPECT_FALSE(report_analyse(samples, 14.4, report, error)) << c.name;
        tool_expect_has(error, c.reason);
    }
}

// The program on logs in a scratch folder.
class ReportTool : public testing::Test {
  protected:
    void SetUp() override { dir = tool_make_test_dir("gm_report_test_"); }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir, error);
    }
    ToolResult run(const std::vector<std::string>& arguments) {
        return tool_run(GM_REPORT_TOOL, arguments, dir);
    }
    fs::path write_log(const std::string& name, const std::string& text) {
        tool_write_file(dir / name, text);
        return dir / name;
    }
    // Status `status` and one line on standard error that holds `message`, at its start if
    // `first`.
    static void expect_one_line(const ToolResult& result, int status, const std::string& message,
                                bool first = false) {
        EXPECT_EQ(result.status, status) << result.err;
        EXPECT_EQ(tool_count_lines(result.err), 1u) << result.err;
        const std::size_t at = result.err.find(message);
        EXPECT_TRUE(first ? at == 0 : at != std::string::npos)
            << "no \"" << message << "\" in: " << result.err;
    }
    fs::path dir;
};

TEST_F(ReportTool, ReportsOnStdoutAndWritesTheJsonAndPictures) {
    const Synthetic sweep = synthetic_sweep(all_errors, {});
    const fs::path log = write_log("gyro_motor.txt", sweep.log);
    std::vector<std::string> arguments{"--turn-rate", "14.4", "--json", "report.json"};
    const bool pictures = tool_gnuplot_on_path();
    if (pictures) {
        arguments.insert(arguments.end(), {"--png", "report.png", "--svg", "report.svg"});
    }
    arguments.push_back(log.string());
    for (std::string& argument : arguments) {
        if (argument.starts_with("report.")) {
            argument = (dir / argument).string();
        }
    }
    const ToolResult result = run(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    tool_expect_has(result.out, tool_join({"Cruise: samples ", std::to_string(sweep.cruise_first),
                                           " to ", std::to_string(sweep.cruise_last)}));
    for (const char* unit : {" deg over the cruise", " gauss", " deg/s", " %", " deg C"}) {
        tool_expect_has(result.out, unit);
    }
    const nlohmann::json json = nlohmann::json::parse(tool_read_file(dir / "report.json"));
    EXPECT_NEAR(json["heading"]["B_deg"].get<double>(), all_errors.b, deviation_tolerance_deg);
    EXPECT_NEAR(json["yaw_rate"]["scale_error_percent"].get<double>(), all_errors.scale_percent,
                scale_tolerance_percent);
    // "-" is standard output, which then carries the JSON alone; the report goes to standard
    // error.
    const ToolResult piped = run({"--turn-rate", "14.4", "--json", "-", log.string()});
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(nlohmann::json::parse(piped.out), json);
    tool_expect_has(piped.err, "Cruise: samples");
    EXPECT_FALSE(fs::exists(dir / "-"));
    if (!pictures) {
        GTEST_SKIP() << "gnuplot is not on the PATH (install gnuplot-nox): the pictures are not "
                        "tested";
    }
    EXPECT_EQ(tool_read_file(dir / "report.png").substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    tool_expect_has(tool_read_file(dir / "report.svg"), "</svg>");
}

TEST_F(ReportTool, ABrokenRecordIsListedAndTheRestReportedWithStatusThree) {
    std::string text = synthetic_sweep(all_errors, {}).log;
    const std::size_t line_7 = text.find("X Roll Rate", text.find("X Roll Rate") + 1);
    text.replace(line_7, 11, "X Roll Rat");
    const fs::path log = write_log("broken.txt", text);
    const ToolResult result = run({log.string()});
    expect_one_line(result, 3, log.string() + ":7: expected \"X Roll Rate\"", true);
    tool_expect_has(result.out, "B (sin heading)");
    tool_expect_has(result.out, "1 broken record left out");
}

TEST_F(ReportTool, AnUnusableLogGetsOneLineAndStatusOne) {
    const std::vector<std::pair<std::string, const char*>> cases{
        {"just some text\nnot a log\n", "not a sample log"},
        {std::string("\x00\xff\x01 binary", 10), "not a sample log"},
        {"", "not a sample log"},
        {synthetic_sweep({}, {.ramp = 1, .cruise_deg = 3}).log, "only 6 samples"},
    };
    for (const auto& [content, message] : cases) {
        expect_one_line(run({write_log("log.txt", content).string()}), 1, message);
    }
    const ToolResult missing = run({(dir / "nowhere.txt").string()});
    EXPECT_EQ(missing.status, 1);
    tool_expect_has(missing.err, "cannot open");
}

TEST_F(ReportTool, BadArgumentsGiveOneLineNamingTheOptionAndStatusTwo) {
    const fs::path log = write_log("gyro_motor.txt", synthetic_sweep({}, {}).log);
    const std::string limits =
        write_log("bad.toml", "name = \"t\"\n[figures]\n\"heading\" = {}\n").string();
    const std::string archive = dir.string();
    fs::create_directory(dir / "SN0042");
    const std::string long_name = std::string(256, 'n');
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--serial", "SN/1", "--archive", archive, log.string()}, "--serial"},
        // A blank at the end, which only the quotes show.
        {{"--serial", "SN0042 ", "--archive", archive, log.string()},
         "not a plain name: \"SN0042 \""},
        // The sensor is in the archive under another spelling.
        {{"--serial", "sn0042", "--archive", archive, log.string()},
         "\"sn0042\": " + archive + " holds this sensor as \"SN0042\""},
        {{"--json", (dir / long_name).string(), log.string()},
         "--json " + (dir / long_name).string() + ": a name in it is longer than 255 "},
        {{"--serial", "SN1", "--archive", (dir / long_name).string(), log.string()},
         ": a name in it is longer than 255 "},
        {{"--serial", "SN1", log.string()}, "--archive"},
        {{"--operator", "anna", log.string()}, "--operator"},
        {{"--limits", limits, "--serial", "SN1", "--archive", archive, log.string()},
         limits + ":3: \"heading\": not a figure"},
        {{"--bogus", log.string()}, "--bogus"},
        {{log.string(), "--json"}, "--json"},
        {{"--turn-rate", "fast", log.string()}, "--turn-rate"},
        {{"--turn-rate", "0", log.string()}, "--turn-rate"},
        {{"--turn-rate", "-14.4", log.string()}, "--turn-rate"},
        {{"--png", log.string(), log.string()}, "--png"},
        {{"--times", "", log.string()}, "--times"},
        {{"--unverified", log.string()}, "--unverified"},
        // A log without the sweep's run file beside it is archived only when asked to be.
        {{"--serial", "SN1", "--archive", archive, log.string()}, "--unverified archives it"},
    };
    for (const auto& [arguments, option] : cases) {
        const ToolResult result = run(arguments);
        expect_one_line(result, 2, option);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(tool_read_file(log), synthetic_sweep({}, {}).log);
    EXPECT_FALSE(fs::exists(dir / "SN1"));
    EXPECT_TRUE(fs::is_empty(dir / "SN0042"));
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        EXPECT_NE(entry.path().filename().string(), "sn0042");
    }
}

// With limits the verdict sets the status, broken records make it FAIL; an archive that cannot
// be written comes before both, a failed output before that; the report is printed all the same.
TEST_F(ReportTool, TheVerdictAndTheArchiveSetTheStatus) {
    const std::string good = write_log("good.txt", synthetic_sweep(all_errors, {}).log).string();
    std::string text = synthetic_sweep(all_errors, {}).log;
    text.replace(text.find("X Roll Rate", 100), 11, "X Roll Rat");
    const std::string broken = write_log("broken.txt", text).string();
    const std::string pass = write_log("pass.toml", "name = \"p\"\n[figures]\n"
                                                    "\"heading.B_deg\" = { max_abs = 0.7 }\n")
                                 .string();
    const std::string fail = write_log("fail.toml", "name = \"f\"\n[figures]\n"
                                                    "\"heading.B_deg\" = { max_abs = 0.3 }\n")
                                 .string();
    // max alone on a figure with a sign: a warning, and the file is still used.
    const std::string one_sided =
        write_log("one_sided.toml", "name = \"o\"\n[figures]\n"
                                    "\"heading.peak_deviation_deg\" = { max = 5 }\n")
            .string();
    const std::string archive = dir.string();
    const std::string nowhere = (dir / "nowhere").string();
    const std::string json = (dir / "no" / "report.json").string();
    // A name that markup would take for its own shows as typed on the record's page.
#ifdef _WIN32
    // cmd, through which the test runs the program on Windows, passes no " inside an argument.
    const std::string named = "<b>O'Neil & Co</b>";
    const std::string shown = "&lt;b&gt;O&#39;Neil &amp; Co&lt;/b&gt;";
#else
    const std::string named = "<b>O'Neil & \"Co\"</b>";
    const std::string shown = "&lt;b&gt;O&#39;Neil &amp; &quot;Co&quot;&lt;/b&gt;";
#endif
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::size_t records; // in the archive after the case
        std::string says = "";
        bool warns = false;
    } cases[] = {
        {{good, "--limits", pass, "--serial", "S", "--archive", archive, "--unverified",
          "--operator", named},
         0,
         1},
        {{good, "--limits", one_sided}, 0, 1, "", true},
        {{good, "--limits", fail, "--serial", "S", "--archive", archive, "--unverified"}, 5, 2},
        {{broken, "--serial", "S", "--archive", archive, "--unverified"}, 3, 3},
        {{broken, "--limits", pass}, 5, 3},
        {{good, "--limits", fail, "--serial", "S", "--archive", nowhere, "--unverified"}, 6, 3},
        {{broken, "--serial", "S", "--archive", nowhere, "--unverified"}, 6, 3},
        {{good, "--json", json, "--serial", "S", "--archive", nowhere, "--unverified"}, 1, 3},
        {{good, "--serial", "S", "--archive", good, "--unverified"},
         6,
         3,
         good + ": is a file, not a folder"},
        {{good, "--serial", "S", "--archive", nowhere, "--unverified"},
         6,
         3,
         nowhere + ": no such folder"},
    };
    std::set<std::string> kept; // the records seen so far
    for (const auto& c : cases) {
        const ToolResult result = run(c.arguments);
        EXPECT_EQ(result.status, c.status) << result.err;
        tool_expect_has(result.out, "Sweep report of ");
        EXPECT_EQ(result.err.find(one_sided +
                                  ":3: warning: \"heading.peak_deviation_deg\" "
                                  "carries a sign, and max alone sets no bound below: limit its "
                                  "size with max_abs") != std::string::npos,
                  c.warns)
            << result.err;
        const bool judged = c.arguments[1] == "--limits";
        EXPECT_EQ(result.out.find(c.status == 0 ? "Verdict: PASS" : "Verdict: FAIL ("),
                  judged ? result.out.find("Verdict: ") : std::string::npos);
        const auto folders =
            fs::exists(dir / "S") ? fs::directory_iterator(dir / "S") : fs::directory_iterator();
        EXPECT_EQ(static_cast<std::size_t>(std::distance(folders, {})), c.records);
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
        // Every record has its certificate, which shows every text of it escaped.
        for (const fs::directory_entry& record :
             fs::exists(dir / "S") ? fs::directory_iterator(dir / "S") : fs::directory_iterator()) {
            if (!kept.insert(record.path().filename().string()).second) {
                continue;
            }
            const std::string page = tool_read_file(record.path() / "record.html");
            tool_expect_has(page, "<h1 id=\"serial\">S</h1>");
            const bool operated = c.arguments.back() == named;
            EXPECT_EQ(page.find(shown) != std::string::npos, operated);
            EXPECT_EQ(page.find(named), std::string::npos);
        }
    }
}

// The sweep's times beside the log, elsewhere, or broken: a broken or missing named file is
// reported, the report then goes by the sample number and ends with status 3.
TEST_F(ReportTool, TheSampleTimesAreUsedWhereTheyAreGoodAndABrokenFileIsReported) {
    const Synthetic sweep = synthetic_sweep(all_errors, irregular);
    const fs::path log = write_log("gyro_motor.txt", sweep.log);
    const std::string beside = (dir / "gyro_motor_times.txt").string();
    // The times file of `count` lines ended by `end`, line `changed` (from 1) replaced by `text`.
    const auto times_file = [&](std::size_t count, const char* end = "\n", std::size_t changed = 0,
                                const std::string& text = "") {
        std::string file;
        for (std::size_t k = 1; k <= count; ++k) {
            file += (k == changed ? text : text_format("%.4f", sweep.times[k - 1])) + end;
        }
        return file;
    };
    const std::size_t n = sweep.times.size();
    struct Case {
        const char* name;
        std::string times; // written beside the log unless empty
        std::vector<std::string> arguments{};
        int status = 0;
        std::string err{}; // what standard error starts with, after the log's own problem
        std::string log{}; // a damaged log instead of the sweep's
    };
    const std::string elsewhere = (dir / "elsewhere.dat").string();
    const std::string limits =
        write_log("limits.toml", "name = \"n\"\n[figures]\n\"samples\" = { min = 1 }\n").string();
    const std::string at = beside + ":";
    const std::string sixth = times_file(6).substr(35, 6);
    const std::string two_more = times_file(n) + "999.0000\n999.5000\n";
    // The first record of four lines: its Temp line lost.
    const std::size_t temp = sweep.log.find("Temp");
    const std::string four_lines =
        sweep.log.substr(0, temp) + sweep.log.substr(sweep.log.find('\n', temp) + 1);
    const std::vector<Case> cases{
        {"no times file", ""},
        {"the times beside the log", times_file(n)},
        {"one line short", times_file(n - 1)},
        {"one line long", times_file(n) + "999.0000\n"},
        {"CR LF line ends", times_file(n, "\r\n")},
        {"a byte order mark", "\xEF\xBB\xBF" + times_file(n)},
        {"named with --times", "", {"--times", elsewhere}},
        {"--times naming no file", "", {"--times", "nowhere"}, 3, "gyro_motor_report: cannot open"},
        {"not a number", times_file(n, "\n", 5, "1.5e3"), {}, 3, at + "5: expected a time in "},
        {"not later", times_file(n, "\n", 7, sixth), {}, 3, at + "7: the time "},
        {"another log's", times_file(99), {}, 3, at + "100: 99 times for the log's "},
        {"2 short", times_file(n - 2), {}, 3, at + text_format("%zu: %zu times", n - 1, n - 2)},
        {"2 long", two_more, {}, 3, at + text_format("%zu: %zu times", n + 2, n + 2)},
        {"four lines", times_file(n), {}, 3, at + "1: the log's record at line 5 ", four_lines},
        // Figures that pass, but taken by sample number: the verdict fails.
        {"broken, judged", times_file(n, "\n", 5, "x"), {"--limits", limits}, 5, at + "5: "},
    };
    tool_write_file(elsewhere, times_file(n));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove(beside, ignored);
        if (!c.times.empty()) {
            tool_write_file(beside, c.times);
        }
        write_log("gyro_motor.txt", c.log.empty() ? sweep.log : c.log);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"--json", (dir / "report.json").string(), log.string()});
        const ToolResult result = run(arguments);
        if (c.err.empty()) {
            EXPECT_EQ(result.status, c.status) << result.err;
            EXPECT_EQ(result.err, "");
        } else {
            const std::size_t own = c.log.empty() ? 0 : result.err.find('\n') + 1;
            expect_one_line({result.status, "", result.err.substr(own)}, c.status, c.err, true);
        }
        const nlohmann::json json = nlohmann::json::parse(tool_read_file(dir / "report.json"));
        if (!c.arguments.empty() && c.arguments[0] == "--limits") {
            tool_expect_has(result.out, "Verdict: FAIL (0 of 1 figures, the times file unusable)");
        }
        const bool timed = c.status == 0 && (!c.times.empty() || !c.arguments.empty());
        EXPECT_EQ(json["sampling"]["timed"], timed);
        tool_expect_has(result.out, timed ? "sample times" : "sample number");
        if (timed) {
            EXPECT_NEAR(json["heading"]["B_deg"].get<double>(), all_errors.b,
                        timed_deviation_tolerance_deg);
        } else {
            EXPECT_TRUE(json["sampling"]["max_interval_ms"].is_null());
        }
    }
}

// The certificate of an archived sweep as a browser shows it, opened from its file: nothing
// fetched, no error, the serial, the outcome, a row per limit and the two pictures, valid markup,
// one printed page; the screenshot is kept in the build folder for a person to look at.
TEST_F(ReportTool, TheCertificateOpensInABrowserFromItsFileAndPrintsOnOnePage) {
#ifdef _WIN32
    GTEST_SKIP() << "the browser runs on the build's own platform";
#else
    const Synthetic sweep = synthetic_sweep(all_errors, {});
    const fs::path log = write_log("gyro_motor.txt", sweep.log);
    std::string times;
    for (const double time : sweep.times) {
        times += text_format("%.4f\n", time);
    }
    write_log("gyro_motor_times.txt", times);
    const std::string limits = write_log("hs.toml", "name = \"HS-200\"\n[figures]\n"
                                                    "\"heading.B_deg\" = { max_abs = 0.3 }\n"
                                                    "\"heading.C_deg\" = { max_abs = 0.7 }\n"
                                                    "\"yaw_rate.scale_error_percent\" = "
                                                    "{ min = -3, max = 3 }\n")
                                   .string();
    const ToolResult report =
        run({"--limits", limits, "--serial", "SN-B", "--archive", dir.string(), "--operator",
             "<b>O'Neil & \"Co\"</b>", "--lot", "L-49", "--unverified", log.string()});
    ASSERT_EQ(report.status, 5) << report.err;
    const fs::path record = fs::directory_iterator(dir / "SN-B")->path();
    const bool pictures = tool_gnuplot_on_path();
    fs::create_directories(GM_ARTEFACT_DIR);
    const ToolResult checked =
        tool_run("python3",
                 {GM_BROWSER_CHECK, (record / "record.html").string(), "--text", "serial=SN-B",
                  "--text", "outcome=FAIL", "--count", "table.verdict tbody tr=3", "--count",
                  pictures ? "svg.picture=2" : "#no-pictures=1", "--tidy", "--pdf-pages", "1",
                  "--screenshot", std::string(GM_ARTEFACT_DIR) + "/certificate.png"},
                 dir);
    if (checked.status == 77) {
        GTEST_SKIP() << checked.out;
    }
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
#endif
}
