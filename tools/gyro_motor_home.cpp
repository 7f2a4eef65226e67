// Homes the platform's motor: drives it against its negative end, waits for the motion to end,
// and backs off. Uses the sweep's own motor port name and rate.
#include "driver/driver.h"
#include "motor/motor.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int exit_usage = 2;

void home_usage(std::FILE* stream) {
    std::fprintf(stream, "usage: gyro_motor_home   (homes the motor on %s at %u baud)\n",
                 driver_settings.motor_port_name,
                 static_cast<unsigned>(driver_settings.motor_baud_rate));
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        home_usage(stdout);
        return driver_exit_ok;
    }
    if (argc != 1) {
        home_usage(stderr);
        return exit_usage;
    }
    serial_catch_interrupts();
    if (motor_open_port(driver_settings.motor_port_name, driver_settings.motor_baud_rate) != 0) {
        std::fprintf(stderr, "open Motor port failed\n");
        return driver_exit_open_failed;
    }
    std::fprintf(stderr, "open Motor port succeeded\n");
    motor_home();
    motor_close_port();
    if (const int signal = serial_interrupted(); signal != 0) {
        std::fprintf(stderr, "homing interrupted\n");
        return driver_exit_interrupted_base + signal;
    }
    return motor_link_failed() ? driver_exit_device_failed : driver_exit_ok;
}
