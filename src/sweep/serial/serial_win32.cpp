// The kernel32 backend of the serial port services. Each operation ends with the kernel32 call
// whose failure it reports, so that GetLastError still holds the reason when the caller prints
// its message.
#include "sweep/serial/serial.h"

// libstdc++ may already have defined these (mingw-w64's os_defines.h sets NOMINMAX).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

// The whole DCB travels in the settings record, so that writing it back changes nothing but the
// named fields.
static_assert(sizeof(DCB) <= sizeof(SerialLineSettings::native));
static_assert(alignof(DCB) <= alignof(SerialLineSettings));
static_assert(sizeof(HANDLE) == sizeof(SerialHandle));

namespace {

HANDLE serial_native_handle(SerialHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

// INVALID_HANDLE_VALUE is also the current process's pseudo handle, which CloseHandle "closes"
// with success: refuse it before kernel32 sees it, so a failed open is never reported as closed.
bool serial_refuse_invalid(SerialHandle port) {
    if (port != serial_invalid_handle) {
        return false;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return true;
}

BYTE serial_native_parity(SerialParity parity) {
    switch (parity) {
    case SerialParity::odd:
        return ODDPARITY;
    case SerialParity::even:
        return EVENPARITY;
    case SerialParity::mark:
        return MARKPARITY;
    case SerialParity::space:
        return SPACEPARITY;
    case SerialParity::none:
        break;
    }
    return NOPARITY;
}

// A value outside the five the driver documents reads as none; the links set none anyway.
SerialParity serial_parity_from_native(BYTE parity) {
    switch (parity) {
    case ODDPARITY:
        return SerialParity::odd;
    case EVENPARITY:
        return SerialParity::even;
    case MARKPARITY:
        return SerialParity::mark;
    case SPACEPARITY:
        return SerialParity::space;
    default:
        return SerialParity::none;
    }
}

BYTE serial_native_stop_bits(SerialStopBits stop_bits) {
    switch (stop_bits) {
    case SerialStopBits::one_and_half:
        return ONE5STOPBITS;
    case SerialStopBits::two:
        return TWOSTOPBITS;
    case SerialStopBits::one:
        break;
    }
    return ONESTOPBIT;
}

SerialStopBits serial_stop_bits_from_native(BYTE stop_bits) {
    switch (stop_bits) {
    case ONE5STOPBITS:
        return SerialStopBits::one_and_half;
    case TWOSTOPBITS:
        return SerialStopBits::two;
    default:
        return SerialStopBits::one;
    }
}

// The flags that no settings page shows and that each spoil a binary protocol: XON/XOFF either
// way (the bytes 0x11 and 0x13 vanish), NUL stripping, the error character, abort-on-error
// (after one framing error every transfer fails until ClearCommError), and DSR sensitivity (every
// byte received while DSR is low is dropped, which on a three-wire cable is every byte). The
// modem lines themselves stay as they are.
bool serial_is_transparent(const DCB& dcb) {
    return dcb.fBinary && !dcb.fOutX && !dcb.fInX && !dcb.fNull && !dcb.fErrorChar &&
           !dcb.fAbortOnError && !dcb.fDsrSensitivity;
}

void serial_make_transparent(DCB& dcb) {
    dcb.fBinary = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDsrSensitivity = FALSE;
}

// A line error (framing, overrun, parity, a break) on a port that aborts on errors fails the
// transfer in hand with ERROR_OPERATION_ABORTED, and every later one until the error is cleared.
// Clears it and tells whether that was the cause; otherwise (an adapter that went away reports
// 995 too) the transfer's own error stays for the caller.
bool serial_clear_line_error(HANDLE handle) {
    if (GetLastError() != ERROR_OPERATION_ABORTED) {
        return false;
    }
    DWORD errors = 0;
    COMSTAT comstat{};
    if (ClearCommError(handle, &errors, &comstat) && errors != 0) {
        return true;
    }
    SetLastError(ERROR_OPERATION_ABORTED);
    return false;
}

// ReadFile and WriteFile take a DWORD count.
DWORD serial_chunk_length(std::size_t length) {
    return static_cast<DWORD>(std::min<std::size_t>(length, MAXDWORD));
}

} // namespace

SerialHandle serial_open(const char* name) {
    const HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return serial_invalid_handle;
    }
    return reinterpret_cast<SerialHandle>(handle);
}

bool serial_get_line_settings(SerialHandle port, SerialLineSettings& settings) {
    if (serial_refuse_invalid(port)) {
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(serial_native_handle(port), &dcb)) {
        return false;
    }
    settings.baud_rate = dcb.BaudRate;
    settings.parity = serial_parity_from_native(dcb.Parity);
    settings.stop_bits = serial_stop_bits_from_native(dcb.StopBits);
    settings.transparent = serial_is_transparent(dcb);
    settings.native.fill(0);
    std::memcpy(settings.native.data(), &dcb, sizeof(dcb));
    return true;
}

bool serial_set_line_settings(SerialHandle port, const SerialLineSettings& settings) {
    if (serial_refuse_invalid(port)) {
        return false;
    }
    DCB dcb{};
    std::memcpy(&dcb, settings.native.data(), sizeof(dcb));
    // A record that never came from serial_get_line_settings still carries a valid length.
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = settings.baud_rate;
    dcb.Parity = serial_native_parity(settings.parity);
    dcb.StopBits = serial_native_stop_bits(settings.stop_bits);
    if (settings.transparent) {
        serial_make_transparent(dcb);
    }
    return SetCommState(serial_native_handle(port), &dcb) != FALSE;
}

bool serial_get_timeouts(SerialHandle port, SerialTimeouts& timeouts) {
    if (serial_refuse_invalid(port)) {
        return false;
    }
    COMMTIMEOUTS native{};
    if (!GetCommTimeouts(serial_native_handle(port), &native)) {
        return false;
    }
    timeouts.read_interval_ms = native.ReadIntervalTimeout;
    timeouts.read_total_multiplier_ms = native.ReadTotalTimeoutMultiplier;
    timeouts.read_total_constant_ms = native.ReadTotalTimeoutConstant;
    timeouts.write_total_multiplier_ms = native.WriteTotalTimeoutMultiplier;
    timeouts.write_total_constant_ms = native.WriteTotalTimeoutConstant;
    return true;
}

bool serial_set_timeouts(SerialHandle port, const SerialTimeouts& timeouts) {
    if (serial_refuse_invalid(port)) {
        return false;
    }
    COMMTIMEOUTS native{};
    native.ReadIntervalTimeout = timeouts.read_interval_ms;
    native.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier_ms;
    native.ReadTotalTimeoutConstant = timeouts.read_total_constant_ms;
    native.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier_ms;
    native.WriteTotalTimeoutConstant = timeouts.write_total_constant_ms;
    return SetCommTimeouts(serial_native_handle(port), &native) != FALSE;
}

bool serial_read(SerialHandle port, std::span<std::uint8_t> buffer, std::size_t& count) {
    count = 0;
    if (serial_refuse_invalid(port)) {
        return false;
    }
    const HANDLE handle = serial_native_handle(port);
    DWORD received = 0;
    const BOOL ok =
        ReadFile(handle, buffer.data(), serial_chunk_length(buffer.size()), &received, nullptr);
    count = received;
    // After a line error the bytes of this read are lost; the next read finds the port working.
    return ok != FALSE || serial_clear_line_error(handle);
}

bool serial_write(SerialHandle port, std::span<const std::uint8_t> bytes, std::size_t& count) {
    // One call in practice; a span beyond a DWORD goes in pieces.
    count = 0;
    if (serial_refuse_invalid(port)) {
        return false;
    }
    const HANDLE handle = serial_native_handle(port);
    bool line_error_cleared = false;
    while (count < bytes.size()) {
        const std::span<const std::uint8_t> rest = bytes.subspan(count);
        const DWORD length = serial_chunk_length(rest.size());
        DWORD written = 0;
        const BOOL ok = WriteFile(handle, rest.data(), length, &written, nullptr);
        count += written;
        if (!ok) {
            // A line error aborted the write: the rest goes out once the error is cleared.
            if (line_error_cleared || !serial_clear_line_error(handle)) {
                return false;
            }
            line_error_cleared = true;
        } else if (written < length) {
            // The write time-outs ran out: the device would answer a command it never had.
            SetLastError(ERROR_COUNTER_TIMEOUT);
            return false;
        }
    }
    return true;
}

bool serial_status(SerialHandle port, SerialStatus& status) {
    status = {};
    if (serial_refuse_invalid(port)) {
        return false;
    }
    DWORD errors = 0;
    COMSTAT comstat{};
    if (!ClearCommError(serial_native_handle(port), &errors, &comstat)) {
        return false;
    }
    status.errors = errors;
    status.in_queue = comstat.cbInQue;
    status.out_queue = comstat.cbOutQue;
    return true;
}

bool serial_purge_input(SerialHandle port) {
    if (serial_refuse_invalid(port)) {
        return false;
    }
    return PurgeComm(serial_native_handle(port), PURGE_RXCLEAR | PURGE_RXABORT) != FALSE;
}

bool serial_close(SerialHandle port) {
    if (serial_refuse_invalid(port)) {
        return false;
    }
    return CloseHandle(serial_native_handle(port)) != FALSE;
}

int serial_last_error() {
    return static_cast<int>(GetLastError());
}

namespace {

// The console event that asked the program to stop, as a signal number; set by the handler
// thread, read by the program's thread.
std::atomic<LONG> serial_stop_signal = 0;
// Set together with the flag, so that a sleep ends at the request however close before the
// sleep it came: an event stays set, there is no moment to miss. Reads and writes are
// synchronous transfers, which cannot wait on it; they end within their time-outs (1.1 s at most
// for a read under the links' settings) and the links look at the flag then.
HANDLE serial_stop_event = nullptr;

// The first request's signal, and whether the program finishes on its own after it: then only a
// second request sets the flag and the event.
std::atomic<LONG> serial_first_signal = 0;
std::atomic<LONG> serial_finish_first = 0;

void serial_request_stop(LONG signal) {
    LONG no_signal = 0;
    if (serial_first_signal.compare_exchange_strong(no_signal, signal) &&
        serial_finish_first != 0) {
        return;
    }
    serial_stop_signal = signal;
    if (serial_stop_event != nullptr) {
        SetEvent(serial_stop_event);
    }
}

BOOL WINAPI serial_on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        serial_request_stop(2);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Windows ends the process as soon as this returns, and about 5 s after the event
        // anyway: never return first, so that the program's thread has all of that time to bring
        // the motor back and close the ports and the log (it ends the process itself when done).
        serial_request_stop(15);
        Sleep(10000);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void serial_sleep_ms(std::uint32_t milliseconds) {
    if (serial_stop_signal != 0) {
        return;
    }
    if (serial_stop_event != nullptr) {
        WaitForSingleObject(serial_stop_event, milliseconds);
    } else {
        Sleep(milliseconds);
    }
}

// The performance counter rather than the tick count, whose steps of about 16 ms would show in
// a reported silence.
std::uint64_t serial_clock_ms() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000 + ticks % per_second * 1000 / per_second;
}

void serial_catch_interrupts(SerialFirstInterrupt first) {
    serial_finish_first = first == SerialFirstInterrupt::finish_first ? 1 : 0;
    if (serial_stop_event == nullptr) {
        // Manual reset: once asked to stop, every later sleep ends at once too.
        serial_stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    SetConsoleCtrlHandler(serial_on_console_event, TRUE);
}

int serial_interrupted() {
    return static_cast<int>(serial_first_signal.load());
}

bool serial_stop_now() {
    return serial_stop_signal != 0;
}
