#include "driver/driver.h"
#include "exit/exit_status.h"

#include "gyro/gyro.h"
#include "motor/motor.h"
#include "samplelog/samplelog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Closes in the run's order: motor port, log, gyro port. Returns 0, or the errno of a log that
// could not be completed.
int driver_close_all(std::FILE* log, SerialHandle gyro_port) {
    motor_close_port();
    const int log_error = log != nullptr ? samplelog_close(log) : 0;
    serial_close(gyro_port);
    return log_error;
}

} // namespace

int driver_run(const SweepSettings& settings) {
    serial_catch_interrupts();

    const std::optional<SerialHandle> gyro_port =
        gyro_open_port(settings.gyro_port_name, settings.gyro_baud_rate);
    if (!gyro_port) {
        std::fprintf(stderr, "open gyro port failed\n");
        return exit_open_failed;
    }
    std::fprintf(stderr, "open gyro port succeeded\n");

    if (motor_open_port(settings.motor_port_name, settings.motor_baud_rate) != 0) {
        std::fprintf(stderr, "open Motor port failed\n");
        serial_close(*gyro_port);
        return exit_open_failed;
    }
    std::fprintf(stderr, "open Motor port succeeded\n");

    // Without a log there is nothing to sweep for: never start the move.
    std::FILE* log = std::fopen(settings.log_file_name, "w");
    if (log == nullptr) {
        std::fprintf(stderr, "open sample log %s failed: %s\n", settings.log_file_name,
                     std::strerror(errno));
        driver_close_all(nullptr, *gyro_port);
        return exit_open_failed;
    }

    samplelog_begin(log, settings.times_file_name);

    // The first write error of the log, kept with its reason; the log takes no records after it.
    int log_error = 0;
    // The sample times count from the move command, and each is taken just before its poll.
    const SampleLogClock::time_point move_written = SampleLogClock::now();
    motor_move_absolute(settings.target_position, 0);
    while (motor_is_moving()) {
        const SampleLogClock::time_point polled_at = SampleLogClock::now();
        const std::optional<GyroSample> sample = gyro_read_sample(*gyro_port);
        if (sample && log_error == 0) {
            log_error = samplelog_append(log, *sample, move_written, polled_at);
        }
    }
    motor_return_to_zero();

    const int interrupted_by = serial_interrupted();
    if (interrupted_by != 0) {
        std::fprintf(stderr, "sweep interrupted\n");
    }
    const int close_error = driver_close_all(log, *gyro_port);
    if (log_error == 0) {
        log_error = close_error;
    }
    if (log_error != 0) {
        std::fprintf(stderr, "sample log %s could not be completed: %s\n", settings.log_file_name,
                     std::strerror(log_error));
    }

    if (interrupted_by != 0) {
        return exit_interrupted_base + interrupted_by;
    }
    if (log_error != 0) {
        return exit_log_failed;
    }
    if (motor_link_failed() || gyro_link_fault() != GyroFault::none) {
        return exit_device_failed;
    }
    return exit_ok;
}
