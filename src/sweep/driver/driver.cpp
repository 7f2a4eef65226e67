#include "sweep/driver/driver.h"
#include "base/exit/exit_status.h"

#include "sweep/gyro/gyro.h"
#include "sweep/motor/motor.h"
#include "sweep/samplelog/samplelog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Closes in the run's order: motor port, log (and times; none before they were opened), gyro
// port. Returns 0, or the errno of a log that could not be completed.
int driver_close_all(std::FILE* log, SerialHandle gyro_port) {
    motor_close_port();
    const int log_error = samplelog_close(log);
    serial_close(gyro_port);
    return log_error;
}

// Readies the bench for the long move: drops what an earlier run left on both lines, so that
// neither link reads one answer or one frame behind, makes sure the motor stands still, and sets
// the sweep speed, which a return cut short may have left at the return speed. What is dropped
// is what the lines hold: a quiet line costs no read time-out. False when the move must not
// start: the motor moves, either device failed, or the user asked to stop.
bool driver_prepare_bench(SerialHandle gyro_port) {
    motor_drop_pending();
    gyro_drop_pending(gyro_port);
    if (gyro_link_fault() != GyroFault::none) {
        return false;
    }
    if (motor_is_moving()) {
        std::fprintf(stderr, "Motor - still moving, not starting\n");
        return false;
    }
    motor_send_normal_speed();
    return !motor_link_failed() && serial_interrupted() == 0;
}

// The return to zero, also after a first request to stop, which is reported before it so that
// the user sees it taken. A second request cuts the return short.
void driver_return_to_zero() {
    const bool sweep_cut_short = serial_interrupted() != 0;
    if (sweep_cut_short) {
        std::fprintf(stderr, "sweep interrupted\n");
    }
    motor_return_to_zero();
    if (serial_stop_now()) {
        std::fprintf(stderr, "return interrupted\n");
    } else if (!sweep_cut_short && serial_interrupted() != 0) {
        std::fprintf(stderr, "sweep interrupted\n");
    }
}

// An empty log must not pass as a sweep: a gyro that answered every poll with frames that all
// failed their check is as good as a wrong device (or a wrong line setting), and a controller
// that reported no motion at its first query never made the move (the motor stood at the target
// already, as a return cut short leaves it, or the controller refused the move).
bool driver_nothing_logged(int polls, int samples) {
    if (samples != 0 || gyro_link_fault() != GyroFault::none || serial_interrupted() != 0) {
        return false;
    }
    if (polls != 0) {
        std::fprintf(stderr, "Gyro - no valid frame in %d polls\n", polls);
        return true;
    }
    if (motor_link_failed()) {
        return false;
    }
    std::fprintf(stderr, "Motor - no motion after the move\n");
    return true;
}

} // namespace

int driver_run(const SweepSettings& settings) {
    // The first Ctrl-C ends the sweep with the return to zero; only a second one stops at once.
    serial_catch_interrupts(SerialFirstInterrupt::finish_first);

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

    // Before the log: a bench that is not ready keeps the earlier run's samples.
    if (!driver_prepare_bench(*gyro_port)) {
        driver_close_all(nullptr, *gyro_port);
        if (const int interrupted_by = serial_interrupted(); interrupted_by != 0) {
            std::fprintf(stderr, "sweep interrupted\n");
            return exit_interrupted_base + interrupted_by;
        }
        return exit_device_failed;
    }

    // Before the log is replaced: an earlier run's times must not stay beside the new log.
    if (!samplelog_open_times(settings.times_file_name)) {
        driver_close_all(nullptr, *gyro_port);
        return exit_open_failed;
    }
    // Without a log there is nothing to sweep for: never start the move.
    std::FILE* log = std::fopen(settings.log_file_name, "w");
    if (log == nullptr) {
        std::fprintf(stderr, "open sample log %s failed: %s\n", settings.log_file_name,
                     std::strerror(errno));
        driver_close_all(nullptr, *gyro_port);
        return exit_open_failed;
    }

    samplelog_begin(log, settings.log_file_name);

    // The first write error of the log, kept with its reason; the log takes no records after it.
    int log_error = 0;
    int polls = 0;
    int samples = 0;
    // The sample times count from the move command, and each is taken just before its poll.
    const SampleLogClock::time_point move_written = SampleLogClock::now();
    motor_move_absolute(settings.target_position, 0);
    while (serial_interrupted() == 0 && motor_is_moving()) {
        ++polls;
        const SampleLogClock::time_point polled_at = SampleLogClock::now();
        const std::optional<GyroSample> sample = gyro_read_sample(*gyro_port);
        if (sample) {
            ++samples;
        }
        if (sample && log_error == 0) {
            log_error = samplelog_append(log, *sample, move_written, polled_at);
        }
    }
    const bool nothing_logged = driver_nothing_logged(polls, samples);
    driver_return_to_zero();

    const int interrupted_by = serial_interrupted();
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
    if (motor_link_failed() || gyro_link_fault() != GyroFault::none || nothing_logged) {
        return exit_device_failed;
    }
    return exit_ok;
}
