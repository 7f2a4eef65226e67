// The in-memory serial backend of the unit tests. Each device is a TestPort registered by name
// before the code under test opens it. A test scripts what the device delivers read by read (a
// chunk, or a silent read that lasts its total time-out) or attaches a device model that answers
// what is written. Every write, status query, sleep and close is recorded on a virtual clock, so
// no test really sleeps.
#pragma once

#include "sweep/serial/serial.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct TestPort {
    std::string name;
    SerialHandle handle = serial_invalid_handle;
    bool is_open = false;
    int open_count = 0;

    // A non-zero code makes that step fail with it.
    int open_error = 0;
    int get_settings_error = 0;
    int set_settings_error = 0;
    int get_timeouts_error = 0;
    int set_timeouts_error = 0;
    // Once non-zero, reads, writes or status queries fail with it (a port gone away).
    int read_error = 0;
    int write_error = 0;
    int status_error = 0;
    int purge_error = 0;

    // What the port holds: the line settings and time-outs as last written (or the defaults).
    SerialLineSettings settings{};
    SerialTimeouts timeouts{.write_total_multiplier_ms = 7, .write_total_constant_ms = 300};

    // What the device delivers, read by read. An empty chunk is a read that times out with
    // nothing; a chunk longer than a read asks for is delivered over several reads. An empty
    // queue reads as silence. A purge drops what has arrived: the rest of the chunk in front,
    // unless that is a silent read; the chunks behind it are still on their way.
    std::deque<std::vector<std::uint8_t>> reads;
    // Transmit queue counts reported by successive status queries; 0 once used up.
    std::deque<std::uint32_t> out_queue_counts;
    // Called with each write; may queue the device's answer.
    std::function<void(TestPort&, std::span<const std::uint8_t>)> device;
    // How long a read that brings nothing lasts on the virtual clock; unset, its total time-out.
    // Shorter: a driver whose empty reads return early.
    std::optional<std::uint64_t> silent_read_ms;
    // Called right after the port's close is recorded.
    std::function<void(TestPort&)> on_close;

    std::string written;
    int status_queries = 0;
    int read_calls = 0;
};

// A request to stop with signal from the moment the clock reaches at_ms; each call adds one
// (in the order they come). serial_interrupted() reports the first one's signal.
void test_port_interrupt_at(std::uint64_t at_ms, int signal);

// Forgets every port, event and error, and sets the clock to 0.
void test_port_reset();
// Registers a device under the name that serial_open will be given.
TestPort& test_port_add(std::string_view name);
TestPort* test_port_find(SerialHandle handle);

void test_port_push_read(TestPort& port, std::string_view bytes);
void test_port_push_read(TestPort& port, std::span<const std::uint8_t> bytes);
void test_port_push_silence(TestPort& port, int reads = 1);

// Virtual time in milliseconds, also what serial_clock_ms() reports: silent reads advance it by
// their total time-out (or the port's silent_read_ms), sleeps by their length.
std::uint64_t test_port_clock_ms();
// "open com8", "write com6 pr mv\r", "status com6", "purge com8", "sleep 100", "close com8", ...
// in order.
const std::vector<std::string>& test_port_events();
// Adds an event of the test's own (e.g. the state of a file at a close) to the list.
void test_port_record(std::string event);
// The events whose text starts with prefix.
std::vector<std::string> test_port_events_starting(std::string_view prefix);
