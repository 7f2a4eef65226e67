#include "base/exit/exit_status.h"
#include "base/usage/usage.h"
#include "sweep/driver/driver.h"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

// Asking for help must never move the motor. Every other argument is ignored. "/?" asks for
// help on every platform, as it always has here.
bool main_asks_for_usage(int argc, char** argv, bool& version) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--version") {
            version = true;
            return true;
        }
        if (usage_asks_for_help(argument) || argument == "/?") {
            return true;
        }
    }
    return false;
}

void main_print_usage(const SweepSettings& settings) {
    const std::string help = "print this help and exit (also " + usage_more_help() + ")";
    std::array<char, 2048> text{};
    std::snprintf(
        text.data(), text.size(),
        "Usage: gyro_motor\n"
        "Bench test of a gyro on a motor-turned platform: moves the motor to %d, logs a gyro "
        "sample into %s for every motion report, returns the motor to zero and closes "
        "everything. Gyro on %s at %u baud, motor controller on %s at %u baud.\n"
        "Takes no arguments; any other than these is ignored:\n"
        "  -h, --help    %s\n"
        "  --version     print the version and exit\n"
        "Ctrl-C ends the sweep with the return to zero; a second Ctrl-C stops at once.\n"
        "Exit status: 0 complete sweep; 1 a port or the log did not open, or the old times "
        "file could be neither emptied nor removed; 3 the controller or the gyro failed, no "
        "frame was valid, the motor did not move, or it was still moving at the start; 4 the "
        "log could not be completed; %s interrupted.\n",
        static_cast<int>(settings.target_position), settings.log_file_name, settings.gyro_port_name,
        static_cast<unsigned>(settings.gyro_baud_rate), settings.motor_port_name,
        static_cast<unsigned>(settings.motor_baud_rate), help.c_str(), usage_interrupts);
    std::fputs(usage_wrap(text.data()).c_str(), stdout);
}

} // namespace

int main(int argc, char** argv) {
    bool version = false;
    if (main_asks_for_usage(argc, argv, version)) {
        if (version) {
            std::printf("%s\n", usage_version("gyro_motor").c_str());
        } else {
            main_print_usage(driver_settings);
        }
        return exit_ok;
    }
    return driver_run(driver_settings);
}
