// Model of the orientation sensor on the bench platform: answers each poll with one 30-byte frame
// describing a platform that turns with the motor. Everything it reports is derived from the
// platform state handed in, so a test can run several models side by side.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

inline constexpr std::size_t sim_gyro_frame_length = 30;
inline constexpr std::size_t sim_gyro_word_count = 14;
// Words 0-12 carry measurements; word 13 is a free-running frame counter.
inline constexpr std::size_t sim_gyro_value_count = 13;
inline constexpr std::uint8_t sim_gyro_poll_byte = 0x47; // 'G'
// Byte 0 of every frame. A reader never looks at it; a fixed value makes hex dumps easy to read.
inline constexpr std::uint8_t sim_gyro_lead_byte = 0x7F;
// Controller units per platform revolution: the bench sweep to 1,000,000 is one full turn.
inline constexpr double sim_gyro_default_units_per_turn = 1000000.0;

// Word indices.
inline constexpr std::size_t sim_gyro_roll = 0;
inline constexpr std::size_t sim_gyro_pitch = 1;
inline constexpr std::size_t sim_gyro_heading = 2;
inline constexpr std::size_t sim_gyro_rate_x = 3;
inline constexpr std::size_t sim_gyro_rate_y = 4;
inline constexpr std::size_t sim_gyro_rate_z = 5;
inline constexpr std::size_t sim_gyro_accel_x = 6;
inline constexpr std::size_t sim_gyro_accel_y = 7;
inline constexpr std::size_t sim_gyro_accel_z = 8;
inline constexpr std::size_t sim_gyro_mag_x = 9;
inline constexpr std::size_t sim_gyro_mag_y = 10;
inline constexpr std::size_t sim_gyro_mag_z = 11;
inline constexpr std::size_t sim_gyro_temperature = 12;
inline constexpr std::size_t sim_gyro_counter = 13;

using SimGyroFrame = std::array<std::uint8_t, sim_gyro_frame_length>;

// Where the platform stands and how fast it turns, in controller units.
struct SimPlatform {
    double position = 0.0;
    double velocity = 0.0; // units per second of the clock the sensor lives by, signed
};

// A magnetometer distorted by soft iron: the field traces an ellipse with these semi-axes, the
// major one at angle_deg from the X axis, instead of a circle.
struct SimSoftIron {
    double major_gauss = 0.0;
    double minor_gauss = 0.0;
    double angle_deg = 0.0;
};

// Errors of the sensor on the bench, as a turntable test finds them; all zero for a perfect one.
// psi is the true heading of the platform.
struct SimGyroErrors {
    // Compass deviation: the reported heading is psi + B sin(psi) + C cos(psi) + D sin(2 psi)
    // + E cos(2 psi), degrees, in the order B, C, D, E.
    std::array<double, 4> deviation_deg{};
    // Hard iron: the centre of the horizontal field's trace, gauss.
    double hard_iron_x_gauss = 0.0;
    double hard_iron_y_gauss = 0.0;
    std::optional<SimSoftIron> soft_iron{}; // absent: a circle of the horizontal field
    // The reported yaw rate is the true one times (1 + percent / 100).
    double yaw_scale_error_percent = 0.0;
    // The turntable's axis leans tilt_deg toward the fixed azimuth tilt_azimuth_deg; the sensor
    // sits on the platform at a constant mounting roll and pitch. Small-angle model: roll and
    // pitch add, roll = mount_roll + tilt sin(psi - azimuth), pitch = mount_pitch
    // + tilt cos(psi - azimuth). The magnetometer ignores the tilt (its X/Y are the horizontal
    // components).
    double tilt_deg = 0.0;
    double tilt_azimuth_deg = 0.0;
    double mount_roll_deg = 0.0;
    double mount_pitch_deg = 0.0;
};

struct SimGyro {
    SimGyroErrors errors;
    double units_per_turn = sim_gyro_default_units_per_turn;
    double horizontal_field_gauss = 0.25;
    double vertical_field_gauss = 0.40;
    double temperature_c = 25.0;
    std::uint32_t random_state = 1; // xorshift32; never 0
    std::uint16_t counter = 0;      // value of word 13 in the next frame
};

// One answer: the frame as sent, its fourteen words as a reader should decode them, and the
// physical values the words stand for, in the log's units (degrees, degrees per second, g, gauss,
// degrees Celsius). A decoded word differs from its value by at most half a step of its scale.
struct SimGyroReading {
    SimGyroFrame frame{};
    std::array<std::int32_t, sim_gyro_word_count> words{};
    std::array<double, sim_gyro_value_count> values{};
};

// A model with the default field, temperature and units per turn and the given noise seed.
SimGyro sim_gyro_make(std::uint32_t seed);

// One step of the simulator's seeded xorshift32 generator (state never 0): the sensor's noise
// and the bench's random delays draw from it.
std::uint32_t sim_gyro_next_random(std::uint32_t& state);

// True heading of the platform at a position, in degrees within -180 (inclusive) to 180
// (exclusive).
double sim_gyro_heading_deg(const SimGyro& gyro, double position);

// The heading the sensor reports at a true heading, with its compass deviation, in the same range.
double sim_gyro_reported_heading_deg(const SimGyro& gyro, double psi_deg);

// True yaw rate of the platform at a velocity, in degrees per second.
double sim_gyro_yaw_rate_dps(const SimGyro& gyro, double velocity);

// Measures the platform once and builds the frame; advances the noise and the counter. Roll and
// pitch carry the sensor's reading noise, while the accelerations follow the true roll r and pitch
// p exactly (-sin p, sin r cos p, cos r cos p in g) before their own noise.
SimGyroReading sim_gyro_read(SimGyro& gyro, const SimPlatform& platform);

// Replaces the reading's frame bytes 1-28 by data, with its checksum, and its words and values by
// what those bytes decode to.
void sim_gyro_use_data(SimGyroReading& reading, const std::array<std::uint8_t, 28>& data);

// The low 8 bits of the sum of bytes 1-28.
std::uint8_t sim_gyro_checksum(const SimGyroFrame& frame);

// Size of one step of a word, in its value's unit (for index 12 the step of the linear part).
double sim_gyro_step(std::size_t index);
