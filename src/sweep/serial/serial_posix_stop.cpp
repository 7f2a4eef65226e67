#include "sweep/serial/serial_posix_stop.h"
#include "sweep/serial/serial.h"
#include "sweep/serial/serial_posix.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <poll.h>
#include <pthread.h>
#include <signal.h>

namespace {

// The signal that ends every wait; set by the handler, read everywhere else.
volatile std::sig_atomic_t serial_stop_signal = 0;
// The first request's signal, and whether the program finishes on its own after it.
volatile std::sig_atomic_t serial_first_signal = 0;
volatile std::sig_atomic_t serial_finish_first = 0;

extern "C" void serial_on_stop_signal(int signal) {
    if (serial_first_signal == 0) {
        serial_first_signal = signal;
        if (serial_finish_first != 0) {
            return;
        }
    }
    serial_stop_signal = signal;
}

constexpr int serial_stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t serial_stop_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : serial_stop_signals) {
        sigaddset(&set, signal);
    }
    return set;
}

} // namespace

void (*serial_posix_before_wait)() = nullptr;

int serial_posix_wait(int fd, short events, SerialDeadline deadline) {
    static const sigset_t stop_set = serial_stop_set();
    sigset_t outside{};
    pthread_sigmask(SIG_BLOCK, &stop_set, &outside);
    int result = 0;
    for (;;) {
        if (serial_stop_signal != 0) {
            break;
        }
        timespec left_time{};
        if (deadline) {
            const SerialClock::duration left = *deadline - SerialClock::now();
            if (left <= SerialClock::duration::zero()) {
                break;
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            left_time.tv_sec = static_cast<time_t>(ns / 1000000000);
            left_time.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        if (serial_posix_before_wait != nullptr) {
            serial_posix_before_wait();
        }
        pollfd watched{fd, events, 0};
        const int ready = ppoll(&watched, 1, deadline ? &left_time : nullptr, &outside);
        if (ready > 0) {
            result = watched.revents;
            break;
        }
        if (ready < 0 && errno != EINTR) {
            result = -1;
            break;
        }
    }
    const int saved_errno = errno;
    pthread_sigmask(SIG_SETMASK, &outside, nullptr);
    errno = saved_errno;
    return result;
}

void serial_catch_interrupts(SerialFirstInterrupt first) {
    serial_finish_first = first == SerialFirstInterrupt::finish_first ? 1 : 0;
    // No SA_RESTART: a blocked call returns, and the waits above look at the flag. The stop
    // signals block each other, so that two requests in a row are counted one after the other.
    struct sigaction action {};
    action.sa_handler = serial_on_stop_signal;
    action.sa_mask = serial_stop_set();
    for (const int signal : serial_stop_signals) {
        // A request that the program was started to ignore stays ignored: that is how nohup
        // keeps it running when the terminal closes, and a shell its background jobs on Ctrl-C.
        struct sigaction inherited {};
        if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
    // Console output into a pipe whose reader has gone then fails as a write error, which the
    // run ignores, instead of ending the program in the middle of the sweep.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

int serial_interrupted() {
    return serial_first_signal;
}

bool serial_stop_now() {
    return serial_stop_signal != 0;
}
