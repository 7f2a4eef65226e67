// The line settings of a POSIX terminal (termios) behind the serial port services: the raw mode
// a port is opened in, the settings record read and written, and the line's rate.
#pragma once

#include "sweep/serial/serial.h"

#include <cstdint>

// A Windows port is always raw: no echo, no line editing, no signals, no translation of any
// byte in either direction, the receiver on and the modem lines ignored. VMIN 1 with VTIME 0
// makes poll() report each byte as it comes; the reads themselves never block.
bool serial_posix_make_raw(int fd);
// The terminal's settings as the record holds them; false with errno when they cannot be read.
bool serial_posix_get_line_settings(int fd, SerialLineSettings& settings);
// Writes the record's baud rate, parity and stop bits (and, when asked, makes the line
// transparent) over the native settings it carries. EINVAL for what termios cannot do.
bool serial_posix_set_line_settings(int fd, const SerialLineSettings& settings);
// The line's output rate in baud; 0 when it cannot be read or termios has no number for it.
std::uint32_t serial_posix_line_rate(int fd);
