// The termios backend over real pseudo-terminals: the test plays the device on the master side,
// the code under test opens the slave as its serial port. Timing checks use wide margins. The
// waits against signals and requests to stop are in serial_posix_stop_test.cpp.
#include "sweep/serial/serial.h"
#include "sweep/serial/serial_posix.h"
#include "sweep/serial/serial_posix_claim.h"
#include "tests/support/process_harness.h"
#include "tests/support/pty_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t maxdword = 0xFFFFFFFF;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno != EINTR && errno != EAGAIN) {
            ADD_FAILURE() << "master write failed: " << errno;
            return;
        }
        if (put > 0) {
            done += static_cast<std::size_t>(put);
        }
    }
}

// What the device side receives: up to wanted bytes, or what came before the time limit.
std::string read_up_to(int fd, std::size_t wanted, std::chrono::milliseconds limit) {
    std::string got;
    const auto end = Clock::now() + limit;
    std::vector<char> chunk(65536);
    while (got.size() < wanted) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd watched{fd, POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        const ssize_t n = read(fd, chunk.data(), std::min(chunk.size(), wanted - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(chunk.data(), static_cast<std::size_t>(n));
    }
    return got;
}

// The device writes each piece at its time after the start.
std::thread write_later(int fd,
                        std::vector<std::pair<std::chrono::milliseconds, std::string>> steps) {
    const auto start = Clock::now();
    return std::thread([fd, start, steps = std::move(steps)] {
        for (const auto& [at, bytes] : steps) {
            std::this_thread::sleep_until(start + at);
            write_all(fd, bytes);
        }
    });
}

// Waits until the port has `count` bytes queued; returns what it saw last.
std::uint32_t wait_in_queue(SerialHandle port, std::uint32_t count) {
    SerialStatus status;
    const auto start = Clock::now();
    do {
        if (!serial_status(port, status)) {
            return 0;
        }
        if (status.in_queue == count) {
            break;
        }
        std::this_thread::sleep_for(2ms);
    } while (pty_ms_since(start) < 2000);
    return status.in_queue;
}

// A temporary folder made the current one for the test's lifetime.
struct TempFolder {
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "serial_posix.XXXXXX");
        if (mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
            previous = std::filesystem::current_path();
            std::filesystem::current_path(path);
        }
    }
    ~TempFolder() {
        if (!path.empty()) {
            std::filesystem::current_path(previous);
            std::filesystem::remove_all(path);
        }
    }
    std::filesystem::path path;
    std::filesystem::path previous;
};

TEST_F(SerialPosixTest, NewPortStartsWithZeroTimeoutsAndForgetsThemOnClose) {
    open_port();
    SerialTimeouts timeouts{1, 2, 3, 4, 5};
    ASSERT_TRUE(serial_get_timeouts(port, timeouts));
    EXPECT_EQ(timeouts.read_interval_ms, 0u);
    EXPECT_EQ(timeouts.read_total_multiplier_ms, 0u);
    EXPECT_EQ(timeouts.read_total_constant_ms, 0u);
    EXPECT_EQ(timeouts.write_total_multiplier_ms, 0u);
    EXPECT_EQ(timeouts.write_total_constant_ms, 0u);

    ASSERT_TRUE(serial_set_timeouts(port, SerialTimeouts{10, 20, 30, 40, 50}));
    ASSERT_TRUE(serial_get_timeouts(port, timeouts));
    EXPECT_EQ(timeouts.read_total_constant_ms, 30u);
    EXPECT_EQ(timeouts.write_total_constant_ms, 50u);

    ASSERT_TRUE(serial_close(port));
    port = serial_invalid_handle;
    open_port(); // most likely the same descriptor number again
    ASSERT_TRUE(serial_get_timeouts(port, timeouts));
    EXPECT_EQ(timeouts.read_total_constant_ms, 0u);
    EXPECT_EQ(timeouts.write_total_constant_ms, 0u);
}

TEST_F(SerialPosixTest, ResolvesNamesAndReportsWhatIsNoDeviceAsMissing) {
    TempFolder folder;
    ASSERT_FALSE(folder.path.empty());
    ASSERT_EQ(symlink(slave.c_str(), "com8"), 0);
    ASSERT_EQ(symlink(slave.c_str(), "gyro"), 0);
    ASSERT_EQ(symlink("/nonexistent/tty", "com9"), 0);
    std::filesystem::create_directory("folder");
    const int file = open("plain.txt", O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(file, 0);
    close(file);
    const std::string plain_absolute = (folder.path / "plain.txt").string();

    struct Case {
        std::string name;
        int error; // 0: opens the pseudo-terminal
    };
    const Case cases[] = {
        {slave, 0},
        {"com8", 0},
        {"COM8", 0}, // no "COM8" here: the lower-case link
        {"gyro", 0}, // any other bare name: a path in the current folder
        {"./com8", 0},
        {"com9", ENOENT},   // a link to nothing
        {"com250", ENOENT}, // no link: /dev/ttyS249
        {"nosuch", ENOENT},
        {"/nonexistent/tty", ENOENT},
        {"plain.txt", ENOENT}, // not a terminal
        {plain_absolute, ENOENT},
        {plain_absolute + "/x", ENOENT},
        {"folder", ENOENT},
        {"/dev/null", ENOENT},
        {"", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("name \"" + c.name + "\"");
        const SerialHandle opened = serial_open(c.name.c_str());
        if (c.error != 0) {
            EXPECT_EQ(opened, serial_invalid_handle);
            EXPECT_EQ(serial_last_error(), c.error);
            continue;
        }
        ASSERT_NE(opened, serial_invalid_handle) << "errno " << serial_last_error();
        // It is this pseudo-terminal: what goes in comes out on the master side.
        std::size_t written = 0;
        EXPECT_TRUE(serial_write(opened, bytes_of(c.name), written));
        EXPECT_EQ(read_up_to(master, c.name.size(), 2000ms), c.name);
        EXPECT_TRUE(serial_close(opened));
    }
}

TEST_F(SerialPosixTest, SecondOpenFailsUntilTheFirstIsClosed) {
    open_port();
    EXPECT_EQ(serial_open(slave.c_str()), serial_invalid_handle);
    EXPECT_EQ(serial_last_error(), EBUSY);

    // Another process is kept out too.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const SerialHandle other = serial_open(slave.c_str());
        _exit(other == serial_invalid_handle && serial_last_error() == EBUSY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_TRUE(serial_close(port));
    port = serial_invalid_handle;
    open_port();
}

// Another process with the device open, without TIOCEXCL or any lock, until it is destroyed:
// a child that keeps the descriptor opened here.
struct Holder {
    explicit Holder(const std::string& path) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        pid = fd < 0 ? -1 : fork();
        if (pid == 0) {
            pause();
            _exit(0);
        }
        close(fd);
    }
    ~Holder() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    pid_t pid = -1;
};

// The id of a process that has ended and been reaped.
pid_t gone_process() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

std::string lock_text(long pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

bool is_exclusive(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = 0;
    const bool known = fd >= 0 && ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return fd < 0 || !known || exclusive != 0;
}

TEST_F(SerialPosixTest, LockFileNamesFollowLinksAndFlattenFolders) {
    TempFolder folder;
    ASSERT_FALSE(folder.path.empty());
    ASSERT_EQ(symlink(slave.c_str(), "com8"), 0);
    const std::string flat = "LCK.." + slave.substr(5, 3) + "_" + slave.substr(9);
    EXPECT_EQ(serial_lock_name(slave), flat); // /dev/pts/N
    EXPECT_EQ(serial_lock_name("com8"), flat);
    EXPECT_EQ(serial_lock_name("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(serial_lock_name("/dev/serial/by-id/usb-x"), "LCK..serial_by-id_usb-x");
    EXPECT_EQ(serial_lock_name("/opt/bench/port"), "LCK..port");
}

// Refusals with EBUSY, whoever holds the port and however; a refusal leaves nothing of ours
// behind. An open that goes through leaves its lock file, and closing removes it.
TEST_F(SerialPosixTest, OpenIsRefusedWhileAnotherProcessHoldsThePortOrItsLock) {
    const std::string lock = lock_dir + "/" + serial_lock_name(slave);
    const std::string missing = lock_dir + "/missing";
    struct Case {
        const char* name;
        bool held;                             // another process has the device open, unlocked
        std::optional<std::string> before;     // the lock file before the open
        std::vector<std::string> dirs;         // the lock folders, in order
        bool as_link = false;                  // the lock is a link to a file holding `before`
        std::optional<std::string> replaced{}; // another program's lock, written while open
    };
    const Case cases[] = {
        {"free, first lock folder missing", false, std::nullopt, {missing, lock_dir}},
        {"held without a lock", true, std::nullopt, {lock_dir}},
        {"live lock", false, lock_text(1), {lock_dir}},
        {"live lock in the second folder", false, lock_text(1), {missing, lock_dir}},
        {"stale lock", false, lock_text(gone_process()), {lock_dir}},
        {"lock naming no process", false, "junk\n", {lock_dir}},
        {"lock naming our own id, reused", false, lock_text(getpid()), {lock_dir}},
        {"lock that cannot be read: a link", false, lock_text(gone_process()), {lock_dir}, true},
        {"lock replaced while open", false, std::nullopt, {lock_dir}, false, lock_text(1)},
        {"no writable lock folder", false, std::nullopt, {missing}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(lock);
        if (c.as_link) {
            ASSERT_TRUE(harness_write_file(lock_dir + "/elsewhere", *c.before));
            ASSERT_EQ(symlink((lock_dir + "/elsewhere").c_str(), lock.c_str()), 0);
        } else if (c.before) {
            ASSERT_TRUE(harness_write_file(lock, *c.before));
        }
        serial_set_lock_dirs_for_test(c.dirs);
        std::optional<Holder> holder;
        if (c.held) {
            holder.emplace(slave);
            ASSERT_GT(holder->pid, 0);
        }
        const bool refused = c.held || c.before == lock_text(1) || c.as_link;
        const bool lockable = c.dirs.back() == lock_dir;
        const SerialHandle opened = serial_open(slave.c_str());
        const int error = serial_last_error();
        const std::optional<std::string> during = harness_read_file(lock);
        if (opened != serial_invalid_handle) {
            if (c.replaced) {
                ASSERT_TRUE(harness_write_file(lock, *c.replaced));
            }
            EXPECT_TRUE(serial_close(opened));
        }
        holder.reset();

        if (refused) {
            EXPECT_EQ(opened, serial_invalid_handle);
            EXPECT_EQ(error, EBUSY);
            EXPECT_EQ(during, c.before); // someone else's lock stays as it was
        } else {
            ASSERT_NE(opened, serial_invalid_handle) << "errno " << error;
            EXPECT_EQ(during, lockable ? std::optional(lock_text(getpid())) : std::nullopt);
        }
        // Root could open an exclusive port anyway: look at the mode itself.
        EXPECT_FALSE(is_exclusive(slave)) << "the port was left exclusive";
        EXPECT_EQ(harness_read_file(lock), refused ? c.before : c.replaced);
        EXPECT_FALSE(std::filesystem::exists(missing));
    }
}

// Root never sees why another user's lock must stand where its owner cannot be checked: kill()
// of root's live process failing with EPERM, or a file that only its owner may read (one naming
// a process long gone). Anyone may replace files in the folder, so only the check keeps the
// takes out.
TEST_F(SerialPosixTest, AnotherUsersLockStandsWhereItsOwnerCannotBeChecked) {
    ASSERT_EQ(chmod(lock_dir.c_str(), 0777), 0);
    const std::pair<std::string, mode_t> locks[] = {{lock_text(1), 0644},
                                                    {lock_text(gone_process()), 0}};
    std::vector<std::string> devices;
    for (const auto& [text, mode] : locks) {
        devices.push_back("/dev/gm_test_" + std::to_string(devices.size()));
        const std::string lock = lock_dir + "/" + serial_lock_name(devices.back());
        ASSERT_TRUE(harness_write_file(lock, text));
        ASSERT_EQ(chmod(lock.c_str(), mode), 0);
    }
    const std::optional<int> taken_over = harness_run_unprivileged([&] {
        int taken = 0; // a bit for each lock taken over
        for (std::size_t i = 0; i < devices.size(); ++i) {
            std::string lock_path;
            if (serial_lock_take(devices[i], lock_path) || errno != EBUSY) {
                taken |= 1 << i;
            }
        }
        return taken;
    });
    if (!taken_over) {
        GTEST_SKIP() << "no unprivileged user (nobody) to run as";
    }
    EXPECT_EQ(*taken_over, 0) << "1: the lock of root's live process taken over, 2: the "
                                 "unreadable lock taken over, "
                              << harness_cannot_switch_user << ": the user was not switched";
}

// Sends every byte value, the troublemakers of a cooked line first, in one transfer each way.
void expect_bytes_pass_unchanged(int master, SerialHandle port) {
    std::string bytes = {'\r', '\n',   '\r',   '\x03', '\x11', '\x13', '\x7F',
                         '\0', '\xFF', '\x04', '\x1A', '\n',   '\r'};
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<char>(value));
    }
    pty_set_read_timeouts(port, 0, 0, 3000);

    write_all(master, bytes);
    const PtyReadResult received = pty_timed_read(port, bytes.size());
    ASSERT_TRUE(received.ok);
    EXPECT_EQ(received.bytes, bytes);

    std::size_t written = 0;
    ASSERT_TRUE(serial_write(port, bytes_of(bytes), written));
    EXPECT_EQ(written, bytes.size());
    // Exactly these bytes: nothing echoed, nothing added.
    EXPECT_EQ(read_up_to(master, bytes.size() + 1, 300ms), bytes);
}

// The slave starts in its default cooked mode, as a real port does; the port must be raw.
TEST_F(SerialPosixTest, EveryByteValuePassesUnchangedBothWays) {
    open_port();
    expect_bytes_pass_unchanged(master, port);
}

// A line that someone left with every translation switched on.
TEST_F(SerialPosixTest, EveryByteValuePassesUnchangedAfterAnyEarlierMode) {
    const int device = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(device, 0);
    termios mangling{};
    ASSERT_EQ(tcgetattr(device, &mangling), 0);
    mangling.c_iflag |=
        IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
    mangling.c_oflag |= OPOST | ONLCR | OCRNL;
    mangling.c_lflag |= ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    ASSERT_EQ(tcsetattr(device, TCSANOW, &mangling), 0);
    close(device);

    open_port();
    expect_bytes_pass_unchanged(master, port);
}

TEST_F(SerialPosixTest, LineSettingsChangeOnlyBaudParityAndStopBits) {
    // Settings of the line before the program opens it.
    const int device = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(device, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(device, &before), 0);
    cfsetispeed(&before, B19200);
    cfsetospeed(&before, B19200);
    before.c_cflag |= CSTOPB | HUPCL;
    before.c_iflag |= INPCK;
    before.c_cc[VSTART] = 0x05;
    before.c_cc[VSTOP] = 0x06;
    ASSERT_EQ(tcsetattr(device, TCSANOW, &before), 0);
    close(device);

    open_port();
    SerialLineSettings settings;
    ASSERT_TRUE(serial_get_line_settings(port, settings));
    EXPECT_EQ(settings.baud_rate, 19200u);
    EXPECT_EQ(settings.parity, SerialParity::none);
    EXPECT_EQ(settings.stop_bits, SerialStopBits::two);
    termios read_native{};
    std::memcpy(&read_native, settings.native.data(), sizeof read_native);

    settings.baud_rate = 9600;
    settings.parity = SerialParity::none;
    settings.stop_bits = SerialStopBits::one;
    ASSERT_TRUE(serial_set_line_settings(port, settings));

    SerialLineSettings again;
    ASSERT_TRUE(serial_get_line_settings(port, again));
    EXPECT_EQ(again.baud_rate, 9600u);
    EXPECT_EQ(again.parity, SerialParity::none);
    EXPECT_EQ(again.stop_bits, SerialStopBits::one);
    termios after{};
    std::memcpy(&after, again.native.data(), sizeof after);

    termios expected = read_native;
    cfsetispeed(&expected, B9600);
    cfsetospeed(&expected, B9600);
    expected.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    EXPECT_EQ(after.c_iflag, expected.c_iflag);
    EXPECT_EQ(after.c_oflag, expected.c_oflag);
    EXPECT_EQ(after.c_cflag, expected.c_cflag);
    EXPECT_EQ(after.c_lflag, expected.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, expected.c_cc, sizeof after.c_cc), 0);
    EXPECT_EQ(cfgetispeed(&after), B9600);
    // What the line had beforehand and raw mode does not touch survives.
    EXPECT_EQ(after.c_cc[VSTART], 0x05);
    EXPECT_EQ(after.c_cc[VSTOP], 0x06);
    EXPECT_NE(after.c_cflag & HUPCL, 0u);
    EXPECT_NE(after.c_iflag & INPCK, 0u);

    // Refused settings change nothing.
    SerialLineSettings refused = again;
    refused.baud_rate = 12345;
    EXPECT_FALSE(serial_set_line_settings(port, refused));
    EXPECT_EQ(serial_last_error(), EINVAL);
    refused.baud_rate = 0; // would hang up the line
    EXPECT_FALSE(serial_set_line_settings(port, refused));
    EXPECT_EQ(serial_last_error(), EINVAL);
    refused = again;
    refused.stop_bits = SerialStopBits::one_and_half;
    EXPECT_FALSE(serial_set_line_settings(port, refused));
    EXPECT_EQ(serial_last_error(), EINVAL);
    refused = SerialLineSettings{.baud_rate = 38400};
    EXPECT_FALSE(serial_set_line_settings(port, refused)); // native never read from a port
    EXPECT_EQ(serial_last_error(), EINVAL);
    ASSERT_TRUE(serial_get_line_settings(port, again));
    EXPECT_EQ(again.baud_rate, 9600u);

    // The device itself holds the new settings.
    ASSERT_TRUE(serial_close(port));
    port = serial_invalid_handle;
    const int check = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(check, 0);
    termios device_now{};
    ASSERT_EQ(tcgetattr(check, &device_now), 0);
    close(check);
    EXPECT_EQ(cfgetospeed(&device_now), B9600);
    EXPECT_EQ(device_now.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(device_now.c_cc[VSTART], 0x05);
}

TEST_F(SerialPosixTest, AppliedLineSettingsCutAReplyAtAPause) {
    open_port();
    ASSERT_TRUE(serial_apply_line_settings(port, 38400, "Test"));
    SerialTimeouts timeouts;
    ASSERT_TRUE(serial_get_timeouts(port, timeouts));
    EXPECT_EQ(timeouts.read_interval_ms, 10u);
    EXPECT_EQ(timeouts.read_total_multiplier_ms, 10u);
    EXPECT_EQ(timeouts.read_total_constant_ms, 100u);

    const std::string first = "first piece!";
    const std::string second = "the rest of it....";
    std::thread device = write_later(master, {{0ms, first}, {100ms, second}});
    const PtyReadResult one = pty_timed_read(port, 30);
    const PtyReadResult two = pty_timed_read(port, 30);
    device.join();
    EXPECT_TRUE(one.ok);
    EXPECT_EQ(one.bytes, first);
    EXPECT_TRUE(two.ok);
    EXPECT_EQ(two.bytes, second);
}

TEST_F(SerialPosixTest, AppliedLineSettingsEndAnEmptyReadAfterItsTotal) {
    open_port();
    ASSERT_TRUE(serial_apply_line_settings(port, 38400, "Test"));
    const PtyReadResult silent = pty_timed_read(port, 30); // 10 * 30 + 100 ms
    EXPECT_TRUE(silent.ok);
    EXPECT_EQ(silent.bytes, "");
    EXPECT_GE(silent.elapsed_ms, 380);
    EXPECT_LT(silent.elapsed_ms, 2000);
}

TEST_F(SerialPosixTest, ReadReturnsAsSoonAsAllBytesHaveCome) {
    open_port();
    pty_set_read_timeouts(port, 0, 0, 5000);
    const std::string reply(30, 'r');
    std::thread device = write_later(master, {{50ms, reply}});
    const PtyReadResult result = pty_timed_read(port, reply.size());
    device.join();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, reply);
    EXPECT_LT(result.elapsed_ms, 2500);
}

TEST_F(SerialPosixTest, ZeroTimeoutsWaitForEveryByte) {
    open_port();
    pty_set_read_timeouts(port, 0, 0, 0);
    std::thread device = write_later(master, {{20ms, "0123456789"}, {250ms, "abcdefghij"}});
    const PtyReadResult result = pty_timed_read(port, 20);
    device.join();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, "0123456789abcdefghij");
    EXPECT_GE(result.elapsed_ms, 200);
}

TEST_F(SerialPosixTest, IntervalAloneWaitsWithoutLimitForTheFirstByte) {
    open_port();
    pty_set_read_timeouts(port, 10, 0, 0);
    std::thread device = write_later(master, {{250ms, "late"}, {500ms, "later"}});
    const PtyReadResult result = pty_timed_read(port, 30);
    device.join();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, "late");
    EXPECT_GE(result.elapsed_ms, 200);
}

TEST_F(SerialPosixTest, MaxdwordIntervalReturnsWhatIsQueuedAtOnce) {
    open_port();
    pty_set_read_timeouts(port, maxdword, 0, 0);
    const PtyReadResult empty = pty_timed_read(port, 30);
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.bytes, "");
    EXPECT_LT(empty.elapsed_ms, 200);

    write_all(master, "queued!");
    ASSERT_EQ(wait_in_queue(port, 7), 7u);
    const PtyReadResult queued = pty_timed_read(port, 30);
    EXPECT_TRUE(queued.ok);
    EXPECT_EQ(queued.bytes, "queued!");
    EXPECT_LT(queued.elapsed_ms, 200);
}

TEST_F(SerialPosixTest, MaxdwordIntervalAndMultiplierWaitForTheFirstBytesOnly) {
    open_port();
    pty_set_read_timeouts(port, maxdword, maxdword, 300);
    const PtyReadResult nothing = pty_timed_read(port, 30);
    EXPECT_TRUE(nothing.ok);
    EXPECT_EQ(nothing.bytes, "");
    EXPECT_GE(nothing.elapsed_ms, 280);
    EXPECT_LT(nothing.elapsed_ms, 2000);

    std::thread device = write_later(master, {{60ms, "abc"}, {600ms, "def"}});
    const PtyReadResult first = pty_timed_read(port, 30);
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.bytes, "abc");
    EXPECT_LT(first.elapsed_ms, 500);
    device.join();
}

TEST_F(SerialPosixTest, StatusCountsReceivedBytes) {
    open_port();
    write_all(master, std::string(17, 'q'));
    EXPECT_EQ(wait_in_queue(port, 17), 17u);
    SerialStatus status;
    ASSERT_TRUE(serial_status(port, status));
    EXPECT_EQ(status.errors, 0u);
    EXPECT_EQ(status.out_queue, 0u);

    pty_set_read_timeouts(port, maxdword, 0, 0);
    EXPECT_EQ(pty_timed_read(port, 10).bytes.size(), 10u);
    ASSERT_TRUE(serial_status(port, status));
    EXPECT_EQ(status.in_queue, 7u);

    // A purge drops what is queued; what comes after it is read as usual.
    ASSERT_TRUE(serial_purge_input(port));
    ASSERT_TRUE(serial_status(port, status));
    EXPECT_EQ(status.in_queue, 0u);
    write_all(master, "kept");
    EXPECT_EQ(wait_in_queue(port, 4), 4u);
    EXPECT_EQ(pty_timed_read(port, 10).bytes, "kept");
}

TEST_F(SerialPosixTest, HangUpFailsReadsAndWritesPromptly) {
    open_port();
    pty_set_read_timeouts(port, 0, 0, 0); // a read would otherwise wait for ever
    std::thread device([this] {
        std::this_thread::sleep_for(50ms);
        close(master);
    });
    const PtyReadResult during = pty_timed_read(port, 30);
    device.join();
    master = -1;
    EXPECT_FALSE(during.ok);
    EXPECT_EQ(during.error, EIO);
    EXPECT_EQ(during.bytes, "");
    EXPECT_LT(during.elapsed_ms, 2000);

    pty_set_read_timeouts(port, 10, 10, 100);
    const PtyReadResult after = pty_timed_read(port, 30);
    EXPECT_FALSE(after.ok);
    EXPECT_NE(after.error, 0);
    EXPECT_LT(after.elapsed_ms, 1000);

    std::size_t written = 0;
    EXPECT_FALSE(serial_write(port, bytes_of("G"), written));
    EXPECT_EQ(written, 0u);
}

TEST_F(SerialPosixTest, WriteWaitsForRoomOrItsTimeouts) {
    open_port();
    const std::string big(1 << 20, 'w');

    // No write time-outs: everything, however long the device takes to take it.
    std::string drained;
    std::thread device([&] { drained = read_up_to(master, big.size(), 8000ms); });
    std::size_t written = 0;
    EXPECT_TRUE(serial_write(port, bytes_of(big), written));
    device.join();
    EXPECT_EQ(written, big.size());
    EXPECT_EQ(drained.size(), big.size());

    // A device that takes nothing: the write stops at its total time-out with what fitted, and
    // fails.
    ASSERT_TRUE(serial_set_timeouts(port, SerialTimeouts{.write_total_constant_ms = 300}));
    const auto start = Clock::now();
    EXPECT_FALSE(serial_write(port, bytes_of(big), written));
    EXPECT_EQ(serial_last_error(), ETIMEDOUT);
    const long long elapsed = pty_ms_since(start);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(elapsed, 280);
    EXPECT_LT(elapsed, 2000);

    // Without write time-outs a line that takes nothing still ends the write, with an error:
    // at 230400 baud after 2 x 177 ms + 1 s without room (a wait never ends early, so that
    // bound holds however busy the machine is).
    SerialLineSettings fast;
    ASSERT_TRUE(serial_get_line_settings(port, fast));
    fast.baud_rate = 230400;
    ASSERT_TRUE(serial_set_line_settings(port, fast));
    ASSERT_TRUE(serial_set_timeouts(port, SerialTimeouts{}));
    const auto stuck = Clock::now();
    EXPECT_FALSE(serial_write(port, bytes_of(big), written));
    EXPECT_EQ(serial_last_error(), ETIMEDOUT);
    const long long stuck_ms = pty_ms_since(stuck);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(stuck_ms, 1354);
    EXPECT_LT(stuck_ms, 8000);
}

TEST_F(SerialPosixTest, ClosedOrUnknownHandlesFail) {
    open_port();
    const SerialHandle closed = port;
    ASSERT_TRUE(serial_close(port));
    port = serial_invalid_handle;

    for (const SerialHandle handle : {closed, SerialHandle{12345}, serial_invalid_handle}) {
        std::vector<std::uint8_t> buffer(4);
        std::size_t count = 99;
        SerialStatus status;
        SerialTimeouts timeouts;
        SerialLineSettings settings;
        EXPECT_FALSE(serial_read(handle, buffer, count));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(serial_write(handle, buffer, count));
        EXPECT_FALSE(serial_status(handle, status));
        EXPECT_FALSE(serial_purge_input(handle));
        EXPECT_FALSE(serial_get_timeouts(handle, timeouts));
        EXPECT_FALSE(serial_get_line_settings(handle, settings));
        EXPECT_FALSE(serial_close(handle));
        EXPECT_EQ(serial_last_error(), EBADF);
    }
}

} // namespace
