#include "analysis/capability/capability.h"

#include <algorithm>
#include <cmath>
#include <numbers>

const char* capability_sides_name(CapabilitySides sides) {
    switch (sides) {
    case CapabilitySides::both:
        return "both";
    case CapabilitySides::upper:
        return "upper";
    case CapabilitySides::lower:
        return "lower";
    case CapabilitySides::none:
        break;
    }
    return nullptr;
}

std::optional<double> capability_mean(const std::vector<double>& values) {
    if (values.empty()) {
        return std::nullopt;
    }
    // A batch of equal values has exactly that mean, and so no spread: the sum would make 1e-17
    // of one, and a Ppk of 1e15 of that.
    if (std::all_of(values.begin(), values.end(),
                    [&](double value) { return value == values.front(); })) {
        return values.front();
    }
    double sum = 0.0;
    for (const double value : values) {
        sum += value;
    }
    return sum / static_cast<double>(values.size());
}

std::optional<double> capability_sigma_overall(const std::vector<double>& values) {
    if (values.size() < 2) {
        return std::nullopt;
    }
    const double mean = *capability_mean(values);
    double squares = 0.0;
    for (const double value : values) {
        squares += (value - mean) * (value - mean);
    }
    return std::sqrt(squares / static_cast<double>(values.size() - 1));
}

std::optional<double> capability_moving_range_mean(const std::vector<double>& values) {
    if (values.size() < 2) {
        return std::nullopt;
    }
    double sum = 0.0;
    for (std::size_t i = 1; i < values.size(); ++i) {
        sum += std::fabs(values[i] - values[i - 1]);
    }
    return sum / static_cast<double>(values.size() - 1);
}

CapabilityInterval capability_ci95(double k, std::size_t n) {
    const double count = static_cast<double>(n);
    const double half = 1.96 * std::sqrt(1.0 / (9.0 * count) + k * k / (2.0 * (count - 1.0)));
    return {k - half, k + half};
}

namespace {

// ln Phi(z), from the complementary error function so that the far tail keeps its digits.
double capability_log_phi(double z) {
    return std::log(0.5 * std::erfc(-z / std::numbers::sqrt2));
}

// The indices (the two-sided one and the k) of one sigma; none without spread.
void capability_indices(double mean, std::optional<double> sigma, std::optional<double> lsl,
                        std::optional<double> usl, std::optional<double>& p,
                        std::optional<double>& pk) {
    if (!sigma || !(*sigma > 0.0) || !std::isfinite(*sigma) || (!lsl && !usl)) {
        return;
    }
    const double upper = usl ? (*usl - mean) / (3.0 * *sigma) : HUGE_VAL;
    const double lower = lsl ? (mean - *lsl) / (3.0 * *sigma) : HUGE_VAL;
    pk = std::min(upper, lower);
    if (lsl && usl) {
        p = (*usl - *lsl) / (6.0 * *sigma);
    }
}

} // namespace

std::optional<double> capability_anderson_darling(const std::vector<double>& values) {
    const std::optional<double> sigma = capability_sigma_overall(values);
    if (values.size() < capability_normality_from || !(*sigma > 0.0)) {
        return std::nullopt;
    }
    const double mean = *capability_mean(values);
    std::vector<double> z;
    for (const double value : values) {
        z.push_back((value - mean) / *sigma);
    }
    std::sort(z.begin(), z.end());
    const std::size_t n = z.size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        // ln(1 - Phi(z)) is ln Phi(-z).
        sum += static_cast<double>(2 * i + 1) *
               (capability_log_phi(z[i]) + capability_log_phi(-z[n - 1 - i]));
    }
    const double count = static_cast<double>(n);
    const double a2 = -count - sum / count;
    return a2 * (1.0 + 0.75 / count + 2.25 / (count * count));
}

double capability_anderson_darling_p(double a) {
    // From its lowest point on (p about 1e-190 there) the fitted curve would rise again; a sample
    // that far from normal has p 0, and so has a statistic that overflowed.
    constexpr double lowest = 5.709 / (2.0 * 0.0186);
    if (!(a < lowest)) {
        return 0.0;
    }
    if (a >= 0.6) {
        return std::exp(1.2937 - 5.709 * a + 0.0186 * a * a);
    }
    if (a >= 0.34) {
        return std::exp(0.9177 - 4.279 * a - 1.38 * a * a);
    }
    if (a >= 0.2) {
        return 1.0 - std::exp(-8.318 + 42.796 * a - 59.938 * a * a);
    }
    return 1.0 - std::exp(-13.436 + 101.14 * a - 223.73 * a * a);
}

std::optional<CapabilityControlLimits>
capability_control_limits(const std::vector<double>& values) {
    const std::optional<double> mr_mean = capability_moving_range_mean(values);
    if (!mr_mean) {
        return std::nullopt;
    }
    const double centre = *capability_mean(values);
    const double spread = 3.0 * *mr_mean / capability_d2;
    return CapabilityControlLimits{centre, centre - spread, centre + spread, *mr_mean,
                                   capability_d4 * *mr_mean};
}

Capability capability_of(const std::vector<double>& values, std::optional<double> lsl,
                         std::optional<double> usl) {
    Capability result;
    result.n = values.size();
    result.mean = capability_mean(values);
    result.sigma_overall = capability_sigma_overall(values);
    if (const std::optional<double> mr_mean = capability_moving_range_mean(values)) {
        result.sigma_within = *mr_mean / capability_d2;
    }
    result.sides = lsl && usl ? CapabilitySides::both
                   : usl      ? CapabilitySides::upper
                   : lsl      ? CapabilitySides::lower
                              : CapabilitySides::none;
    result.few = values.size() < capability_few_below;
    if (result.mean) {
        capability_indices(*result.mean, result.sigma_overall, lsl, usl, result.pp, result.ppk);
        capability_indices(*result.mean, result.sigma_within, lsl, usl, result.cp, result.cpk);
    }
    if (result.ppk) {
        result.ppk_ci95 = capability_ci95(*result.ppk, result.n);
    }
    if (result.cpk) {
        result.cpk_ci95 = capability_ci95(*result.cpk, result.n);
    }
    result.normality_a2 = capability_anderson_darling(values);
    if (result.normality_a2) {
        result.normality_p = capability_anderson_darling_p(*result.normality_a2);
    }
    return result;
}
