// The bench models in-process: frames as a reader of the wire decodes them, the controller's
// channel and motion on a simulated clock, and when a line's bytes reach the program.
#include "sim/sim_bench.h"
#include "sim/sim_gyro.h"
#include "sim/sim_link.h"
#include "sim/sim_motor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// An independent reading of the frame: big-endian words, 0-11 signed, 12-13 unsigned.
std::int32_t decode_word(const SimGyroFrame& frame, std::size_t k) {
    const int high = frame[2 * k + 1];
    const int low = frame[2 * k + 2];
    if (k <= 11) {
        return static_cast<std::int8_t>(high) * 256 + low;
    }
    return high * 256 + low;
}

// The log's conversions of a word to its physical value.
double decode_value(const SimGyroFrame& frame, std::size_t k) {
    const double v = decode_word(frame, k);
    if (k <= 2) {
        return v * 180.0 / 32768.0;
    }
    if (k <= 5) {
        return v * 100.0 * 1.5 / 65536.0;
    }
    if (k <= 8) {
        return 4.0 * v * 2.0 * 1.5 / 65536.0;
    }
    if (k <= 11) {
        return 2.0 * v * 1.25 * 1.5 / 65536.0;
    }
    return (v * 5.0 / 4096.0 - 1.375) * 44.4;
}

unsigned sum_of_data_bytes(const SimGyroFrame& frame) {
    unsigned sum = 0;
    for (std::size_t i = 1; i <= 28; ++i) {
        sum += frame[i];
    }
    return sum;
}

SimGyroReading read_at(double position, double velocity, std::uint32_t seed = 7) {
    SimGyro gyro = sim_gyro_make(seed);
    return sim_gyro_read(gyro, {.position = position, .velocity = velocity});
}

TEST(SimGyroTest, FrameCarriesItsWordsBigEndianWithTheChecksumLast) {
    SimGyro gyro = sim_gyro_make(3);
    for (const double position : {0.0, 123456.0, 640000.0, -310000.0}) {
        const SimGyroReading reading =
            sim_gyro_read(gyro, {.position = position, .velocity = -40000.0});
        EXPECT_EQ(reading.frame[0], sim_gyro_lead_byte);
        EXPECT_EQ(reading.frame[29], sum_of_data_bytes(reading.frame) % 256u);
        for (std::size_t k = 0; k < sim_gyro_word_count; ++k) {
            EXPECT_EQ(decode_word(reading.frame, k), reading.words[k]) << "word " << k;
        }
        // Each decoded word stands for its intended value to within half a step.
        for (std::size_t k = 0; k < sim_gyro_value_count; ++k) {
            EXPECT_NEAR(decode_value(reading.frame, k), reading.values[k],
                        sim_gyro_step(k) / 2 + 1e-9)
                << "word " << k << " at " << position;
        }
    }
}

TEST(SimGyroTest, ChecksumIsTheLowByteOfTheDataSum) {
    SimGyroFrame frame{};
    frame[0] = 0xEE; // not part of the sum
    frame[1] = 0xFF;
    frame[2] = 0xFF;
    frame[28] = 0x36; // 0xFF + 0xFF + 0x36 = 0x234
    EXPECT_EQ(sim_gyro_checksum(frame), 0x34);
}

TEST(SimGyroTest, HeadingFollowsThePositionAndWraps) {
    struct Case {
        double position;
        double heading;
    };
    const Case cases[] = {
        {0.0, 0.0},         {125000.0, 45.0},    {250000.0, 90.0}, {499000.0, 179.64},
        {500000.0, -180.0}, {750000.0, -90.0},   {1000000.0, 0.0}, {1250000.0, 90.0},
        {-250000.0, -90.0}, {-500000.0, -180.0}, {2000000.0, 0.0},
    };
    for (const Case& c : cases) {
        const SimGyroReading reading = read_at(c.position, 0.0);
        EXPECT_NEAR(reading.values[sim_gyro_heading], c.heading, 1e-9) << c.position;
        EXPECT_NEAR(decode_value(reading.frame, sim_gyro_heading), c.heading,
                    sim_gyro_step(sim_gyro_heading) / 2 + 1e-9)
            << c.position;
    }
    // Just below +180 the word can only say -180, and the intended value says so too.
    const SimGyroReading top = read_at(499999.99, 0.0);
    EXPECT_EQ(decode_word(top.frame, sim_gyro_heading), -32768);
    EXPECT_NEAR(top.values[sim_gyro_heading], -180.0, 1e-4);
}

TEST(SimGyroTest, YawRateFollowsTheMotorSpeedWithItsSign) {
    struct Case {
        double velocity;
        double rate;
    };
    // One revolution is 1,000,000 units: 40000 units/s is 14.4 deg/s.
    const Case cases[] = {{40000.0, 14.4}, {-40000.0, -14.4}, {200000.0, 72.0}, {0.0, 0.0}};
    for (const Case& c : cases) {
        const SimGyroReading reading = read_at(300000.0, c.velocity);
        EXPECT_NEAR(decode_value(reading.frame, sim_gyro_rate_z), c.rate, 0.06) << c.velocity;
        EXPECT_NEAR(reading.values[sim_gyro_rate_z], c.rate, 0.05 + 1e-9) << c.velocity;
        if (c.rate != 0.0) {
            EXPECT_EQ(decode_word(reading.frame, sim_gyro_rate_z) > 0, c.rate > 0) << c.velocity;
        }
    }
    EXPECT_DOUBLE_EQ(sim_gyro_yaw_rate_dps(sim_gyro_make(1), 40000.0), 14.4);
}

TEST(SimGyroTest, RatesBeyondTheRangeSaturate) {
    // 1,000,000 units/s is 360 deg/s, beyond the 75 deg/s the word can hold.
    const SimGyroReading reading = read_at(0.0, 1000000.0);
    EXPECT_EQ(decode_word(reading.frame, sim_gyro_rate_z), 32767);
    EXPECT_NEAR(reading.values[sim_gyro_rate_z], 32767 * sim_gyro_step(sim_gyro_rate_z), 1e-9);
}

TEST(SimGyroTest, FieldTurnsAgainstTheHeadingWhileGravityAndTemperatureStay) {
    struct Case {
        double position;
        double mag_x;
        double mag_y;
    };
    const Case cases[] = {
        {0.0, 0.25, 0.0}, {250000.0, 0.0, -0.25}, {750000.0, 0.0, 0.25}, {500000.0, -0.25, 0.0}};
    for (const Case& c : cases) {
        const SimGyroReading reading = read_at(c.position, 40000.0);
        const auto near = [&](std::size_t k, double expected, double noise) {
            EXPECT_NEAR(decode_value(reading.frame, k), expected, noise + sim_gyro_step(k))
                << "word " << k << " at " << c.position;
        };
        near(sim_gyro_mag_x, c.mag_x, 0.002);
        near(sim_gyro_mag_y, c.mag_y, 0.002);
        near(sim_gyro_mag_z, 0.40, 0.002);
        near(sim_gyro_accel_x, 0.0, 0.003);
        near(sim_gyro_accel_y, 0.0, 0.003);
        near(sim_gyro_accel_z, 1.0, 0.003);
        near(sim_gyro_roll, 0.0, 0.3);
        near(sim_gyro_pitch, 0.0, 0.3);
        near(sim_gyro_rate_x, 0.0, 0.05);
        near(sim_gyro_rate_y, 0.0, 0.05);
        near(sim_gyro_temperature, 25.0, 0.2);
    }
}

double radians(double degrees) {
    return degrees * 3.14159265358979323846 / 180.0;
}

// Injected errors against a perfect sensor with the same noise: over a turn the decoded frames
// differ by exactly the errors, to within the words' steps.
TEST(SimGyroTest, FramesOfATurnCarryExactlyTheInjectedErrors) {
    struct Case {
        const char* name;
        SimGyroErrors errors;
    };
    const Case cases[] = {
        {"every error",
         {.deviation_deg = {2.0, -1.0, 0.5, 0.3},
          .hard_iron_x_gauss = -0.02,
          .hard_iron_y_gauss = 0.04,
          .soft_iron = SimSoftIron{.major_gauss = 0.3, .minor_gauss = 0.2, .angle_deg = 30.0},
          .yaw_scale_error_percent = 1.5,
          .tilt_deg = 0.5,
          .tilt_azimuth_deg = 40.0,
          .mount_roll_deg = 1.0,
          .mount_pitch_deg = -0.7}},
        {"large, across the wrap",
         {.deviation_deg = {0.0, -3.0, 0.0, 1.5},
          .soft_iron = SimSoftIron{.major_gauss = 0.26, .minor_gauss = 0.12, .angle_deg = -75.0},
          .yaw_scale_error_percent = -4.0,
          .tilt_deg = 20.0,
          .tilt_azimuth_deg = -120.0,
          .mount_roll_deg = 15.0}},
        {"hard iron on the circle", {.hard_iron_x_gauss = 0.05, .hard_iron_y_gauss = -0.03}},
    };
    for (const Case& c : cases) {
        SimGyro clean = sim_gyro_make(5);
        SimGyro faulty = sim_gyro_make(5);
        faulty.errors = c.errors;
        const SimGyroErrors& e = c.errors;
        for (int step = 0; step < 72; ++step) {
            const double position = step * 1000000.0 / 72; // 5 degrees a step
            const double psi = sim_gyro_heading_deg(clean, position);
            const SimPlatform platform{.position = position, .velocity = 40000.0};
            const SimGyroReading base = sim_gyro_read(clean, platform);
            const SimGyroReading reading = sim_gyro_read(faulty, platform);
            const auto value = [&](std::size_t k) { return decode_value(reading.frame, k); };
            const auto noise = [&](std::size_t k) { return decode_value(base.frame, k); };
            const auto tolerance = [](std::size_t k) { return sim_gyro_step(k) + 1e-9; };
            const std::string where = std::string(c.name) + " at " + std::to_string(psi);

            const double p = radians(psi);
            const double deviation =
                e.deviation_deg[0] * std::sin(p) + e.deviation_deg[1] * std::cos(p) +
                e.deviation_deg[2] * std::sin(2 * p) + e.deviation_deg[3] * std::cos(2 * p);
            double heading_error = value(sim_gyro_heading) - psi - deviation;
            heading_error -= 360.0 * std::round(heading_error / 360.0);
            EXPECT_NEAR(heading_error, 0.0, tolerance(sim_gyro_heading)) << where;
            EXPECT_GE(value(sim_gyro_heading), -180.0) << where;
            EXPECT_LT(value(sim_gyro_heading), 180.0) << where;

            EXPECT_NEAR(value(sim_gyro_rate_z) - noise(sim_gyro_rate_z),
                        14.4 * e.yaw_scale_error_percent / 100.0, tolerance(sim_gyro_rate_z))
                << where;

            // Roll and pitch: the lean of the axis seen from the turned platform, plus the mount.
            const double roll =
                e.mount_roll_deg + e.tilt_deg * std::sin(radians(psi - e.tilt_azimuth_deg));
            const double pitch =
                e.mount_pitch_deg + e.tilt_deg * std::cos(radians(psi - e.tilt_azimuth_deg));
            EXPECT_NEAR(value(sim_gyro_roll) - noise(sim_gyro_roll), roll, tolerance(sim_gyro_roll))
                << where;
            EXPECT_NEAR(value(sim_gyro_pitch) - noise(sim_gyro_pitch), pitch,
                        tolerance(sim_gyro_pitch))
                << where;
            // Gravity without the noise says the same roll and pitch.
            const double ax = value(sim_gyro_accel_x) - noise(sim_gyro_accel_x);
            const double ay = value(sim_gyro_accel_y) - noise(sim_gyro_accel_y);
            const double az = value(sim_gyro_accel_z) - noise(sim_gyro_accel_z) + 1.0;
            EXPECT_NEAR(std::hypot(ax, ay, az), 1.0, 3 * tolerance(sim_gyro_accel_x)) << where;
            EXPECT_NEAR(std::atan2(ay, az), radians(roll), 0.0005) << where;
            EXPECT_NEAR(std::atan2(-ax, std::hypot(ay, az)), radians(pitch), 0.0005) << where;

            // The field without the noise lies on the ellipse about the hard-iron centre.
            const double field = clean.horizontal_field_gauss;
            const double mx = value(sim_gyro_mag_x) - noise(sim_gyro_mag_x) + field * std::cos(-p) -
                              e.hard_iron_x_gauss;
            const double my = value(sim_gyro_mag_y) - noise(sim_gyro_mag_y) + field * std::sin(-p) -
                              e.hard_iron_y_gauss;
            const SimSoftIron shape = e.soft_iron.value_or(
                SimSoftIron{.major_gauss = field, .minor_gauss = field, .angle_deg = 0.0});
            const double along =
                mx * std::cos(radians(shape.angle_deg)) + my * std::sin(radians(shape.angle_deg));
            const double across =
                -mx * std::sin(radians(shape.angle_deg)) + my * std::cos(radians(shape.angle_deg));
            EXPECT_NEAR(std::hypot(along / shape.major_gauss, across / shape.minor_gauss), 1.0,
                        3 * tolerance(sim_gyro_mag_x) / shape.minor_gauss)
                << where;
            // The field points along the major axis when it has turned onto it.
            if (std::fabs(std::remainder(-psi - shape.angle_deg, 180.0)) < 1e-6) {
                EXPECT_NEAR(std::fabs(along), shape.major_gauss, 3 * tolerance(sim_gyro_mag_x))
                    << where;
            }
        }
    }
}

TEST(SimGyroTest, CounterCountsFramesAndWraps) {
    SimGyro gyro = sim_gyro_make(1);
    gyro.counter = 65534;
    const std::int32_t expected[] = {65534, 65535, 0, 1};
    for (const std::int32_t value : expected) {
        const SimGyroReading reading = sim_gyro_read(gyro, {});
        EXPECT_EQ(decode_word(reading.frame, sim_gyro_counter), value);
    }
}

TEST(SimGyroTest, NoiseIsReproducibleForASeedAndDiffersBetweenSeeds) {
    SimGyro first = sim_gyro_make(42);
    SimGyro second = sim_gyro_make(42);
    SimGyro other = sim_gyro_make(43);
    bool any_difference = false;
    for (int i = 0; i < 5; ++i) {
        const SimGyroReading a = sim_gyro_read(first, {});
        EXPECT_EQ(a.frame, sim_gyro_read(second, {}).frame);
        any_difference = any_difference || a.frame != sim_gyro_read(other, {}).frame;
    }
    EXPECT_TRUE(any_difference);
}

TEST(SimBenchTest, AnswersWaitUpToTheJitterAndEveryNthGyroAnswerStalls) {
    SimBench bench = sim_bench_make(5, 0.01, 4, 0.25);
    SimBench again = sim_bench_make(5, 0.01, 4, 0.25);
    SimBench other = sim_bench_make(6, 0.01, 4, 0.25);
    bool differs = false;
    double largest = 0;
    for (int k = 1; k <= 400; ++k) {
        const double gyro = sim_bench_gyro_delay(bench);
        EXPECT_EQ(gyro, sim_bench_gyro_delay(again));
        differs = differs || gyro != sim_bench_gyro_delay(other);
        const double motor = sim_bench_motor_delay(bench);
        sim_bench_motor_delay(again);
        sim_bench_motor_delay(other);
        for (const double jitter : {gyro - (k % 4 == 0 ? 0.25 : 0.0), motor}) {
            EXPECT_TRUE(jitter >= 0 && jitter < 0.01) << k << ": " << jitter;
            largest = std::max(largest, jitter);
        }
    }
    EXPECT_TRUE(differs);
    EXPECT_GT(largest, 0.0095); // the delays spread over the whole range
}

// The moving flag as the program reads it: the fourth character from the end.
char flag_of(const std::string& answer) {
    return answer.size() >= 4 ? answer[answer.size() - 4] : '\0';
}

std::string feed(SimMotor& motor, const std::string& bytes, double now) {
    std::string answers;
    for (const char c : bytes) {
        if (const auto command = sim_motor_take_byte(motor, static_cast<std::uint8_t>(c))) {
            answers += sim_motor_execute(motor, *command, now);
        }
    }
    return answers;
}

TEST(SimMotorTest, MovesAtItsSpeedInSimulatedTime) {
    SimMotor motor;
    EXPECT_EQ(feed(motor, "ma 1000000\r", 0.0), "\r\n>");
    sim_motor_advance(motor, 12.5);
    EXPECT_DOUBLE_EQ(motor.position, 500000.0);
    EXPECT_TRUE(sim_motor_moving(motor));
    EXPECT_DOUBLE_EQ(sim_motor_velocity(motor), 40000.0);
    EXPECT_EQ(flag_of(feed(motor, "pr mv\r", 24.9)), '1');
    EXPECT_EQ(flag_of(feed(motor, "pr mv\r", 25.0)), '0');
    EXPECT_DOUBLE_EQ(motor.position, 1000000.0);
    EXPECT_DOUBLE_EQ(sim_motor_velocity(motor), 0.0);
    // Time that passes after the target is reached does not move it further.
    sim_motor_advance(motor, 100.0);
    EXPECT_DOUBLE_EQ(motor.position, 1000000.0);
}

TEST(SimMotorTest, SpeedChangesTakeEffectMidMoveAndReturnsRunBackwards) {
    SimMotor motor;
    feed(motor, "ma 1000000\r", 0.0);
    feed(motor, "vm 200000\r", 5.0); // at 200000
    sim_motor_advance(motor, 6.0);
    EXPECT_DOUBLE_EQ(motor.position, 400000.0);
    feed(motor, "ma 0\r", 6.0);
    EXPECT_DOUBLE_EQ(sim_motor_velocity(motor), -200000.0);
    EXPECT_EQ(flag_of(feed(motor, "pr mv\r", 7.0)), '1');
    EXPECT_EQ(flag_of(feed(motor, "pr mv\r", 8.0)), '0');
    EXPECT_DOUBLE_EQ(motor.position, 0.0);
    feed(motor, "mr -5000\r", 8.0);
    sim_motor_advance(motor, 9.0);
    EXPECT_DOUBLE_EQ(motor.position, -5000.0);
}

TEST(SimMotorTest, AnswersCarryTheFlagFourthFromTheEndInEveryMode) {
    struct Case {
        bool echo;
        char prompt;
        const char* idle;
        const char* moving;
    };
    const Case cases[] = {
        {false, '>', "\r\n0\r\n>", "\r\n1\r\n>"},
        {true, '>', "pr mv\r\n0\r\n>", "pr mv\r\n1\r\n>"},
        {false, '?', "\r\n0\r\n?", "\r\n1\r\n?"},
    };
    for (const Case& c : cases) {
        SimMotor motor;
        motor.echo = c.echo;
        motor.prompt = c.prompt;
        EXPECT_EQ(feed(motor, "pr mv\r", 0.0), c.idle);
        feed(motor, "ma 1000\r", 0.0);
        EXPECT_EQ(feed(motor, "pr mv\r", 0.0), c.moving);
    }
}

TEST(SimMotorTest, EchoSendsTheCommandBackBeforeItsAnswer) {
    SimMotor motor;
    motor.echo = true;
    EXPECT_EQ(feed(motor, "ma 1000000\r", 0.0), "ma 1000000\r\n>");
    EXPECT_EQ(feed(motor, "pr er\r", 0.0), "pr er\r\n0\r\n>");
}

TEST(SimMotorTest, RefusedCommandsGetAQuestionMarkAndSetTheError) {
    struct Case {
        const char* command;
        int error;
    };
    const Case cases[] = {
        {"xx", sim_motor_error_unknown_command},
        {"ma", sim_motor_error_unknown_command},
        {"ma 12x", sim_motor_error_unknown_command},
        {"ma 1 2", sim_motor_error_unknown_command},
        {"pr xy", sim_motor_error_unknown_command},
        {"vm 0", sim_motor_error_bad_value},
        {"vm -5", sim_motor_error_bad_value},
        {"ma 99999999999", sim_motor_error_unknown_command},
    };
    for (const Case& c : cases) {
        SimMotor motor;
        const std::string answer = feed(motor, std::string(c.command) + "\r", 0.0);
        EXPECT_EQ(answer, "\r\n?") << c.command;
        EXPECT_EQ(feed(motor, "pr er\r", 0.0), "\r\n" + std::to_string(c.error) + "\r\n>")
            << c.command;
        EXPECT_FALSE(sim_motor_moving(motor)) << c.command;
        EXPECT_DOUBLE_EQ(motor.speed, sim_motor_default_speed) << c.command;
    }
}

TEST(SimMotorTest, CommandsAccumulateAcrossFeedsAndLineFeedsAreIgnored) {
    SimMotor motor;
    EXPECT_EQ(feed(motor, "pr ", 0.0), "");
    EXPECT_EQ(feed(motor, "m", 0.0), "");
    EXPECT_EQ(feed(motor, "v\r\n", 0.0), "\r\n0\r\n>");
    EXPECT_EQ(feed(motor, "\nma 10\n\r", 0.0), "\r\n>");
    EXPECT_DOUBLE_EQ(motor.target, 10.0);
    EXPECT_EQ(feed(motor, "\r", 0.0), "\r\n>"); // an empty line: just a prompt
}

TEST(SimMotorTest, OverlongLinesAreRefusedWhole) {
    SimMotor motor;
    const std::string line = "ma 5" + std::string(sim_motor_max_command, ' ') + "7";
    EXPECT_EQ(feed(motor, line + "\r", 0.0), "\r\n?");
    EXPECT_FALSE(sim_motor_moving(motor));
    EXPECT_EQ(feed(motor, "ma 5\r", 0.0), "\r\n>"); // the next line starts afresh
}

// Moves with ramps, followed in 1 ms steps and, side by side, in coarse steps: the speed never
// exceeds the set one, changes no faster than the acceleration allows, the position follows the
// speed and does not depend on how often the motion is followed, and the move ends exactly on
// its target, at rest, when its trapezoid (or triangle) ends.
TEST(SimMotorTest, RampedMovesHaveATrapezoidalProfileAndEndExactlyOnTarget) {
    struct Command {
        int at_ms;
        const char* text;
    };
    struct Case {
        const char* name;
        double start;
        std::vector<Command> commands;
        double end_s;  // when the motion ends
        double lowest; // the extremes of the position on the way
        double highest;
    };
    // At 100000 units/s^2 the 40000 units/s are reached in 0.4 s over 8000 units.
    const Case cases[] = {
        {"sweep", 0.0, {{0, "ma 1000000"}}, 25.4, 0.0, 1e6},
        {"short, a triangle", 0.0, {{0, "ma 10000"}}, 2 * std::sqrt(0.1), 0.0, 10000.0},
        {"return", 1e6, {{0, "vm 200000"}, {0, "ma 0"}}, 7.0, 0.0, 1e6},
        {"relative, backwards", 0.0, {{0, "mr -300000"}}, 7.9, -300000.0, 0.0},
        {"target behind", 0.0, {{0, "ma 1000000"}, {5000, "ma 0"}}, 10.8, 0.0, 200000.0},
        {"speed lowered", 0.0, {{0, "ma 1000000"}, {5000, "vm 20000"}}, 45.4, 0.0, 1e6},
        // Too close to stop for: past it, and back.
        {"overshoot",
         0.0,
         {{0, "ma 1000000"}, {1000, "ma 35000"}},
         1.4 + 2 * std::sqrt(0.05),
         0.0,
         40000.0},
        // The target is where it stands, at full speed: it still moves, there and back.
        {"stop at once",
         0.0,
         {{0, "ma 1000000"}, {1000, "mr 0"}},
         1.4 + 2 * std::sqrt(0.08),
         0.0,
         40000.0},
    };
    constexpr double accel = 100000.0;
    constexpr double dt = 0.001;
    constexpr int coarse_ms = 250;
    for (const Case& c : cases) {
        SimMotor fine;
        fine.position = fine.target = c.start;
        fine.accel = accel;
        SimMotor coarse = fine;
        double v_before = 0.0;
        double x_before = c.start;
        double lowest = c.start;
        double highest = c.start;
        std::optional<double> ended_at;
        const int last_ms = static_cast<int>((c.end_s + 0.5) * 1000);
        for (int ms = 0; ms <= last_ms; ++ms) {
            const double t = ms * dt;
            for (const Command& command : c.commands) {
                if (command.at_ms == ms) {
                    EXPECT_EQ(feed(fine, std::string(command.text) + "\r", t), "\r\n>");
                    feed(coarse, std::string(command.text) + "\r", t);
                }
            }
            sim_motor_advance(fine, t);
            const double v = sim_motor_velocity(fine);
            const double x = fine.position;
            const std::string where = std::string(c.name) + " at " + std::to_string(t);
            EXPECT_LE(std::fabs(v), std::max(std::fabs(v_before), fine.speed) + 1e-6) << where;
            EXPECT_LE(std::fabs(v - v_before), accel * dt + 1e-6) << where;
            EXPECT_NEAR(x - x_before, (v + v_before) / 2 * dt, accel * dt * dt) << where;
            if (ms % coarse_ms == 0) {
                sim_motor_advance(coarse, t);
                EXPECT_NEAR(coarse.position, x, 1e-3) << where;
                EXPECT_EQ(sim_motor_moving(coarse), sim_motor_moving(fine)) << where;
            }
            if (!ended_at && ms > 0 && !sim_motor_moving(fine)) {
                ended_at = t;
            }
            if (ended_at) {
                EXPECT_EQ(x, fine.target) << where;
                EXPECT_EQ(v, 0.0) << where;
            }
            lowest = std::min(lowest, x);
            highest = std::max(highest, x);
            v_before = v;
            x_before = x;
        }
        ASSERT_TRUE(ended_at.has_value()) << c.name;
        EXPECT_NEAR(*ended_at, c.end_s, dt) << c.name;
        EXPECT_NEAR(lowest, c.lowest, 1.0) << c.name;
        EXPECT_NEAR(highest, c.highest, 1.0) << c.name;
        EXPECT_EQ(flag_of(feed(fine, "pr mv\r", c.end_s + 1.0)), '0') << c.name;
    }
}

TEST(SimLinkTest, AdapterHandsBytesOverAtTheFirstTickAfterTheyCrossTheLine) {
    char dir[] = "/tmp/gm_sim_link_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    SimLink link;
    std::string error;
    ASSERT_TRUE(sim_link_open(link, std::string(dir) + "/com8", true, error)) << error;
    link.byte_time = 10.0 / 38400;
    link.latency = 0.002;
    link.tick = 0.016;
    // A frame whose bytes cross the line from 107.26 ms to 114.81 ms: those done by 112 ms go
    // at that tick, the rest at 128 ms.
    const std::vector<std::uint8_t> frame(30, 0x55);
    sim_link_send(link, frame, 0.105, 0.0);
    std::size_t first_tick = 0;
    for (const SimLinkByte& byte : link.outgoing) {
        if (std::fabs(byte.due - 0.112) < 1e-9) {
            ++first_tick;
        } else {
            EXPECT_NEAR(byte.due, 0.128, 1e-9);
        }
    }
    EXPECT_EQ(first_tick, 19u); // 107 ms + 19 byte times = 111.95 ms, the 20th is past 112
    // The line is free when the last byte has crossed it, not when the adapter hands it over.
    EXPECT_NEAR(link.outgoing_free, 0.107 + 30 * link.byte_time, 1e-9);

    link.tick = 0.0;
    link.outgoing.clear();
    sim_link_send(link, frame, 1.0, 0.0);
    EXPECT_NEAR(link.outgoing.front().due, 1.002 + link.byte_time, 1e-9);
    EXPECT_NEAR(link.outgoing.back().due, 1.002 + 30 * link.byte_time, 1e-9);
    sim_link_close(link);
    rmdir(dir);
}

} // namespace
