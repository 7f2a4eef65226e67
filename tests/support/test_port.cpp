#include "tests/support/test_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace {

std::vector<std::unique_ptr<TestPort>> ports;
std::vector<std::string> events;
std::uint64_t clock_ms = 0;
int last_error = 0;
// Requests to stop as (from when, signal), in the order they come.
std::vector<std::pair<std::uint64_t, int>> interrupts;
std::size_t interrupts_to_finish = 0;

std::size_t test_port_interrupts_so_far() {
    return static_cast<std::size_t>(std::count_if(
        interrupts.begin(), interrupts.end(), [](const auto& at) { return clock_ms >= at.first; }));
}

// A code under test that keeps reading a silent device would otherwise never end.
constexpr std::uint64_t runaway_clock_ms = 24ull * 3600 * 1000;

constexpr int error_not_found = 2;
constexpr int error_invalid_handle = 6;
constexpr int error_access_denied = 5;

TestPort* test_port_checked(SerialHandle handle) {
    TestPort* port = test_port_find(handle);
    if (port == nullptr || !port->is_open) {
        last_error = error_invalid_handle;
        return nullptr;
    }
    return port;
}

bool test_port_fail_with(int code) {
    if (code != 0) {
        last_error = code;
        return true;
    }
    return false;
}

void test_port_advance(std::uint64_t ms) {
    clock_ms += ms;
    if (clock_ms > runaway_clock_ms) {
        std::fprintf(stderr, "test port: code under test waited a whole virtual day; aborting\n");
        std::abort();
    }
}

} // namespace

void test_port_reset() {
    ports.clear();
    events.clear();
    clock_ms = 0;
    last_error = 0;
    interrupts.clear();
    interrupts_to_finish = 0;
}

void test_port_interrupt_at(std::uint64_t at_ms, int signal) {
    interrupts.emplace_back(at_ms, signal);
}

TestPort& test_port_add(std::string_view name) {
    auto port = std::make_unique<TestPort>();
    port->name = std::string(name);
    ports.push_back(std::move(port));
    return *ports.back();
}

TestPort* test_port_find(SerialHandle handle) {
    for (auto& port : ports) {
        if (port->handle == handle && handle != serial_invalid_handle) {
            return port.get();
        }
    }
    return nullptr;
}

void test_port_push_read(TestPort& port, std::string_view bytes) {
    port.reads.emplace_back(bytes.begin(), bytes.end());
}

void test_port_push_read(TestPort& port, std::span<const std::uint8_t> bytes) {
    port.reads.emplace_back(bytes.begin(), bytes.end());
}

void test_port_push_silence(TestPort& port, int reads) {
    for (int i = 0; i < reads; ++i) {
        port.reads.emplace_back();
    }
}

std::uint64_t test_port_clock_ms() {
    return clock_ms;
}

const std::vector<std::string>& test_port_events() {
    return events;
}

void test_port_record(std::string event) {
    events.push_back(std::move(event));
}

std::vector<std::string> test_port_events_starting(std::string_view prefix) {
    std::vector<std::string> found;
    for (const auto& event : events) {
        if (std::string_view(event).starts_with(prefix)) {
            found.push_back(event);
        }
    }
    return found;
}

// The serial backend itself.

SerialHandle serial_open(const char* name) {
    events.push_back(std::string("open ") + name);
    auto found = std::find_if(ports.begin(), ports.end(),
                              [&](const auto& port) { return port->name == name; });
    if (found == ports.end()) {
        last_error = error_not_found;
        return serial_invalid_handle;
    }
    TestPort& port = **found;
    if (test_port_fail_with(port.open_error)) {
        return serial_invalid_handle;
    }
    if (port.is_open) {
        last_error = error_access_denied;
        return serial_invalid_handle;
    }
    port.is_open = true;
    ++port.open_count;
    port.handle = static_cast<SerialHandle>(100 + (found - ports.begin()));
    return port.handle;
}

bool serial_get_line_settings(SerialHandle handle, SerialLineSettings& settings) {
    TestPort* port = test_port_checked(handle);
    if (port == nullptr || test_port_fail_with(port->get_settings_error)) {
        return false;
    }
    settings = port->settings;
    return true;
}

bool serial_set_line_settings(SerialHandle handle, const SerialLineSettings& settings) {
    TestPort* port = test_port_checked(handle);
    if (port == nullptr || test_port_fail_with(port->set_settings_error)) {
        return false;
    }
    port->settings = settings;
    return true;
}

bool serial_get_timeouts(SerialHandle handle, SerialTimeouts& timeouts) {
    TestPort* port = test_port_checked(handle);
    if (port == nullptr || test_port_fail_with(port->get_timeouts_error)) {
        return false;
    }
    timeouts = port->timeouts;
    return true;
}

bool serial_set_timeouts(SerialHandle handle, const SerialTimeouts& timeouts) {
    TestPort* port = test_port_checked(handle);
    if (port == nullptr || test_port_fail_with(port->set_timeouts_error)) {
        return false;
    }
    port->timeouts = timeouts;
    return true;
}

bool serial_read(SerialHandle handle, std::span<std::uint8_t> buffer, std::size_t& count) {
    count = 0;
    TestPort* port = test_port_checked(handle);
    if (port == nullptr || test_port_fail_with(port->read_error)) {
        return false;
    }
    ++port->read_calls;
    if (port->reads.empty() || port->reads.front().empty() || buffer.empty()) {
        if (!port->reads.empty() && port->reads.front().empty()) {
            port->reads.pop_front();
        }
        test_port_advance(
            port->silent_read_ms.value_or(port->timeouts.read_total_multiplier_ms * buffer.size() +
                                          port->timeouts.read_total_constant_ms));
        return true;
    }
    std::vector<std::uint8_t>& chunk = port->reads.front();
    count = std::min(buffer.size(), chunk.size());
    std::copy_n(chunk.begin(), count, buffer.begin());
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
    if (chunk.empty()) {
        port->reads.pop_front();
    }
    return true;
}

bool serial_write(SerialHandle handle, std::span<const std::uint8_t> bytes, std::size_t& count) {
    count = 0;
    TestPort* port = test_port_checked(handle);
    if (port == nullptr || test_port_fail_with(port->write_error)) {
        return false;
    }
    const std::string text(bytes.begin(), bytes.end());
    events.push_back("write " + port->name + " " + text);
    port->written += text;
    count = bytes.size();
    if (port->device) {
        port->device(*port, bytes);
    }
    return true;
}

bool serial_status(SerialHandle handle, SerialStatus& status) {
    status = {};
    TestPort* port = test_port_checked(handle);
    if (port == nullptr || test_port_fail_with(port->status_error)) {
        return false;
    }
    events.push_back("status " + port->name);
    ++port->status_queries;
    for (const auto& chunk : port->reads) {
        status.in_queue += static_cast<std::uint32_t>(chunk.size());
    }
    if (!port->out_queue_counts.empty()) {
        status.out_queue = port->out_queue_counts.front();
        port->out_queue_counts.pop_front();
    }
    return true;
}

bool serial_purge_input(SerialHandle handle) {
    TestPort* port = test_port_checked(handle);
    if (port == nullptr || test_port_fail_with(port->purge_error)) {
        return false;
    }
    events.push_back("purge " + port->name);
    if (!port->reads.empty() && !port->reads.front().empty()) {
        port->reads.pop_front();
    }
    return true;
}

bool serial_close(SerialHandle handle) {
    TestPort* port = test_port_checked(handle);
    if (port == nullptr) {
        return false;
    }
    events.push_back("close " + port->name);
    port->is_open = false;
    if (port->on_close) {
        port->on_close(*port);
    }
    return true;
}

int serial_last_error() {
    return last_error;
}

void serial_sleep_ms(std::uint32_t milliseconds) {
    events.push_back("sleep " + std::to_string(milliseconds));
    test_port_advance(milliseconds);
}

std::uint64_t serial_clock_ms() {
    return clock_ms;
}

void serial_catch_interrupts(SerialFirstInterrupt first) {
    interrupts_to_finish = first == SerialFirstInterrupt::finish_first ? 1 : 0;
    events.push_back("catch interrupts");
}

int serial_interrupted() {
    return test_port_interrupts_so_far() > 0 ? interrupts.front().second : 0;
}

bool serial_stop_now() {
    return test_port_interrupts_so_far() > interrupts_to_finish;
}
