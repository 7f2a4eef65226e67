#include "tests/support/pty_port.h"
#include "sweep/serial/serial_posix_claim.h"
#include "tests/support/process_harness.h"

#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

void SerialPosixTest::SetUp() {
    // Lock files go to a folder of the test's own, never to the system's.
    lock_dir = harness_make_temp_dir("serial_posix_locks.");
    ASSERT_FALSE(lock_dir.empty());
    serial_set_lock_dirs_for_test({lock_dir});
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const char* name = ptsname(master);
    ASSERT_NE(name, nullptr);
    slave = name;
}

void SerialPosixTest::TearDown() {
    if (port != serial_invalid_handle) {
        serial_close(port);
    }
    if (master >= 0) {
        close(master);
    }
    serial_set_lock_dirs_for_test({});
    if (!lock_dir.empty()) {
        std::filesystem::remove_all(lock_dir);
    }
}

void SerialPosixTest::open_port() {
    port = serial_open(slave.c_str());
    ASSERT_NE(port, serial_invalid_handle) << "errno " << serial_last_error();
}

long long pty_ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void pty_set_read_timeouts(SerialHandle port, std::uint32_t interval, std::uint32_t multiplier,
                           std::uint32_t constant) {
    SerialTimeouts timeouts;
    ASSERT_TRUE(serial_get_timeouts(port, timeouts));
    timeouts.read_interval_ms = interval;
    timeouts.read_total_multiplier_ms = multiplier;
    timeouts.read_total_constant_ms = constant;
    ASSERT_TRUE(serial_set_timeouts(port, timeouts));
}

PtyReadResult pty_timed_read(SerialHandle port, std::size_t size) {
    std::vector<std::uint8_t> buffer(size);
    std::size_t count = 0;
    PtyReadResult result;
    const auto start = Clock::now();
    result.ok = serial_read(port, buffer, count);
    result.elapsed_ms = pty_ms_since(start);
    result.error = result.ok ? 0 : serial_last_error();
    result.bytes.assign(reinterpret_cast<const char*>(buffer.data()), count);
    return result;
}
