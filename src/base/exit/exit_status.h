// Exit statuses that the sweep and its companion programs share, so that a script reads them
// alike whichever program it ran.
#pragma once

// Everything done.
inline constexpr int exit_ok = 0;
// A port or the sample log could not be opened; nothing was moved.
inline constexpr int exit_open_failed = 1;
// A companion program was given an argument it cannot use (the sweep takes none).
inline constexpr int exit_bad_arguments = 2;
// The controller or the gyro failed during the run (silent, or its port gone).
inline constexpr int exit_device_failed = 3;
// The sample log could not be written or closed completely.
inline constexpr int exit_log_failed = 4;
// gyro_motor_report with limits: the verdict is FAIL (a figure outside its limits, or not
// measured, or a log with broken records).
inline constexpr int exit_verdict_failed = 5;
// gyro_motor_report: the archive record could not be written; the report was still printed.
inline constexpr int exit_archive_failed = 6;
// gyro_motor_report and gyro_motor_station: the sweep judged is no whole sweep of this sensor,
// so its outcome is ERROR or ABORTED, never PASS: its log is not the last sweep's (the run file
// beside it says that run did not replace it, or left another size, or never ended), or the sweep
// ended with a failure or was interrupted. The attempt is recorded as such when archived.
inline constexpr int exit_sweep_error = 7;
// The lab's database could not be reached or did not take the records (a server down, the
// network, a driver missing); with gyro_motor_report the record is kept in the archive folder.
inline constexpr int exit_database_failed = 8;
// Interrupted by the user: 128 + the signal number, 130 for Ctrl-C, 143 for SIGTERM.
inline constexpr int exit_interrupted_base = 128;
