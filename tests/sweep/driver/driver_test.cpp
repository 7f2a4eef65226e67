#include "base/exit/exit_status.h"
#include "sweep/driver/driver.h"
#include "sweep/runfile/runfile.h"
#include "tests/support/test_devices.h"
#include "tests/support/test_port.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>
#endif

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
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

// Before its move the sweep asks once whether the motor moves (the scripted controller answers
// the first motion flag of its script) and sets the sweep speed.
constexpr char standing = '0';
std::vector<std::string> after_bench_check(std::vector<std::string> commands) {
    commands.insert(commands.begin(), {"pr mv", "vm 40000"});
    return commands;
}

// The sample log's platform part, in place of the real one (these definitions keep it out of the
// link): the syncs are counted ("sync", "folder NAME") and fail on request. No case cuts a log.
int sync_error = 0;
int folder_error = 0;
std::vector<std::string> syncs;
} // namespace
int samplelog_sync(std::FILE*) {
    syncs.emplace_back("sync");
    return sync_error;
}
int samplelog_sync_folder(const char* folder) {
    syncs.push_back(std::string("folder ") + folder);
    return folder_error;
}
bool samplelog_cut(std::FILE*, long) {
    return false;
}
namespace {

const std::string opened = "open gyro port succeeded\nopen Motor port succeeded\n";
const std::vector<std::string> both_closed = {"close com6", "close com8"};

// The gyro on com8 and the controller on com6, the controller scripted with the motion flags and
// the gyro with the given number of frames of all-zero words.
struct Bench {
    TestPort& gyro_port;
    TestPort& motor;
    std::shared_ptr<ScriptedGyro> gyro;
    std::shared_ptr<ScriptedController> controller;
};
Bench bench(std::deque<char> motion, int frames = 0) {
    TestPort& gyro_port = test_port_add("com8");
    TestPort& motor = test_port_add("com6");
    Bench b{gyro_port, motor, test_gyro_attach(gyro_port), test_controller_attach(motor)};
    b.controller->motion = std::move(motion);
    for (int i = 0; i < frames; ++i) {
        const auto frame = test_gyro_frame({});
        b.gyro->replies.emplace_back(frame.begin(), frame.end());
    }
    return b;
}

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
        run_path = (folder / "gyro_motor_run.txt").string();
        settings = driver_settings;
        settings.log_file_name = log_path.c_str();
        settings.times_file_name = times_path.c_str();
        settings.run_file_name = run_path.c_str();
        sync_error = folder_error = 0;
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

    // The run file as the run left it: its status, messages, samples, whether it replaced the
    // log, and the log's size when it did.
    void expect_account(int status, const std::string& message, std::uint64_t samples,
                        bool replaced) {
        RunAccount account;
        std::string error;
        ASSERT_EQ(runfile_read(run_path, account, error), RunFileRead::read) << error;
        EXPECT_EQ(account.status, status);
        EXPECT_EQ(account.message, message);
        EXPECT_EQ(account.samples, samples);
        EXPECT_GE(account.polls, samples);
        EXPECT_EQ(account.log_replaced, replaced);
        EXPECT_LE(account.started, account.ended);
        if (replaced) {
            EXPECT_EQ(account.log_bytes, fs::file_size(log_path));
        } else {
            EXPECT_EQ(account.log_bytes, std::nullopt);
        }
    }

    fs::path folder;
    std::string log_path;
    std::string times_path;
    std::string run_path;
    SweepSettings settings{};
    std::string out;
    std::string err;
};

TEST_F(DriverTest, FullSweepLogsOneSamplePerMotionReport) {
    auto [gyro_port, motor_port_record, gyro, controller] =
        bench({standing, '1', '1', '1', '0', /* return to zero: */ '1', '0'});
    // An earlier run cut short left the tail of an answer and part of a frame on the lines.
    test_port_push_read(motor_port_record, "0\r\n>");
    test_port_push_read(gyro_port, std::string(17, '\x5A'));
    for (std::uint16_t i = 0; i < 3; ++i) {
        const auto frame = test_gyro_frame({static_cast<std::uint16_t>(16384 * i)});
        gyro->replies.emplace_back(frame.begin(), frame.end());
    }

    record_log_at_close(gyro_port, log_path);
    record_log_at_close(motor_port_record, log_path);

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, opened);
    EXPECT_EQ(controller->commands,
              after_bench_check({"ma 1000000", "pr mv", "pr mv", "pr mv", "pr mv", "vm 200000",
                                 "ma 0", "pr mv", "pr mv", "vm 40000"}));
    EXPECT_EQ(gyro_port.written, "GGG");
    EXPECT_EQ(gyro_port.settings.baud_rate, 38400u);
    EXPECT_EQ(motor_port_record.settings.baud_rate, 9600u);

    const std::string log = read_file(log_path);
    EXPECT_EQ(count_lines(log), 15u);
    EXPECT_EQ(log.substr(0, log.find('\n')), "Roll    0.00 Pitch    0.00 Heading    0.00 ");
    EXPECT_NE(log.find("Roll   90.00 "), std::string::npos);
    EXPECT_NE(log.find("Roll -180.00 "), std::string::npos); // 32768 read as signed
    EXPECT_EQ(count_lines(read_file(times_path)), 3u);
    expect_account(0, "", 3, true);
    // The leftovers were dropped by count: the return's one motion wait is all the time spent.
    EXPECT_EQ(test_port_clock_ms(), 50u);

    // Close order: motor port, log, gyro port; nothing left open.
    EXPECT_EQ(close_events(), usual_close_order);
    EXPECT_FALSE(gyro_port.is_open);
    EXPECT_FALSE(motor_port_record.is_open);
}

// The bench check drops all that an earlier run left on either line, however much there is and
// however it arrives, by count: the check's motion query reads its own answer (an old one here
// says the motor moves), the first poll its own frame, and no read waits out a time-out.
TEST_F(DriverTest, TheBenchCheckDropsAllThatAnEarlierRunLeft) {
    const std::string moving = "pr mv\r\n1\r\n>";
    std::string old_answers;
    for (int k = 0; k < 10; ++k) {
        old_answers += moving;
    }
    const std::string old_frames(20, '\x5A');
    const struct {
        const char* name;
        std::vector<std::string> motor, gyro; // the pieces waiting on each line
    } cases[] = {
        {"nothing", {}, {}},
        {"less than a read", {moving}, {old_frames}},
        {"more than a read takes", {old_answers}, {old_frames + old_answers + old_answers}},
        {"in pieces", {moving, moving, moving}, {old_frames, old_frames, old_frames}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_port_reset();
        auto [gyro_port, motor, gyro, controller] =
            bench({standing, '1', '1', '0', /* return to zero: */ '1', '0'}, 2);
        for (const std::string& piece : c.motor) {
            test_port_push_read(motor, piece);
        }
        for (const std::string& piece : c.gyro) {
            test_port_push_read(gyro_port, piece);
        }

        EXPECT_EQ(run(), 0);
        EXPECT_EQ(err, opened);
        EXPECT_EQ(controller->commands,
                  after_bench_check({"ma 1000000", "pr mv", "pr mv", "pr mv", "vm 200000", "ma 0",
                                     "pr mv", "pr mv", "vm 40000"}));
        EXPECT_EQ(count_lines(read_file(log_path)), 10u);
        EXPECT_EQ(test_port_clock_ms(), 50u);
    }
}

TEST_F(DriverTest, NoMotionAtFirstQueryGivesEmptyLogAndStillReturnsToZero) {
    auto [gyro_port, motor, gyro, controller] = bench({});
    { std::ofstream(log_path) << "an earlier run's samples\n"; }

    EXPECT_EQ(run(), exit_device_failed);
    EXPECT_EQ(err, opened + "Motor - no motion after the move\n");
    EXPECT_TRUE(fs::exists(log_path));
    EXPECT_EQ(fs::file_size(log_path), 0u);
    EXPECT_EQ(gyro->polls, 0);
    EXPECT_EQ(controller->commands,
              after_bench_check({"ma 1000000", "pr mv", "vm 200000", "ma 0", "pr mv", "vm 40000"}));
}

TEST_F(DriverTest, BadChecksumsAreDroppedAndTheSweepRunsToItsEnd) {
    struct Case {
        int good_frames; // the last ones of four
        int status;
        std::string message;
    };
    // A single good frame makes a sweep; none at all is a wrong gyro or a wrong line setting.
    const std::vector<Case> cases = {
        {0, exit_device_failed, "Gyro - no valid frame in 4 polls\n"},
        {1, exit_ok, ""},
    };
    for (const auto& c : cases) {
        test_port_reset();
        auto [gyro_port, motor, gyro, controller] = bench({standing, '1', '1', '1', '1', '0'});
        for (int i = 0; i < 4; ++i) {
            auto frame = test_gyro_frame({1, 2, 3});
            frame[29] ^= i < 4 - c.good_frames ? 0x01 : 0x00;
            gyro->replies.emplace_back(frame.begin(), frame.end());
        }

        EXPECT_EQ(run(), c.status);
        EXPECT_EQ(err, opened + c.message);
        EXPECT_EQ(gyro->polls, 4);
        EXPECT_EQ(count_lines(read_file(log_path)), 5u * static_cast<std::size_t>(c.good_frames));
        EXPECT_EQ(controller->commands.back(), "vm 40000") << "the motor was not returned";
    }
}

TEST_F(DriverTest, SilentGyroDoesNotStallTheSweepButEndsItWithAFault) {
    auto [gyro_port, motor, gyro, controller] = bench({standing, '1', '1', '0'});

    EXPECT_EQ(run(), exit_device_failed);
    EXPECT_EQ(err, opened + "Gyro - no answer for 2000 ms\n");
    EXPECT_EQ(gyro->polls, 2);
    EXPECT_EQ(fs::file_size(log_path), 0u);
    EXPECT_EQ(controller->commands.back(), "vm 40000");
}

TEST_F(DriverTest, SilentControllerEndsTheSweepWithoutReturnToZero) {
    auto [gyro_port, motor, gyro, controller] = bench({standing, '1', '1', '1', '1', '1'}, 5);
    controller->answer_limit = 5; // the check, the speed, the move and two motion queries

    EXPECT_EQ(run(), exit_device_failed);
    EXPECT_EQ(err, opened + "Motor - no answer for 3300 ms\n");
    EXPECT_EQ(controller->commands, after_bench_check({"ma 1000000", "pr mv", "pr mv", "pr mv"}));
    EXPECT_EQ(count_lines(read_file(log_path)), 10u);
    EXPECT_EQ(test_port_events_starting("close"), both_closed);
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
    const std::vector<std::string> full_run =
        after_bench_check({"ma 1000000", "pr mv", "pr mv", "pr mv", "pr mv", "pr mv", "vm 200000",
                           "ma 0", "pr mv", "vm 40000"});
    // Every case logs two samples before its port fails.
    const std::vector<Case> cases = {
        {true, false, 3, "Gyro - error reading: 5\n", full_run, 3},
        {true, true, 2, "Gyro - error writing: 32\n", full_run, 2},
        {false, false, 6, "Motor - error reading: 5\n",
         after_bench_check({"ma 1000000", "pr mv", "pr mv", "pr mv"}), 2},
        {false, true, 5, "Motor - error writing: 32\n",
         after_bench_check({"ma 1000000", "pr mv", "pr mv"}), 2},
    };
    for (const auto& c : cases) {
        test_port_reset();
        auto [gyro_port, motor, gyro, controller] = bench({standing, '1', '1', '1', '1', '0'}, 4);
        TestPort& failing = c.gyro_port_fails ? gyro_port : motor;
        auto device = failing.device;
        failing.device = [&c, device, gyro = gyro.get(), controller = controller.get()](
                             TestPort& self, std::span<const std::uint8_t> bytes) {
            device(self, bytes);
            const std::size_t seen = c.gyro_port_fails ? static_cast<std::size_t>(gyro->polls)
                                                       : controller->commands.size();
            if (seen == c.after) {
                (c.write_fails ? self.write_error : self.read_error) = c.write_fails ? 32 : 5;
            }
        };

        EXPECT_EQ(run(), exit_device_failed) << c.message;
        EXPECT_EQ(err, opened + c.message);
        EXPECT_EQ(controller->commands, c.commands) << c.message;
        EXPECT_EQ(gyro->polls, c.polls) << c.message;
        EXPECT_EQ(count_lines(read_file(log_path)), 10u) << c.message;
        // No waiting on a dead port.
        EXPECT_LT(test_port_clock_ms(), 1000u) << c.message;
        EXPECT_EQ(test_port_events_starting("close"), both_closed);
    }
}

// Runs that the user's requests to stop end early, each request coming right after a given write
// to either port has reached its device. (A motor that already moves: the end-to-end tests.)
TEST_F(DriverTest, InterruptsEndTheRunWithTheBenchAtRest) {
    struct InterruptAfter {
        std::string write; // as it reaches the device, "G" or "ma 0\r"
        int occurrence;
    };
    struct Case {
        const char* name;
        std::deque<char> motion;
        std::vector<InterruptAfter> interrupts;
        int signal;
        int status;
        std::string message;
        std::vector<std::string> commands;
        int log_lines; // -1: the earlier log is kept
    };
    const std::vector<std::string> sweep_of_three_polls = {"ma 1000000", "pr mv",     "pr mv",
                                                           "pr mv",      "vm 200000", "ma 0"};
    std::vector<std::string> full_return = sweep_of_three_polls;
    full_return.insert(full_return.end(), {"pr mv", "pr mv", "vm 40000"});
    // The poll under way when the first request comes is abandoned; the two before it are logged.
    const std::vector<Case> cases = {
        {"first Ctrl-C: the return to zero, then the closes",
         {standing, '1', '1', '1', /* return: */ '1', '0'},
         {{"G", 3}},
         2,
         130,
         "sweep interrupted\n",
         after_bench_check(full_return),
         10},
        {"second Ctrl-C: nothing more after the command under way",
         {standing, '1', '1', '1', '1', '1'},
         {{"G", 3}, {"ma 0\r", 1}},
         2,
         130,
         "sweep interrupted\nreturn interrupted\n",
         after_bench_check(sweep_of_three_polls),
         10},
        {"SIGTERM before the move: never started",
         {standing},
         {{"pr mv\r", 1}},
         15,
         143,
         "sweep interrupted\n",
         {"pr mv", "vm 40000"},
         -1},
    };
    for (const auto& c : cases) {
        test_port_reset();
        auto [gyro_port, motor, gyro, controller] = bench(c.motion, 100);
        record_log_at_close(gyro_port, log_path);
        record_log_at_close(motor, log_path);
        { std::ofstream(log_path) << "kept\n"; }
        std::map<std::string, int> seen;
        for (TestPort* port : {&gyro_port, &motor}) {
            port->device = [&c, &seen, device = port->device](TestPort& self,
                                                              std::span<const std::uint8_t> bytes) {
                device(self, bytes);
                const std::string text(bytes.begin(), bytes.end());
                ++seen[text];
                for (const InterruptAfter& at : c.interrupts) {
                    if (at.write == text && at.occurrence == seen[text]) {
                        test_port_interrupt_at(test_port_clock_ms(), c.signal);
                    }
                }
            };
        }

        EXPECT_EQ(run(), c.status) << c.name;
        EXPECT_EQ(err, opened + c.message) << c.name;
        EXPECT_EQ(controller->commands, c.commands) << c.name;
        // The messages, one a line on the console, are joined in the account.
        std::string said = c.message.substr(0, c.message.size() - 1);
        for (std::size_t at = said.find('\n'); at != std::string::npos; at = said.find('\n', at)) {
            said.replace(at, 1, "; ");
        }
        expect_account(c.status, said,
                       c.log_lines < 0 ? 0u : static_cast<std::uint64_t>(c.log_lines) / 5,
                       c.log_lines >= 0);
        if (c.log_lines < 0) {
            EXPECT_EQ(read_file(log_path), "kept\n") << c.name;
            EXPECT_EQ(test_port_events_starting("close"), both_closed);
        } else {
            EXPECT_EQ(count_lines(read_file(log_path)), static_cast<std::size_t>(c.log_lines))
                << c.name;
            EXPECT_EQ(close_events(), usual_close_order) << c.name;
        }
        EXPECT_FALSE(gyro_port.is_open);
        EXPECT_FALSE(motor.is_open);
    }
}

TEST_F(DriverTest, LogThatCannotBeCompletedIsReportedWithItsReason) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this platform";
    }
    auto [gyro_port, motor, gyro, controller] = bench({standing, '1', '0'}, 1);
    settings.log_file_name = "/dev/full";

    EXPECT_EQ(run(), exit_log_failed);
    EXPECT_EQ(err,
              opened + "sample log /dev/full could not be completed: No space left on device\n");
    EXPECT_EQ(controller->commands.back(), "vm 40000");
    // No time for a sample that was not logged.
    EXPECT_EQ(read_file(times_path), "");
}

TEST_F(DriverTest, TimesFileThatCannotBeOpenedCostsOneLineAndNothingElse) {
    auto [gyro_port, motor, gyro, controller] = bench({standing, '1', '1', '0'}, 2);
    const std::string unreachable = (folder / "no such folder" / "gyro_motor_times.txt").string();
    settings.times_file_name = unreachable.c_str();

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, opened + "sample times " + unreachable +
                       " could not be opened: No such file or directory\n");
    EXPECT_EQ(count_lines(read_file(log_path)), 10u);
    // A run that succeeded has no error message, whatever it said on the way.
    expect_account(0, "", 2, true);
}

// The gyro's port failing as its leftovers are dropped, or times that can be neither emptied nor
// removed (a folder in the way): the move never starts, the earlier log and its times stay.
TEST_F(DriverTest, NotReadyToStartKeepsTheEarlierLogAndItsTimes) {
    const fs::path times = fs::path(times_path) / "in the way";
    fs::create_directories(times);
    for (const bool gyro_fails : {true, false}) {
        test_port_reset();
        auto [gyro_port, motor, gyro, controller] = bench({standing, '1', '0'}, 1);
        { std::ofstream(log_path) << "kept\n"; }
        test_port_push_read(gyro_port, "xx");
        gyro_port.read_error = gyro_fails ? 5 : 0;

        EXPECT_EQ(run(), gyro_fails ? exit_device_failed : exit_open_failed);
        const std::string said = gyro_fails ? "Gyro - error reading: 5\n"
                                            : "sample times " + times_path + " could not be ";
        EXPECT_EQ(err.substr(0, opened.size() + said.size()), opened + said);
        EXPECT_EQ(controller->commands.size(), gyro_fails ? 0u : 2u) << "the bench check only";
        EXPECT_EQ(read_file(log_path), "kept\n");
        EXPECT_TRUE(fs::exists(times));
    }
}

// The close puts both files, then the log's folder on the disk. A sync that fails may have lost
// data (EROFS too: ext4 turned read-only after an error); a device (EINVAL) cannot be synced.
TEST_F(DriverTest, CloseSyncsBothFilesAndTheFolderAndReportsAFailure) {
    // The file syncs' error, the folder's, the status, the syncs asked for.
    const std::array<int, 4> cases[] = {
        {0, 0, 0, 3}, {EINVAL, 0, 0, 3}, {EIO, 0, 4, 2}, {EROFS, 0, 4, 2}, {0, EIO, 4, 3}};
    for (const auto& [file, folder_failure, status, calls] : cases) {
        test_port_reset();
        bench({standing, '1', '0'}, 1);
        sync_error = file;
        folder_error = folder_failure;
        syncs.clear();

        EXPECT_EQ(run(), status) << file << " " << folder_failure;
        const std::string lost = std::strerror(file | folder_failure);
        EXPECT_TRUE(status == 0 || err.ends_with(" completed: " + lost + "\n")) << err;
        ASSERT_EQ(syncs.size(), static_cast<std::size_t>(calls));
        EXPECT_EQ(syncs.back(), calls == 3 ? "folder " + folder.string() : "sync");
    }
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
        expect_account(1, c.gyro_fails ? "open gyro port failed" : "open Motor port failed", 0,
                       false);
        EXPECT_TRUE(test_port_events_starting("write").empty());
        // A gyro that fails to open leaves the motor port untouched.
        EXPECT_EQ(test_port_events_starting("open com6").empty(), c.gyro_fails);
        fs::remove(log_path);
        EXPECT_EQ(run(), 1);
        EXPECT_FALSE(fs::exists(log_path));
    }
}

// An earlier run's account that can be neither replaced nor removed (a folder in its place)
// would vouch for a new log: the run leaves the log alone. One that cannot be replaced but can be
// removed goes, and the run's end writes the account anew.
TEST_F(DriverTest, RunFileInTheWayLeavesTheLogAlone) {
    fs::create_directories(fs::path(run_path) / "in the way");
    auto [gyro_port, motor, gyro, controller] = bench({standing, '1', '0'}, 1);
    { std::ofstream(log_path) << "kept\n"; }

    EXPECT_EQ(run(), exit_open_failed);
    EXPECT_TRUE(err.starts_with(opened + "run file " + run_path +
                                " could be neither replaced nor removed: "))
        << err;
    EXPECT_EQ(read_file(log_path), "kept\n");
    EXPECT_EQ(controller->commands.size(), 2u) << "the bench check only";
    EXPECT_TRUE(fs::is_directory(run_path));
}

TEST_F(DriverTest, MotorOpenFailureReleasesTheGyroPort) {
    TestPort& gyro_port = test_port_add("com8");
    EXPECT_EQ(run(), 1);
    EXPECT_FALSE(gyro_port.is_open);
}

TEST_F(DriverTest, LogThatCannotBeOpenedClosesBothPortsAndNeverStartsTheMove) {
    auto [gyro_port, motor, gyro, controller] = bench({});
    const std::string unreachable = (folder / "no such folder" / "gyro_motor.txt").string();
    settings.log_file_name = unreachable.c_str();

    EXPECT_EQ(run(), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err,
              opened + "open sample log " + unreachable + " failed: No such file or directory\n");
    // The bench was checked and set up, and no move sent.
    EXPECT_EQ(controller->commands, after_bench_check({}));
    EXPECT_EQ(test_port_events_starting("close"), both_closed);
    EXPECT_FALSE(gyro_port.is_open);
}

} // namespace
