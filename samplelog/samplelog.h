// The sample log and its times file as the sweep writes them. Each record reaches the system
// whole the moment it is logged, so a killed or crashed run leaves whole records only; a write
// that fails cuts the log back to its last whole record; and the files are put on the disk about
// once a second and at the end, so that a power cut loses at most about the last second.
// The times file holds, for each logged sample and in the log's order, one line "%.4f": the
// seconds on a monotonic clock from the writing of the long move command to the writing of that
// sample's poll. Its line follows its record, so after a kill the two differ by one at most.
#pragma once

#include "gyro/gyro.h"

#include <chrono>
#include <cstdio>

using SampleLogClock = std::chrono::steady_clock;

// Longest time between two requests to put the files on the disk during the sweep.
inline constexpr std::chrono::milliseconds samplelog_sync_interval{1000};

// Takes over the log just opened for the sweep and creates or empties the times file. A times
// file that cannot be opened or written costs one line on standard error, once, and nothing else.
void samplelog_begin(std::FILE* log, const char* times_file_name);

// Appends the sample's record, then its time: the poll written at polled_at, counted from the
// move written at move_written. Returns 0, or the errno of a record that did not reach the file
// whole; the log has then been cut back to its last whole record and takes no more.
int samplelog_append(std::FILE* log, const GyroSample& sample,
                     SampleLogClock::time_point move_written, SampleLogClock::time_point polled_at);

// Puts both files on the disk and closes them. Returns 0, or the errno of a log that could not be
// completed.
int samplelog_close(std::FILE* log);

// The platform's part, one file per platform.
// Asks the system to put the file's data on the disk: 0, or the errno of a failure that may have
// lost data (a file that cannot be synced, a device say, is no failure).
int samplelog_sync(std::FILE* file);
// Cuts the file, whose stream holds nothing unwritten, to length bytes.
bool samplelog_cut(std::FILE* file, long length);
