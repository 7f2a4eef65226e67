#include "sim/sim_gyro.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// Scales of the words, value per count, as a reader of the frame applies them.
constexpr double angle_step = 180.0 / 32768.0;
constexpr double rate_step = 100.0 * 1.5 / 65536.0;
constexpr double accel_step = 4.0 * 2.0 * 1.5 / 65536.0;
constexpr double mag_step = 2.0 * 1.25 * 1.5 / 65536.0;
constexpr double temperature_step = 5.0 / 4096.0 * 44.4;
constexpr double temperature_offset = 1.375;
constexpr double temperature_gain = 44.4;

// Noise amplitudes: a sensor at rest on a level bench.
constexpr double tilt_noise_deg = 0.3;
constexpr double rate_noise_dps = 0.05;
constexpr double accel_noise_g = 0.003;
constexpr double mag_noise_gauss = 0.002;
constexpr double temperature_noise_c = 0.2;

// Uniform in [-1, 1).
double next_noise(SimGyro& gyro) {
    return static_cast<double>(sim_gyro_next_random(gyro.random_state)) / 2147483648.0 - 1.0;
}

// The signed word nearest to value, saturating like a sensor at the end of its range; value is
// set to what the word stands for when it saturated.
std::int32_t signed_word(double& value, double step) {
    const double counts = std::round(value / step);
    if (counts > 32767.0) {
        value = 32767.0 * step;
        return 32767;
    }
    if (counts < -32768.0) {
        value = -32768.0 * step;
        return -32768;
    }
    return static_cast<std::int32_t>(counts);
}

double radians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

// Into -180 (inclusive) to 180 (exclusive).
double wrap_deg(double degrees) {
    return degrees - 360.0 * std::floor((degrees + 180.0) / 360.0);
}

std::int32_t temperature_word(double& celsius) {
    const double counts =
        std::round((celsius / temperature_gain + temperature_offset) * 4096.0 / 5.0);
    const double clamped = std::clamp(counts, 0.0, 65535.0);
    if (clamped != counts) {
        celsius = (clamped * 5.0 / 4096.0 - temperature_offset) * temperature_gain;
    }
    return static_cast<std::int32_t>(clamped);
}

} // namespace

std::uint32_t sim_gyro_next_random(std::uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

SimGyro sim_gyro_make(std::uint32_t seed) {
    SimGyro gyro;
    // xorshift32 must never hold 0; mix the seed so that neighbouring seeds differ at once.
    gyro.random_state = (seed * 2654435761u) ^ 0x9E3779B9u;
    if (gyro.random_state == 0) {
        gyro.random_state = 1;
    }
    return gyro;
}

double sim_gyro_heading_deg(const SimGyro& gyro, double position) {
    const double turns = position / gyro.units_per_turn;
    double degrees = 360.0 * (turns - std::floor(turns)); // 0 <= degrees < 360
    if (degrees >= 180.0) {
        degrees -= 360.0;
    }
    return degrees;
}

double sim_gyro_reported_heading_deg(const SimGyro& gyro, double psi_deg) {
    const std::array<double, 4>& d = gyro.errors.deviation_deg;
    const double psi = radians(psi_deg);
    return wrap_deg(psi_deg + d[0] * std::sin(psi) + d[1] * std::cos(psi) +
                    d[2] * std::sin(2.0 * psi) + d[3] * std::cos(2.0 * psi));
}

double sim_gyro_yaw_rate_dps(const SimGyro& gyro, double velocity) {
    return velocity * 360.0 / gyro.units_per_turn;
}

std::uint8_t sim_gyro_checksum(const SimGyroFrame& frame) {
    unsigned sum = 0;
    for (std::size_t i = 1; i <= 28; ++i) {
        sum += frame[i];
    }
    return static_cast<std::uint8_t>(sum & 0xFFu);
}

double sim_gyro_step(std::size_t index) {
    if (index <= sim_gyro_heading) {
        return angle_step;
    }
    if (index <= sim_gyro_rate_z) {
        return rate_step;
    }
    if (index <= sim_gyro_accel_z) {
        return accel_step;
    }
    if (index <= sim_gyro_mag_z) {
        return mag_step;
    }
    if (index == sim_gyro_temperature) {
        return temperature_step;
    }
    return 1.0;
}

SimGyroReading sim_gyro_read(SimGyro& gyro, const SimPlatform& platform) {
    SimGyroReading reading;
    std::array<double, sim_gyro_value_count>& v = reading.values;

    const SimGyroErrors& errors = gyro.errors;
    const double psi = sim_gyro_heading_deg(gyro, platform.position);
    const double heading = sim_gyro_reported_heading_deg(gyro, psi);
    const double lean = radians(psi - errors.tilt_azimuth_deg);
    const double roll = errors.mount_roll_deg + errors.tilt_deg * std::sin(lean);
    const double pitch = errors.mount_pitch_deg + errors.tilt_deg * std::cos(lean);
    v[sim_gyro_roll] = roll + tilt_noise_deg * next_noise(gyro);
    v[sim_gyro_pitch] = pitch + tilt_noise_deg * next_noise(gyro);
    v[sim_gyro_heading] = heading;
    v[sim_gyro_rate_x] = rate_noise_dps * next_noise(gyro);
    v[sim_gyro_rate_y] = rate_noise_dps * next_noise(gyro);
    v[sim_gyro_rate_z] = sim_gyro_yaw_rate_dps(gyro, platform.velocity) *
                             (1.0 + errors.yaw_scale_error_percent / 100.0) +
                         rate_noise_dps * next_noise(gyro);
    // Gravity in the sensor's axes.
    const double r = radians(roll);
    const double p = radians(pitch);
    v[sim_gyro_accel_x] = -std::sin(p) + accel_noise_g * next_noise(gyro);
    v[sim_gyro_accel_y] = std::sin(r) * std::cos(p) + accel_noise_g * next_noise(gyro);
    v[sim_gyro_accel_z] = std::cos(r) * std::cos(p) + accel_noise_g * next_noise(gyro);
    // A steady field, fixed to the room: seen from the turning sensor it turns the other way.
    // Soft iron stretches its circle into an ellipse, hard iron moves the centre.
    const double turned = -radians(psi);
    const double ux = std::cos(turned);
    const double uy = std::sin(turned);
    double mx = gyro.horizontal_field_gauss * ux;
    double my = gyro.horizontal_field_gauss * uy;
    if (errors.soft_iron) {
        // R(angle) diag(major, minor) R(angle)^T u: along the major axis and across it.
        const double c = std::cos(radians(errors.soft_iron->angle_deg));
        const double s = std::sin(radians(errors.soft_iron->angle_deg));
        const double along = errors.soft_iron->major_gauss * (c * ux + s * uy);
        const double across = errors.soft_iron->minor_gauss * (-s * ux + c * uy);
        mx = c * along - s * across;
        my = s * along + c * across;
    }
    v[sim_gyro_mag_x] = errors.hard_iron_x_gauss + mx + mag_noise_gauss * next_noise(gyro);
    v[sim_gyro_mag_y] = errors.hard_iron_y_gauss + my + mag_noise_gauss * next_noise(gyro);
    v[sim_gyro_mag_z] = gyro.vertical_field_gauss + mag_noise_gauss * next_noise(gyro);
    v[sim_gyro_temperature] = gyro.temperature_c + temperature_noise_c * next_noise(gyro);

    for (std::size_t k = 0; k < sim_gyro_temperature; ++k) {
        if (k != sim_gyro_heading) {
            reading.words[k] = signed_word(v[k], sim_gyro_step(k));
        }
    }
    // Just below +180 the heading rounds to the top of the range, which the word can only hold
    // as -180: report the value as the word will read.
    const double heading_counts = std::round(heading / angle_step);
    if (heading_counts > 32767.0) {
        reading.words[sim_gyro_heading] = -32768;
        v[sim_gyro_heading] -= 360.0;
    } else {
        reading.words[sim_gyro_heading] = static_cast<std::int32_t>(heading_counts);
    }
    reading.words[sim_gyro_temperature] = temperature_word(v[sim_gyro_temperature]);
    reading.words[sim_gyro_counter] = gyro.counter;
    gyro.counter = static_cast<std::uint16_t>(gyro.counter + 1u);

    reading.frame[0] = sim_gyro_lead_byte;
    for (std::size_t k = 0; k < sim_gyro_word_count; ++k) {
        const auto word = static_cast<std::uint16_t>(reading.words[k] & 0xFFFF);
        reading.frame[2 * k + 1] = static_cast<std::uint8_t>(word >> 8);
        reading.frame[2 * k + 2] = static_cast<std::uint8_t>(word & 0xFFu);
    }
    reading.frame[29] = sim_gyro_checksum(reading.frame);
    return reading;
}

void sim_gyro_use_data(SimGyroReading& reading, const std::array<std::uint8_t, 28>& data) {
    std::copy(data.begin(), data.end(), reading.frame.begin() + 1);
    reading.frame[29] = sim_gyro_checksum(reading.frame);
    for (std::size_t k = 0; k < sim_gyro_word_count; ++k) {
        const std::uint8_t high = data[2 * k];
        const std::uint8_t low = data[2 * k + 1];
        reading.words[k] = k < sim_gyro_temperature ? static_cast<std::int8_t>(high) * 256 + low
                                                    : high * 256 + low;
        if (k < sim_gyro_temperature) {
            reading.values[k] = reading.words[k] * sim_gyro_step(k);
        } else if (k == sim_gyro_temperature) {
            reading.values[k] =
                (reading.words[k] * 5.0 / 4096.0 - temperature_offset) * temperature_gain;
        }
    }
}
