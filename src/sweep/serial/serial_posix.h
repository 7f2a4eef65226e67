// What the termios backend shows its own tests, beyond the serial port services.
#pragma once

// Called, when set, each time a wait (a read's, a write's or a sleep) is about to start: after
// the stop flag was checked, with the stop signals blocked. A test raises a stop signal here to
// show that the wait still ends at once.
extern void (*serial_posix_before_wait)();
