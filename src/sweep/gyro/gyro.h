// The gyro link: opens the gyro's port, polls one 30-byte frame at a time, checks and decodes it,
// and writes a sample as five lines of the sample log. The caller owns the port and closes it with
// serial_close; the link itself only remembers whether the gyro has failed since the port opened.
#pragma once

#include "sweep/serial/serial.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

inline constexpr std::size_t gyro_frame_length = 30;
inline constexpr std::size_t gyro_word_count = 14;
inline constexpr std::uint8_t gyro_poll_command = 'G';
// A gyro answers a poll within milliseconds; this long without a byte and the poll gives up.
inline constexpr std::uint32_t gyro_silence_limit_ms = 2000;

// Words 0-11 are signed 16-bit, words 12 and 13 unsigned; index 13 is never logged.
struct GyroSample {
    std::array<std::int32_t, gyro_word_count> words{};
};

using GyroFrame = std::array<std::uint8_t, gyro_frame_length>;

// What went wrong with the gyro during a run, worst first kept.
enum class GyroFault { none, silent, port_failed };

// Opens and configures the gyro port; on failure prints why and returns nothing, leaving nothing
// open. Clears the fault of an earlier port.
std::optional<SerialHandle> gyro_open_port(const char* port_name, std::uint32_t baud_rate);

// Polls once: nothing when the gyro stayed silent, the reply was short or its checksum is wrong,
// and at once when the port has failed. After a short or wrong reply, whatever is queued or still
// arriving is discarded until the line is quiet, so the next poll starts in step with the frames;
// after a good one nothing is discarded.
std::optional<GyroSample> gyro_read_sample(SerialHandle port);

// Writes the command and reads the reply: from the first read that brings anything, reads go on
// into the rest of the buffer until it is full or a read brings nothing. Returns the byte count
// (0 when the gyro stayed silent for gyro_silence_limit_ms, the port failed or the program is
// asked to stop). Bytes beyond the buffer stay queued.
std::size_t gyro_exchange(SerialHandle port, const char* command, std::span<std::uint8_t> reply);

// Drops what the port holds, and goes on dropping until a one-byte read brings nothing: bytes an
// earlier poll left behind, or the rest of its frame still on its way, must not become the start
// of the next reply.
void gyro_discard_input(SerialHandle port);
// Drops what the port holds by its receive queue count (serial_drop_pending), without waiting
// for the line to fall quiet. A failed read is a port failure, as in a poll.
void gyro_drop_pending(SerialHandle port);

// The worst fault since the port was opened. A port failure or a silent poll prints one
// "Gyro - ..." message the first time; a failed port is not used again.
GyroFault gyro_link_fault();

// Checks the checksum (low 8 bits of the sum of bytes 1-28 against byte 29) and decodes the
// fourteen big-endian words.
std::optional<GyroSample> gyro_decode_frame(const GyroFrame& frame);

// Appends the sample's five lines to the log.
void gyro_log_sample(std::FILE* log, const GyroSample& sample);
