// The capability of a batch against a hand computation: one table of batches, each with the values
// worked out beside it (at 40 digits, rounded here to 15), every index, interval, sigma and
// p-value to 1e-9; the Anderson-Darling p-value against D'Agostino and Stephens' published
// critical points.
#include "analysis/capability/capability.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using Maybe = std::optional<double>;

// What a batch gives, in this order (nothing where none is given).
constexpr std::array<const char*, 13> figures = {
    "mean",          "sigma_overall", "sigma_within", "pp",  "ppk",
    "ppk_ci95 low",  "ppk_ci95 high", "cp",           "cpk", "cpk_ci95 low",
    "cpk_ci95 high", "A*^2",          "normality_p"};

struct Batch {
    const char* name;
    std::vector<double> values; // in the order made
    Maybe lsl;
    Maybe usl;
    CapabilitySides sides;
    bool few;
    std::array<Maybe, 13> expected;
    std::vector<double> control; // centre, lcl, ucl, mr_mean, mr_ucl; empty for none
};

std::array<Maybe, 13> given(const Capability& c) {
    const auto low = [](const std::optional<CapabilityInterval>& i) {
        return i ? Maybe(i->low) : std::nullopt;
    };
    const auto high = [](const std::optional<CapabilityInterval>& i) {
        return i ? Maybe(i->high) : std::nullopt;
    };
    return {c.mean,           c.sigma_overall,  c.sigma_within, c.pp,  c.ppk,
            low(c.ppk_ci95),  high(c.ppk_ci95), c.cp,           c.cpk, low(c.cpk_ci95),
            high(c.cpk_ci95), c.normality_a2,   c.normality_p};
}

} // namespace

TEST(Capability, EachBatchGivesItsHandComputation) {
    const Maybe no;
    const std::vector<Batch> batches = {
        // Mean 101.5 / 10 = 10.15; squares about it 0.825, / 9, sd 0.302765035409749. Moving
        // ranges 0.4 0.7 0.4 0.4 0.7 0.4 0.1 0.7 0.3, MR-bar 4.1 / 9 = 0.455555555555556, sigma
        // within / 1.128 = 0.403861308116627. Ppu = 0.85 / (3 * 0.3028) = 0.935819200357407
        // below Ppl = 1.15 / ... = 1.266; Pp = 2 / (6 * 0.3028) = 1.10096376512636. Bissell:
        // 1.96 sqrt(1 / 90 + 0.9358^2 / 18) = 0.4792. Near normal: A*^2 0.155, p 0.957.
        {"two-sided",
         {10.2, 9.8, 10.5, 10.1, 9.7, 10.4, 10.0, 9.9, 10.6, 10.3},
         9.0,
         11.0,
         CapabilitySides::both,
         true,
         {10.15, 0.302765035409749, 0.403861308116627, 1.10096376512636, 0.935819200357407,
          0.456663095950323, 1.41497530476449, 0.825365853658537, 0.701560975609756,
          0.317206635183699, 1.08591531603581, 0.154867399526124, 0.956657938467689},
         {10.15, 8.93841607565012, 11.3615839243499, 0.455555555555556, 1.4883}},
        // A wobble-like figure, bounded at zero: upper limit only. Mean 2.1 / 8 = 0.2625; MR-bar
        // 1.51 / 7 = 0.215714285714286. Ppu = 0.2375 / (3 * 0.158362152765651). A^2 0.6374,
        // times 1 + 0.75 / 8 + 2.25 / 64: 0.719522871519977, p just above 0.05.
        {"upper only",
         {0.12, 0.35, 0.18, 0.22, 0.61, 0.15, 0.28, 0.19},
         no,
         0.5,
         CapabilitySides::upper,
         true,
         {0.2625, 0.158362152765651, 0.191236068895643, no, 0.499909007828529, 0.150723398767074,
          0.849094616889985, no, 0.413973509933775, 0.0971445347432252, 0.730802485124325,
          0.719522871519977, 0.0605414751783613},
         {0.2625, -0.31120820668693, 0.83620820668693, 0.215714285714286, 0.704738571428571}},
        // Lower limit only, 12 units: Ppl 0.575, interval 0.270 to 0.881 (about 0.25 to 0.89).
        {"lower only",
         {305, 312, 298, 301, 330, 296, 308, 315, 300, 303, 299, 310},
         290.0,
         no,
         CapabilitySides::lower,
         true,
         {306.416666666667, 9.51036117594751, 11.2024500322373, no, 0.575395836286631,
          0.269809478052392, 0.88098219452087, no, 0.488484412470024, 0.210568524533121,
          0.766400300406927, 0.531646002857927, 0.174249559368099},
         {306.416666666667, 272.809316569955, 340.024016763378, 12.6363636363636, 41.283}},
        // Two values, the fewest that give indices: sd 0.2 / sqrt 2, sigma within 0.2 / 1.128;
        // Cpk = 0.3 / (3 * 0.177305) = 0.564, Cp = 1 / (6 * 0.177305) = 0.94. Too few to test
        // the shape.
        {"two values",
         {0.1, 0.3},
         -0.5,
         0.5,
         CapabilitySides::both,
         true,
         {0.2, 0.14142135623731, 0.177304964539007, 1.17851130197758, 0.707106781186548,
          -0.376323983662883, 1.79053754603598, 0.94, 0.564, -0.343976331752223, 1.47197633175222,
          no, no},
         {0.2, -0.331914893617021, 0.731914893617021, 0.2, 0.6534}},
        {"one value",
         {0.2},
         -0.5,
         0.5,
         CapabilitySides::both,
         true,
         {0.2, no, no, no, no, no, no, no, no, no, no, no, no},
         {}},
        {"no value",
         {},
         no,
         0.5,
         CapabilitySides::upper,
         true,
         {no, no, no, no, no, no, no, no, no, no, no, no, no},
         {}},
        // Equal values: no spread, so no index and no test (naive sums would find 1e-17).
        {"no spread",
         {0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1},
         no,
         0.5,
         CapabilitySides::upper,
         true,
         {0.1, 0.0, 0.0, no, no, no, no, no, no, no, no, no, no},
         {0.1, 0.1, 0.1, 0.0, 0.0}},
        // A mean beyond the USL: negative indices. Ppu = -0.35 / (3 * 0.129099) = -0.903696.
        {"mean outside",
         {1.2, 1.4, 1.3, 1.5},
         0.0,
         1.0,
         CapabilitySides::both,
         true,
         {1.35, 0.129099444873581, 0.147754137115839, 1.29099444873581, -0.903696114115064,
          -1.69716669047915, -0.110225537750977, 1.128, -0.7896, -1.50086436132222,
          -0.0783356386777761, no, no},
         {1.35, 0.906737588652482, 1.79326241134752, 0.166666666666667, 0.5445}},
        {"no limits",
         {1, 2, 4, 3},
         no,
         no,
         CapabilitySides::none,
         true,
         {2.5, 1.29099444873581, 1.18203309692671, no, no, no, no, no, no, no, no, no, no},
         {2.5, -1.04609929078014, 6.04609929078014, 1.33333333333333, 4.356}},
        // The squares 1, 4, ..., 625: 25 values, no longer few; skewed, p below 0.05. Moving
        // ranges 3, 5, ..., 49: MR-bar 26.
        {"25 squares",
         {1,   4,   9,   16,  25,  36,  49,  64,  81,  100, 121, 144, 169,
          196, 225, 256, 289, 324, 361, 400, 441, 484, 529, 576, 625},
         no,
         700.0,
         CapabilitySides::upper,
         false,
         {221.0, 197.127285444371, 23.0496453900709, no, 0.809967358434122, 0.546188254346121,
          1.07374646252212, no, 6.92707692307692, 4.96304412460867, 8.89110972154518,
          0.813552126560489, 0.0354880817873463},
         {221.0, 151.851063829787, 290.148936170213, 26.0, 84.942}},
        // One fewer: few again.
        {"24 squares",
         {1,   4,   9,   16,  25,  36,  49,  64,  81,  100, 121, 144,
          169, 196, 225, 256, 289, 324, 361, 400, 441, 484, 529, 576},
         no,
         700.0,
         CapabilitySides::upper,
         true,
         {204.166666666667, 182.089721474516, 22.1631205673759, no, 0.907672198295439,
          0.613412147093521, 1.20193224949736, no, 7.45733333333333, 5.2981442346513,
          9.61652243201536, 0.7810196544665, 0.0426897957926748},
         {204.166666666667, 137.677304964539, 270.656028368794, 25.0, 81.675}},
    };
    for (const Batch& b : batches) {
        SCOPED_TRACE(b.name);
        const Capability c = capability_of(b.values, b.lsl, b.usl);
        EXPECT_EQ(c.n, b.values.size());
        EXPECT_EQ(c.sides, b.sides);
        EXPECT_EQ(c.few, b.few);
        const std::array<Maybe, 13> actual = given(c);
        for (std::size_t i = 0; i < figures.size(); ++i) {
            ASSERT_EQ(actual[i].has_value(), b.expected[i].has_value()) << figures[i];
            if (actual[i]) {
                EXPECT_NEAR(*actual[i], *b.expected[i], 1e-9) << figures[i];
            }
        }
        const std::optional<CapabilityControlLimits> control = capability_control_limits(b.values);
        ASSERT_EQ(control.has_value(), !b.control.empty());
        if (control) {
            const std::vector<double> lines = {control->centre, control->lcl, control->ucl,
                                               control->mr_mean, control->mr_ucl};
            for (std::size_t i = 0; i < lines.size(); ++i) {
                EXPECT_NEAR(lines[i], b.control[i], 1e-9) << "control line " << i;
            }
        }
    }
}

TEST(Capability, TheNormalityPValueOnEachSideOfEachPiece) {
    // D'Agostino and Stephens, Goodness-of-Fit Techniques (1986), table 4.7: the upper-tail
    // points of A*^2 with mean and variance estimated, 0.631 (10 %), 0.752 (5 %), 0.873 (2.5 %)
    // and 1.035 (1 %). Their piecewise formulas give the same to within 1.5 %.
    for (const auto& [a, level] : std::vector<std::pair<double, double>>{
             {0.631, 0.10}, {0.752, 0.05}, {0.873, 0.025}, {1.035, 0.01}}) {
        EXPECT_NEAR(capability_anderson_darling_p(a), level, 0.015 * level) << a;
    }
    // Each piece and its edges, worked out at 40 digits.
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [a, p] : std::vector<std::pair<double, double>>{
             {0.0, 0.99999853843093899},
             {0.1999999, 0.88435165083385904},
             {0.2, 0.88424970066828485},
             {0.3399999, 0.50152059472139262},
             {0.34, 0.498232720934432},
             {0.5999999, 0.11689263600003304},
             {0.6, 0.11943249053580201},
             {153.4, 2.0366039064331954e-190},
             {153.47, 0.0}, // past the fitted curve's lowest point, 153.4677
             {inf, 0.0},
             {std::nan(""), 0.0},
         }) {
        EXPECT_NEAR(capability_anderson_darling_p(a), p, 1e-9) << a;
        EXPECT_EQ(capability_anderson_darling_p(a) > 0.0, p > 0.0) << a;
    }
}

TEST(Capability, BissellsIntervalAndTheSidesNames) {
    struct Row {
        double k;
        std::size_t n;
        double low;
        double high;
    };
    for (const Row& row : std::vector<Row>{
             {1.33, 30, 0.96752196659677116, 1.6924780334032288},
             {0.57, 12, 0.26618456648304115, 0.87381543351695885},
             {0.0, 2, -0.46197643037521105, 0.46197643037521105},
             {-1.0, 3, -2.0500864161970107, 0.050086416197010655},
             {2.0, 1000, 1.9099015242341174, 2.0900984757658826},
         }) {
        const CapabilityInterval interval = capability_ci95(row.k, row.n);
        EXPECT_NEAR(interval.low, row.low, 1e-12) << row.k << " " << row.n;
        EXPECT_NEAR(interval.high, row.high, 1e-12) << row.k << " " << row.n;
    }
    EXPECT_STREQ(capability_sides_name(CapabilitySides::both), "both");
    EXPECT_STREQ(capability_sides_name(CapabilitySides::upper), "upper");
    EXPECT_STREQ(capability_sides_name(CapabilitySides::lower), "lower");
    EXPECT_EQ(capability_sides_name(CapabilitySides::none), nullptr);
}
