// The serial line settings shared by the gyro and motor links; the platform operations themselves
// live in one backend file per platform.
#include "sweep/serial/serial.h"

#include <algorithm>
#include <cstdio>

namespace {

// Reads of the drop before it gives up on a device that keeps sending.
constexpr int serial_drop_rounds = 64;

} // namespace

bool serial_drop_pending(SerialHandle port) {
    std::array<std::uint8_t, 100> buffer{};
    for (int round = 0; round < serial_drop_rounds; ++round) {
        SerialStatus status;
        const bool counted = serial_status(port, status);
        const std::size_t wanted =
            counted ? std::min<std::size_t>(status.in_queue, buffer.size()) : buffer.size();
        std::size_t count = 0;
        if (wanted == 0) {
            return true;
        }
        if (!serial_read(port, std::span(buffer).first(wanted), count)) {
            return false;
        }
        if (count == 0 || !counted) {
            return true;
        }
    }
    return true;
}

bool serial_apply_line_settings(SerialHandle port, std::uint32_t baud_rate,
                                const char* device_word) {
    SerialLineSettings settings;
    if (!serial_get_line_settings(port, settings)) {
        std::fprintf(stderr, "%s - error getting comm: %d\n", device_word, serial_last_error());
        return false;
    }
    settings.baud_rate = baud_rate;
    settings.parity = SerialParity::none;
    settings.stop_bits = SerialStopBits::one;
    settings.transparent = true;
    if (!serial_set_line_settings(port, settings)) {
        std::fprintf(stderr, "%s - error setting comm: %d\n", device_word, serial_last_error());
        return false;
    }

    SerialTimeouts timeouts;
    if (!serial_get_timeouts(port, timeouts)) {
        std::fprintf(stderr, " %s - error getting comm timeouts:%d\n", device_word,
                     serial_last_error());
        return false;
    }
    timeouts.read_interval_ms = serial_read_interval_ms;
    timeouts.read_total_multiplier_ms = serial_read_total_multiplier_ms;
    timeouts.read_total_constant_ms = serial_read_total_constant_ms;
    if (timeouts.write_total_multiplier_ms == 0 && timeouts.write_total_constant_ms == 0) {
        timeouts.write_total_multiplier_ms = serial_write_bound_multiplier_ms(baud_rate);
        timeouts.write_total_constant_ms = serial_write_bound_constant_ms;
    }
    if (!serial_set_timeouts(port, timeouts)) {
        std::fprintf(stderr, "%s - error setting comm timeouts:%d\n", device_word,
                     serial_last_error());
        return false;
    }
    return true;
}
