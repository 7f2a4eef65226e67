#include "sweep/gyro/gyro.h"
#include "sweep/samplelog/samplelog.h"
#include "tests/support/test_devices.h"
#include "tests/support/test_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

GyroFrame frame_with_words(const std::array<std::uint16_t, gyro_word_count>& words) {
    return test_gyro_frame(words);
}

std::string log_text(const GyroSample& sample) {
    std::FILE* file = std::tmpfile();
    gyro_log_sample(file, sample);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(file);
    return text;
}

std::vector<std::string> log_lines(const GyroSample& sample) {
    std::vector<std::string> lines;
    std::string text = log_text(sample);
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    EXPECT_EQ(start, text.size()) << "log text must end with a line end";
    return lines;
}

GyroSample sample_with(std::size_t index, std::int32_t value) {
    GyroSample sample;
    sample.words[index] = value;
    return sample;
}

class GyroTest : public ::testing::Test {
  protected:
    void SetUp() override { test_port_reset(); }
};

TEST_F(GyroTest, ChecksumCoversBytesOneToTwentyEightOnly) {
    // Bytes 1-28 sum to 0x1234 (18 x 0xFF + 0x46): accepted only with 0x34 in byte 29,
    // whatever byte 0 holds.
    GyroFrame frame{};
    for (std::size_t i = 1; i <= 18; ++i) {
        frame[i] = 0xFF;
    }
    frame[19] = 0x46;
    for (const std::uint8_t lead : {std::uint8_t{0x00}, std::uint8_t{0x7F}, std::uint8_t{0xFF}}) {
        frame[0] = lead;
        frame[29] = 0x34;
        EXPECT_TRUE(gyro_decode_frame(frame).has_value()) << int{lead};
        frame[29] = 0x35;
        EXPECT_FALSE(gyro_decode_frame(frame).has_value()) << int{lead};
        frame[29] = 0x12;
        EXPECT_FALSE(gyro_decode_frame(frame).has_value()) << int{lead};
    }
}

TEST_F(GyroTest, WordsZeroToElevenAreSignedTwelveAndThirteenUnsigned) {
    std::array<std::uint16_t, gyro_word_count> all_ones{};
    all_ones.fill(0xFFFF);
    const auto ones = gyro_decode_frame(frame_with_words(all_ones));
    ASSERT_TRUE(ones);
    for (std::size_t k = 0; k < gyro_word_count; ++k) {
        EXPECT_EQ(ones->words[k], k <= 11 ? -1 : 65535) << "word " << k;
    }

    std::array<std::uint16_t, gyro_word_count> high_bit{};
    high_bit.fill(0x8000);
    const auto minimum = gyro_decode_frame(frame_with_words(high_bit));
    ASSERT_TRUE(minimum);
    for (std::size_t k = 0; k < gyro_word_count; ++k) {
        EXPECT_EQ(minimum->words[k], k <= 11 ? -32768 : 32768) << "word " << k;
    }

    // Big-endian order and each word in its own slot.
    std::array<std::uint16_t, gyro_word_count> distinct{};
    for (std::size_t k = 0; k < gyro_word_count; ++k) {
        distinct[k] = static_cast<std::uint16_t>(0x0102 * (k + 1));
    }
    const auto decoded = gyro_decode_frame(frame_with_words(distinct));
    ASSERT_TRUE(decoded);
    for (std::size_t k = 0; k < gyro_word_count; ++k) {
        EXPECT_EQ(decoded->words[k], distinct[k]) << "word " << k;
    }
}

struct FormatCase {
    std::size_t index;
    std::int32_t value;
    int line;
    std::string expected_line;
};

TEST_F(GyroTest, LogFormatsEachQuantity) {
    const std::vector<FormatCase> cases = {
        {0, 16384, 0, "Roll   90.00 Pitch    0.00 Heading    0.00 "},
        {1, -32768, 0, "Roll    0.00 Pitch -180.00 Heading    0.00 "},
        {2, 32767, 0, "Roll    0.00 Pitch    0.00 Heading  179.99 "},
        {3, -32768, 1, "X Roll Rate -75.000 Y Pitch Rate   0.000 Z Yaw Rate   0.000 "},
        {5, 32767, 1, "X Roll Rate   0.000 Y Pitch Rate   0.000 Z Yaw Rate  74.998 "},
        {6, 16384, 2, "X Accel 3.00000 Y Accel 0.00000 Z Accel 0.00000 "},
        {8, -32768, 2, "X Accel 0.00000 Y Accel 0.00000 Z Accel -6.00000 "},
        {9, -32768, 3, "X Mag -1.87500 Y Mag 0.00000 Z Mag 0.00000 "},
        {11, 32767, 3, "X Mag 0.00000 Y Mag 0.00000 Z Mag 1.87494 "},
        {12, 0, 4, "Temp  -61.05 "},
        {12, 4096, 4, "Temp  160.95 "},
        {12, 2048, 4, "Temp   49.95 "},
        {12, 65535, 4, "Temp 3490.90 "},
    };
    for (const auto& c : cases) {
        const auto lines = log_lines(sample_with(c.index, c.value));
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[static_cast<std::size_t>(c.line)], c.expected_line)
            << "index " << c.index << " value " << c.value;
    }
}

TEST_F(GyroTest, AllZeroSampleGivesExactlyFiveLines) {
    GyroSample zero;
    zero.words[13] = 4711; // never logged
    EXPECT_EQ(log_text(zero), "Roll    0.00 Pitch    0.00 Heading    0.00 \n"
                              "X Roll Rate   0.000 Y Pitch Rate   0.000 Z Yaw Rate   0.000 \n"
                              "X Accel 0.00000 Y Accel 0.00000 Z Accel 0.00000 \n"
                              "X Mag 0.00000 Y Mag 0.00000 Z Mag 0.00000 \n"
                              "Temp  -61.05 \n");
}

// The sample log's real platform part (driver_test links its own) says when a sync did not
// happen: a device cannot be synced; on Windows, neither can a file opened only for reading.
TEST(SampleLogPlatform, SaysWhenASyncDidNotHappen) {
#ifdef _WIN32
    const char* const name = "samplelog_sync_test.txt";
    std::FILE* created = std::fopen(name, "w");
    ASSERT_NE(created, nullptr);
    std::fclose(created);
    std::FILE* file = std::fopen(name, "r");
    const int expected = EIO;
#else
    std::FILE* file = std::fopen("/dev/null", "w");
    const int expected = EINVAL;
#endif
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(samplelog_sync(file), expected);
    std::fclose(file);
#ifdef _WIN32
    std::remove(name);
#endif
}

TEST_F(GyroTest, OpenAppliesLineSettingsAndKeepsWriteTimeouts) {
    TestPort& port = test_port_add("com8");
    const auto handle = gyro_open_port("com8", 38400);
    ASSERT_TRUE(handle);
    EXPECT_TRUE(port.is_open);
    EXPECT_EQ(port.settings.baud_rate, 38400u);
    EXPECT_EQ(port.settings.parity, SerialParity::none);
    EXPECT_EQ(port.settings.stop_bits, SerialStopBits::one);
    EXPECT_EQ(port.timeouts.read_interval_ms, 10u);
    EXPECT_EQ(port.timeouts.read_total_multiplier_ms, 10u);
    EXPECT_EQ(port.timeouts.read_total_constant_ms, 100u);
    EXPECT_EQ(port.timeouts.write_total_multiplier_ms, 7u);
    EXPECT_EQ(port.timeouts.write_total_constant_ms, 300u);
}

TEST_F(GyroTest, PollWritesOneByteAndDecodesTheReply) {
    TestPort& port = test_port_add("com8");
    const auto handle = gyro_open_port("com8", 38400);
    ASSERT_TRUE(handle);
    const GyroFrame frame = frame_with_words({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    test_port_push_read(port, frame);
    const auto sample = gyro_read_sample(*handle);
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->words[0], 1);
    EXPECT_EQ(sample->words[13], 14);
    EXPECT_EQ(port.written, "G");
    EXPECT_EQ(port.read_calls, 1);
    EXPECT_TRUE(test_port_events_starting("purge").empty());
}

using Chunks = std::vector<std::vector<std::uint8_t>>;

std::vector<std::uint8_t> bytes_of(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> joined(std::vector<std::uint8_t> a, std::span<const std::uint8_t> b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What the port delivers after each poll, chunk by chunk (an empty chunk is a read that times
// out), the word 0 each poll should give (0: no sample), and the rounds of each discard after a
// poll without one: each purges and reads a byte, and the first quiet read ends the discard.
struct ReplyCase {
    const char* name;
    std::vector<Chunks> deliveries;
    std::vector<int> expected;
    int discard_rounds = 0;
};

TEST_F(GyroTest, RepliesInPiecesOrOutOfStepCostAtMostTheNextPoll) {
    const GyroFrame f1 = frame_with_words({1});
    const GyroFrame f2 = frame_with_words({2});
    const GyroFrame f3 = frame_with_words({3});
    const std::span<const std::uint8_t> s1(f1);
    const std::vector<std::uint8_t> strays(3, 0xAA);
    const std::vector<ReplyCase> cases = {
        {"piece then the rest",
         {{bytes_of(s1.first(12)), bytes_of(s1.subspan(12))}, {bytes_of(f2)}},
         {1, 2}},
        {"many small pieces",
         {{bytes_of(s1.first(1)), bytes_of(s1.subspan(1, 9)), bytes_of(s1.subspan(10, 19)),
           bytes_of(s1.subspan(29))},
          {bytes_of(f2)}},
         {1, 2}},
        {"piece then silence, rest and garbage late",
         {{bytes_of(s1.first(12)), {}, bytes_of(s1.subspan(12)), strays}, {bytes_of(f2)}},
         {0, 2},
         2},
        {"strays before a frame",
         {{joined(strays, f1)}, {bytes_of(f2)}, {bytes_of(f3)}},
         {0, 2, 3},
         1},
        {"strays, frame in pieces",
         {{joined(strays, s1.first(20)), bytes_of(s1.subspan(20))}, {bytes_of(f2)}},
         {0, 2},
         1},
        {"strays alone, then a late frame",
         {{strays, {}}, {bytes_of(f2)}, {bytes_of(f3)}},
         {0, 2, 3},
         1},
    };
    for (const ReplyCase& c : cases) {
        test_port_reset();
        TestPort& port = test_port_add("com8");
        std::size_t poll = 0;
        port.device = [&](TestPort& self, std::span<const std::uint8_t>) {
            for (const auto& chunk : c.deliveries.at(poll)) {
                self.reads.push_back(chunk);
            }
            ++poll;
        };
        const auto handle = gyro_open_port("com8", 38400);
        ASSERT_TRUE(handle);
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            const std::size_t events_before = test_port_events().size();
            const auto sample = gyro_read_sample(*handle);
            EXPECT_EQ(sample ? sample->words[0] : 0, c.expected[i]) << c.name << ", poll " << i + 1;
            // Input is discarded after a poll that gave no sample, never after a good one.
            const auto purges =
                std::count(test_port_events().begin() + static_cast<std::ptrdiff_t>(events_before),
                           test_port_events().end(), "purge com8");
            EXPECT_EQ(purges, sample ? 0 : c.discard_rounds) << c.name << ", poll " << i + 1;
        }
        EXPECT_TRUE(port.reads.empty()) << c.name;
        EXPECT_EQ(gyro_link_fault(), GyroFault::none) << c.name;
    }
}

TEST_F(GyroTest, DiscardingAfterABadReplyGivesUpOnAGyroThatNeverStops) {
    TestPort& port = test_port_add("com8");
    const auto handle = gyro_open_port("com8", 38400);
    ASSERT_TRUE(handle);
    for (int i = 0; i < 1000; ++i) {
        test_port_push_read(port, "\x55");
    }
    EXPECT_FALSE(gyro_read_sample(*handle));
    EXPECT_FALSE(port.reads.empty());
    EXPECT_LT(port.read_calls, 200);
    EXPECT_EQ(port.written, "G");
}

TEST_F(GyroTest, PurgeFailureStillDiscardsByReading) {
    TestPort& port = test_port_add("com8");
    const auto handle = gyro_open_port("com8", 38400);
    ASSERT_TRUE(handle);
    port.purge_error = 1;
    const auto gyro = test_gyro_attach(port);
    gyro->replies = {joined(std::vector<std::uint8_t>(5, 0xAA), frame_with_words({1})),
                     bytes_of(frame_with_words({2}))};
    EXPECT_FALSE(gyro_read_sample(*handle));
    const auto sample = gyro_read_sample(*handle);
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->words[0], 2);
    EXPECT_EQ(gyro_link_fault(), GyroFault::none);
}

TEST_F(GyroTest, ShortReplyIsNoSampleEvenWhenItsChecksumWouldPass) {
    // One stray zero byte in a cleared buffer sums to zero with a zero checksum byte.
    TestPort& port = test_port_add("com8");
    const auto handle = gyro_open_port("com8", 38400);
    ASSERT_TRUE(handle);
    test_port_push_read(port, std::string_view("\0", 1));
    EXPECT_FALSE(gyro_read_sample(*handle));
}

TEST_F(GyroTest, BytesBeyondThirtyStayForTheNextPoll) {
    TestPort& port = test_port_add("com8");
    const auto handle = gyro_open_port("com8", 38400);
    ASSERT_TRUE(handle);
    const GyroFrame a = frame_with_words({1});
    const GyroFrame b = frame_with_words({2});
    std::vector<std::uint8_t> both(a.begin(), a.end());
    both.insert(both.end(), b.begin(), b.end());
    test_port_push_read(port, both);
    EXPECT_EQ(gyro_read_sample(*handle)->words[0], 1);
    EXPECT_EQ(gyro_read_sample(*handle)->words[0], 2);
}

TEST_F(GyroTest, SilentReadIsReadAgainWithoutAMessage) {
    TestPort& port = test_port_add("com8");
    const auto handle = gyro_open_port("com8", 38400);
    ASSERT_TRUE(handle);
    test_port_push_silence(port);
    test_port_push_read(port, frame_with_words({7}));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const auto sample = gyro_read_sample(*handle);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->words[0], 7);
    EXPECT_EQ(test_port_clock_ms(), 400u); // one empty read of 30 bytes: 10 x 30 + 100 ms
}

TEST_F(GyroTest, SilentGyroGivesNoSampleOnceTwoSecondsHaveReallyPassed) {
    struct SilenceCase {
        std::optional<std::uint64_t> silent_read_ms; // unset: the read's total time-out, 400 ms
        std::uint64_t given_up_at_ms;
    };
    // Empty reads that return early must not end the poll early; the message says how long the
    // gyro really was silent.
    const std::vector<SilenceCase> cases = {{std::nullopt, 2000}, {1, 2000}, {700, 2100}};
    for (const auto& c : cases) {
        test_port_reset();
        test_port_add("com8").silent_read_ms = c.silent_read_ms;
        const auto handle = gyro_open_port("com8", 38400);
        ASSERT_TRUE(handle);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(gyro_read_sample(*handle));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Gyro - no answer for " + std::to_string(c.given_up_at_ms) + " ms\n");
        EXPECT_EQ(test_port_clock_ms(), c.given_up_at_ms);
        EXPECT_EQ(gyro_link_fault(), GyroFault::silent);
    }
}

} // namespace
