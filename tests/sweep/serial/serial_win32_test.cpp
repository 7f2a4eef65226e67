// The kernel32 backend against real ports: a COM name that leads nowhere and a loopback device
// that sends back whatever it receives. The test run names both in the environment
// (GM_MISSING_PORT, GM_ECHO_PORT); without them these tests are skipped. What Wine cannot show (a
// port that aborts on line errors, a write cut short by its time-outs, the DCB flags it drops) is
// shown on a fake port: this program's kernel32 imports of the comm calls lead to stand-ins that
// serve one fake handle and pass every other handle on to kernel32.
#include "sweep/serial/serial.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* port_from_environment(const char* variable) {
    const char* name = std::getenv(variable);
    return name != nullptr && *name != '\0' ? name : nullptr;
}

DCB dcb_of(const SerialLineSettings& settings) {
    DCB dcb{};
    std::memcpy(&dcb, settings.native.data(), sizeof(dcb));
    return dcb;
}

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The fake port: a Windows port whose abort-on-error is on (and cannot be switched off), so that
// after a line error every read and write fails with 995 until ClearCommError clears the error.
struct FakeRead {
    std::string bytes{};
    DWORD line_error = 0; // set: this read fails with 995 and its bytes are lost
    DWORD error = 0;      // set: this read fails with it, the port's error flags unchanged
};

struct FakePort {
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    std::deque<FakeRead> reads;
    DWORD line_errors = 0;            // pending, until ClearCommError
    std::optional<DWORD> write_limit; // bytes a WriteFile takes before its time-outs run out
    std::optional<DWORD> clear_error; // ClearCommError fails with it (the adapter went away)
    int clears = 0;
    std::string written;
};

const HANDLE fake_handle = reinterpret_cast<HANDLE>(std::intptr_t{0x5EED0});
FakePort fake;

template <typename Function> Function kernel32(const char* name) {
    const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
    Function function = nullptr;
    std::memcpy(&function, &found, sizeof function);
    return function;
}

BOOL fake_fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// A comm setting the fake port keeps: Get reads it, Set writes it; other handles go to kernel32.
#define GM_FAKE_GET_SET(Get, Set, Type, field)                                                     \
    BOOL WINAPI fake_##Get(HANDLE handle, Type value) {                                            \
        return handle != fake_handle ? kernel32<decltype(&Get)>(#Get)(handle, value)               \
                                     : (*value = fake.field, TRUE);                                \
    }                                                                                              \
    BOOL WINAPI fake_##Set(HANDLE handle, Type value) {                                            \
        return handle != fake_handle ? kernel32<decltype(&Set)>(#Set)(handle, value)               \
                                     : (fake.field = *value, TRUE);                                \
    }
GM_FAKE_GET_SET(GetCommState, SetCommState, LPDCB, dcb)
GM_FAKE_GET_SET(GetCommTimeouts, SetCommTimeouts, LPCOMMTIMEOUTS, timeouts)
#undef GM_FAKE_GET_SET

BOOL WINAPI fake_read_file(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read,
                           LPOVERLAPPED overlapped) {
    if (handle != fake_handle) {
        return kernel32<decltype(&ReadFile)>("ReadFile")(handle, buffer, length, read, overlapped);
    }
    *read = 0;
    if (fake.line_errors != 0) {
        return fake_fail(ERROR_OPERATION_ABORTED);
    }
    if (fake.reads.empty()) {
        return TRUE;
    }
    FakeRead next = fake.reads.front();
    fake.reads.pop_front();
    if (next.line_error != 0) {
        fake.line_errors = next.line_error;
        return fake_fail(ERROR_OPERATION_ABORTED);
    }
    if (next.error != 0) {
        return fake_fail(next.error);
    }
    *read = static_cast<DWORD>(std::min<std::size_t>(length, next.bytes.size()));
    std::memcpy(buffer, next.bytes.data(), *read);
    return TRUE;
}

BOOL WINAPI fake_write_file(HANDLE handle, LPCVOID bytes, DWORD length, LPDWORD written,
                            LPOVERLAPPED overlapped) {
    if (handle != fake_handle) {
        return kernel32<decltype(&WriteFile)>("WriteFile")(handle, bytes, length, written,
                                                           overlapped);
    }
    *written = 0;
    if (fake.line_errors != 0) {
        return fake_fail(ERROR_OPERATION_ABORTED);
    }
    *written = std::min(length, fake.write_limit.value_or(length));
    fake.written.append(static_cast<const char*>(bytes), *written);
    return TRUE;
}

BOOL WINAPI fake_clear_comm_error(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    if (handle != fake_handle) {
        return kernel32<decltype(&ClearCommError)>("ClearCommError")(handle, errors, status);
    }
    ++fake.clears;
    if (fake.clear_error) {
        return fake_fail(*fake.clear_error);
    }
    *errors = fake.line_errors;
    *status = COMSTAT{};
    fake.line_errors = 0;
    return TRUE;
}

} // namespace

// The import table entries the backend calls through.
extern "C" {
decltype(&GetCommState) __imp_GetCommState = fake_GetCommState;
decltype(&SetCommState) __imp_SetCommState = fake_SetCommState;
decltype(&GetCommTimeouts) __imp_GetCommTimeouts = fake_GetCommTimeouts;
decltype(&SetCommTimeouts) __imp_SetCommTimeouts = fake_SetCommTimeouts;
decltype(&ReadFile) __imp_ReadFile = fake_read_file;
decltype(&WriteFile) __imp_WriteFile = fake_write_file;
decltype(&ClearCommError) __imp_ClearCommError = fake_clear_comm_error;
}

namespace {

const SerialHandle fake_port = reinterpret_cast<SerialHandle>(fake_handle);

// What a program before left on the port: every flag that spoils binary data, odd framing,
// hardware flow control and special characters of its own.
DCB dirty_dcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = 1200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fBinary = FALSE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fNull = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fAbortOnError = TRUE;
    dcb.fDsrSensitivity = TRUE;
    dcb.XonChar = 0x11;
    dcb.ErrorChar = '?';
    return dcb;
}

void reset_fake() {
    fake = FakePort{};
    fake.dcb = dirty_dcb();
}

std::string read_text(SerialHandle port, std::size_t size, bool& ok) {
    std::vector<std::uint8_t> buffer(size);
    std::size_t count = 0;
    ok = serial_read(port, buffer, count);
    return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
}

class EchoPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = port_from_environment("GM_ECHO_PORT");
        if (name_ == nullptr) {
            GTEST_SKIP() << "GM_ECHO_PORT names no loopback port";
        }
        port_ = serial_open(name_);
        ASSERT_NE(port_, serial_invalid_handle) << "open " << name_ << ": " << serial_last_error();
    }

    void TearDown() override {
        if (port_ != serial_invalid_handle) {
            EXPECT_TRUE(serial_close(port_));
        }
    }

    // Waits, up to a generous bound, until the port has received count bytes.
    std::uint32_t wait_for_input(std::uint32_t count) {
        SerialStatus status;
        const auto give_up = Clock::now() + std::chrono::seconds(5);
        while (serial_status(port_, status) && status.in_queue < count && Clock::now() < give_up) {
            serial_sleep_ms(10);
        }
        return status.in_queue;
    }

    // Reads until count bytes have arrived or a generous bound has passed.
    std::string read_bytes(std::size_t count) {
        std::string received;
        const auto give_up = Clock::now() + std::chrono::seconds(5);
        while (received.size() < count && Clock::now() < give_up) {
            std::vector<std::uint8_t> buffer(count - received.size());
            std::size_t n = 0;
            if (!serial_read(port_, buffer, n)) {
                ADD_FAILURE() << "read failed: " << serial_last_error();
                break;
            }
            received.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return received;
    }

    const char* name_ = nullptr;
    SerialHandle port_ = serial_invalid_handle;
};

} // namespace

TEST(SerialWin32, OpeningAMissingDeviceFailsWithFileNotFound) {
    const char* name = port_from_environment("GM_MISSING_PORT");
    if (name == nullptr) {
        GTEST_SKIP() << "GM_MISSING_PORT names no missing port";
    }
    EXPECT_EQ(serial_open(name), serial_invalid_handle);
    EXPECT_EQ(serial_last_error(), ERROR_FILE_NOT_FOUND);
}

// INVALID_HANDLE_VALUE is also the pseudo handle of the current process, which CloseHandle
// "closes" with success: the backend must not report that as a closed port.
TEST(SerialWin32, TheInvalidHandleFailsEveryOperation) {
    const SerialHandle port = serial_invalid_handle;
    SerialLineSettings settings;
    SerialTimeouts timeouts;
    SerialStatus status;
    std::array<std::uint8_t, 4> buffer{};
    std::size_t count = 99;

    struct Operation {
        const char* name;
        std::function<bool()> run;
        bool sets_count;
    };
    const Operation operations[] = {
        {"close", [&] { return serial_close(port); }, false},
        {"get settings", [&] { return serial_get_line_settings(port, settings); }, false},
        {"set settings", [&] { return serial_set_line_settings(port, settings); }, false},
        {"get timeouts", [&] { return serial_get_timeouts(port, timeouts); }, false},
        {"set timeouts", [&] { return serial_set_timeouts(port, timeouts); }, false},
        {"read", [&] { return serial_read(port, buffer, count); }, true},
        {"write", [&] { return serial_write(port, buffer, count); }, true},
        {"status", [&] { return serial_status(port, status); }, false},
        {"purge", [&] { return serial_purge_input(port); }, false},
    };
    for (const Operation& operation : operations) {
        SetLastError(0);
        count = 99;
        EXPECT_FALSE(operation.run()) << operation.name;
        EXPECT_EQ(serial_last_error(), ERROR_INVALID_HANDLE) << operation.name;
        if (operation.sets_count) {
            EXPECT_EQ(count, 0u) << operation.name;
        }
    }
}

// The line settings as written: the binary-safe flags set, baud rate, parity and stop bits as
// asked, every other DCB field as read; the write time-outs bounded only where there were none.
TEST(SerialWin32Fake, AppliedLineSettingsAreBinarySafeAndBoundOnlyUnboundedWrites) {
    struct Case {
        std::uint32_t baud_rate;
        DWORD write_multiplier_ms;
        DWORD write_constant_ms;
        DWORD expected_multiplier_ms;
        DWORD expected_constant_ms;
    };
    const Case cases[] = {
        {38400, 0, 0, 1, 1000},
        {9600, 0, 0, 3, 1000},
        {9600, 7, 300, 7, 300},
        {38400, 0, 50, 0, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.baud_rate << " " << c.write_multiplier_ms << "/" << c.write_constant_ms);
        reset_fake();
        fake.timeouts.ReadIntervalTimeout = MAXDWORD;
        fake.timeouts.WriteTotalTimeoutMultiplier = c.write_multiplier_ms;
        fake.timeouts.WriteTotalTimeoutConstant = c.write_constant_ms;
        SerialLineSettings before;
        ASSERT_TRUE(serial_get_line_settings(fake_port, before));
        EXPECT_FALSE(before.transparent);

        ASSERT_TRUE(serial_apply_line_settings(fake_port, c.baud_rate, "Fake"));
        DCB expected = dirty_dcb();
        expected.BaudRate = c.baud_rate;
        expected.Parity = NOPARITY;
        expected.StopBits = ONESTOPBIT;
        expected.fBinary = TRUE;
        expected.fOutX = FALSE;
        expected.fInX = FALSE;
        expected.fNull = FALSE;
        expected.fErrorChar = FALSE;
        expected.fAbortOnError = FALSE;
        expected.fDsrSensitivity = FALSE;
        EXPECT_EQ(std::memcmp(&fake.dcb, &expected, sizeof(DCB)), 0);
        EXPECT_EQ(fake.dcb.ByteSize, 7);
        EXPECT_TRUE(fake.dcb.fOutxCtsFlow);
        SerialLineSettings after;
        ASSERT_TRUE(serial_get_line_settings(fake_port, after));
        EXPECT_TRUE(after.transparent);

        EXPECT_EQ(fake.timeouts.ReadIntervalTimeout, serial_read_interval_ms);
        EXPECT_EQ(fake.timeouts.WriteTotalTimeoutMultiplier, c.expected_multiplier_ms);
        EXPECT_EQ(fake.timeouts.WriteTotalTimeoutConstant, c.expected_constant_ms);
    }
}

// A line error costs the transfer in hand only: it is cleared and the port works on. A 995 that
// is no line error, and a write cut short by its time-outs, fail.
TEST(SerialWin32Fake, LineErrorsAreClearedAndShortWritesFail) {
    struct Setup {
        std::deque<FakeRead> reads; // nothing: the case writes "pr mv\r"
        DWORD line_errors;          // pending before the transfer
        std::optional<DWORD> write_limit;
        std::optional<DWORD> clear_error;
    };
    struct Outcome {
        DWORD error;       // 0: the transfer succeeds
        std::string moved; // bytes read or written
        int clears;
        std::string then_read; // what a read after it brings
    };
    struct Case {
        const char* name;
        Setup setup;
        Outcome outcome;
    };
    const Case cases[] = {
        {"read aborted by a framing error",
         {{{.line_error = CE_FRAME}, {.bytes = "next frame"}}, 0, {}, {}},
         {0, "", 1, "next frame"}},
        {"read aborted, adapter gone",
         {{{.line_error = CE_FRAME}}, 0, {}, 1167},
         {ERROR_OPERATION_ABORTED, "", 1, ""}},
        {"read aborted without a line error",
         {{{.error = ERROR_OPERATION_ABORTED}, {.bytes = "x"}}, 0, {}, {}},
         {ERROR_OPERATION_ABORTED, "", 1, "x"}},
        {"read failing otherwise",
         {{{.error = ERROR_BAD_COMMAND}}, 0, {}, {}},
         {ERROR_BAD_COMMAND, "", 0, ""}},
        {"write aborted by an overrun", {{}, CE_OVERRUN, {}, {}}, {0, "pr mv\r", 1, ""}},
        {"write aborted, adapter gone",
         {{}, CE_OVERRUN, {}, 22},
         {ERROR_OPERATION_ABORTED, "", 1, ""}},
        {"write cut short", {{}, 0, 3, {}}, {ERROR_COUNTER_TIMEOUT, "pr ", 0, ""}},
    };
    for (const Case& c : cases) {
        reset_fake();
        fake.reads = c.setup.reads;
        fake.line_errors = c.setup.line_errors;
        fake.write_limit = c.setup.write_limit;
        fake.clear_error = c.setup.clear_error;
        bool ok = false;
        std::string moved;
        if (c.setup.reads.empty()) {
            std::size_t count = 99;
            ok = serial_write(fake_port, bytes_of("pr mv\r"), count);
            moved = fake.written;
            EXPECT_EQ(count, moved.size()) << c.name;
        } else {
            moved = read_text(fake_port, 30, ok);
        }
        EXPECT_EQ(ok, c.outcome.error == 0) << c.name;
        if (c.outcome.error != 0) {
            EXPECT_EQ(serial_last_error(), static_cast<int>(c.outcome.error)) << c.name;
        }
        EXPECT_EQ(moved, c.outcome.moved) << c.name;
        EXPECT_EQ(fake.clears, c.outcome.clears) << c.name;
        if (!c.outcome.then_read.empty()) {
            bool then_ok = false;
            EXPECT_EQ(read_text(fake_port, 30, then_ok), c.outcome.then_read) << c.name;
            EXPECT_TRUE(then_ok) << c.name;
        }
    }
}

// Windows' serial drivers refuse a second open; Wine lets it through, so there is nothing to
// see under Wine.
TEST_F(EchoPortTest, ASecondOpenOfTheSamePortIsRefused) {
    if (running_under_wine()) {
        GTEST_SKIP() << "Wine does not keep serial ports exclusive";
    }
    EXPECT_EQ(serial_open(name_), serial_invalid_handle);
    const int error = serial_last_error();
    EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) << error;
}

TEST_F(EchoPortTest, ClosingReleasesThePort) {
    ASSERT_TRUE(serial_close(port_));
    port_ = serial_open(name_);
    EXPECT_NE(port_, serial_invalid_handle) << serial_last_error();
}

// Each named field reaches the port and reads back; every other DCB field stays as it was read.
// The cases keep no parity: a Linux pseudo-terminal drops any parity it is given.
TEST_F(EchoPortTest, LineSettingsChangeOnlyTheNamedFields) {
    struct Case {
        std::uint32_t baud_rate;
        SerialParity parity;
        SerialStopBits stop_bits;
    };
    const Case cases[] = {
        {38400, SerialParity::none, SerialStopBits::two},
        {9600, SerialParity::none, SerialStopBits::one},
        {115200, SerialParity::none, SerialStopBits::two},
        {19200, SerialParity::none, SerialStopBits::one},
    };
    SerialLineSettings original;
    ASSERT_TRUE(serial_get_line_settings(port_, original)) << serial_last_error();
    const DCB before = dcb_of(original);

    for (const Case& c : cases) {
        SerialLineSettings changed = original;
        changed.baud_rate = c.baud_rate;
        changed.parity = c.parity;
        changed.stop_bits = c.stop_bits;
        ASSERT_TRUE(serial_set_line_settings(port_, changed)) << serial_last_error();

        SerialLineSettings read_back;
        ASSERT_TRUE(serial_get_line_settings(port_, read_back)) << serial_last_error();
        EXPECT_EQ(read_back.baud_rate, c.baud_rate);
        EXPECT_EQ(read_back.parity, c.parity) << c.baud_rate;
        EXPECT_EQ(read_back.stop_bits, c.stop_bits) << c.baud_rate;

        const DCB after = dcb_of(read_back);
        EXPECT_EQ(after.BaudRate, c.baud_rate);
        EXPECT_EQ(after.ByteSize, before.ByteSize);
        EXPECT_EQ(after.fBinary, before.fBinary);
        EXPECT_EQ(after.fOutxCtsFlow, before.fOutxCtsFlow);
        EXPECT_EQ(after.fOutxDsrFlow, before.fOutxDsrFlow);
        EXPECT_EQ(after.fDtrControl, before.fDtrControl);
        EXPECT_EQ(after.fRtsControl, before.fRtsControl);
        EXPECT_EQ(after.fOutX, before.fOutX);
        EXPECT_EQ(after.fInX, before.fInX);
        EXPECT_EQ(after.XonChar, before.XonChar);
        EXPECT_EQ(after.XoffChar, before.XoffChar);
        EXPECT_EQ(after.EofChar, before.EofChar);
        EXPECT_EQ(after.EvtChar, before.EvtChar);
    }
}

TEST_F(EchoPortTest, TimeoutsReadBackAsWritten) {
    const SerialTimeouts written{.read_interval_ms = 10,
                                 .read_total_multiplier_ms = 10,
                                 .read_total_constant_ms = 100,
                                 .write_total_multiplier_ms = 7,
                                 .write_total_constant_ms = 300};
    ASSERT_TRUE(serial_set_timeouts(port_, written)) << serial_last_error();
    SerialTimeouts read_back;
    ASSERT_TRUE(serial_get_timeouts(port_, read_back)) << serial_last_error();
    EXPECT_EQ(read_back.read_interval_ms, 10u);
    EXPECT_EQ(read_back.read_total_multiplier_ms, 10u);
    EXPECT_EQ(read_back.read_total_constant_ms, 100u);
    EXPECT_EQ(read_back.write_total_multiplier_ms, 7u);
    EXPECT_EQ(read_back.write_total_constant_ms, 300u);
}

TEST_F(EchoPortTest, AppliedLineSettingsKeepTheWriteTimeouts) {
    SerialTimeouts mine{.write_total_multiplier_ms = 3, .write_total_constant_ms = 250};
    ASSERT_TRUE(serial_set_timeouts(port_, mine));
    ASSERT_TRUE(serial_apply_line_settings(port_, 38400, "Echo"));

    SerialLineSettings settings;
    ASSERT_TRUE(serial_get_line_settings(port_, settings));
    EXPECT_EQ(settings.baud_rate, 38400u);
    EXPECT_EQ(settings.parity, SerialParity::none);
    EXPECT_EQ(settings.stop_bits, SerialStopBits::one);
    EXPECT_TRUE(settings.transparent);
    SerialTimeouts timeouts;
    ASSERT_TRUE(serial_get_timeouts(port_, timeouts));
    EXPECT_EQ(timeouts.read_interval_ms, serial_read_interval_ms);
    EXPECT_EQ(timeouts.read_total_multiplier_ms, serial_read_total_multiplier_ms);
    EXPECT_EQ(timeouts.read_total_constant_ms, serial_read_total_constant_ms);
    EXPECT_EQ(timeouts.write_total_multiplier_ms, 3u);
    EXPECT_EQ(timeouts.write_total_constant_ms, 250u);
}

TEST_F(EchoPortTest, WrittenBytesComeBackAndAreCountedInTheReceiveQueue) {
    ASSERT_TRUE(serial_apply_line_settings(port_, 9600, "Echo"));
    // Every byte value, so that nothing on the way translates or swallows one.
    std::string sent;
    for (int value = 0; value < 256; ++value) {
        sent.push_back(static_cast<char>(value));
    }
    std::size_t written = 0;
    ASSERT_TRUE(serial_write(port_, bytes_of(sent), written)) << serial_last_error();
    EXPECT_EQ(written, sent.size());

    EXPECT_EQ(wait_for_input(256), 256u);
    SerialStatus status;
    ASSERT_TRUE(serial_status(port_, status));
    EXPECT_EQ(status.in_queue, 256u);
    EXPECT_EQ(status.out_queue, 0u);
    EXPECT_EQ(status.errors, 0u);

    EXPECT_EQ(read_bytes(sent.size()), sent);
    ASSERT_TRUE(serial_status(port_, status));
    EXPECT_EQ(status.in_queue, 0u);

    // A purge drops what is queued; what comes after it is read as usual.
    ASSERT_TRUE(serial_write(port_, bytes_of("dropped"), written));
    EXPECT_EQ(wait_for_input(7), 7u);
    ASSERT_TRUE(serial_purge_input(port_)) << serial_last_error();
    ASSERT_TRUE(serial_status(port_, status));
    EXPECT_EQ(status.in_queue, 0u);
    ASSERT_TRUE(serial_write(port_, bytes_of("kept"), written));
    EXPECT_EQ(wait_for_input(4), 4u);
    EXPECT_EQ(read_bytes(4), "kept");
}

// A read asks for more than is there: it delivers what arrived once the line has been quiet for
// the interval time-out, long before the total time-out of a silent read.
TEST_F(EchoPortTest, AReadReturnsWhatArrivedWhenTheLineGoesQuiet) {
    ASSERT_TRUE(serial_apply_line_settings(port_, 38400, "Echo"));
    std::size_t written = 0;
    ASSERT_TRUE(serial_write(port_, bytes_of("pr mv\r"), written));
    ASSERT_EQ(wait_for_input(6), 6u);

    std::array<std::uint8_t, 30> buffer{};
    std::size_t count = 0;
    ASSERT_TRUE(serial_read(port_, buffer, count)) << serial_last_error();
    ASSERT_EQ(count, 6u);
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(buffer.data()), count), "pr mv\r");
}

TEST_F(EchoPortTest, ASilentReadEndsWithNothingAfterItsTotalTimeout) {
    ASSERT_TRUE(serial_apply_line_settings(port_, 38400, "Echo"));
    std::array<std::uint8_t, 10> buffer{};
    std::size_t count = 99;
    const auto start = Clock::now();
    ASSERT_TRUE(serial_read(port_, buffer, count)) << serial_last_error();
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_EQ(count, 0u);
    // 10 ms x 10 bytes + 100 ms; a busy machine only makes it longer.
    EXPECT_GE(elapsed.count(), 150);
    EXPECT_LT(elapsed.count(), 10000);
}
