#include "sweep/gyro/gyro.h"
#include "sweep/motor/motor.h"
#include "tests/support/test_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

enum class FailingStep { open, get_settings, set_settings, get_timeouts, set_timeouts };

struct OpenFailureCase {
    bool gyro;
    FailingStep step;
    int code;
    std::string expected_stdout;
    std::string expected_stderr;
};

void make_step_fail(TestPort& port, FailingStep step, int code) {
    switch (step) {
    case FailingStep::open:
        port.open_error = code;
        break;
    case FailingStep::get_settings:
        port.get_settings_error = code;
        break;
    case FailingStep::set_settings:
        port.set_settings_error = code;
        break;
    case FailingStep::get_timeouts:
        port.get_timeouts_error = code;
        break;
    case FailingStep::set_timeouts:
        port.set_timeouts_error = code;
        break;
    }
}

TEST(OpenFailure, EachStepReportsItsMessageAndLeavesNothingOpen) {
    const std::vector<OpenFailureCase> cases = {
        {true, FailingStep::open, 2, "Gyro - could not open serial port, 2\n", ""},
        {true, FailingStep::get_settings, 31, "", "Gyro - error getting comm: 31\n"},
        {true, FailingStep::set_settings, 87, "", "Gyro - error setting comm: 87\n"},
        {true, FailingStep::get_timeouts, 1, "", " Gyro - error getting comm timeouts:1\n"},
        {true, FailingStep::set_timeouts, 121, "", "Gyro - error setting comm timeouts:121\n"},
        {false, FailingStep::open, 5, "Motor - could not open serial port, com6 5\n", ""},
        {false, FailingStep::get_settings, 22, "", "Motor - error getting comm: 22\n"},
        {false, FailingStep::set_settings, 87, "", "Motor - error setting comm: 87\n"},
        {false, FailingStep::get_timeouts, 6, "", " Motor - error getting comm timeouts:6\n"},
        {false, FailingStep::set_timeouts, 995, "", "Motor - error setting comm timeouts:995\n"},
    };
    for (const auto& c : cases) {
        test_port_reset();
        TestPort& port = test_port_add(c.gyro ? "com8" : "com6");
        make_step_fail(port, c.step, c.code);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        bool failed = false;
        if (c.gyro) {
            failed = !gyro_open_port("com8", 38400).has_value();
        } else {
            failed = motor_open_port("com6", 9600) == -1;
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected_stdout);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected_stderr);
        EXPECT_TRUE(failed) << c.expected_stdout << c.expected_stderr;
        EXPECT_FALSE(port.is_open) << c.expected_stdout << c.expected_stderr;
        const bool opened = c.step != FailingStep::open;
        EXPECT_EQ(test_port_events_starting("close").size(), opened ? 1u : 0u);
    }
}

// Both links leave the line transparent and every other setting as read, and bound the writes
// of a port that has no write time-outs: twice the line time at ten bits a byte, plus a second.
TEST(OpenSettings, LineIsTransparentAndOnlyUnboundedWritesGetABound) {
    struct SettingsCase {
        bool gyro;
        SerialTimeouts read;
        std::uint32_t write_multiplier_ms;
        std::uint32_t write_constant_ms;
    };
    const SettingsCase cases[] = {
        {true, {.write_total_multiplier_ms = 7, .write_total_constant_ms = 300}, 7, 300},
        {false, {.write_total_multiplier_ms = 7, .write_total_constant_ms = 300}, 7, 300},
        {true, {.write_total_multiplier_ms = 0, .write_total_constant_ms = 50}, 0, 50},
        {true, {.write_total_multiplier_ms = 2, .write_total_constant_ms = 0}, 2, 0},
        // 0.26 ms a byte at 38400 baud, 1.04 ms at 9600: doubled and rounded up.
        {true, {.read_interval_ms = 4}, 1, 1000},
        {false, {}, 3, 1000},
    };
    for (const auto& c : cases) {
        test_port_reset();
        TestPort& port = test_port_add(c.gyro ? "com8" : "com6");
        port.timeouts = c.read;
        // What the program before left: odd settings and native fields to be kept.
        port.settings.baud_rate = 110;
        port.settings.parity = SerialParity::even;
        port.settings.stop_bits = SerialStopBits::two;
        std::fill(port.settings.native.begin(), port.settings.native.end(), 0xA5);
        const SerialLineSettings before = port.settings;
        if (c.gyro) {
            ASSERT_TRUE(gyro_open_port("com8", 38400).has_value());
        } else {
            ASSERT_EQ(motor_open_port("com6", 9600), 0);
        }
        const std::string row = std::string(c.gyro ? "gyro " : "motor ") +
                                std::to_string(c.read.write_total_multiplier_ms) + "/" +
                                std::to_string(c.read.write_total_constant_ms);
        EXPECT_EQ(port.settings.baud_rate, c.gyro ? 38400u : 9600u) << row;
        EXPECT_EQ(port.settings.parity, SerialParity::none) << row;
        EXPECT_EQ(port.settings.stop_bits, SerialStopBits::one) << row;
        EXPECT_TRUE(port.settings.transparent) << row;
        EXPECT_EQ(port.settings.native, before.native) << row;
        EXPECT_EQ(port.timeouts.read_interval_ms, serial_read_interval_ms) << row;
        EXPECT_EQ(port.timeouts.read_total_multiplier_ms, serial_read_total_multiplier_ms) << row;
        EXPECT_EQ(port.timeouts.read_total_constant_ms, serial_read_total_constant_ms) << row;
        EXPECT_EQ(port.timeouts.write_total_multiplier_ms, c.write_multiplier_ms) << row;
        EXPECT_EQ(port.timeouts.write_total_constant_ms, c.write_constant_ms) << row;
        if (!c.gyro) {
            motor_close_port();
        }
    }
}

} // namespace
