#include "gyro/gyro.h"
#include "motor/motor.h"
#include "tests/support/test_port.h"

#include <gtest/gtest.h>

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

} // namespace
