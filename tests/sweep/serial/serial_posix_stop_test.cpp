// The termios backend's waits against signals: other signals are sat out, and a request to stop
// ends a read, a write or a sleep at once, however close before the wait it came. The port is a
// pseudo-terminal's slave, as in serial_posix_test.cpp.
#include "sweep/serial/serial.h"
#include "sweep/serial/serial_posix.h"
#include "tests/support/pty_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST_F(SerialPosixTest, ReadAndSleepSitOutSignals) {
    open_port();
    pty_set_read_timeouts(port, 0, 0, 200);
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &quiet, &previous), 0); // no SA_RESTART: calls see EINTR
    itimerval every_5ms{{0, 5000}, {0, 5000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_5ms, nullptr), 0);

    const PtyReadResult result = pty_timed_read(port, 30);
    const auto start = Clock::now();
    serial_sleep_ms(100);
    const long long slept = pty_ms_since(start);

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, "");
    EXPECT_GE(result.elapsed_ms, 195);
    EXPECT_GE(slept, 95);
}

TEST_F(SerialPosixTest, StopRequestEndsReadsAndSleepsEarly) {
    // In a child: the stop flag, once set, stays set for the whole process.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        serial_catch_interrupts();
        const SerialHandle own = serial_open(slave.c_str());
        SerialTimeouts timeouts{};
        timeouts.read_total_constant_ms = 5000;
        if (own == serial_invalid_handle || !serial_set_timeouts(own, timeouts) ||
            serial_interrupted() != 0) {
            _exit(10);
        }
        // To this thread, as a Ctrl-C reaches the single-threaded program.
        const pthread_t reader = pthread_self();
        std::thread([reader] {
            std::this_thread::sleep_for(100ms);
            pthread_kill(reader, SIGINT);
        }).detach();
        std::vector<std::uint8_t> buffer(30);
        std::size_t count = 0;
        const auto start = Clock::now();
        const bool read_ok = serial_read(own, buffer, count);
        serial_sleep_ms(5000);
        const long long elapsed = pty_ms_since(start);
        _exit(read_ok && count == 0 && serial_interrupted() == SIGINT && elapsed < 2000 ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: set-up failed, 11: the stop request was not seen";
}

TEST_F(SerialPosixTest, StopRequestJustBeforeAWaitEndsItAtOnce) {
    enum class Wait { read, write, untimed_write, sleep };
    for (const Wait wait : {Wait::read, Wait::write, Wait::untimed_write, Wait::sleep}) {
        // In a child: the stop flag, once set, stays set for the whole process.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            serial_catch_interrupts();
            const SerialHandle own = serial_open(slave.c_str());
            // Each of the waits would otherwise last 5 s (the untimed write its stall limit, 3 s
            // at 38400 baud); the device takes and sends nothing.
            const SerialTimeouts timeouts{.read_total_constant_ms = 5000,
                                          .write_total_constant_ms =
                                              wait == Wait::untimed_write ? 0u : 5000u};
            if (own == serial_invalid_handle || !serial_set_timeouts(own, timeouts)) {
                _exit(10);
            }
            // A reader that went away: a failed write, not the end of the program.
            int ends[2];
            if (pipe(ends) != 0 || close(ends[0]) != 0 || write(ends[1], "x", 1) != -1 ||
                errno != EPIPE) {
                _exit(12);
            }
            // The terminal hangs up after the stop flag was checked, before the wait begins.
            serial_posix_before_wait = [] {
                static bool raised = false;
                if (!raised) {
                    raised = true;
                    raise(SIGHUP);
                }
            };
            std::vector<std::uint8_t> buffer(wait == Wait::read ? 30 : 1 << 20, 'w');
            std::size_t count = 0;
            const auto start = Clock::now();
            // An ended wait is no failure.
            bool ok = true;
            if (wait == Wait::read) {
                ok = serial_read(own, buffer, count);
            } else if (wait == Wait::sleep) {
                serial_sleep_ms(5000);
            } else {
                ok = serial_write(own, buffer, count);
            }
            _exit(!ok ? 13 : serial_interrupted() == SIGHUP && pty_ms_since(start) < 2500 ? 0 : 11);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        const char* names[] = {"read", "write", "untimed write", "sleep"};
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << names[static_cast<int>(wait)]
            << "; 10: set-up failed, 11: the stop request was missed, 12: SIGPIPE not ignored, "
               "13: the wait failed";
    }
}

} // namespace
