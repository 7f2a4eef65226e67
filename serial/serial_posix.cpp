#include "serial/serial.h"
#include <cerrno>
SerialHandle serial_open(const char*) {
    errno = ENOSYS;
    return serial_invalid_handle;
}
bool serial_get_line_settings(SerialHandle, SerialLineSettings&) {
    return false;
}
bool serial_set_line_settings(SerialHandle, const SerialLineSettings&) {
    return false;
}
bool serial_get_timeouts(SerialHandle, SerialTimeouts&) {
    return false;
}
bool serial_set_timeouts(SerialHandle, const SerialTimeouts&) {
    return false;
}
bool serial_read(SerialHandle, std::span<std::uint8_t>, std::size_t& c) {
    c = 0;
    return false;
}
bool serial_write(SerialHandle, std::span<const std::uint8_t>, std::size_t& c) {
    c = 0;
    return false;
}
bool serial_status(SerialHandle, SerialStatus&) {
    return false;
}
bool serial_close(SerialHandle) {
    return false;
}
int serial_last_error() {
    return errno;
}
void serial_sleep_ms(std::uint32_t) {}
void serial_catch_interrupts() {}
int serial_interrupted() { return 0; }
