// Checks of what an end-to-end run left: the sample log and times read back strictly, each
// logged sample found among the bytes the gyro sent, and the controller's dialogue and the order
// of the ports as the simulator saw them. Failures are reported through GoogleTest.
#pragma once

#include "tests/support/e2e_bench.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The samples of the log, five lines each; failures name the offending line.
std::vector<Values> parse_log(const std::string& log, bool crlf);

// The sample times, one "%.4f" line each, strictly increasing.
std::vector<double> parse_times(const std::optional<std::string>& text, bool crlf);

struct SampleMatch {
    std::size_t aligned = 0;              // samples that are whole frames as sent
    std::vector<std::size_t> frame_index; // per sample: its frame, or SIZE_MAX if misaligned
    std::vector<std::size_t> start;       // per sample: its window's offset in the byte stream
};

// Finds each logged sample, in order, as a 30-byte window with a valid checksum in the byte
// stream the gyro sent, printed as that window decodes. A window that is a whole frame must also
// stand for the frame's intended values. Bytes that a read consumed are not used twice.
SampleMatch match_samples(const std::vector<Values>& samples,
                          const std::vector<FrameRecord>& frames);

// A frame sent whole with a good checksum.
bool is_good(const FrameRecord& frame);

// Every frame with a good checksum was logged, and nothing else.
void expect_every_good_frame_logged(const std::vector<Values>& samples,
                                    const std::vector<FrameRecord>& frames);

// Every logged sample is a frame as sent, in order from the first, and at most `lost` frames at
// the end were not logged.
void expect_leading_frames_logged(const std::vector<Values>& samples,
                                  const std::vector<FrameRecord>& frames, std::size_t lost);

// A sweep that ended as a healthy one does: status 0, only the two success lines, a log. Returns
// the log's samples.
std::vector<Values> expect_clean_completion(const SweepRun& run);

// What the simulator saw of the lines themselves rather than of the devices' dialogue.
bool is_line_event(const Event& event);

// The program opens the gyro's port before the controller's and closes it after. A line that the
// simulator hung up is gone: its close is not seen.
void expect_port_order(const std::vector<Event>& events);

// The commands and polls, in order, without the lines' own events.
std::vector<std::string> dialogue_of(const std::vector<Event>& events);

// Commands the controller received.
std::size_t motor_commands(const std::vector<Event>& events);

// How the gyro's part of a sweep may look.
enum class GyroPolls {
    every_motion,    // a poll after every motion report
    may_stop,        // from some report on, none (the gyro's port is gone)
    until_interrupt, // a poll after every motion report until the user asked to stop
};

// The dialogue of a complete sweep: the check, the move, a motion query before each poll until
// one reports no motion (or a poll during which the user asked to stop), the return at the higher
// speed with its motion wait, the normal speed. Returns the number of polls.
std::size_t expect_sweep_dialogue(const std::vector<Event>& events,
                                  GyroPolls gyro_polls = GyroPolls::every_motion);

// The dialogue of a sweep cut short by the controller's failure: the check, the move, motion
// queries each followed by a poll, perhaps a last query, and nothing after it: no return to zero,
// no speed command. Returns the number of polls.
std::size_t expect_cut_short_dialogue(const std::vector<Event>& events);
