#include "sweep/gyro/gyro.h"

#include "sweep/runfile/runfile.h"

#include <cstring>

namespace {

GyroFault gyro_fault = GyroFault::none;

// Keeps the worst fault and reports each kind once.
void gyro_note_fault(GyroFault fault, const char* message_format, int value) {
    if (fault > gyro_fault) {
        runfile_say(message_format, value);
        gyro_fault = fault;
    }
}

} // namespace

GyroFault gyro_link_fault() {
    return gyro_fault;
}

std::optional<SerialHandle> gyro_open_port(const char* port_name, std::uint32_t baud_rate) {
    gyro_fault = GyroFault::none;
    SerialHandle port = serial_open(port_name);
    if (port == serial_invalid_handle) {
        std::printf("Gyro - could not open serial port, %d\n", serial_last_error());
        return std::nullopt;
    }
    if (!serial_apply_line_settings(port, baud_rate, "Gyro")) {
        serial_close(port);
        return std::nullopt;
    }
    return port;
}

namespace {

// One read under the port's time-outs; a failure marks the port as failed, with its message.
bool gyro_read(SerialHandle port, std::span<std::uint8_t> buffer, std::size_t& count) {
    if (serial_read(port, buffer, count)) {
        return true;
    }
    gyro_note_fault(GyroFault::port_failed, "Gyro - error reading: %d\n", serial_last_error());
    return false;
}

// Reads the rest of a reply whose first read brought only part of it into the buffer behind that
// part: a USB adapter hands over what it has received once per latency tick, so a frame can reach
// the port in pieces with pauses longer than the interval time-out. Stops when the buffer is full
// or a read brings nothing; returns the bytes held then (0 when the port failed).
std::size_t gyro_complete_reply(SerialHandle port, std::span<std::uint8_t> reply,
                                std::size_t received) {
    while (received < reply.size() && serial_interrupted() == 0) {
        std::size_t more = 0;
        if (!gyro_read(port, reply.subspan(received), more)) {
            return 0;
        }
        if (more == 0) {
            break;
        }
        received += more;
    }
    return received;
}

// Rounds of the discard before the next poll goes ahead anyway: enough for whatever one reply
// left behind, while a gyro that never stops talking cannot hold up the sweep.
constexpr int gyro_discard_rounds = 64;

} // namespace

// Keeps dropping until the line is quiet, so that the rest of a frame still on its way (an adapter
// may hold it for a whole tick) is dropped too.
void gyro_discard_input(SerialHandle port) {
    for (int round = 0; round < gyro_discard_rounds && serial_interrupted() == 0; ++round) {
        // A purge that fails costs only time: the reads below drop the bytes one by one.
        serial_purge_input(port);
        std::array<std::uint8_t, 1> byte{};
        std::size_t received = 0;
        if (!gyro_read(port, byte, received)) {
            return;
        }
        if (received == 0) {
            return;
        }
    }
}

void gyro_drop_pending(SerialHandle port) {
    if (gyro_fault != GyroFault::port_failed && !serial_drop_pending(port)) {
        gyro_note_fault(GyroFault::port_failed, "Gyro - error reading: %d\n", serial_last_error());
    }
}

std::size_t gyro_exchange(SerialHandle port, const char* command, std::span<std::uint8_t> reply) {
    if (gyro_fault == GyroFault::port_failed) {
        return 0;
    }
    std::size_t written = 0;
    if (!serial_write(port, {reinterpret_cast<const std::uint8_t*>(command), std::strlen(command)},
                      written)) {
        gyro_note_fault(GyroFault::port_failed, "Gyro - error writing: %d\n", serial_last_error());
        return 0;
    }

    // The reply starts with the first read that brings anything; bytes beyond the buffer stay
    // queued for the next poll. The silence is timed on the clock, not summed from the reads'
    // nominal lengths: an adapter whose empty reads return early must not end the poll early.
    const std::uint64_t polled_at_ms = serial_clock_ms();
    while (serial_interrupted() == 0) {
        std::size_t received = 0;
        if (!gyro_read(port, reply, received)) {
            return 0;
        }
        if (received != 0) {
            return gyro_complete_reply(port, reply, received);
        }
        const std::uint64_t silent_ms = serial_clock_ms() - polled_at_ms;
        if (silent_ms >= gyro_silence_limit_ms) {
            gyro_note_fault(GyroFault::silent, "Gyro - no answer for %d ms\n",
                            static_cast<int>(silent_ms));
            return 0;
        }
    }
    return 0;
}

std::optional<GyroSample> gyro_decode_frame(const GyroFrame& frame) {
    unsigned sum = 0;
    for (std::size_t i = 1; i <= 28; ++i) {
        sum += frame[i];
    }
    if ((sum & 0xFFu) != frame[29]) {
        return std::nullopt;
    }
    GyroSample sample;
    for (std::size_t k = 0; k < gyro_word_count; ++k) {
        const std::uint8_t high = frame[2 * k + 1];
        const std::uint8_t low = frame[2 * k + 2];
        if (k <= 11) {
            sample.words[k] = static_cast<std::int8_t>(high) * 256 + low;
        } else {
            sample.words[k] = high * 256 + low;
        }
    }
    return sample;
}

std::optional<GyroSample> gyro_read_sample(SerialHandle port) {
    // A cleared buffer and a full-length reply: a short piece must never pass as a sample made
    // of zeros.
    GyroFrame frame{};
    const char command[] = {static_cast<char>(gyro_poll_command), '\0'};
    const std::size_t received = gyro_exchange(port, command, frame);
    std::optional<GyroSample> sample;
    if (received == gyro_frame_length) {
        sample = gyro_decode_frame(frame);
    }
    // A reply that was short or failed its checksum leaves the reader out of step with the
    // frames; what is left of it must not become the start of the next reply.
    if (!sample && received != 0 && gyro_fault != GyroFault::port_failed) {
        gyro_discard_input(port);
    }
    return sample;
}

namespace {

double gyro_angle(std::int32_t v) {
    return v * 180.0 / 32768;
}
double gyro_rate(std::int32_t v) {
    return v * 100.0 * 1.5 / 65536;
}
double gyro_accel(std::int32_t v) {
    return (4 * v) * 2.0 * 1.5 / 65536;
}
double gyro_mag(std::int32_t v) {
    return (2 * v) * 1.25 * 1.5 / 65536;
}
double gyro_temperature(std::int32_t v) {
    const double volts = v * 5.0 / 4096;
    return (volts - 1.375) * 44.4;
}

} // namespace

void gyro_log_sample(std::FILE* log, const GyroSample& sample) {
    const auto& w = sample.words;
    std::fprintf(log, "Roll %7.2f Pitch %7.2f Heading %7.2f \n", gyro_angle(w[0]), gyro_angle(w[1]),
                 gyro_angle(w[2]));
    std::fprintf(log, "X Roll Rate %7.3f Y Pitch Rate %7.3f Z Yaw Rate %7.3f \n", gyro_rate(w[3]),
                 gyro_rate(w[4]), gyro_rate(w[5]));
    std::fprintf(log, "X Accel %7.5f Y Accel %7.5f Z Accel %7.5f \n", gyro_accel(w[6]),
                 gyro_accel(w[7]), gyro_accel(w[8]));
    std::fprintf(log, "X Mag %7.5f Y Mag %7.5f Z Mag %7.5f \n", gyro_mag(w[9]), gyro_mag(w[10]),
                 gyro_mag(w[11]));
    std::fprintf(log, "Temp %7.2f \n", gyro_temperature(w[12]));
}
