// The process capability of one figure over a batch, as a quality engineer states it: the spread
// of the values over the whole batch (the overall sigma, the sample standard deviation) and from
// one unit to the next (the within sigma, the mean moving range over d2 = 1.128, the values taken
// in the order they were made), and against the limits the indices of each:
//
//   Pp = (USL - LSL) / (6 sigma_overall)    Ppk = min(Ppu, Ppl)
//   Ppu = (USL - mean) / (3 sigma_overall)  Ppl = (mean - LSL) / (3 sigma_overall)
//
// and Cp, Cpk, Cpu, Cpl the same with sigma_within. Each of Ppk and Cpk with its 95 % interval by
// Bissell's normal approximation, k +/- 1.96 sqrt(1 / (9 n) + k^2 / (2 (n - 1))), and the
// Anderson-Darling test of the values against a normal distribution, which the indices assume.
// Pure functions over the values; nothing here knows where they came from.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

// The limits a figure has: both, only an upper (USL), only a lower (LSL), or none.
enum class CapabilitySides { none, both, upper, lower };

// "both", "upper", "lower"; nullptr for none.
const char* capability_sides_name(CapabilitySides sides);

struct CapabilityInterval {
    double low = 0.0;
    double high = 0.0;
};

// The mean moving range over the within sigma for ranges of two consecutive values (d2), and the
// moving ranges' upper control limit over their mean (D4).
inline constexpr double capability_d2 = 1.128;
inline constexpr double capability_d4 = 3.267;
// Fewer values than this give indices, flagged as few: their intervals are wide.
inline constexpr std::size_t capability_few_below = 25;
// The normality test needs this many values; fewer say too little about the shape.
inline constexpr std::size_t capability_normality_from = 8;

struct Capability {
    std::size_t n = 0;
    std::optional<double> mean;
    std::optional<double> sigma_overall; // sample standard deviation (n - 1); n >= 2
    std::optional<double> sigma_within;  // mean moving range / d2; n >= 2
    CapabilitySides sides = CapabilitySides::none;
    // From sigma_overall and sigma_within, when it is above zero and n >= 2. With one limit ppk
    // is Ppu or Ppl (cpk Cpu or Cpl), and pp and cp are none: they need both limits.
    std::optional<double> pp;
    std::optional<double> ppk;
    std::optional<double> cp;
    std::optional<double> cpk;
    std::optional<CapabilityInterval> ppk_ci95;
    std::optional<CapabilityInterval> cpk_ci95;
    bool few = false;                   // fewer than capability_few_below values
    std::optional<double> normality_a2; // Anderson-Darling A*^2, from capability_normality_from
    std::optional<double> normality_p;  // its p-value
};

// Everything above for `values` in the order they were made, against the limits given.
Capability capability_of(const std::vector<double>& values, std::optional<double> lsl,
                         std::optional<double> usl);

// The mean; none for no value.
std::optional<double> capability_mean(const std::vector<double>& values);

// The sample standard deviation with n - 1; none below two values.
std::optional<double> capability_sigma_overall(const std::vector<double>& values);

// The mean of |x[i] - x[i-1]|, none below two values.
std::optional<double> capability_moving_range_mean(const std::vector<double>& values);

// Bissell's 95 % interval of an index k from n values (n >= 2).
CapabilityInterval capability_ci95(double k, std::size_t n);

// The Anderson-Darling statistic with mean and standard deviation estimated from the values,
// modified for the sample size: A*^2 = A^2 (1 + 0.75 / n + 2.25 / n^2). None below
// capability_normality_from values or with no spread.
std::optional<double> capability_anderson_darling(const std::vector<double>& values);

// The p-value of A*^2 by D'Agostino and Stephens' piecewise formulas.
double capability_anderson_darling_p(double a_star);

// The individuals and moving range (I-MR) chart's lines: the centre line and the control limits
// mean +/- 3 sigma_within, and the moving ranges' mean and upper control limit D4 times it.
struct CapabilityControlLimits {
    double centre = 0.0;
    double lcl = 0.0;
    double ucl = 0.0;
    double mr_mean = 0.0;
    double mr_ucl = 0.0;
};

// None below two values.
std::optional<CapabilityControlLimits> capability_control_limits(const std::vector<double>& values);
