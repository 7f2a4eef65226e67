// The serial line settings shared by the gyro and motor links; the platform operations themselves
// live in one backend file per platform.
#include "serial/serial.h"

#include <cstdio>

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
