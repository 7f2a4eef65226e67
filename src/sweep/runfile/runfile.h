// The sweep's own account of its last run, the run file beside the log (gyro_motor_run.txt):
// when the run started and ended, its exit status and error message, the samples it logged and
// the polls it made, and whether it replaced the log and with how many bytes. Whoever judges a
// log reads it to learn whether the log beside it is the last sweep's and whether that sweep
// ended well.
//
// The file is text, one "key=value" line each, in this order (values never hold a line break):
//
//   gyro_motor_run=1                   what the file is, and the version of its format
//   started=2026-12-09T13:38:57.123Z   UTC, to the millisecond
//   ended=2026-12-09T13:39:31.456Z     empty while the run goes on (or when it never ended)
//   status=0                           the exit status; empty while the run goes on
//   message=                           the run's messages on standard error after the two
//                                      success lines, joined by "; "; empty when it succeeded
//   samples=621                        samples logged
//   polls=621                          gyro polls made
//   log_replaced=yes                   yes once this run replaced the log, else no
//   log_bytes=123456                   the log's size when the run closed it; empty when it did
//                                      not replace it (or its size cannot be had)
//   version=0.1                        the version of gyro_motor
//
// It is written whole, as a new file that is put on the disk and then renamed over the old one,
// so a reader finds the old account or the new one, never a mix. A run writes it twice: just
// before it replaces the log (with no end yet), and when it ends, whatever the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

struct RunAccount {
    std::string started;
    std::string ended; // empty: the run did not end (yet)
    std::optional<int> status;
    std::string message;
    std::uint64_t samples = 0;
    std::uint64_t polls = 0;
    bool log_replaced = false;
    std::optional<std::uint64_t> log_bytes;
    std::string version;
};

// The run file's name beside a log: the log's name with its .txt replaced by _run.txt (or
// _run.txt added), gyro_motor.txt giving gyro_motor_run.txt.
std::string runfile_path(const std::string& log_path);

// A moment as the run file writes it: 2026-12-09T13:38:57.123Z. Such texts sort as their times.
std::string runfile_time(std::chrono::system_clock::time_point time);

// --- what the sweep does -------------------------------------------------------------------

// The run begins: its messages are gathered from here on.
void runfile_begin();

// Writes one of the run's messages on standard error, as fprintf(stderr, format, ...) would, and
// keeps it, without its line end, for the account.
void runfile_say(const char* format, ...)
#ifdef __MINGW32__
    __attribute__((format(gnu_printf, 1, 2)));
#else
    __attribute__((format(printf, 1, 2)));
#endif

// The messages said since runfile_begin, joined by "; ".
std::string runfile_messages();

// Writes the account as the file `name`: a new file beside it, put on the disk, renamed over the
// old one, and the folder's names put on the disk. Returns 0, or the errno of what failed (the
// old account is then left as it was, and the new file removed).
int runfile_write(const char* name, const RunAccount& account);

// --- what a reader does --------------------------------------------------------------------

enum class RunFileRead { read, missing, broken };

// Reads the account at `path` (a UTF-8 name). `missing` when there is no such file; `broken`,
// with the reason in `error`, for one that cannot be read or is not an account.
RunFileRead runfile_read(const std::string& path, RunAccount& account, std::string& error);

// The account as text, the file's very bytes on POSIX.
std::string runfile_text(const RunAccount& account);

// Reads an account from its text; false with the reason in `error` when it is none.
bool runfile_parse(const std::string& text, RunAccount& account, std::string& error);

// The platform's part, one file per platform.
// Puts the file's data on the disk: 0 or the errno of the failure.
int runfile_sync(std::FILE* file);
// Puts the folder's names on the disk; 0 also where the platform offers no such call.
int runfile_sync_folder(const char* folder);
// Renames `from` to `to`, replacing `to` as one step: 0 or the errno of the failure.
int runfile_replace(const char* from, const char* to);
