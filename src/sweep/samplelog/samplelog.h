// The sample log and its times file as the sweep writes them. Each record reaches the system
// whole the moment it is logged, so a killed or crashed run leaves whole records only; a write
// that fails cuts the log back to its last whole record; and the files are put on the disk at
// the end.
// The times file holds, for each logged sample and in the log's order, one line "%.4f": the
// seconds on a monotonic clock from the writing of the long move command to the writing of that
// sample's poll. Its line follows its record, so after a kill the two differ by one at most.
#pragma once

#include "sweep/gyro/gyro.h"

#include <chrono>
#include <cstdio>

using SampleLogClock = std::chrono::steady_clock;

// Creates or empties the times file, before the log is replaced. One that cannot be is removed,
// and made anew where the folder allows: an earlier run's times never stay beside a new log.
// False, after a message, when it can be neither emptied nor removed: the run must then leave
// the earlier log alone. A times file that cannot be made or written costs one line on standard
// error, once, and nothing else.
bool samplelog_open_times(const char* times_file_name);

// Takes over the log, named log_file_name, just opened for the sweep.
void samplelog_begin(std::FILE* log, const char* log_file_name);

// Appends the sample's record, then its time: the poll written at polled_at, counted from the
// move written at move_written. Returns 0, or the errno of a record that did not reach the file
// whole; the log has then been cut back to its last whole record and takes no more.
int samplelog_append(std::FILE* log, const GyroSample& sample,
                     SampleLogClock::time_point move_written, SampleLogClock::time_point polled_at);

// Puts both files on the disk, closes them, and puts their names on the disk (their folders).
// Returns 0, or the errno of a log that could not be completed. With no log (it never opened),
// closes the times file only.
int samplelog_close(std::FILE* log);

// The platform's part, one file per platform; a test may link its own in their place.
// Asks the system to put the file's data on the disk: 0, or the errno of the failure; EINVAL for
// a file that cannot be synced (a device, a pipe).
int samplelog_sync(std::FILE* file);
// The same for the folder's list of names, so that a new file's name survives a power cut too.
// 0 also where the folder cannot be opened for it, or the platform has no such call.
int samplelog_sync_folder(const char* folder);
// Cuts the file, whose stream holds nothing unwritten, to length bytes.
bool samplelog_cut(std::FILE* file, long length);
