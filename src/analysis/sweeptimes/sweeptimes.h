// The sample times that gyro_motor writes beside its log: one line per logged sample, in the
// log's order, the seconds from the long move command to the moment that sample's poll was
// written ("%.4f", a monotonic clock). The log itself has no time stamps; with these a reader
// measures the turn against the clock instead of taking the samples as evenly spaced.
#pragma once

#include "analysis/sweeplog/sweeplog.h"

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Where the times of the log at log_path are: its name with a final ".txt" (any case where names
// ignore it) replaced by "_times.txt", or with "_times.txt" appended.
std::string sweeptimes_path(const std::string& log_path);

// Reads the times, LF or CR LF line ends. A line that is not a decimal number, or a time not
// later than the one before, stops the reading with a problem; what came before it stays. A last
// line without a line end was cut short by the end of a run and is left out. Returns false only
// when the stream reports a read error.
bool sweeptimes_read(std::FILE* file, std::vector<double>& times,
                     std::optional<SweepLogProblem>& problem);

// The time of each sample in order, as far as the times reach: record k of the log (its lines
// 5k+1 to 5k+5) was polled at time line k+1, so a broken record of five lines costs its own time
// only. A good record that starts anywhere else follows one that lost or gained lines, and would
// take a neighbour's time: that is a problem, and nothing matches. Times one line more or fewer
// than the log has records (a run stopped between the two writes) match all the same; a larger
// difference is a problem, and nothing matches.
std::vector<double> sweeptimes_match(std::span<const SweepLogSample> samples,
                                     std::span<const double> times,
                                     std::optional<SweepLogProblem>& problem);

// Reads the times at path and matches them to the samples into sample_times (left empty without
// times). A file that is missing where it was only looked for means a log without times. Returns
// false, having printed "PATH:LINE: message" or "PROGRAM: cannot open|read PATH: reason" on
// standard error, when the times cannot be used: the samples then go by their number.
bool sweeptimes_load(const char* program, const std::string& path, bool named,
                     std::span<const SweepLogSample> samples, std::vector<double>& sample_times);
