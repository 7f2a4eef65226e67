#include "driver/driver.h"
#include "exit/exit_status.h"
#include "tests/support/test_devices.h"
#include "tests/support/test_port.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// In text mode, as the log is written: CR LF on Windows reads as a line end.
std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t count_lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The times file's lines, each checked to be "%.4f" of a time not before the one above it.
std::vector<double> read_times(const fs::path& path) {
    std::vector<double> times;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t point = line.find('.');
        EXPECT_TRUE(point != std::string::npos && point > 0 && point + 5 == line.size() &&
                    line.find_first_not_of("0123456789.") == std::string::npos)
            << "times line " << times.size() + 1 << ": '" << line << "'";
        times.push_back(std::atof(line.c_str()));
        EXPECT_GE(times.back(), times.size() > 1 ? times[times.size() - 2] : 0.0);
    }
    return times;
}

// Whether this process still holds the file open.
bool file_is_open(const fs::path& path) {
#ifdef _WIN32
    // The C library opens files shared for reading and writing only: an open that shares
    // nothing fails while it holds the file.
    const HANDLE handle = CreateFileA(path.string().c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(handle);
    return false;
#else
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code ignored;
        if (fs::equivalent(fd.path(), path, ignored)) {
            return true;
        }
    }
    return false;
#endif
}

// Records right after the port's close whether the log is still open, so that the close order
// (motor port, log, gyro port) shows among the port events.
void record_log_at_close(TestPort& port, const std::string& log_path) {
    port.on_close = [log_path](TestPort&) {
        test_port_record(file_is_open(log_path) ? "log open" : "log closed");
    };
}

std::vector<std::string> close_events() {
    std::vector<std::string> found;
    for (const std::string& event : test_port_events()) {
        if (event.starts_with("close ") || event.starts_with("log ")) {
            found.push_back(event);
        }
    }
    return found;
}

const std::vector<std::string> usual_close_order = {"close com6", "log open", "close com8",
                                                    "log closed"};

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_port_reset();
        folder =
            fs::temp_directory_path() /
            ("gm_driver_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        log_path = (folder / "gyro_motor.txt").string();
        times_path = (folder / "gyro_motor_times.txt").string();
        settings = driver_settings;
        settings.log_file_name = log_path.c_str();
        settings.times_file_name = times_path.c_str();
    }
    void TearDown() override { fs::remove_all(folder); }

    int run() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = driver_run(settings);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return status;
    }

    fs::path folder;
    std::string log_path;
    std::string times_path;
    SweepSettings settings{};
    std::string out;
    std::string err;
};

TEST_F(DriverTest, FullSweepLogsOneSamplePerMotionReport) {
    TestPort& gyro_port = test_port_add("com8");
    TestPort& motor_port_record = test_port_add("com6");
    auto gyro = test_gyro_attach(gyro_port);
    auto controller = test_controller_attach(motor_port_record);
    controller->motion = {'1', '1', '1', '0', /* return to zero: */ '1', '0'};
    for (std::uint16_t i = 0; i < 3; ++i) {
        const auto frame = test_gyro_frame({static_cast<std::uint16_t>(16384 * i)});
        gyro->replies.emplace_back(frame.begin(), frame.end());
    }

    record_log_at_close(gyro_port, log_path);
    record_log_at_close(motor_port_record, log_path);

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\n");
    EXPECT_EQ(controller->commands,
              (std::vector<std::string>{"ma 1000000", "pr mv", "pr mv", "pr mv", "pr mv",
                                        "vm 200000", "ma 0", "pr mv", "pr mv", "vm 40000"}));
    EXPECT_EQ(gyro_port.written, "GGG");
    EXPECT_EQ(gyro_port.settings.baud_rate, 38400u);
    EXPECT_EQ(motor_port_record.settings.baud_rate, 9600u);

    const std::string log = read_file(log_path);
    EXPECT_EQ(count_lines(log), 15u);
    EXPECT_EQ(log.substr(0, log.find('\n')), "Roll    0.00 Pitch    0.00 Heading    0.00 ");
    EXPECT_NE(log.find("Roll   90.00 "), std::string::npos);
    EXPECT_NE(log.find("Roll -180.00 "), std::string::npos); // 32768 read as signed
    EXPECT_EQ(read_times(times_path).size(), 3u);

    // Close order: motor port, log, gyro port; nothing left open.
    EXPECT_EQ(close_events(), usual_close_order);
    EXPECT_FALSE(gyro_port.is_open);
    EXPECT_FALSE(motor_port_record.is_open);
}

TEST_F(DriverTest, NoMotionAtFirstQueryGivesEmptyLogAndStillReturnsToZero) {
    TestPort& gyro_port = test_port_add("com8");
    auto gyro = test_gyro_attach(gyro_port);
    auto controller = test_controller_attach(test_port_add("com6"));
    { std::ofstream(log_path) << "an earlier run's samples\n"; }

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(fs::exists(log_path));
    EXPECT_EQ(fs::file_size(log_path), 0u);
    EXPECT_EQ(gyro->polls, 0);
    EXPECT_EQ(controller->commands, (std::vector<std::string>{"ma 1000000", "pr mv", "vm 200000",
                                                              "ma 0", "pr mv", "vm 40000"}));
}

TEST_F(DriverTest, BadChecksumsAreDroppedSilentlyAndTheSweepRunsToItsEnd) {
    auto gyro = test_gyro_attach(test_port_add("com8"));
    auto controller = test_controller_attach(test_port_add("com6"));
    controller->motion = {'1', '1', '1', '1', '0'};
    for (int i = 0; i < 4; ++i) {
        auto frame = test_gyro_frame({1, 2, 3});
        frame[29] ^= 0x01;
        gyro->replies.emplace_back(frame.begin(), frame.end());
    }

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\n");
    EXPECT_EQ(gyro->polls, 4);
    EXPECT_EQ(fs::file_size(log_path), 0u);
    EXPECT_EQ(controller->commands.back(), "vm 40000");
}

TEST_F(DriverTest, SilentGyroDoesNotStallTheSweepButEndsItWithAFault) {
    auto gyro = test_gyro_attach(test_port_add("com8"));
    auto controller = test_controller_attach(test_port_add("com6"));
    controller->motion = {'1', '1', '0'};

    EXPECT_EQ(run(), exit_device_failed);
    EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\n"
                   "Gyro - no answer for 2000 ms\n");
    EXPECT_EQ(gyro->polls, 2);
    EXPECT_EQ(fs::file_size(log_path), 0u);
    EXPECT_EQ(controller->commands.back(), "vm 40000");
}

TEST_F(DriverTest, SilentControllerEndsTheSweepWithoutReturnToZero) {
    auto gyro = test_gyro_attach(test_port_add("com8"));
    auto controller = test_controller_attach(test_port_add("com6"));
    controller->motion = {'1', '1', '1', '1', '1'};
    controller->answer_limit = 3; // the move and two motion queries
    for (int i = 0; i < 5; ++i) {
        const auto frame = test_gyro_frame({});
        gyro->replies.emplace_back(frame.begin(), frame.end());
    }

    EXPECT_EQ(run(), exit_device_failed);
    EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\n"
                   "Motor - no answer for 3300 ms\n");
    EXPECT_EQ(controller->commands,
              (std::vector<std::string>{"ma 1000000", "pr mv", "pr mv", "pr mv"}));
    EXPECT_EQ(count_lines(read_file(log_path)), 10u);
    EXPECT_EQ(test_port_events_starting("close"),
              (std::vector<std::string>{"close com6", "close com8"}));
}

TEST_F(DriverTest, FailedPortsEndTheirLinkAtOnce) {
    struct Case {
        bool gyro_port_fails;
        bool write_fails;
        // The port fails right after this many polls or commands have reached the device.
        std::size_t after;
        std::string message;
        std::vector<std::string> commands;
        int polls;
    };
    const std::vector<std::string> full_run = {"ma 1000000", "pr mv",   "pr mv",     "pr mv",
                                               "pr mv",      "pr mv",   "vm 200000", "ma 0",
                                               "pr mv",      "vm 40000"};
    // Every case logs two samples before its port fails.
    const std::vector<Case> cases = {
        {true, false, 3, "Gyro - error reading: 5\n", full_run, 3},
        {true, true, 2, "Gyro - error writing: 32\n", full_run, 2},
        {false,
         false,
         4,
         "Motor - error reading: 5\n",
         {"ma 1000000", "pr mv", "pr mv", "pr mv"},
         2},
        {false, true, 3, "Motor - error writing: 32\n", {"ma 1000000", "pr mv", "pr mv"}, 2},
    };
    for (const auto& c : cases) {
        test_port_reset();
        TestPort& gyro_port = test_port_add("com8");
        TestPort& motor = test_port_add("com6");
        auto gyro = test_gyro_attach(gyro_port);
        auto controller = test_controller_attach(motor);
        controller->motion = {'1', '1', '1', '1', '0'};
        for (int i = 0; i < 4; ++i) {
            const auto frame = test_gyro_frame({});
            gyro->replies.emplace_back(frame.begin(), frame.end());
        }
        TestPort& failing = c.gyro_port_fails ? gyro_port : motor;
        auto device = failing.device;
        failing.device = [&, device](TestPort& self, std::span<const std::uint8_t> bytes) {
            device(self, bytes);
            const std::size_t seen = c.gyro_port_fails ? static_cast<std::size_t>(gyro->polls)
                                                       : controller->commands.size();
            if (seen == c.after) {
                (c.write_fails ? self.write_error : self.read_error) = c.write_fails ? 32 : 5;
            }
        };

        EXPECT_EQ(run(), exit_device_failed) << c.message;
        EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\n" + c.message);
        EXPECT_EQ(controller->commands, c.commands) << c.message;
        EXPECT_EQ(gyro->polls, c.polls) << c.message;
        EXPECT_EQ(count_lines(read_file(log_path)), 10u) << c.message;
        EXPECT_LT(test_port_clock_ms(), 1000u) << c.message; // no waiting on a dead port
        EXPECT_EQ(test_port_events_starting("close"),
                  (std::vector<std::string>{"close com6", "close com8"}));
    }
}

TEST_F(DriverTest, InterruptionClosesEverythingAndKeepsCompleteRecords) {
    TestPort& gyro_port = test_port_add("com8");
    TestPort& motor = test_port_add("com6");
    auto gyro = test_gyro_attach(gyro_port);
    auto controller = test_controller_attach(motor);
    controller->motion.assign(100, '1');
    record_log_at_close(gyro_port, log_path);
    record_log_at_close(motor, log_path);
    for (int i = 0; i < 100; ++i) {
        const auto frame = test_gyro_frame({});
        gyro->replies.emplace_back(frame.begin(), frame.end());
    }
    // Ctrl-C while the third poll is under way.
    auto device = gyro_port.device;
    gyro_port.device = [&, device](TestPort& self, std::span<const std::uint8_t> bytes) {
        device(self, bytes);
        if (gyro->polls == 3) {
            test_port_interrupt_at(0, 2);
        }
    };

    EXPECT_EQ(run(), 130);
    EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\nsweep interrupted\n");
    EXPECT_EQ(close_events(), usual_close_order);
    // The two samples before it are complete; the poll under way is abandoned.
    EXPECT_EQ(count_lines(read_file(log_path)), 10u);
    EXPECT_EQ(gyro->polls, 3);
    // No return to zero: the user asked the program to stop.
    EXPECT_EQ(controller->commands.back(), "pr mv");
    EXPECT_EQ(controller->commands.size(), 4u);
}

TEST_F(DriverTest, LogThatCannotBeCompletedIsReportedWithItsReason) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this platform";
    }
    auto gyro = test_gyro_attach(test_port_add("com8"));
    auto controller = test_controller_attach(test_port_add("com6"));
    controller->motion = {'1', '0'};
    const auto frame = test_gyro_frame({});
    gyro->replies.emplace_back(frame.begin(), frame.end());
    settings.log_file_name = "/dev/full";

    EXPECT_EQ(run(), exit_log_failed);
    EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\n"
                   "sample log /dev/full could not be completed: No space left on device\n");
    EXPECT_EQ(controller->commands.back(), "vm 40000");
    // No time for a sample that was not logged.
    EXPECT_EQ(read_file(times_path), "");
}

TEST_F(DriverTest, TimesFileThatCannotBeOpenedCostsOneLineAndNothingElse) {
    auto gyro = test_gyro_attach(test_port_add("com8"));
    auto controller = test_controller_attach(test_port_add("com6"));
    controller->motion = {'1', '1', '0'};
    for (int i = 0; i < 2; ++i) {
        const auto frame = test_gyro_frame({});
        gyro->replies.emplace_back(frame.begin(), frame.end());
    }
    const std::string unreachable = (folder / "no such folder" / "gyro_motor_times.txt").string();
    settings.times_file_name = unreachable.c_str();

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\nsample times " +
                       unreachable + " could not be opened: No such file or directory\n");
    EXPECT_EQ(count_lines(read_file(log_path)), 10u);
}

TEST_F(DriverTest, PortThatFailsToOpenEndsTheRunAndLeavesTheLogAlone) {
    struct Case {
        bool gyro_fails;
        std::string expected_out;
        std::string expected_err;
    };
    const std::vector<Case> cases = {
        {true, "Gyro - could not open serial port, 2\n", "open gyro port failed\n"},
        {false, "Motor - could not open serial port, com6 2\n",
         "open gyro port succeeded\nopen Motor port failed\n"},
    };
    for (const auto& c : cases) {
        test_port_reset();
        test_port_add(c.gyro_fails ? "com6" : "com8"); // the other device is missing
        { std::ofstream(log_path) << "kept\n"; }
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(out, c.expected_out);
        EXPECT_EQ(err, c.expected_err);
        EXPECT_EQ(read_file(log_path), "kept\n");
        EXPECT_TRUE(test_port_events_starting("write").empty());
        // A gyro that fails to open leaves the motor port untouched.
        EXPECT_EQ(test_port_events_starting("open com6").empty(), c.gyro_fails);
        fs::remove(log_path);
        EXPECT_EQ(run(), 1);
        EXPECT_FALSE(fs::exists(log_path));
    }
}

TEST_F(DriverTest, MotorOpenFailureReleasesTheGyroPort) {
    TestPort& gyro_port = test_port_add("com8");
    EXPECT_EQ(run(), 1);
    EXPECT_FALSE(gyro_port.is_open);
}

TEST_F(DriverTest, LogThatCannotBeOpenedClosesBothPortsAndNeverStartsTheMove) {
    TestPort& gyro_port = test_port_add("com8");
    TestPort& motor = test_port_add("com6");
    const std::string unreachable = (folder / "no such folder" / "gyro_motor.txt").string();
    settings.log_file_name = unreachable.c_str();

    EXPECT_EQ(run(), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "open gyro port succeeded\nopen Motor port succeeded\n"
                   "open sample log " +
                       unreachable + " failed: No such file or directory\n");
    EXPECT_EQ(motor.written, "");
    EXPECT_EQ(test_port_events_starting("close"),
              (std::vector<std::string>{"close com6", "close com8"}));
    EXPECT_FALSE(gyro_port.is_open);
}

} // namespace
