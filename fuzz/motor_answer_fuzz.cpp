// Fuzz target: controller answers of arbitrary bytes cut into arbitrary reads, through the
// prompt collection and the motion flag. The collected answer is checked against an independent
// reading of the same reads.
#include "fuzz/chunks.h"
#include "sweep/motor/motor.h"
#include "tests/support/test_port.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void motor_fuzz_fail(const char* what) {
    std::fprintf(stderr, "motor_answer_fuzz: %s\n", what);
    std::abort();
}

// What one answer must collect from these reads: whole reads up to and including the one that
// brings a prompt, never more than the buffer holds.
std::vector<std::uint8_t> motor_fuzz_expected(const std::vector<std::vector<std::uint8_t>>& reads) {
    std::vector<std::uint8_t> collected;
    for (const auto& read : reads) {
        std::size_t offset = 0;
        while (offset < read.size() && collected.size() < motor_reply_size) {
            const std::size_t take =
                std::min(read.size() - offset, motor_reply_size - collected.size());
            bool prompt = false;
            for (std::size_t i = offset; i < offset + take; ++i) {
                collected.push_back(read[i]);
                prompt = prompt || read[i] == '>' || read[i] == '?';
            }
            offset += take;
            if (prompt) {
                return collected;
            }
        }
        if (collected.size() == motor_reply_size) {
            return collected;
        }
    }
    return collected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The controller always ends with a prompt in the end, so the answer never waits for the
    // silence bound.
    auto reads = fuzz_chunks({data, size}, false);
    reads.push_back({'>'});

    test_port_reset();
    TestPort& port = test_port_add("com6");
    if (motor_open_port("com6", 9600) != 0) {
        motor_fuzz_fail("test port did not open");
    }
    for (const auto& read : reads) {
        port.reads.push_back(read);
    }
    std::array<std::uint8_t, motor_reply_size> reply;
    reply.fill(0xEE);
    motor_read_reply(reply);

    const auto expected = motor_fuzz_expected(reads);
    if (!std::equal(expected.begin(), expected.end(), reply.begin()) ||
        std::any_of(reply.begin() + static_cast<std::ptrdiff_t>(expected.size()), reply.end(),
                    [](std::uint8_t byte) { return byte != 0; })) {
        motor_fuzz_fail("answer collected wrongly");
    }

    const bool moving = motor_answer_reports_motion(reply);
    std::size_t length = 0;
    while (length < reply.size() && reply[length] != 0) {
        if (reply[length] < 32 || reply[length] >= 0x80) {
            motor_fuzz_fail("control or high byte left in the answer");
        }
        ++length;
    }
    if (moving != (length >= 4 && reply[length - 4] == '1')) {
        motor_fuzz_fail("motion flag read from the wrong place");
    }
    motor_close_port();
    return 0;
}
