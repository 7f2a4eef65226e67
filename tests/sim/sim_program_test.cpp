// The simulator program as a test bench sees it: links in a folder, a terminal behind each, the
// protocol on the wire, the records it writes, and a clean stop.
#include "tests/support/process_harness.h"

#include <cctype>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct SimProcess {
    std::string dir;
    pid_t pid = -1;
};

SimProcess start_sim(const std::vector<std::string>& options) {
    SimProcess sim;
    sim.dir = harness_make_temp_dir("gm_sim_test_");
    std::vector<std::string> argv = {GM_SIM_PATH,
                                     "--ready-file",
                                     sim.dir + "/ready",
                                     "--transcript",
                                     sim.dir + "/transcript.txt",
                                     "--frames",
                                     sim.dir + "/frames.txt"};
    argv.insert(argv.end(), options.begin(), options.end());
    sim.pid = harness_spawn(argv, sim.dir, sim.dir + "/sim.out", sim.dir + "/sim.err");
    return sim;
}

bool wait_ready(const SimProcess& sim) {
    return harness_wait_for_file(sim.dir + "/ready", sim.pid, 10.0);
}

int open_line(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_NOCTTY);
}

bool is_canonical(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    return (settings.c_lflag & ICANON) != 0;
}

void make_raw(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
}

void send(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads until count bytes came, the stop byte came, or timeout_s passed.
std::vector<std::uint8_t> receive(int fd, std::size_t count, double timeout_s, int stop = -1) {
    std::vector<std::uint8_t> bytes;
    const Clock::time_point start = Clock::now();
    while (bytes.size() < count) {
        const double left = timeout_s - std::chrono::duration<double>(Clock::now() - start).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left * 1000) + 1) <= 0) {
            break;
        }
        std::uint8_t byte = 0;
        if (read(fd, &byte, 1) != 1) {
            break;
        }
        bytes.push_back(byte);
        if (byte == stop) {
            break;
        }
    }
    return bytes;
}

std::string text_of(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

bool checksum_holds(const std::vector<std::uint8_t>& frame) {
    if (frame.size() != 30) {
        return false;
    }
    unsigned sum = 0;
    for (std::size_t i = 1; i <= 28; ++i) {
        sum += frame[i];
    }
    return (sum & 0xFFu) == frame[29];
}

// Transcript lines without their time stamps; with_opens keeps the lines of the lines being
// opened and closed.
std::vector<std::string> transcript_events(const SimProcess& sim, bool with_opens = false) {
    std::vector<std::string> events;
    for (const std::string& line :
         harness_split_lines(harness_read_file(sim.dir + "/transcript.txt").value_or(""))) {
        const std::string event = line.substr(line.find(' ') + 1);
        const bool open_or_close = event.ends_with(" open") || event.ends_with(" close");
        if (with_opens || !open_or_close) {
            events.push_back(event);
        }
    }
    return events;
}

bool is_exclusive(int fd) {
    int exclusive = 0;
    ioctl(fd, TIOCGEXCL, &exclusive);
    return exclusive != 0;
}

TEST(SimProgramTest, ServesBothDevicesAndRemovesItsLinksWhenStopped) {
    SimProcess sim = start_sim({"--no-pacing", "--accel", "0", "--time-scale", "3"});
    ASSERT_TRUE(wait_ready(sim));
    const int gyro = open_line(sim.dir + "/com8");
    const int motor = open_line(sim.dir + "/com6");
    ASSERT_GE(gyro, 0);
    ASSERT_GE(motor, 0);
    // A new port starts in the terminal's cooked mode: the program under test must make it raw.
    EXPECT_TRUE(is_canonical(gyro));
    make_raw(gyro);
    make_raw(motor);

    send(gyro, "G");
    const std::vector<std::uint8_t> frame = receive(gyro, 30, 5.0);
    ASSERT_EQ(frame.size(), 30u);
    EXPECT_TRUE(checksum_holds(frame));
    // Nothing but the frame comes for one poll.
    EXPECT_TRUE(receive(gyro, 1, 0.1).empty());

    send(motor, "pr mv\r");
    const std::string idle = text_of(receive(motor, 100, 5.0, '>'));
    EXPECT_EQ(idle.substr(idle.size() >= 4 ? idle.size() - 4 : 0), "0\r\n>") << idle;
    send(motor, "ma 1000000\r");
    EXPECT_EQ(text_of(receive(motor, 100, 5.0, '>')).back(), '>');
    send(motor, "pr mv\r");
    const std::string moving = text_of(receive(motor, 100, 5.0, '>'));
    EXPECT_EQ(moving.substr(moving.size() >= 4 ? moving.size() - 4 : 0), "1\r\n>") << moving;
    send(gyro, "G");
    EXPECT_EQ(receive(gyro, 30, 5.0).size(), 30u);
    close(gyro);
    close(motor);

    // It says which pseudo-terminals it serves, as the ready file does.
    const std::vector<std::string> ready =
        harness_split_lines(harness_read_file(sim.dir + "/ready").value_or(""));
    ASSERT_EQ(ready.size(), 3u);
    const std::vector<std::string> gyro_line = harness_split_words(ready[1]);
    const std::vector<std::string> motor_line = harness_split_words(ready[2]);
    EXPECT_EQ(harness_read_file(sim.dir + "/sim.out"),
              "gyro_motor_sim: the gyro on " + gyro_line[1] +
                  " (./com8), the motor controller on " + motor_line[1] + " (./com6)\n");

    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    EXPECT_FALSE(harness_path_exists(sim.dir + "/com8"));
    EXPECT_FALSE(harness_path_exists(sim.dir + "/com6"));
    EXPECT_FALSE(harness_path_exists(sim.dir + "/ready"));
    const std::vector<std::string> expected = {"gyro G", "motor pr mv", "motor ma 1000000",
                                               "motor pr mv", "gyro G"};
    EXPECT_EQ(transcript_events(sim), expected);
    // At three times the motor's time the platform turns three times as fast: so says its rate.
    const std::vector<std::string> frames =
        harness_split_lines(harness_read_file(sim.dir + "/frames.txt").value_or(""));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_NEAR(std::stod(harness_split_words(frames[1])[4 + 5]), 3 * 14.4, 0.051);
    harness_remove_tree(sim.dir);
}

std::string link_target(const std::string& link) {
    char target[64] = {};
    return readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

// Whether the process has the device open: a descriptor of it in /proc.
bool holds(pid_t pid, const std::string& device) {
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
        if (std::filesystem::read_symlink(entry.path(), ignored) == device) {
            return true;
        }
    }
    return false;
}

// The simulator holds no slave, so the program is its only opener. An answer sent while nobody
// has the line open waits for the next opener, and the line mode set before stays.
TEST(SimProgramTest, HoldsNoLineOpenAndKeepsWhatItSentMeanwhile) {
    SimProcess sim = start_sim({"--gyro-latency-ms", "100"});
    ASSERT_TRUE(wait_ready(sim));
    const std::string path = sim.dir + "/com8";
    const std::string slave = link_target(path);
    EXPECT_FALSE(holds(sim.pid, slave));
    const int first = open_line(path);
    ASSERT_GE(first, 0);
    make_raw(first);
    send(first, "G");
    close(first); // long before the answer is due
    usleep(300000);
    const int second = open_line(path);
    ASSERT_GE(second, 0);
    EXPECT_FALSE(is_canonical(second));
    EXPECT_TRUE(checksum_holds(receive(second, 30, 5.0)));
    close(second);
    EXPECT_EQ(link_target(path), slave);
    EXPECT_FALSE(holds(sim.pid, slave));
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    // The poll is recorded when it has crossed the line, maybe after the close.
    EXPECT_EQ(transcript_events(sim), std::vector<std::string>{"gyro G"});
    std::vector<std::string> lines;
    for (const std::string& event : transcript_events(sim, true)) {
        if (event != "gyro G") {
            lines.push_back(event);
        }
    }
    const std::vector<std::string> expected = {"gyro open", "gyro close", "gyro open",
                                               "gyro close"};
    EXPECT_EQ(lines, expected);
    harness_remove_tree(sim.dir);
}

// A program killed before it could clear its exclusive mode leaves the line refusing every later
// open (but root's): the simulator puts a fresh line, set up as the first, under the same link.
TEST(SimProgramTest, ReplacesALineLeftExclusive) {
    SimProcess sim = start_sim({"--no-pacing", "--raw"});
    ASSERT_TRUE(wait_ready(sim));
    const std::string path = sim.dir + "/com8";
    const std::string slave = link_target(path);
    const int first = open_line(path);
    ASSERT_GE(first, 0);
    ASSERT_EQ(ioctl(first, TIOCEXCL), 0);
    EXPECT_TRUE(is_exclusive(first));
    close(first);
    for (int attempt = 0; attempt < 500 && link_target(path) == slave; ++attempt) {
        usleep(10000);
    }
    ASSERT_NE(link_target(path), slave);
    const int next = open_line(path);
    ASSERT_GE(next, 0);
    EXPECT_FALSE(is_exclusive(next));
    EXPECT_FALSE(is_canonical(next));
    send(next, "G");
    EXPECT_TRUE(checksum_holds(receive(next, 30, 5.0)));
    close(next);
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    EXPECT_FALSE(harness_path_exists(path));
    const std::vector<std::string> expected = {"gyro open", "gyro close", "gyro replaced",
                                               "gyro open", "gyro G",     "gyro close"};
    EXPECT_EQ(transcript_events(sim, true), expected);
    harness_remove_tree(sim.dir);
}

TEST(SimProgramTest, RawOptionHandsOverRawLinesUnderOtherNamesAndFolders) {
    const std::string links = harness_make_temp_dir("gm_sim_links_");
    SimProcess sim = start_sim({"--raw", "--no-pacing", "--dir", links, "--gyro-name", "g",
                                "--motor-name", "m", "--question-prompts", "--echo"});
    ASSERT_TRUE(wait_ready(sim));
    EXPECT_FALSE(harness_path_exists(sim.dir + "/com8"));
    const int gyro = open_line(links + "/g");
    const int motor = open_line(links + "/m");
    ASSERT_GE(gyro, 0);
    ASSERT_GE(motor, 0);
    EXPECT_FALSE(is_canonical(gyro));
    EXPECT_FALSE(is_canonical(motor));
    send(motor, "pr mv\r");
    EXPECT_EQ(text_of(receive(motor, 100, 5.0, '?')), "pr mv\r\n0\r\n?");
    close(gyro);
    close(motor);
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    EXPECT_FALSE(harness_path_exists(links + "/g"));
    harness_remove_tree(links);
    harness_remove_tree(sim.dir);
}

TEST(SimProgramTest, PacingHoldsAFrameToItsLineRate) {
    // At 9600 baud 30 bytes take 31 ms, the poll byte itself 1 ms more.
    SimProcess sim = start_sim({"--raw", "--gyro-baud", "9600", "--gyro-latency-ms", "0"});
    ASSERT_TRUE(wait_ready(sim));
    const int gyro = open_line(sim.dir + "/com8");
    ASSERT_GE(gyro, 0);
    const Clock::time_point start = Clock::now();
    send(gyro, "G");
    const std::vector<std::uint8_t> frame = receive(gyro, 30, 5.0);
    const double elapsed_ms =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_EQ(frame.size(), 30u);
    EXPECT_GE(elapsed_ms, 30.0); // a lower bound only: a busy machine can only make it later
    close(gyro);
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    harness_remove_tree(sim.dir);
}

TEST(SimProgramTest, FaultsShapeTheFramesAsRecorded) {
    SimProcess sim =
        start_sim({"--raw", "--no-pacing", "--bad-checksum-every", "2", "--split-every", "3",
                   "--split-pause-ms", "200", "--gyro-silent-after", "3"});
    ASSERT_TRUE(wait_ready(sim));
    const int gyro = open_line(sim.dir + "/com8");
    ASSERT_GE(gyro, 0);
    send(gyro, "G");
    EXPECT_TRUE(checksum_holds(receive(gyro, 30, 5.0)));
    send(gyro, "G");
    const std::vector<std::uint8_t> bad = receive(gyro, 30, 5.0);
    EXPECT_EQ(bad.size(), 30u);
    EXPECT_FALSE(checksum_holds(bad));
    send(gyro, "G");
    // The first 15 bytes at once, the rest only after the pause.
    EXPECT_EQ(receive(gyro, 30, 0.1).size(), 15u);
    EXPECT_EQ(receive(gyro, 15, 5.0).size(), 15u);
    send(gyro, "G"); // the fourth poll finds the gyro silent
    EXPECT_TRUE(receive(gyro, 1, 0.3).empty());
    send(gyro, "x");
    close(gyro);
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);

    const std::vector<std::string> frames =
        harness_split_lines(harness_read_file(sim.dir + "/frames.txt").value_or(""));
    ASSERT_EQ(frames.size(), 3u);
    const char* kinds[] = {"ok", "bad", "split"};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::vector<std::string> fields = harness_split_words(frames[i]);
        ASSERT_EQ(fields.size(), 4u + 13u) << frames[i];
        EXPECT_EQ(fields[1], std::to_string(i + 1));
        EXPECT_EQ(fields[2], kinds[i]);
        EXPECT_EQ(fields[3].size(), 60u);
    }
    const std::vector<std::string> expected = {"gyro G", "gyro G", "gyro G", "gyro G",
                                               "gyro other 0x78"};
    EXPECT_EQ(transcript_events(sim), expected);
    harness_remove_tree(sim.dir);
}

// The 13 values of each frame the simulator recorded.
std::vector<std::vector<double>> recorded_values(const SimProcess& sim) {
    std::vector<std::vector<double>> values;
    for (const std::string& line :
         harness_split_lines(harness_read_file(sim.dir + "/frames.txt").value_or(""))) {
        const std::vector<std::string> fields = harness_split_words(line);
        std::vector<double>& frame = values.emplace_back();
        for (std::size_t k = 4; k < fields.size(); ++k) {
            frame.push_back(std::stod(fields[k]));
        }
    }
    return values;
}

TEST(SimProgramTest, SensorErrorsAndLockstepTimeShapeTheFrames) {
    SimProcess sim =
        start_sim({"--raw", "--no-pacing", "--lockstep-ms", "100", "--compass-deviation", "0,3,0,2",
                   "--hard-iron=0.1,-0.05", "--soft-iron", "0.4,0.2,90", "--yaw-scale-error", "50",
                   "--tilt", "2,90", "--mount-offset", "5,-4", "--time-scale", "4"});
    ASSERT_TRUE(wait_ready(sim));
    const int gyro = open_line(sim.dir + "/com8");
    const int motor = open_line(sim.dir + "/com6");
    ASSERT_GE(gyro, 0);
    ASSERT_GE(motor, 0);
    send(gyro, "G");
    EXPECT_EQ(receive(gyro, 30, 5.0).size(), 30u);
    send(motor, "ma 1000000\r");
    EXPECT_EQ(text_of(receive(motor, 100, 5.0, '>')), "\r\n>");
    // Each motion query moves motor time on by 100 ms however fast the queries come.
    for (int i = 0; i < 5; ++i) {
        send(motor, "pr mv\r");
        EXPECT_EQ(text_of(receive(motor, 100, 5.0, '>')), "\r\n1\r\n>");
        send(gyro, "G");
        EXPECT_EQ(receive(gyro, 30, 5.0).size(), 30u);
    }
    close(gyro);
    close(motor);
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);

    const std::vector<std::vector<double>> frames = recorded_values(sim);
    ASSERT_EQ(frames.size(), 6u);
    for (const std::vector<double>& frame : frames) {
        ASSERT_EQ(frame.size(), 13u);
    }
    // At rest at heading 0: the deviation is C + E; the field points along X, the ellipse's minor
    // axis, from the hard-iron centre; the axis leans toward 90, so roll loses the tilt.
    const std::vector<double>& rest = frames[0];
    EXPECT_NEAR(rest[2], 5.0, 0.003);
    EXPECT_NEAR(rest[9], 0.3, 0.0025);
    EXPECT_NEAR(rest[10], -0.05, 0.0025);
    EXPECT_NEAR(rest[0], 3.0, 0.31);
    EXPECT_NEAR(rest[1], -4.0, 0.31);
    EXPECT_NEAR(rest[5], 0.0, 0.051);
    // 100000 units/s^2 for 0.1 s a query, up to 40000: 3.6 deg/s a step, 50% high, at any scale.
    const double rates[] = {5.4, 10.8, 16.2, 21.6, 21.6};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(frames[i + 1][5], rates[i], 0.051) << "sample " << i + 1;
    }
    harness_remove_tree(sim.dir);
}

TEST(SimProgramTest, StrayBytesComeRightBeforeTheFrame) {
    SimProcess sim = start_sim({"--raw", "--no-pacing", "--stray-bytes", "3"});
    ASSERT_TRUE(wait_ready(sim));
    const int gyro = open_line(sim.dir + "/com8");
    ASSERT_GE(gyro, 0);
    send(gyro, "G");
    std::vector<std::uint8_t> bytes = receive(gyro, 33, 5.0);
    ASSERT_EQ(bytes.size(), 33u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 3),
              std::vector<std::uint8_t>(3, 0xAA));
    EXPECT_TRUE(checksum_holds(std::vector<std::uint8_t>(bytes.begin() + 3, bytes.end())));
    close(gyro);
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    harness_remove_tree(sim.dir);
}

TEST(SimProgramTest, HangUpDropsOnlyThatLine) {
    SimProcess sim = start_sim({"--raw", "--no-pacing", "--hangup-gyro-after", "0.2"});
    ASSERT_TRUE(wait_ready(sim));
    const int gyro = open_line(sim.dir + "/com8");
    const int motor = open_line(sim.dir + "/com6");
    ASSERT_GE(gyro, 0);
    ASSERT_GE(motor, 0);
    send(gyro, "G");
    EXPECT_EQ(receive(gyro, 30, 5.0).size(), 30u);
    // Within a generous bound the line reports the hang-up and its link is gone.
    pollfd entry{gyro, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 5000), 1);
    EXPECT_NE(entry.revents & POLLHUP, 0);
    EXPECT_FALSE(harness_path_exists(sim.dir + "/com8"));
    // The controller still answers.
    send(motor, "\r");
    EXPECT_EQ(text_of(receive(motor, 100, 5.0, '>')), "\r\n>");
    close(gyro);
    close(motor);
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    harness_remove_tree(sim.dir);
}

TEST(SimProgramTest, MotorFallsSilentAfterItsCommands) {
    SimProcess sim = start_sim({"--raw", "--no-pacing", "--motor-silent-after", "1"});
    ASSERT_TRUE(wait_ready(sim));
    const int motor = open_line(sim.dir + "/com6");
    ASSERT_GE(motor, 0);
    send(motor, "ma 5\r");
    EXPECT_EQ(text_of(receive(motor, 100, 5.0, '>')), "\r\n>");
    send(motor, "pr mv\r");
    EXPECT_TRUE(receive(motor, 1, 0.3).empty());
    close(motor);
    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    harness_remove_tree(sim.dir);
}

TEST(SimProgramTest, PutsBackALinkItReplacedAndLeavesOtherFilesAlone) {
    const std::string dir = harness_make_temp_dir("gm_sim_links_");
    ASSERT_EQ(symlink("/dev/ttyS7", (dir + "/com8").c_str()), 0);
    ASSERT_TRUE(harness_write_file(dir + "/com6", "not a device\n"));
    // A plain file in the way stops the simulator before it serves anything.
    SimProcess refused = start_sim({"--dir", dir});
    EXPECT_EQ(harness_wait(refused.pid, 10.0), 1);
    EXPECT_EQ(harness_read_file(dir + "/com6"), "not a device\n");

    ASSERT_EQ(unlink((dir + "/com6").c_str()), 0);
    SimProcess sim = start_sim({"--dir", dir});
    ASSERT_TRUE(wait_ready(sim));
    char target[64] = {};
    ASSERT_GT(readlink((dir + "/com8").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);
    const std::string motor_target = link_target(dir + "/com6");

    // A second simulator in the same folder leaves the first one's links alone.
    SimProcess second = start_sim({"--dir", dir});
    EXPECT_EQ(harness_wait(second.pid, 10.0), 1);
    const std::string refusal = harness_read_file(second.dir + "/sim.err").value_or("");
    EXPECT_EQ(harness_split_lines(refusal).size(), 1u) << refusal;
    EXPECT_NE(refusal.find(dir + "/com8 leads to a line that another simulator (process " +
                           std::to_string(sim.pid) + ") serves"),
              std::string::npos)
        << refusal;
    EXPECT_EQ(link_target(dir + "/com8"), target);
    EXPECT_EQ(link_target(dir + "/com6"), motor_target);
    EXPECT_FALSE(harness_path_exists(second.dir + "/ready"));
    harness_remove_tree(second.dir);

    EXPECT_EQ(harness_stop(sim.pid, 10.0), 0);
    char restored[64] = {};
    ASSERT_GT(readlink((dir + "/com8").c_str(), restored, sizeof restored - 1), 0);
    EXPECT_STREQ(restored, "/dev/ttyS7");
    EXPECT_FALSE(harness_path_exists(dir + "/com6"));
    harness_remove_tree(dir);
    harness_remove_tree(refused.dir);
    harness_remove_tree(sim.dir);
}

TEST(SimProgramTest, HelpExplainsAndBadOptionsAreRefused) {
    const std::string dir = harness_make_temp_dir("gm_sim_help_");
    const pid_t help = harness_spawn({GM_SIM_PATH, "--help"}, dir, dir + "/out", dir + "/err");
    EXPECT_EQ(harness_wait(help, 10.0), 0);
    const std::string text = harness_read_file(dir + "/out").value_or("");
    // Every option, then what it says of the links it replaces and of a second simulator.
    std::vector<std::string> told = harness_split_words(
        "--dir --raw --time-scale --transcript --frames --bad-checksum-every --hangup-motor-after "
        "--ready-file --accel --lockstep-ms --compass-deviation --hard-iron --soft-iron "
        "--yaw-scale-error --tilt --mount-offset --answer-jitter-ms --gyro-stall-every "
        "--gyro-stall-ms");
    told.insert(told.end(), {"unless it led to a pseudo-terminal", "another running simulator"});
    // The help wraps to the console's width, so a phrase may span lines.
    std::string flat;
    for (const char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            flat += c;
        } else if (!flat.empty() && flat.back() != ' ') {
            flat += ' ';
        }
    }
    for (const std::string& option : told) {
        EXPECT_NE(flat.find(option), std::string::npos) << option;
    }
    // Each refused in one line on standard error that names the option, before any link exists.
    struct BadArguments {
        std::vector<std::string> args;
        const char* option;
    };
    for (const BadArguments& bad : std::vector<BadArguments>{
             {{"--bogus"}, "--bogus"},
             {{"--time-scale", "0"}, "--time-scale"},
             {{"--split-at=30"}, "--split-at"},
             {{"--gyro-baud"}, "--gyro-baud"},
             {{"--raw=1"}, "raw"},
             {{"--seed", "x"}, "--seed"},
             {{"--seed", "-1"}, "--seed"},
             {{"--stray-every", "010x"}, "--stray-every"},
             {{"--hangup-gyro-after", "nan"}, "--hangup-gyro-after"},
             {{"--usb-tick-ms", "-1"}, "--usb-tick-ms"},
             {{"--compass-deviation", "1,2,3"}, "--compass-deviation"},
             {{"--compass-deviation", "1,2,3,4,5"}, "--compass-deviation"},
             {{"--hard-iron", "0.1,0.2", "--hard-iron", "0.3,0.4"}, "--hard-iron"},
             {{"--mount-offset", "1,x"}, "--mount-offset"},
             {{"--soft-iron", "0.2,0.3,0"}, "--soft-iron"},
             {{"--tilt", "-1,0"}, "--tilt"},
             {{"--lockstep-ms", "0"}, "--lockstep-ms"},
             {{"--answer-jitter-ms", "-1"}, "--answer-jitter-ms"},
             {{"--gyro-stall-every", "0"}, "--gyro-stall-every"},
         }) {
        std::vector<std::string> argv = {GM_SIM_PATH};
        argv.insert(argv.end(), bad.args.begin(), bad.args.end());
        const pid_t refused = harness_spawn(argv, dir, dir + "/out", dir + "/err");
        EXPECT_EQ(harness_wait(refused, 10.0), 2) << bad.args[0];
        const std::vector<std::string> lines =
            harness_split_lines(harness_read_file(dir + "/err").value_or(""));
        ASSERT_EQ(lines.size(), 1u) << bad.args[0];
        EXPECT_NE(lines[0].find(bad.option), std::string::npos) << lines[0];
        EXPECT_FALSE(harness_path_exists(dir + "/com8")) << bad.args[0];
    }
    harness_remove_tree(dir);
}

} // namespace
