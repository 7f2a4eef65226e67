#include "sweep/driver/driver.h"
#include "base/exit/exit_status.h"
#include "base/usage/usage.h"

#include "sweep/gyro/gyro.h"
#include "sweep/motor/motor.h"
#include "sweep/runfile/runfile.h"
#include "sweep/samplelog/samplelog.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

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
        runfile_say("Motor - still moving, not starting\n");
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
        runfile_say("sweep interrupted\n");
    }
    motor_return_to_zero();
    if (serial_stop_now()) {
        runfile_say("return interrupted\n");
    } else if (!sweep_cut_short && serial_interrupted() != 0) {
        runfile_say("sweep interrupted\n");
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
        runfile_say("Gyro - no valid frame in %d polls\n", polls);
        return true;
    }
    if (motor_link_failed()) {
        return false;
    }
    runfile_say("Motor - no motion after the move\n");
    return true;
}

// Set when the run file could be neither replaced nor removed at the start: it is not tried again.
bool driver_account_stuck = false;

// The account of the run that is about to replace the log, written before it does: an earlier
// run's account must never stay beside the new log, since it would vouch for the log. One that
// cannot be replaced is removed (the end of the run tries again); false, after a message, when it
// can be neither, and the run must then leave the log alone.
bool driver_account_running(const SweepSettings& settings, const RunAccount& account) {
    const int error = runfile_write(settings.run_file_name, account);
    if (error == 0 || std::remove(settings.run_file_name) == 0 || errno == ENOENT) {
        return true;
    }
    runfile_say("run file %s could be neither replaced nor removed: %s\n", settings.run_file_name,
                std::strerror(error));
    driver_account_stuck = true;
    return false;
}

// The sweep itself; the account gathers what it logged and whether it replaced the log.
int driver_sweep(const SweepSettings& settings, RunAccount& account) {
    // The first Ctrl-C ends the sweep with the return to zero; only a second one stops at once.
    serial_catch_interrupts(SerialFirstInterrupt::finish_first);

    const std::optional<SerialHandle> gyro_port =
        gyro_open_port(settings.gyro_port_name, settings.gyro_baud_rate);
    if (!gyro_port) {
        runfile_say("open gyro port failed\n");
        return exit_open_failed;
    }
    std::fprintf(stderr, "open gyro port succeeded\n");

    if (motor_open_port(settings.motor_port_name, settings.motor_baud_rate) != 0) {
        runfile_say("open Motor port failed\n");
        serial_close(*gyro_port);
        return exit_open_failed;
    }
    std::fprintf(stderr, "open Motor port succeeded\n");

    // Before the log: a bench that is not ready keeps the earlier run's samples.
    if (!driver_prepare_bench(*gyro_port)) {
        driver_close_all(nullptr, *gyro_port);
        if (const int interrupted_by = serial_interrupted(); interrupted_by != 0) {
            runfile_say("sweep interrupted\n");
            return exit_interrupted_base + interrupted_by;
        }
        return exit_device_failed;
    }

    if (!driver_account_running(settings, account)) {
        driver_close_all(nullptr, *gyro_port);
        return exit_open_failed;
    }
    // Before the log is replaced: an earlier run's times must not stay beside the new log.
    if (!samplelog_open_times(settings.times_file_name)) {
        driver_close_all(nullptr, *gyro_port);
        return exit_open_failed;
    }
    // Without a log there is nothing to sweep for: never start the move.
    std::FILE* log = std::fopen(settings.log_file_name, "w");
    if (log == nullptr) {
        runfile_say("open sample log %s failed: %s\n", settings.log_file_name,
                    std::strerror(errno));
        driver_close_all(nullptr, *gyro_port);
        return exit_open_failed;
    }

    account.log_replaced = true;
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
    account.polls = static_cast<std::uint64_t>(polls);
    account.samples = static_cast<std::uint64_t>(samples);
    const bool nothing_logged = driver_nothing_logged(polls, samples);
    driver_return_to_zero();

    const int interrupted_by = serial_interrupted();
    const int close_error = driver_close_all(log, *gyro_port);
    if (log_error == 0) {
        log_error = close_error;
    }
    if (log_error != 0) {
        runfile_say("sample log %s could not be completed: %s\n", settings.log_file_name,
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

} // namespace

int driver_run(const SweepSettings& settings) {
    RunAccount account;
    account.started = runfile_time(std::chrono::system_clock::now());
    account.version = usage_version_number();
    runfile_begin();
    driver_account_stuck = false;
    const int status = driver_sweep(settings, account);

    account.ended = runfile_time(std::chrono::system_clock::now());
    account.status = status;
    account.message = status == exit_ok ? std::string() : runfile_messages();
    std::error_code ignored;
    if (account.log_replaced && std::filesystem::is_regular_file(settings.log_file_name, ignored)) {
        if (const std::uintmax_t bytes =
                std::filesystem::file_size(settings.log_file_name, ignored);
            !ignored) {
            account.log_bytes = bytes;
        }
    }
    // An account that cannot be written leaves the one without an end: the log then counts as a
    // sweep that did not end. The status stays the sweep's.
    if (!driver_account_stuck) {
        if (const int error = runfile_write(settings.run_file_name, account); error != 0) {
            std::fprintf(stderr, "run file %s could not be written: %s\n", settings.run_file_name,
                         std::strerror(error));
        }
    }
    return status;
}
