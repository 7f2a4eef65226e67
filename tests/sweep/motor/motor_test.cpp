#include "sweep/motor/motor.h"
#include "tests/support/test_devices.h"
#include "tests/support/test_port.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Answer = std::array<std::uint8_t, motor_reply_size>;

Answer answer_of(std::string_view text) {
    Answer answer{};
    std::copy_n(text.begin(), std::min(text.size(), answer.size()), answer.begin());
    return answer;
}

std::string text_of(const Answer& answer) {
    std::string text;
    for (std::uint8_t byte : answer) {
        if (byte == 0) {
            break;
        }
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

class MotorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_port_reset();
        motor_debug = 0;
        port = &test_port_add("com6");
        ASSERT_EQ(motor_open_port("com6", 9600), 0);
    }
    void TearDown() override {
        motor_close_port();
        motor_debug = 0;
    }

    std::vector<std::string> writes() const { return test_port_events_starting("write com6 "); }

    TestPort* port = nullptr;
};

struct FlagCase {
    std::string answer;
    bool moving;
};

TEST(MotorAnswer, MotionFlagIsTheFourthCharacterFromTheEnd) {
    const std::vector<FlagCase> cases = {
        {"pr mv\r\n1\r\n>", true},
        {"pr mv\r\n0\r\n>", false},
        {"1\r\n>", true},
        {"1ab>", true},
        {"1\r\n?", true},
        {"11\r\n>x", false},                        // the bytes after the prompt count too
        {std::string("1\r\n>\0ignored", 12), true}, // a zero byte ends the text
        {std::string("0\r\n>\0\x31\r\n>", 9), false},
        {"1>", false}, // too short to have a flag
        {"1\r>", false},
        {"", false},
        {"\x01\r\n>", false},
        {"\x1F\r\n>", false},
        {"\x80\r\n>", false},
        {"\xFF\r\n>", false},
        {"2\r\n>", false},
        {"1\x7F\r>", true},
    };
    for (const auto& c : cases) {
        Answer answer = answer_of(c.answer);
        EXPECT_EQ(motor_answer_reports_motion(answer), c.moving)
            << "answer \"" << testing::PrintToString(c.answer) << "\"";
    }
}

TEST(MotorAnswer, ControlAndHighBytesBecomeTildeButDeleteStays) {
    Answer answer = answer_of("a\x01\x1F\x20\x7F\x80\xFF\r\n>");
    motor_answer_reports_motion(answer);
    EXPECT_EQ(text_of(answer), "a~~ \x7F~~~~>");
}

TEST(MotorAnswer, FullBufferWithoutZeroByteIsJudgedAtItsEnd) {
    Answer answer{};
    answer.fill('x');
    answer[96] = '1';
    EXPECT_TRUE(motor_answer_reports_motion(answer));
    answer[96] = '0';
    EXPECT_FALSE(motor_answer_reports_motion(answer));
}

TEST_F(MotorTest, OpenAppliesLineSettings) {
    EXPECT_EQ(port->settings.baud_rate, 9600u);
    EXPECT_EQ(port->settings.parity, SerialParity::none);
    EXPECT_EQ(port->settings.stop_bits, SerialStopBits::one);
    EXPECT_EQ(port->timeouts.read_interval_ms, 10u);
    EXPECT_EQ(port->timeouts.read_total_multiplier_ms, 10u);
    EXPECT_EQ(port->timeouts.read_total_constant_ms, 100u);
    EXPECT_EQ(port->timeouts.write_total_constant_ms, 300u);
    EXPECT_EQ(motor_port, port->handle);
}

TEST_F(MotorTest, ReplyEndsWithTheReadThatBringsAPrompt) {
    struct PromptCase {
        std::vector<std::string> reads;
        std::string collected;
        std::size_t left_queued;
    };
    const std::vector<PromptCase> cases = {
        {{"abc>"}, "abc>", 0},
        {{"abc?", "more>"}, "abc?", 1},
        {{"pr", "", " mv\r\n", "1\r\n>"}, "pr mv\r\n1\r\n>", 0},
        {{"1\r\n>xyz"}, "1\r\n>xyz", 0}, // bytes after the prompt in the same read stay
        {{"?", ">"}, "?", 1},
    };
    for (const auto& c : cases) {
        port->reads.clear();
        for (const auto& piece : c.reads) {
            test_port_push_read(*port, piece);
        }
        Answer reply;
        reply.fill(0xEE);
        motor_read_reply(reply);
        EXPECT_EQ(text_of(reply), c.collected);
        EXPECT_EQ(port->reads.size(), c.left_queued);
    }
}

TEST_F(MotorTest, SilentReadsBeforeAnAnswerLastTheirTotalTimeout) {
    test_port_push_silence(*port, 2);
    test_port_push_read(*port, "ok>");
    Answer reply{};
    motor_read_reply(reply);
    EXPECT_EQ(text_of(reply), "ok>");
    EXPECT_EQ(test_port_clock_ms(), 2u * 1100u);
}

TEST_F(MotorTest, SilenceIsTimedOnTheClockFromTheLastByte) {
    struct SilenceCase {
        std::optional<std::uint64_t> silent_read_ms; // unset: the read's total time-out, 1100 ms
        std::vector<std::string> reads;              // "" is a silent read
        std::uint64_t given_up_at_ms;
        int silent_ms; // in the message
    };
    const std::vector<SilenceCase> cases = {
        {std::nullopt, {}, 3300, 3300},
        // Reads that return early must not make the controller look silent too soon.
        {1, {}, 3000, 3000},
        {1300, {}, 3900, 3900},
        // A piece of an answer starts the silence again; the reads for the other 98 bytes last
        // 1080 ms each.
        {std::nullopt, {"", "", "1\r"}, 2200 + 3240, 3240},
    };
    for (const auto& c : cases) {
        test_port_reset();
        port = &test_port_add("com6");
        port->silent_read_ms = c.silent_read_ms;
        ASSERT_EQ(motor_open_port("com6", 9600), 0);
        for (const auto& piece : c.reads) {
            test_port_push_read(*port, piece);
        }
        Answer reply{};
        testing::internal::CaptureStderr();
        motor_read_reply(reply);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Motor - no answer for " + std::to_string(c.silent_ms) + " ms\n");
        EXPECT_EQ(test_port_clock_ms(), c.given_up_at_ms);
        EXPECT_TRUE(motor_link_failed());
        motor_close_port();
    }
}

TEST_F(MotorTest, ClosedLinkForgetsItsPortAndSendsNothing) {
    motor_close_port();
    EXPECT_EQ(motor_port, serial_invalid_handle);
    // The same device opened again elsewhere gets the old handle back; the link must not use it.
    ASSERT_EQ(serial_open("com6"), port->handle);
    testing::internal::CaptureStderr();
    EXPECT_EQ(motor_send_command("pr mv\r"), 0u);
    EXPECT_FALSE(motor_is_moving());
    motor_move_absolute(1000, 1);
    motor_return_to_zero();
    motor_home();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(port->written, "");
    EXPECT_EQ(port->status_queries, 0);
    serial_close(port->handle);

    // A port that opened but could not be configured is closed and forgotten too.
    port->set_settings_error = 87;
    testing::internal::CaptureStderr();
    EXPECT_EQ(motor_open_port("com6", 9600), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Motor - error setting comm: 87\n");
    EXPECT_EQ(motor_port, serial_invalid_handle);
    EXPECT_FALSE(port->is_open);
}

TEST_F(MotorTest, AnswerFillingTheBufferWithoutPromptEndsTheRead) {
    test_port_push_read(*port, std::string(60, 'a'));
    test_port_push_read(*port, std::string(60, 'b'));
    Answer reply{};
    motor_read_reply(reply);
    EXPECT_EQ(text_of(reply), std::string(60, 'a') + std::string(40, 'b'));
    ASSERT_EQ(port->reads.size(), 1u);
    EXPECT_EQ(port->reads.front().size(), 20u);
}

TEST_F(MotorTest, SendWaitsForTheTransmitQueueToDrainWhereTheDriverReportsIt) {
    struct DrainCase {
        std::deque<std::uint32_t> out_queue_counts;
        int status_error; // a driver without comm-status support: 1, ERROR_INVALID_FUNCTION
        std::vector<std::string> events;
    };
    const DrainCase cases[] = {
        {{3, 1, 0},
         0,
         {"status com6", "sleep 100", "status com6", "sleep 100", "status com6",
          "write com6 pr mv\r"}},
        {{3}, 1, {"write com6 pr mv\r"}},
    };
    for (const DrainCase& c : cases) {
        const std::size_t events_before = test_port_events().size();
        port->out_queue_counts = c.out_queue_counts;
        port->status_error = c.status_error;
        testing::internal::CaptureStderr();
        EXPECT_EQ(motor_send_command("pr mv\r"), 6u);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_FALSE(motor_link_failed());
        const auto& events = test_port_events();
        EXPECT_EQ(std::vector<std::string>(
                      events.begin() + static_cast<std::ptrdiff_t>(events_before), events.end()),
                  c.events)
            << c.status_error;
    }
}

TEST_F(MotorTest, EmptyCommandSendsNothingButStillWaits) {
    port->out_queue_counts = {2, 0};
    EXPECT_EQ(motor_send_command(""), 0u);
    EXPECT_EQ(port->written, "");
    EXPECT_EQ(port->status_queries, 2);
}

TEST_F(MotorTest, TracesOnlyWithDebugOn) {
    port->out_queue_counts = {2, 0};
    testing::internal::CaptureStderr();
    motor_send_command("pr mv\r");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    motor_debug = 1;
    port->out_queue_counts = {2, 0};
    testing::internal::CaptureStderr();
    motor_send_command("pr mv\r");
    motor_send_command("");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cOQ: 2\ncOQ: 0\ndbg: sp " + std::to_string(port->handle) + "\ncOQ: 0\n");
}

TEST_F(MotorTest, AbsoluteMoveWithoutWaitSendsOneCommandAndReadsOneAnswer) {
    auto controller = test_controller_attach(*port);
    controller->motion = {'1', '1'};
    testing::internal::CaptureStderr();
    motor_move_absolute(1000000, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(port->written, "ma 1000000\r");
    EXPECT_TRUE(port->reads.empty());
    motor_move_absolute(-42, 0);
    EXPECT_EQ(port->written, "ma 1000000\rma -42\r");
}

TEST_F(MotorTest, AbsoluteMoveWithWaitQueriesUntilStopped) {
    auto controller = test_controller_attach(*port);
    controller->motion = {'1', '1', '0'};
    motor_move_absolute(5, 1);
    EXPECT_EQ(controller->commands, (std::vector<std::string>{"ma 5", "pr mv", "pr mv", "pr mv"}));
    EXPECT_EQ(test_port_events_starting("sleep"),
              (std::vector<std::string>{"sleep 50", "sleep 50"}));
}

TEST_F(MotorTest, IsMovingReadsTheFlagOfTheControllerAnswer) {
    auto controller = test_controller_attach(*port);
    controller->motion = {'1', '0'};
    EXPECT_TRUE(motor_is_moving());
    EXPECT_FALSE(motor_is_moving());
    EXPECT_EQ(port->written, "pr mv\rpr mv\r");
}

TEST_F(MotorTest, ReturnToZeroSpeedsUpMovesWaitsAndRestoresSpeed) {
    auto controller = test_controller_attach(*port);
    controller->motion = {'1', '1', '0'};
    motor_return_to_zero();
    EXPECT_EQ(controller->commands, (std::vector<std::string>{"vm 200000", "ma 0", "pr mv", "pr mv",
                                                              "pr mv", "vm 40000"}));
    // The first query follows the move's answer at once; 50 ms between the others.
    std::vector<std::string> order;
    for (const auto& event : test_port_events()) {
        if (event.starts_with("write") || event.starts_with("sleep")) {
            order.push_back(event);
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"write com6 vm 200000\r", "write com6 ma 0\r",
                                               "write com6 pr mv\r", "sleep 50",
                                               "write com6 pr mv\r", "sleep 50",
                                               "write com6 pr mv\r", "write com6 vm 40000\r"}));
}

TEST_F(MotorTest, HomingBacksOffWithoutWaitingForTheLastMove) {
    struct HomeCase {
        std::deque<char> motion;
        std::vector<std::string> commands;
        // A request to stop this long after the row starts; they add up over the rows.
        std::optional<std::uint64_t> interrupt_after_ms;
        std::string error_answer; // what the controller answers to "pr er"
        std::optional<std::int32_t> error_register;
    };
    const std::deque<char> long_move = {'1', '1', '1', '0'};
    const std::vector<HomeCase> cases = {
        {{'0'}, {"mr -5000000", "pr mv", "pr er", "mr 10000"}, {}, "", std::nullopt},
        {{'1', '1', '0', '1'},
         {"mr -5000000", "pr mv", "pr mv", "pr mv", "pr er", "mr 10000"},
         {},
         "-7",
         -7},
        {{'0'}, {"mr -5000000", "pr mv", "pr er", "mr 10000"}, {}, "0", 0},
        // The first request lets the homing end with its back-off; the second stops it at once.
        {long_move,
         {"mr -5000000", "pr mv", "pr mv", "pr mv", "pr mv", "pr er", "mr 10000"},
         50,
         "",
         std::nullopt},
        {long_move, {"mr -5000000", "pr mv", "pr mv"}, 60, "", std::nullopt},
    };
    serial_catch_interrupts(SerialFirstInterrupt::finish_first);
    for (const auto& c : cases) {
        auto controller = test_controller_attach(*port);
        controller->motion = c.motion;
        controller->error_register = c.error_answer;
        if (c.interrupt_after_ms) {
            test_port_interrupt_at(test_port_clock_ms() + *c.interrupt_after_ms, 2);
        }
        motor_home();
        EXPECT_EQ(controller->commands, c.commands);
        if (!serial_stop_now()) {
            EXPECT_TRUE(port->reads.empty()); // every answer was read
        }
        EXPECT_EQ(motor_error_register, c.error_register);
    }
}

class MotorSpeedTest : public MotorTest {
  protected:
    void TearDown() override {
        motor_set_normal_speed(40000);
        motor_set_return_speed(200000);
        MotorTest::TearDown();
    }
};

TEST_F(MotorSpeedTest, SettersReplaceTheTextsOfTheNextReturnToZero) {
    auto controller = test_controller_attach(*port);
    motor_set_return_speed(10000);
    EXPECT_TRUE(controller->commands.empty()); // nothing is sent by a setter
    motor_return_to_zero();
    motor_set_return_speed(-7);
    motor_set_return_speed(std::numeric_limits<std::int32_t>::min());
    motor_set_normal_speed(123);
    motor_return_to_zero();
    EXPECT_EQ(controller->commands,
              (std::vector<std::string>{"vm 10000", "ma 0", "pr mv", "vm 40000", "vm -2147483648",
                                        "ma 0", "pr mv", "vm 123"}));
}

TEST_F(MotorTest, FlushReadsOnceAndLeavesLaterDataQueued) {
    test_port_push_read(*port, "abc");
    test_port_push_read(*port, "def");
    testing::internal::CaptureStderr();
    motor_flush_input();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(port->status_queries, 0);
    ASSERT_EQ(port->reads.size(), 1u);
    EXPECT_TRUE(motor_input_pending());

    motor_debug = 1;
    testing::internal::CaptureStderr();
    motor_flush_input();
    motor_flush_input();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "dbg_fIB: 1\ndbg_fIB: def\ndbg_fIB: 0\ndbg_fIB: \n");
    EXPECT_FALSE(motor_input_pending());
}

TEST_F(MotorTest, FlushTraceShowsAtMostOneBufferOfText) {
    motor_debug = 1;
    test_port_push_read(*port, std::string(130, 'z'));
    testing::internal::CaptureStderr();
    motor_flush_input();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "dbg_fIB: 1\ndbg_fIB: " + std::string(100, 'z') + "\n");
    EXPECT_EQ(port->reads.front().size(), 30u);
}

} // namespace
