// Serial port services: the few operations the gyro link, the motor link and the driver need,
// each as thin as the platform allows so that every caller can report its own failures.
// One backend is linked per build: kernel32 on Windows, termios on POSIX, or the in-memory test
// port of the unit tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// A port handle: a HANDLE on Windows, a file descriptor on POSIX, a slot on the test port.
using SerialHandle = std::intptr_t;
inline constexpr SerialHandle serial_invalid_handle = -1;

enum class SerialParity : std::uint8_t { none, odd, even, mark, space };
enum class SerialStopBits : std::uint8_t { one, one_and_half, two };

// The line settings as read from the port. The named fields are the ones the links change;
// `native` keeps everything else (data bits, hardware flow control, special characters) exactly as
// read, so that writing the record back leaves it untouched.
struct SerialLineSettings {
    std::uint32_t baud_rate = 0;
    SerialParity parity = SerialParity::none;
    SerialStopBits stop_bits = SerialStopBits::one;
    // Every byte passes unchanged both ways: no XON/XOFF flow control in either direction, no
    // byte dropped (NUL), replaced (error character), stripped to 7 bits or translated (CR/LF),
    // and a line error that does not stop every later transfer. A port keeps what the program
    // before set, which a binary protocol cannot live with. Written false, it changes nothing.
    bool transparent = false;
    alignas(8) std::array<unsigned char, 128> native{};
};

// Read and write time-outs in milliseconds, with the meaning kernel32 gives them: a read of n
// bytes returns when n bytes have arrived, when read_interval_ms pass after a byte without
// another, or when read_total_multiplier_ms * n + read_total_constant_ms have passed in all.
// A zero disables that time-out.
struct SerialTimeouts {
    std::uint32_t read_interval_ms = 0;
    std::uint32_t read_total_multiplier_ms = 0;
    std::uint32_t read_total_constant_ms = 0;
    std::uint32_t write_total_multiplier_ms = 0;
    std::uint32_t write_total_constant_ms = 0;
};

struct SerialStatus {
    std::uint32_t errors = 0;    // error flags, cleared by the query
    std::uint32_t in_queue = 0;  // bytes received and not yet read
    std::uint32_t out_queue = 0; // bytes written and not yet sent
};

// Every operation that can fail returns false (or serial_invalid_handle) and leaves the
// platform's error code for serial_last_error().

// Opens an existing device for reading and writing, exclusively, with synchronous transfers.
SerialHandle serial_open(const char* name);
bool serial_get_line_settings(SerialHandle port, SerialLineSettings& settings);
bool serial_set_line_settings(SerialHandle port, const SerialLineSettings& settings);
bool serial_get_timeouts(SerialHandle port, SerialTimeouts& timeouts);
bool serial_set_timeouts(SerialHandle port, const SerialTimeouts& timeouts);
// Reads up to buffer.size() bytes under the port's read time-outs; count may be 0.
bool serial_read(SerialHandle port, std::span<std::uint8_t> buffer, std::size_t& count);
// Writes all bytes; count is what the platform reports as written. Fewer than all (the write
// time-outs ran out) is a failure, unless a request to stop cut the write short.
bool serial_write(SerialHandle port, std::span<const std::uint8_t> bytes, std::size_t& count);
bool serial_status(SerialHandle port, SerialStatus& status);
// Drops every byte received and not yet read, and ends a read in progress. Bytes still on their
// way (in an adapter, say) are not affected.
bool serial_purge_input(SerialHandle port);
bool serial_close(SerialHandle port);
int serial_last_error();
// Returns early when the user asks the program to stop.
void serial_sleep_ms(std::uint32_t milliseconds);
// Milliseconds on a monotonic clock from an arbitrary start: how long a device really stayed
// silent, whatever the reads in between lasted.
std::uint64_t serial_clock_ms();

// What the first request to stop does. stop_at_once: every wait ends and the motor link sends
// nothing more. finish_first: the waits and the motor link go on, so that the program can bring
// the bench to rest by itself (it looks at serial_interrupted()); only a second request ends them.
enum class SerialFirstInterrupt : std::uint8_t { stop_at_once, finish_first };

// Turns the user's requests to stop (SIGINT, SIGTERM and SIGHUP, a terminal that went away; on
// Windows the console's Ctrl-C, Ctrl-Break and close events) into a flag that the links look at
// wherever they wait, so that a run can close its ports and files properly instead of dying
// mid-record. On POSIX a stop signal that the program inherited as ignored (nohup, a shell's
// background job) stays ignored, and SIGPIPE is ignored: console output that cannot be written
// never ends the run.
void serial_catch_interrupts(SerialFirstInterrupt first = SerialFirstInterrupt::stop_at_once);
// The signal number of the first request to stop (SIGHUP = 1, SIGINT = 2, SIGTERM = 15; on
// Windows Ctrl-C and Ctrl-Break count as 2, closing the console as 15), or 0 while there has been
// none.
int serial_interrupted();
// True once the waits must end and the motor link must stop at once: after the first request
// (stop_at_once) or after the second (finish_first).
bool serial_stop_now();

// Drops what the port has received and not yet read, as far as its receive queue count tells:
// each read asks for what is queued and so returns at once, and a line with nothing queued costs
// one status query, no read time-out. Stops at a read that brings nothing, or after a bound (a
// device that never stops talking). A driver that cannot count its queue gets one read under
// the time-outs instead. False when a read fails (serial_last_error() says why).
bool serial_drop_pending(SerialHandle port);

// The line settings both links use: baud_rate, no parity, one stop bit, transparent, everything
// else as read; read time-outs of 10 ms between bytes and 10 ms per requested byte plus 100 ms in
// total; write time-outs as read, or the bound below when the port has none. On a failure it
// prints the device's message, e.g. "Gyro - error setting comm: 87", on standard error and returns
// false; the port stays open for the caller to close.
bool serial_apply_line_settings(SerialHandle port, std::uint32_t baud_rate,
                                const char* device_word);

inline constexpr std::uint32_t serial_read_interval_ms = 10;
inline constexpr std::uint32_t serial_read_total_multiplier_ms = 10;
inline constexpr std::uint32_t serial_read_total_constant_ms = 100;

// The write time-outs of a port that has none (both zero: a write may wait forever, for a CTS
// that a cable never drives, say): twice the line time of the write at ten bit times a byte, plus
// a second.
inline constexpr std::uint32_t serial_write_bound_constant_ms = 1000;
inline constexpr std::uint32_t serial_write_bound_multiplier_ms(std::uint32_t baud_rate) {
    const std::uint64_t rate = baud_rate != 0 ? baud_rate : 1;
    return static_cast<std::uint32_t>((2 * 10 * 1000 + rate - 1) / rate);
}

// How long a read of n bytes that brings nothing lasts under those settings.
inline constexpr std::uint32_t serial_silent_read_ms(std::size_t n) {
    return serial_read_total_multiplier_ms * static_cast<std::uint32_t>(n) +
           serial_read_total_constant_ms;
}
