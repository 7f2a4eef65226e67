#include "driver/driver.h"

#include "gyro/gyro.h"
#include "motor/motor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int driver_run(const SweepSettings& settings) {
    const std::optional<SerialHandle> gyro_port =
        gyro_open_port(settings.gyro_port_name, settings.gyro_baud_rate);
    if (!gyro_port) {
        std::fprintf(stderr, "open gyro port failed\n");
        return driver_exit_open_failed;
    }
    std::fprintf(stderr, "open gyro port succeeded\n");

    if (motor_open_port(settings.motor_port_name, settings.motor_baud_rate) != 0) {
        std::fprintf(stderr, "open Motor port failed\n");
        serial_close(*gyro_port);
        return driver_exit_open_failed;
    }
    std::fprintf(stderr, "open Motor port succeeded\n");

    // Without a log there is nothing to sweep for: never start the move.
    std::FILE* log = std::fopen(settings.log_file_name, "w");
    if (log == nullptr) {
        std::fprintf(stderr, "open sample log %s failed: %s\n", settings.log_file_name,
                     std::strerror(errno));
        motor_close_port();
        serial_close(*gyro_port);
        return driver_exit_open_failed;
    }

    motor_move_absolute(settings.target_position, 0);
    while (motor_is_moving()) {
        if (const std::optional<GyroSample> sample = gyro_read_sample(*gyro_port)) {
            gyro_log_sample(log, *sample);
        }
    }
    motor_return_to_zero();

    motor_close_port();
    std::fclose(log);
    serial_close(*gyro_port);
    return driver_exit_ok;
}
