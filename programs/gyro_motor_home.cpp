// Homes the platform's motor: drives it against its negative end, waits for the motion to end,
// and backs off. Uses the sweep's own motor port name and rate.
#include "base/exit/exit_status.h"
#include "programs/cli.h"
#include "sweep/driver/driver.h"
#include "sweep/motor/motor.h"

#include <cstdio>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    CLI::App app("Homes the motor on " + std::string(driver_settings.motor_port_name) + " at " +
                     std::to_string(driver_settings.motor_baud_rate) +
                     " baud: drives it against its negative end, waits for the end of that\n"
                     "motion, queries the error register and backs off. Takes no arguments.",
                 "gyro_motor_home");
    cli_setup(app);
    app.footer("Ends with one line on standard output that says what it did and the value the\n"
               "error register held.\n\n"
               "Exit status: 0 homed; 1 the port did not open; 2 bad arguments; 3 the controller\n"
               "stopped answering; " +
               std::string(usage_interrupts) +
               " interrupted: a first interruption lets the homing end with its back-off, a "
               "second one stops at once.");
    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }

    // No command stops the homing move: the first Ctrl-C lets the homing end with its back-off,
    // which leaves the motor off its end; a second one stops at once.
    serial_catch_interrupts(SerialFirstInterrupt::finish_first);
    if (motor_open_port(driver_settings.motor_port_name, driver_settings.motor_baud_rate) != 0) {
        std::fprintf(stderr, "open Motor port failed\n");
        return exit_open_failed;
    }
    std::fprintf(stderr, "open Motor port succeeded\n");
    motor_home();
    motor_close_port();
    if (const int signal = serial_interrupted(); signal != 0) {
        std::fprintf(stderr, serial_stop_now() ? "homing interrupted, stopped at once\n"
                                               : "homing interrupted\n");
        return exit_interrupted_base + signal;
    }
    if (motor_link_failed()) {
        return exit_device_failed;
    }
    const std::string error_register = motor_error_register
                                           ? std::to_string(*motor_error_register)
                                           : std::string("not in the controller's answer");
    std::printf("homed: drove to the negative end, waited for the motion to end and backed off "
                "by 10000; error register %s\n",
                error_register.c_str());
    return exit_ok;
}
