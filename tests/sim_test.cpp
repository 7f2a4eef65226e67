// The bench models in-process: frames as a reader of the wire decodes them, the controller's
// channel and motion on a simulated clock, and when a line's bytes reach the program.
#include "sim/sim_gyro.h"
#include "sim/sim_link.h"
#include "sim/sim_motor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <unistd.h>

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
