#include "analysis/report/report.h"

#include "base/text/text.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// The second fit (t = the uniform turn) is repeated until the turn stops moving; a few rounds
// settle it to far below the log's resolution.
constexpr int report_heading_rounds = 4;

constexpr double report_rad = std::numbers::pi / 180.0;

double report_deg(double radians) {
    return radians / report_rad;
}

// An angle in degrees in [0, 360).
double report_full_turn(double deg) {
    const double wrapped = std::fmod(deg, 360.0);
    return wrapped < 0 ? wrapped + 360.0 : wrapped;
}

double report_median(std::vector<double> values) {
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                     values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) {
        return upper;
    }
    const double lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return lower + (upper - lower) / 2; // no overflow at the ends of the range
}

// Least squares through a QR decomposition with column pivoting, which copes with the nearly
// dependent columns of a short or badly spread fit.
Eigen::VectorXd report_solve(const Eigen::MatrixXd& design, const Eigen::VectorXd& values) {
    return design.colPivHouseholderQr().solve(values);
}

// Unwraps the logged heading (-180, 180] into a continuous angle.
Eigen::VectorXd report_unwrap(const Eigen::VectorXd& heading) {
    Eigen::VectorXd unwrapped(heading.size());
    double offset = 0;
    for (Eigen::Index k = 0; k < heading.size(); ++k) {
        if (k > 0) {
            const double step = heading[k] + offset - unwrapped[k - 1];
            offset -= 360.0 * std::round(step / 360.0);
        }
        unwrapped[k] = heading[k] + offset;
    }
    return unwrapped;
}

// Fills the columns sin t, cos t, sin 2t, cos 2t, ... up to `cycles` from column `first` on.
void report_harmonics(Eigen::MatrixXd& design, Eigen::Index first, const Eigen::VectorXd& t_deg,
                      int cycles) {
    for (Eigen::Index k = 0; k < t_deg.size(); ++k) {
        const double t = t_deg[k] * report_rad;
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            design(k, first + 2 * (cycle - 1)) = std::sin(cycle * t);
            design(k, first + 2 * (cycle - 1) + 1) = std::cos(cycle * t);
        }
    }
}

// Fills report.heading and report.deviation; returns the uniform turn t at each cruise sample,
// nothing for less than report_min_turn_deg.
// `clock` is each cruise sample's time, or its count.
std::optional<Eigen::VectorXd> report_fit_heading(const Eigen::VectorXd& heading,
                                                  const Eigen::VectorXd& clock, Report& report) {
    const Eigen::VectorXd unwrapped = report_unwrap(heading);
    const Eigen::Index n = unwrapped.size();
    ReportHeading& fit = report.heading;
    fit.turned_deg = unwrapped[n - 1] - unwrapped[0];
    if (std::fabs(fit.turned_deg) < report_min_turn_deg) {
        return std::nullopt;
    }
    const Eigen::VectorXd k = clock.array() - clock[0];
    Eigen::MatrixXd design(n, 6);
    design.col(0).setOnes();
    design.col(1) = k;
    // First with t = the reported heading, then with t = the uniform turn the last fit found.
    Eigen::VectorXd t = unwrapped;
    Eigen::VectorXd p;
    for (int round = 0; round <= report_heading_rounds; ++round) {
        report_harmonics(design, 2, t, 2);
        p = report_solve(design, unwrapped);
        t = p[0] + p[1] * k.array();
    }
    const Eigen::VectorXd residual = unwrapped - design * p;
    // The covariance of the final fit's figures: sigma^2 (X'X)^-1, with sigma^2 the residual's
    // variance over the degrees of freedom (the cruise has at least report_min_samples > 6).
    const Eigen::MatrixXd covariance =
        (design.transpose() * design).ldlt().solve(Eigen::MatrixXd::Identity(6, 6)) *
        (residual.squaredNorm() / static_cast<double>(n - design.cols()));
    const auto se = [&covariance](Eigen::Index at) { return std::sqrt(covariance(at, at)); };
    fit.step_deg = p[1];
    fit.step_se_deg = se(1);
    fit.b_deg = p[2];
    fit.b_se_deg = se(2);
    fit.c_deg = p[3];
    fit.c_se_deg = se(3);
    fit.d_deg = p[4];
    fit.d_se_deg = se(4);
    fit.e_deg = p[5];
    fit.e_se_deg = se(5);
    fit.residual_rms_deg = std::sqrt(residual.squaredNorm() / static_cast<double>(n));
    double peak = 0;
    double peak_at = 0;
    for (int tenth = 0; tenth < 3600; ++tenth) {
        const double at = tenth / 10.0;
        const double value = report_deviation_at(fit, at);
        if (std::fabs(value) > std::fabs(peak)) {
            peak = value;
            peak_at = at;
        }
    }
    fit.peak_deviation_deg = peak;
    fit.peak_at_deg = peak_at;
    for (std::size_t row = 0; row < report_card_rows; ++row) {
        const double at = static_cast<double>(row) * report_card_step_deg;
        report.deviation_card.push_back({at, report_deviation_at(fit, at)});
    }
    for (Eigen::Index i = 0; i < n; ++i) {
        report.deviation.uniform_deg.push_back(report_full_turn(t[i]));
        report.deviation.deviation_deg.push_back(unwrapped[i] - p[0] - p[1] * k[i]);
    }
    return t;
}

// Fits A x^2 + B xy + C y^2 + D x + E y = 1 to the points, moved to their centroid and scaled to
// unit spread so that the conic cannot pass through the origin and the numbers stay near 1.
void report_fit_ellipse(const Eigen::VectorXd& x, const Eigen::VectorXd& y, ReportMag& mag) {
    const double mean_x = x.mean();
    const double mean_y = y.mean();
    const Eigen::ArrayXd u = x.array() - mean_x;
    const Eigen::ArrayXd v = y.array() - mean_y;
    const double scale = std::sqrt((u.square() + v.square()).mean());
    if (!(scale > 0) || !std::isfinite(scale)) {
        return;
    }
    const Eigen::ArrayXd su = u / scale;
    const Eigen::ArrayXd sv = v / scale;
    Eigen::MatrixXd design(x.size(), 5);
    design.col(0) = su.square().matrix();
    design.col(1) = (su * sv).matrix();
    design.col(2) = sv.square().matrix();
    design.col(3) = su.matrix();
    design.col(4) = sv.matrix();
    const Eigen::VectorXd p = report_solve(design, Eigen::VectorXd::Ones(x.size()));
    Eigen::Matrix2d shape;
    shape << p[0], p[1] / 2, p[1] / 2, p[2];
    const Eigen::Vector2d linear(p[3], p[4]);
    // The centre is where the gradient vanishes: 2 shape c + linear = 0.
    const Eigen::FullPivLU<Eigen::Matrix2d> lu(shape);
    if (!lu.isInvertible()) {
        return;
    }
    const Eigen::Vector2d centre = lu.solve(-linear / 2);
    // Around the centre: q^T shape q = level.
    const double level = 1 - centre.dot(shape * centre) - linear.dot(centre);
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d> eigen(shape);
    const Eigen::Vector2d values = eigen.eigenvalues(); // ascending: the first is the major axis
    if (eigen.info() != Eigen::Success || !(values[0] * level > 0) || !(values[1] * level > 0)) {
        return; // a hyperbola, a parabola or nothing real
    }
    const double major = std::sqrt(level / values[0]);
    const double minor = std::sqrt(level / values[1]);
    const Eigen::Vector2d axis = eigen.eigenvectors().col(0);
    double angle = report_deg(std::atan2(axis[1], axis[0]));
    if (angle <= -90) {
        angle += 180;
    } else if (angle > 90) {
        angle -= 180;
    }
    // The misfit of each point: its distance from the centre against the ellipse's radius in
    // the same direction.
    const Eigen::Matrix2d rotation = eigen.eigenvectors();
    double squares = 0;
    for (Eigen::Index k = 0; k < x.size(); ++k) {
        const Eigen::Vector2d q = rotation.transpose() * (Eigen::Vector2d(su[k], sv[k]) - centre);
        const double r = q.norm();
        double radius = major;
        if (r > 0) {
            const double c = q[0] / r;
            const double s = q[1] / r;
            radius = 1 / std::sqrt(c * c / (major * major) + s * s / (minor * minor));
        }
        squares += (r - radius) * (r - radius);
    }
    mag.hard_iron_x_gauss = mean_x + scale * centre[0];
    mag.hard_iron_y_gauss = mean_y + scale * centre[1];
    mag.major_gauss = scale * major;
    mag.minor_gauss = scale * minor;
    mag.fit_rms_gauss = scale * std::sqrt(squares / static_cast<double>(x.size()));
    // Semi-axes that differ by less than the points' scatter about the fit belong to a circle
    // seen through noise: its major axis points anywhere.
    if (*mag.major_gauss - *mag.minor_gauss >= *mag.fit_rms_gauss) {
        mag.major_angle_deg = angle;
    }
}

// The horizontal field's magnitude over the cruise: the first sign of a disturbance near the
// bench, whatever the ellipse makes of it.
void report_field(const Eigen::VectorXd& x, const Eigen::VectorXd& y, ReportMag& mag) {
    const Eigen::ArrayXd magnitude = (x.array().square() + y.array().square()).sqrt();
    mag.field_mean_gauss = magnitude.mean();
    mag.field_std_gauss = std::sqrt((magnitude - magnitude.mean()).square().sum() /
                                    static_cast<double>(magnitude.size() - 1));
    mag.field_range_gauss = magnitude.maxCoeff() - magnitude.minCoeff();
    if (mag.field_mean_gauss > 0) {
        mag.field_std_percent = mag.field_std_gauss / mag.field_mean_gauss * 100;
        mag.field_spread_percent = mag.field_range_gauss / mag.field_mean_gauss * 100;
    }
}

// The level of a series and, over a whole turn, the amplitude of its one-cycle component along
// the uniform turn t.
void report_level(const Eigen::VectorXd& values, const std::optional<Eigen::VectorXd>& t,
                  double& level, std::optional<double>& wobble) {
    if (!t) {
        level = values.mean();
        return;
    }
    Eigen::MatrixXd design(values.size(), 3);
    design.col(0).setOnes();
    report_harmonics(design, 1, *t, 1);
    const Eigen::VectorXd p = report_solve(design, values);
    level = p[0];
    wobble = std::hypot(p[1], p[2]);
}

Eigen::VectorXd report_series(std::span<const SweepLogSample> cruise, std::size_t quantity) {
    Eigen::VectorXd series(static_cast<Eigen::Index>(cruise.size()));
    for (std::size_t k = 0; k < cruise.size(); ++k) {
        series[static_cast<Eigen::Index>(k)] = cruise[k].values[quantity];
    }
    return series;
}

} // namespace

double report_deviation_at(const ReportHeading& heading, double t_deg) {
    if (!heading.b_deg) {
        return 0;
    }
    const double t = t_deg * report_rad;
    return *heading.b_deg * std::sin(t) + *heading.c_deg * std::cos(t) +
           *heading.d_deg * std::sin(2 * t) + *heading.e_deg * std::cos(2 * t);
}

bool report_analyse(std::span<const SweepLogSample> samples, std::optional<double> turn_rate_dps,
                    Report& report, std::string& error, std::span<const double> times) {
    report = Report{};
    report.samples = samples.size();
    if (!times.empty()) {
        samples = samples.first(std::min(samples.size(), times.size()));
        times = times.first(samples.size());
        ReportSampling& sampling = report.sampling;
        sampling.timed = true;
        sampling.count = times.size();
        if (times.size() > 1) {
            sampling.duration_s = times.back() - times.front();
            sampling.mean_interval_ms =
                (times.back() - times.front()) / static_cast<double>(times.size() - 1) * 1000;
            double longest = 0;
            for (std::size_t k = 1; k < times.size(); ++k) {
                longest = std::max(longest, times[k] - times[k - 1]);
            }
            sampling.max_interval_ms = longest * 1000;
        }
    }
    if (samples.empty()) {
        error = "not a sample log: no good record in it";
        return false;
    }
    if (samples.size() < report_min_samples) {
        error = text_format("only %zu samples, a report needs at least %zu", samples.size(),
                            report_min_samples);
        return false;
    }
    std::vector<double> rates;
    for (const SweepLogSample& sample : samples) {
        rates.push_back(sample.values[sweeplog_yaw_rate]);
    }
    const double median = report_median(rates);
    if (median == 0) {
        error = "the platform did not turn: the median Z yaw rate is 0";
        return false;
    }
    const auto cruising = [&](const SweepLogSample& sample) {
        return std::fabs(sample.values[sweeplog_yaw_rate] - median) <= 0.05 * std::fabs(median);
    };
    const auto first = std::find_if(samples.begin(), samples.end(), cruising);
    const auto last = std::find_if(samples.rbegin(), samples.rend(), cruising);
    if (first == samples.end()) {
        // An even count of samples whose middle two rates lie far apart.
        error = text_format("no steady turn: no Z yaw rate lies within 5%% of the median %.3f "
                            "deg/s",
                            median);
        return false;
    }
    const std::span<const SweepLogSample> cruise(first, last.base());
    report.cruise = {first->number, (last.base() - 1)->number, cruise.size()};
    if (cruise.size() < report_min_samples) {
        error =
            text_format("the cruise (samples %zu to %zu) has only %zu samples, a report "
                        "needs at least %zu",
                        report.cruise.first, report.cruise.last, cruise.size(), report_min_samples);
        return false;
    }

    const auto first_index = static_cast<std::size_t>(first - samples.begin());
    Eigen::VectorXd clock(static_cast<Eigen::Index>(cruise.size()));
    for (std::size_t k = 0; k < cruise.size(); ++k) {
        clock[static_cast<Eigen::Index>(k)] =
            times.empty() ? static_cast<double>(k) : times[first_index + k];
    }
    const std::optional<Eigen::VectorXd> uniform =
        report_fit_heading(report_series(cruise, sweeplog_heading), clock, report);
    ReportHeading& heading = report.heading;
    if (uniform && !times.empty()) {
        heading.turn_rate_dps = heading.step_deg;
        heading.turn_rate_se_dps = heading.step_se_deg;
    }
    const Eigen::VectorXd mag_x = report_series(cruise, sweeplog_mag_x);
    const Eigen::VectorXd mag_y = report_series(cruise, sweeplog_mag_y);
    report_field(mag_x, mag_y, report.mag);
    if (std::fabs(heading.turned_deg) >= report_min_ellipse_turn_deg) {
        report_fit_ellipse(mag_x, mag_y, report.mag);
    }

    const Eigen::VectorXd yaw = report_series(cruise, sweeplog_yaw_rate);
    ReportYawRate& yaw_rate = report.yaw_rate;
    yaw_rate.mean_dps = yaw.mean();
    yaw_rate.std_dps =
        std::sqrt((yaw.array() - yaw.mean()).square().sum() / static_cast<double>(yaw.size() - 1));
    yaw_rate.given_turn_rate_dps = turn_rate_dps;
    const std::optional<double> reference = turn_rate_dps ? turn_rate_dps : heading.turn_rate_dps;
    if (reference) {
        // Set against a speed: the turn may go either way.
        yaw_rate.scale_error_percent =
            (std::fabs(yaw_rate.mean_dps) / std::fabs(*reference) - 1) * 100;
    }

    Eigen::VectorXd accel_roll(static_cast<Eigen::Index>(cruise.size()));
    Eigen::VectorXd accel_pitch(accel_roll.size());
    for (std::size_t k = 0; k < cruise.size(); ++k) {
        const auto& v = cruise[k].values;
        const auto i = static_cast<Eigen::Index>(k);
        accel_roll[i] = report_deg(std::atan2(v[sweeplog_accel_y], v[sweeplog_accel_z]));
        accel_pitch[i] = report_deg(
            std::atan2(-v[sweeplog_accel_x], std::hypot(v[sweeplog_accel_y], v[sweeplog_accel_z])));
    }
    ReportTilt& tilt = report.tilt;
    report_level(report_series(cruise, sweeplog_roll), uniform, tilt.roll_mean_deg,
                 tilt.roll_wobble_deg);
    report_level(report_series(cruise, sweeplog_pitch), uniform, tilt.pitch_mean_deg,
                 tilt.pitch_wobble_deg);
    std::optional<double> unused;
    report_level(accel_roll, uniform, tilt.accel_roll_deg, unused);
    report_level(accel_pitch, uniform, tilt.accel_pitch_deg, unused);

    const Eigen::VectorXd temp = report_series(cruise, sweeplog_temp);
    report.temperature = {temp.mean(), temp.minCoeff(), temp.maxCoeff()};
    return true;
}
