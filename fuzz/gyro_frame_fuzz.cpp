// Fuzz target: gyro replies cut into arbitrary reads, through the poll, the frame check, the
// decoding and the five log lines. Every decoded sample is checked against the frame's bytes and
// every logged record against the log layout.
#include "fuzz/chunks.h"
#include "sweep/gyro/gyro.h"
#include "tests/support/test_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void gyro_fuzz_fail(const char* what) {
    std::fprintf(stderr, "gyro_frame_fuzz: %s\n", what);
    std::abort();
}

// The frame read independently: words 0-11 signed, 12-13 unsigned, big-endian, after a
// checksum over bytes 1-28.
void gyro_fuzz_check_decoding(const GyroFrame& frame) {
    unsigned sum = 0;
    for (std::size_t i = 1; i < 29; ++i) {
        sum += frame[i];
    }
    const auto sample = gyro_decode_frame(frame);
    if (sample.has_value() != ((sum % 256) == frame[29])) {
        gyro_fuzz_fail("checksum judged wrongly");
    }
    if (!sample) {
        return;
    }
    for (std::size_t k = 0; k < gyro_word_count; ++k) {
        const unsigned raw = unsigned{frame[2 * k + 1]} << 8 | frame[2 * k + 2];
        const long expected = k < 12 && raw >= 0x8000 ? static_cast<long>(raw) - 0x10000 : raw;
        if (sample->words[k] != expected) {
            gyro_fuzz_fail("word decoded wrongly");
        }
    }
}

void gyro_fuzz_check_log(const GyroSample& sample) {
    static const char* const labels[5] = {"Roll ", "X Roll Rate ", "X Accel ", "X Mag ", "Temp "};
    char text[1024] = {};
    std::FILE* log = fmemopen(text, sizeof text - 1, "w");
    if (log == nullptr) {
        gyro_fuzz_fail("no memory stream");
    }
    gyro_log_sample(log, sample);
    std::fclose(log);
    const char* line = text;
    for (const char* label : labels) {
        const char* end = std::strchr(line, '\n');
        if (end == nullptr || std::strncmp(line, label, std::strlen(label)) != 0 || end == line ||
            end[-1] != ' ') {
            gyro_fuzz_fail("log record malformed");
        }
        line = end + 1;
    }
    if (*line != '\0') {
        gyro_fuzz_fail("more than five lines in a record");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    if (size >= gyro_frame_length) {
        GyroFrame frame;
        std::memcpy(frame.data(), data, frame.size());
        gyro_fuzz_check_decoding(frame);
    }

    test_port_reset();
    TestPort& port = test_port_add("com8");
    const auto handle = gyro_open_port("com8", 38400);
    if (!handle) {
        gyro_fuzz_fail("test port did not open");
    }
    for (auto& chunk : fuzz_chunks(input, true)) {
        port.reads.push_back(std::move(chunk));
    }
    // Each poll takes at least one read, so this ends.
    while (!port.reads.empty()) {
        if (const auto sample = gyro_read_sample(*handle)) {
            gyro_fuzz_check_log(*sample);
        }
    }
    serial_close(*handle);
    return 0;
}
