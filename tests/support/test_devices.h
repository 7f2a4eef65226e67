// Small scripted devices for the test port: a controller that answers every command and reports
// the motion flags it is given, and a gyro that answers each poll with the next scripted frame.
#pragma once

#include "tests/support/test_port.h"

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct ScriptedController {
    std::string pending;
    // Flags answered to successive "pr mv" queries; '0' once used up.
    std::deque<char> motion;
    // The value answered to "pr er"; empty: a bare prompt.
    std::string error_register;
    // Every command received, without its carriage return.
    std::vector<std::string> commands;
    // Commands answered before the controller falls silent; negative: no limit.
    int answer_limit = -1;
};

struct ScriptedGyro {
    // Replies to successive polls; silence once used up.
    std::deque<std::vector<std::uint8_t>> replies;
    int polls = 0;
};

std::shared_ptr<ScriptedController> test_controller_attach(TestPort& port);
std::shared_ptr<ScriptedGyro> test_gyro_attach(TestPort& port);

// A 30-byte frame with the given words (big-endian) and a right checksum.
std::array<std::uint8_t, 30> test_gyro_frame(const std::array<std::uint16_t, 14>& words);
