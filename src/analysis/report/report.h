// What one sweep says about the sensor, worked out from its sample log and, where there is one,
// the time of each sample's poll. During the cruise the platform turns at constant speed, so the
// heading is measured against the clock; a log without times takes its samples as evenly spaced
// and the sample number stands in for time, which every stall of the loop bends. Figures that
// the sweep cannot give are left empty. This is the analysis only: outputs/report/ writes it as
// text and JSON (reportout) and draws it (reportplot).
#pragma once

#include "analysis/sweeplog/sweeplog.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Fewer samples than this in the cruise give no fit worth reporting.
inline constexpr std::size_t report_min_samples = 10;
// The heading deviation and the wobble need this much of a turn to be told from a plain offset.
inline constexpr double report_min_turn_deg = 300;
// The ellipse needs this much of a turn: over less, its centre and semi-axes stray beyond the
// points' own scatter about it (measured over arcs of simulated sweeps).
inline constexpr double report_min_ellipse_turn_deg = 240;
// The deviation card: the fitted deviation at 0, 15, ..., 345 deg of heading.
inline constexpr std::size_t report_card_rows = 24;
inline constexpr double report_card_step_deg = 15;

// The samples whose Z yaw rate lies within 5% of the median, from the first such to the last;
// 1-based sample numbers as the plot program counts them.
struct ReportCruise {
    std::size_t first = 0;
    std::size_t last = 0;
    std::size_t count = 0;
};

// heading(k) = h0 + step*k + B sin t + C cos t + D sin 2t + E cos 2t over the cruise, k the
// sample's time in seconds from the cruise's first sample, or without times the count of the
// cruise's samples from 0, and t = h0 + step*k the heading of the uniform turn. B-E and what
// follows from them are empty for less than report_min_turn_deg. The standard errors are the
// final fit's: its residual variance over n - 6 degrees of freedom times (X'X)^-1 of its design.
struct ReportHeading {
    double turned_deg = 0; // unwrapped change from the first cruise sample to the last
    std::optional<double> b_deg, c_deg, d_deg, e_deg;
    std::optional<double> b_se_deg, c_se_deg, d_se_deg, e_se_deg;
    std::optional<double> residual_rms_deg;
    std::optional<double> peak_deviation_deg; // the fitted curve's value of largest size
    std::optional<double> peak_at_deg;        // where on 0-360 it is
    std::optional<double> step_deg;           // the uniform turn per second, or per sample
    std::optional<double> step_se_deg;
    // The same against the sample times: the platform's turn rate in deg/s; empty without times.
    std::optional<double> turn_rate_dps, turn_rate_se_dps;
};

// One row of the deviation card.
struct ReportCardRow {
    double heading_deg = 0;
    double deviation_deg = 0;
};

// Which clock the fits went by, and how evenly the samples came by it (empty without times).
struct ReportSampling {
    bool timed = false;
    std::size_t count = 0; // samples with a time
    std::optional<double> mean_interval_ms, max_interval_ms;
    std::optional<double> duration_s; // from the first sample's time to the last's
};

// The horizontal field's magnitude over the cruise, whatever the turn: its mean, standard
// deviation and max - min, the last two also in % of the mean (empty for a mean of 0). Then the
// ellipse the field traces: centre (hard iron), semi-axes, the major axis's angle from X in
// (-90, 90], and the RMS radial distance of the points from it; empty when the points trace no
// ellipse or the cruise turned less than report_min_ellipse_turn_deg.
struct ReportMag {
    double field_mean_gauss = 0;
    double field_std_gauss = 0;
    double field_range_gauss = 0;
    std::optional<double> field_std_percent, field_spread_percent;
    std::optional<double> hard_iron_x_gauss, hard_iron_y_gauss;
    std::optional<double> major_gauss, minor_gauss, major_angle_deg, fit_rms_gauss;
};

// The scale error is against the turn rate given, else against the heading fit's with times.
struct ReportYawRate {
    double mean_dps = 0;
    double std_dps = 0;
    std::optional<double> given_turn_rate_dps;
    std::optional<double> scale_error_percent; // without a rate to set against, empty
};

// Levels over a whole turn are the constant of a one-cycle fit, so that the ends of a turn that
// is not quite whole do not bias them by the wobble; over less than that, plain means.
struct ReportTilt {
    double roll_mean_deg = 0;
    double pitch_mean_deg = 0;
    double accel_roll_deg = 0;
    double accel_pitch_deg = 0;
    std::optional<double> roll_wobble_deg, pitch_wobble_deg;
};

struct ReportTemperature {
    double mean_c = 0;
    double min_c = 0;
    double max_c = 0;
};

// The uniform turn's heading (0-360) and the heading's departure from it at each cruise sample,
// for the deviation picture; empty without the heading fit.
struct ReportDeviation {
    std::vector<double> uniform_deg;
    std::vector<double> deviation_deg;
};

struct Report {
    std::size_t samples = 0;
    ReportSampling sampling;
    ReportCruise cruise;
    ReportHeading heading;
    ReportMag mag;
    ReportYawRate yaw_rate;
    ReportTilt tilt;
    ReportTemperature temperature;
    ReportDeviation deviation;
    std::vector<ReportCardRow> deviation_card; // empty without the heading fit
};

// Works out the report. `times` holds the poll time in seconds of the samples in order, strictly
// increasing; when it ends before them the later samples are left out. Without times the samples
// go by their number. Returns false, with a one-line reason in `error`, when the samples give no
// cruise of at least report_min_samples.
bool report_analyse(std::span<const SweepLogSample> samples, std::optional<double> turn_rate_dps,
                    Report& report, std::string& error, std::span<const double> times = {});

// The fitted deviation B sin t + C cos t + D sin 2t + E cos 2t at heading t (degrees); 0 without
// the fit.
double report_deviation_at(const ReportHeading& heading, double t_deg);
