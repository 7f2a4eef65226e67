// A serial port on a pseudo-terminal for the termios backend's tests: the fixture plays the
// device on the master side, and the code under test opens the slave as its serial port.
#pragma once

#include "sweep/serial/serial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// Opens a pseudo-terminal (master) and keeps lock files in a folder of the test's own; closes
// the port, the master and the folder at the end.
class SerialPosixTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    void open_port();

    int master = -1;
    std::string slave;
    std::string lock_dir;
    SerialHandle port = serial_invalid_handle;
};

long long pty_ms_since(std::chrono::steady_clock::time_point start);

void pty_set_read_timeouts(SerialHandle port, std::uint32_t interval, std::uint32_t multiplier,
                           std::uint32_t constant);

struct PtyReadResult {
    bool ok = false;
    std::string bytes;
    long long elapsed_ms = 0;
    int error = 0;
};

// One read of up to size bytes, timed.
PtyReadResult pty_timed_read(SerialHandle port, std::size_t size);
