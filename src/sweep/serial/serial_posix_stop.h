// The requests to stop on POSIX (SIGINT, SIGTERM, SIGHUP) and the wait that they end: every
// read, write and sleep of the termios backend waits here, so that a request ends it at once.
#pragma once

#include <chrono>
#include <optional>

using SerialClock = std::chrono::steady_clock;
using SerialDeadline = std::optional<SerialClock::time_point>;

// Waits until fd reports one of events or the deadline passes (no deadline: no limit; fd -1:
// only the time). Returns the reported events, 0 when the deadline passed or a request to stop
// came, -1 with errno on a failure. Other signals only restart the wait for the time left.
// The stop signals stay blocked from the check of the flag until ppoll() unblocks them as the
// wait begins: a request that comes in between is delivered inside the wait and ends it, rather
// than being noticed only when the wait runs out.
int serial_posix_wait(int fd, short events, SerialDeadline deadline);
