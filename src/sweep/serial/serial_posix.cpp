// Serial port services on POSIX terminals (termios). A port behaves as a kernel32 COM port does:
// opened exclusively, always raw, with reads and writes bounded by COMMTIMEOUTS-style time-outs
// that are timed here with ppoll() against the monotonic clock. Every wait (reads, writes, sleeps)
// ends at a request to stop, however close before the wait that request came. The line settings
// are in serial_posix_line.cpp, the stop requests and the wait in serial_posix_stop.cpp, the
// claim on a port beyond its exclusive mode in serial_posix_claim.cpp.
#include "sweep/serial/serial.h"
#include "sweep/serial/serial_posix_claim.h"
#include "sweep/serial/serial_posix_line.h"
#include "sweep/serial/serial_posix_stop.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

// A port's time-outs live here from open to close; a free slot has fd -1.
struct SerialPortSlot {
    int fd = -1;
    SerialTimeouts timeouts{};
    std::string lock_path; // our lock file, if one could be taken
};

constexpr std::size_t serial_max_ports = 16;
std::array<SerialPortSlot, serial_max_ports> serial_ports;

// MAXDWORD: a time-out value with a meaning of its own in the read time-outs.
constexpr std::uint32_t serial_maxdword = 0xFFFFFFFF;

SerialPortSlot* serial_find(SerialHandle port) {
    for (SerialPortSlot& slot : serial_ports) {
        if (slot.fd >= 0 && slot.fd == port) {
            return &slot;
        }
    }
    errno = EBADF;
    return nullptr;
}

// "com" in any case followed by a number from 1 on, as a kernel32 port name.
std::optional<unsigned> serial_com_number(std::string_view name) {
    if (name.size() < 4 || name.size() > 8 || strncasecmp(name.data(), "com", 3) != 0 ||
        name[3] == '0') {
        return std::nullopt;
    }
    unsigned number = 0;
    const char* end = name.data() + name.size();
    auto [stop, error] = std::from_chars(name.data() + 3, end, number);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return number;
}

bool serial_path_exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// A name with a '/' is a path. "comN" is the file or link of that name in the current folder
// when there is one (a bench links com8 to /dev/ttyUSB0, a simulator to a pseudo-terminal),
// else /dev/ttyS(N-1), Linux's name for COMN. Any other name is a path in the current folder.
std::string serial_device_path(std::string_view name) {
    const std::optional<unsigned> number = serial_com_number(name);
    if (name.find('/') != std::string_view::npos || !number) {
        return std::string(name);
    }
    const std::string as_given(name);
    const std::string lower = "com" + std::to_string(*number);
    for (const std::string& candidate : {as_given, lower}) {
        if (serial_path_exists(candidate)) {
            return candidate;
        }
    }
    return "/dev/ttyS" + std::to_string(*number - 1);
}

// The open errors that mean "there is no such device here" read as a missing device, as on
// Windows: no file, a path through a non-folder, a node without a driver or hardware behind it.
int serial_open_error(int error) {
    switch (error) {
    case ENOTDIR:
    case EISDIR:
    case ENXIO:
    case ENODEV:
    case EIO:
        return ENOENT;
    default:
        return error;
    }
}

SerialHandle serial_fail_open(int fd, int error) {
    close(fd);
    errno = error;
    return serial_invalid_handle;
}

bool serial_is_exclusive(int fd) {
#ifdef TIOCGEXCL
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    (void)fd;
    return false;
#endif
}

// Gives up an open after the claim on the port was made: nothing of ours stays behind, and an
// exclusive mode set before us is left to whoever set it.
SerialHandle serial_abandon_open(int fd, bool was_exclusive, const std::string& lock_path,
                                 int error) {
    serial_lock_release(lock_path);
    if (!was_exclusive) {
        ioctl(fd, TIOCNXCL);
    }
    return serial_fail_open(fd, error);
}

// USB adapters otherwise hold received bytes for up to 16 ms, longer than a 10 ms interval
// time-out. Drivers that do not know the request (pseudo-terminals) are left as they are.
void serial_request_low_latency(int fd) {
#ifdef __linux__
    const int saved_errno = errno;
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
        info.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
        ioctl(fd, TIOCSSERIAL, &info);
    }
    errno = saved_errno;
#else
    (void)fd;
#endif
}

SerialClock::duration serial_ms(std::uint64_t milliseconds) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(milliseconds));
}

SerialDeadline serial_earliest(SerialDeadline a, SerialDeadline b) {
    if (!a || !b) {
        return a ? a : b;
    }
    return std::min(*a, *b);
}

// A write that finds no room waits at most this long for the line to take another byte when the
// port has no write time-outs: twice what a full transmit buffer (4096 bytes, ten bit times
// each) needs at the line's rate, plus a second. A line that stays stuck longer is broken.
SerialClock::duration serial_write_stall_limit(int fd) {
    const std::uint32_t rate = serial_posix_line_rate(fd);
    // A rate termios cannot name counts as 9600 baud, the slower line of the bench.
    constexpr std::uint64_t buffer_bits = 4096 * 10;
    const std::uint64_t drain_ms = buffer_bits * 1000 / (rate != 0 ? rate : 9600);
    return serial_ms(2 * drain_ms + 1000);
}

// Ends a read that met an error: bytes already received are delivered (the error comes again
// with the next read); with none the read fails.
bool serial_read_failed(std::size_t count, int error) {
    if (count > 0) {
        return true;
    }
    errno = error;
    return false;
}

} // namespace

SerialHandle serial_open(const char* name) {
    if (name == nullptr || *name == '\0') {
        errno = ENOENT;
        return serial_invalid_handle;
    }
    auto free_slot = std::find_if(serial_ports.begin(), serial_ports.end(),
                                  [](const SerialPortSlot& slot) { return slot.fd < 0; });
    if (free_slot == serial_ports.end()) {
        errno = EMFILE;
        return serial_invalid_handle;
    }
    const std::string path = serial_device_path(name);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        errno = serial_open_error(errno);
        return serial_invalid_handle;
    }
    if (!isatty(fd)) {
        return serial_fail_open(fd, ENOENT);
    }
    // The flock keeps out every other user of this module, root included.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return serial_fail_open(fd, errno == EWOULDBLOCK ? EBUSY : errno);
    }
    // TIOCEXCL keeps out later openers but root. From here on the exclusive mode is ours to
    // clear when we let go, unless it was set before: then it belongs to another holder, or was
    // left by one that died (a pseudo-terminal keeps it for as long as its master is open).
    const bool was_exclusive = serial_is_exclusive(fd);
    if (ioctl(fd, TIOCEXCL) != 0) {
        return serial_fail_open(fd, errno);
    }
    std::string lock_path;
    if (!serial_lock_take(path, lock_path)) {
        return serial_abandon_open(fd, was_exclusive, lock_path, EBUSY);
    }
    // Whoever opened the device before us, root or not, with a lock or without.
    struct stat device {};
    if (fstat(fd, &device) != 0 || serial_held_elsewhere(device.st_rdev)) {
        return serial_abandon_open(fd, was_exclusive, lock_path, EBUSY);
    }
    if (!serial_posix_make_raw(fd)) {
        return serial_abandon_open(fd, was_exclusive, lock_path, errno);
    }
    serial_request_low_latency(fd);
    free_slot->fd = fd;
    free_slot->timeouts = SerialTimeouts{};
    free_slot->lock_path = lock_path;
    return fd;
}

bool serial_get_line_settings(SerialHandle port, SerialLineSettings& settings) {
    const SerialPortSlot* slot = serial_find(port);
    return slot != nullptr && serial_posix_get_line_settings(slot->fd, settings);
}

bool serial_set_line_settings(SerialHandle port, const SerialLineSettings& settings) {
    const SerialPortSlot* slot = serial_find(port);
    return slot != nullptr && serial_posix_set_line_settings(slot->fd, settings);
}

bool serial_get_timeouts(SerialHandle port, SerialTimeouts& timeouts) {
    const SerialPortSlot* slot = serial_find(port);
    if (slot == nullptr) {
        return false;
    }
    timeouts = slot->timeouts;
    return true;
}

bool serial_set_timeouts(SerialHandle port, const SerialTimeouts& timeouts) {
    SerialPortSlot* slot = serial_find(port);
    if (slot == nullptr) {
        return false;
    }
    slot->timeouts = timeouts;
    return true;
}

// The read time-outs as kernel32 gives them meaning:
// - all zero: wait until every requested byte has come;
// - interval MAXDWORD with zero totals: return at once with what is queued;
// - interval and multiplier MAXDWORD with a constant below it: return what is queued, else
//   wait up to the constant for the first byte and return as soon as anything came;
// - otherwise a non-zero interval ends the read that long after a byte without another (its
//   timer starts with the first byte), and non-zero totals end it multiplier * n + constant
//   after it began.
bool serial_read(SerialHandle port, std::span<std::uint8_t> buffer, std::size_t& count) {
    count = 0;
    const SerialPortSlot* slot = serial_find(port);
    if (slot == nullptr) {
        return false;
    }
    if (buffer.empty()) {
        return true;
    }
    const SerialTimeouts& timeouts = slot->timeouts;
    const auto start = SerialClock::now();
    const bool at_once = timeouts.read_interval_ms == serial_maxdword &&
                         timeouts.read_total_multiplier_ms == 0 &&
                         timeouts.read_total_constant_ms == 0;
    const bool first_bytes = timeouts.read_interval_ms == serial_maxdword &&
                             timeouts.read_total_multiplier_ms == serial_maxdword &&
                             timeouts.read_total_constant_ms != 0 &&
                             timeouts.read_total_constant_ms != serial_maxdword;
    SerialDeadline total_deadline;
    if (first_bytes) {
        total_deadline = start + serial_ms(timeouts.read_total_constant_ms);
    } else if (timeouts.read_total_multiplier_ms != 0 || timeouts.read_total_constant_ms != 0) {
        total_deadline =
            start + serial_ms(std::uint64_t{timeouts.read_total_multiplier_ms} * buffer.size() +
                              timeouts.read_total_constant_ms);
    }
    const bool use_interval = !at_once && !first_bytes && timeouts.read_interval_ms != 0;
    SerialDeadline interval_deadline;
    bool line_trouble = false;

    for (;;) {
        const ssize_t got = read(slot->fd, buffer.data() + count, buffer.size() - count);
        if (got > 0) {
            count += static_cast<std::size_t>(got);
            if (count == buffer.size()) {
                return true;
            }
            if (use_interval) {
                interval_deadline = SerialClock::now() + serial_ms(timeouts.read_interval_ms);
            }
            // The untimed modes take everything queued right now. A timed read goes straight
            // back to waiting: a line hands over a byte or a few at a time, so reading again at
            // once would nearly always find nothing, at the cost of a system call per byte.
            if (at_once || first_bytes) {
                continue;
            }
        } else if (got == 0) { // end of file: the line was hung up
            return serial_read_failed(count, EIO);
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return serial_read_failed(count, errno);
        } else if (line_trouble) {
            // Nothing queued although poll() saw a hang-up or an error: it will not get better.
            return serial_read_failed(count, EIO);
        } else if (at_once || (first_bytes && count > 0)) {
            return true;
        }
        const int events =
            serial_posix_wait(slot->fd, POLLIN, serial_earliest(total_deadline, interval_deadline));
        if (events < 0) {
            return serial_read_failed(count, errno);
        }
        if (events == 0) {
            return true;
        }
        line_trouble = (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
}

// Returns when every byte is written. Non-zero write time-outs (multiplier * n + constant) that
// run out fail the write with ETIMEDOUT, as does a line that takes nothing for its stall limit
// when there are none. A request to stop ends it with fewer bytes, as a success: the caller is
// stopping anyway.
bool serial_write(SerialHandle port, std::span<const std::uint8_t> bytes, std::size_t& count) {
    count = 0;
    const SerialPortSlot* slot = serial_find(port);
    if (slot == nullptr) {
        return false;
    }
    const SerialTimeouts& timeouts = slot->timeouts;
    SerialDeadline deadline;
    if (timeouts.write_total_multiplier_ms != 0 || timeouts.write_total_constant_ms != 0) {
        deadline = SerialClock::now() +
                   serial_ms(std::uint64_t{timeouts.write_total_multiplier_ms} * bytes.size() +
                             timeouts.write_total_constant_ms);
    }
    std::optional<SerialClock::duration> stall_limit;
    SerialDeadline stall_deadline;
    while (count < bytes.size()) {
        const ssize_t put = write(slot->fd, bytes.data() + count, bytes.size() - count);
        if (put > 0) {
            count += static_cast<std::size_t>(put);
            stall_deadline.reset();
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        if (!deadline && !stall_deadline) {
            if (!stall_limit) {
                stall_limit = serial_write_stall_limit(slot->fd);
            }
            stall_deadline = SerialClock::now() + *stall_limit;
        }
        const int events =
            serial_posix_wait(slot->fd, POLLOUT, deadline ? deadline : stall_deadline);
        if (events < 0) {
            return false;
        }
        if (events == 0) {
            if (serial_stop_now()) {
                return true;
            }
            errno = ETIMEDOUT;
            return false;
        }
        if ((events & POLLOUT) == 0) { // hang-up or error without room to write
            errno = EIO;
            return false;
        }
    }
    return true;
}

// The error flags stay 0: termios reports no line errors apart from the bytes.
bool serial_status(SerialHandle port, SerialStatus& status) {
    const SerialPortSlot* slot = serial_find(port);
    int in_queue = 0;
    int out_queue = 0;
    if (slot == nullptr || ioctl(slot->fd, FIONREAD, &in_queue) != 0 ||
        ioctl(slot->fd, TIOCOUTQ, &out_queue) != 0) {
        return false;
    }
    status.errors = 0;
    status.in_queue = static_cast<std::uint32_t>(std::max(in_queue, 0));
    status.out_queue = static_cast<std::uint32_t>(std::max(out_queue, 0));
    return true;
}

bool serial_purge_input(SerialHandle port) {
    const SerialPortSlot* slot = serial_find(port);
    return slot != nullptr && tcflush(slot->fd, TCIFLUSH) == 0;
}

bool serial_close(SerialHandle port) {
    SerialPortSlot* slot = serial_find(port);
    if (slot == nullptr) {
        return false;
    }
    const int fd = slot->fd;
    const std::string lock_path = slot->lock_path;
    *slot = SerialPortSlot{};
    // The exclusive flag outlives this descriptor on a terminal that stays open elsewhere (a
    // pseudo-terminal's other side); closing drops the flock anyway.
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    // After EINTR the descriptor is closed all the same.
    const bool closed = close(fd) == 0 || errno == EINTR;
    // The lock file goes last, once the port is really free for whoever honours it.
    const int error = errno;
    serial_lock_release(lock_path);
    errno = error;
    return closed;
}

int serial_last_error() {
    return errno;
}

void serial_sleep_ms(std::uint32_t milliseconds) {
    serial_posix_wait(-1, 0, SerialClock::now() + serial_ms(milliseconds));
}

std::uint64_t serial_clock_ms() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SerialClock::now().time_since_epoch())
            .count());
}
