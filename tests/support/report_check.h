// A sensor with known errors, and the check that a sweep report (its JSON) recovers them closely
// enough; shared by the report's own tests and the end-to-end run through the simulator.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// The injected errors, in the report's units: compass deviation B-E (deg), hard iron (gauss),
// soft iron semi-axes (gauss) and major axis angle (deg), yaw-rate scale error (percent), table
// tilt and its azimuth (deg), mounting roll and pitch (deg).
struct SensorErrors {
    double b = 0, c = 0, d = 0, e = 0;
    double hard_x = 0, hard_y = 0;
    double major = 0.25, minor = 0.25, angle = 0;
    double scale_percent = 0;
    double tilt = 0, azimuth = 0;
    double mount_roll = 0, mount_pitch = 0;
};

inline constexpr double report_deviation_tolerance_deg = 0.15;
inline constexpr double report_field_tolerance_gauss = 0.003;
inline constexpr double report_axis_angle_tolerance_deg = 3;
inline constexpr double report_scale_tolerance_percent = 0.2;
inline constexpr double report_level_tolerance_deg = 0.08;
inline constexpr double report_wobble_tolerance_deg = 0.06;

// Every figure of a report made with --turn-rate over a whole turn against what was injected.
inline void expect_report_recovers(const nlohmann::json& report, const SensorErrors& errors,
                                   double deviation_tolerance = report_deviation_tolerance_deg) {
    const auto near = [&](const char* section, const char* key, double expected, double tolerance) {
        const nlohmann::json& value = report[section][key];
        ASSERT_TRUE(value.is_number()) << section << "." << key << " is " << value.dump();
        EXPECT_NEAR(value.get<double>(), expected, tolerance) << section << "." << key;
    };
    near("heading", "B_deg", errors.b, deviation_tolerance);
    near("heading", "C_deg", errors.c, deviation_tolerance);
    near("heading", "D_deg", errors.d, deviation_tolerance);
    near("heading", "E_deg", errors.e, deviation_tolerance);
    near("mag", "hard_iron_x_gauss", errors.hard_x, report_field_tolerance_gauss);
    near("mag", "hard_iron_y_gauss", errors.hard_y, report_field_tolerance_gauss);
    near("mag", "major_gauss", errors.major, report_field_tolerance_gauss);
    near("mag", "minor_gauss", errors.minor, report_field_tolerance_gauss);
    if (errors.major - errors.minor > 0.01) {
        near("mag", "major_angle_deg", errors.angle, report_axis_angle_tolerance_deg);
    } else { // a circle has no axis to find
        EXPECT_TRUE(report["mag"]["major_angle_deg"].is_null()) << report["mag"].dump();
    }
    near("yaw_rate", "scale_error_percent", errors.scale_percent, report_scale_tolerance_percent);
    near("tilt", "roll_mean_deg", errors.mount_roll, report_level_tolerance_deg);
    near("tilt", "pitch_mean_deg", errors.mount_pitch, report_level_tolerance_deg);
    near("tilt", "accel_roll_deg", errors.mount_roll, report_level_tolerance_deg);
    near("tilt", "accel_pitch_deg", errors.mount_pitch, report_level_tolerance_deg);
    near("tilt", "roll_wobble_deg", errors.tilt, report_wobble_tolerance_deg);
    near("tilt", "pitch_wobble_deg", errors.tilt, report_wobble_tolerance_deg);
}
