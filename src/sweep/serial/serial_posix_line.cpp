#include "sweep/serial/serial_posix_line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include <termios.h>

namespace {

// Mark and space parity need CMSPAR, which not every termios has.
#ifdef CMSPAR
constexpr tcflag_t serial_cmspar = CMSPAR;
#else
constexpr tcflag_t serial_cmspar = 0;
#endif

struct SerialBaud {
    speed_t speed;
    std::uint32_t rate;
};

constexpr SerialBaud serial_bauds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},
#ifdef B460800
    {B460800, 460800},   {B500000, 500000},   {B576000, 576000},   {B921600, 921600},
    {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000},
    {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
#endif
};

static_assert(sizeof(termios) <= sizeof(SerialLineSettings::native),
              "the termios record must fit into the native settings");
static_assert(alignof(termios) <= 8, "the native settings are 8-byte aligned");

// termios's number for a rate, or 0 for a speed it has no number for.
std::uint32_t serial_rate_of(speed_t speed) {
    for (const SerialBaud& baud : serial_bauds) {
        if (baud.speed == speed) {
            return baud.rate;
        }
    }
    return 0;
}

// What a transparent line has none of: XON/XOFF either way, bytes stripped to 7 bits, CR/LF
// translated or dropped, breaks and parity errors turned into bytes, output post-processing.
constexpr tcflag_t serial_translating_input =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
constexpr tcflag_t serial_translating_output = OPOST;

bool serial_is_transparent(const termios& settings) {
    return (settings.c_iflag & serial_translating_input) == 0 &&
           (settings.c_oflag & serial_translating_output) == 0;
}

void serial_make_transparent(termios& settings) {
    settings.c_iflag &= ~serial_translating_input;
    settings.c_oflag &= ~serial_translating_output;
}

} // namespace

bool serial_posix_make_raw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    serial_make_transparent(settings);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool serial_posix_get_line_settings(int fd, SerialLineSettings& settings) {
    termios native{};
    if (tcgetattr(fd, &native) != 0) {
        return false;
    }
    settings = SerialLineSettings{};
    settings.baud_rate = serial_rate_of(cfgetospeed(&native));
    const tcflag_t flags = native.c_cflag;
    if ((flags & PARENB) == 0) {
        settings.parity = SerialParity::none;
    } else if (serial_cmspar != 0 && (flags & serial_cmspar) != 0) {
        settings.parity = (flags & PARODD) != 0 ? SerialParity::mark : SerialParity::space;
    } else {
        settings.parity = (flags & PARODD) != 0 ? SerialParity::odd : SerialParity::even;
    }
    // termios knows no 1.5 stop bits (a UART sends 1.5 for CSTOPB with 5 data bits): two.
    settings.stop_bits = (flags & CSTOPB) != 0 ? SerialStopBits::two : SerialStopBits::one;
    settings.transparent = serial_is_transparent(native);
    std::memcpy(settings.native.data(), &native, sizeof native);
    return true;
}

bool serial_posix_set_line_settings(int fd, const SerialLineSettings& settings) {
    // All zero: never read from a port. Written, it would switch the receiver off.
    if (std::all_of(settings.native.begin(), settings.native.end(),
                    [](unsigned char byte) { return byte == 0; })) {
        errno = EINVAL;
        return false;
    }
    termios native{};
    std::memcpy(&native, settings.native.data(), sizeof native);

    const auto baud =
        std::find_if(std::begin(serial_bauds), std::end(serial_bauds),
                     [&](const SerialBaud& b) { return b.rate == settings.baud_rate; });
    if (baud == std::end(serial_bauds)) {
        errno = EINVAL;
        return false;
    }
    if (cfsetispeed(&native, baud->speed) != 0 || cfsetospeed(&native, baud->speed) != 0) {
        return false;
    }

    tcflag_t parity = 0;
    switch (settings.parity) {
    case SerialParity::none:
        break;
    case SerialParity::odd:
        parity = PARENB | PARODD;
        break;
    case SerialParity::even:
        parity = PARENB;
        break;
    case SerialParity::mark:
        parity = PARENB | PARODD | serial_cmspar;
        break;
    case SerialParity::space:
        parity = PARENB | serial_cmspar;
        break;
    default:
        errno = EINVAL;
        return false;
    }
    const bool needs_cmspar =
        settings.parity == SerialParity::mark || settings.parity == SerialParity::space;
    if (needs_cmspar && serial_cmspar == 0) {
        errno = EINVAL;
        return false;
    }
    native.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | serial_cmspar);
    native.c_cflag |= parity;

    switch (settings.stop_bits) {
    case SerialStopBits::one:
        native.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        break;
    case SerialStopBits::two:
        native.c_cflag |= CSTOPB;
        break;
    default: // 1.5 stop bits cannot be asked of termios
        errno = EINVAL;
        return false;
    }
    if (settings.transparent) {
        serial_make_transparent(native);
    }
    return tcsetattr(fd, TCSANOW, &native) == 0;
}

std::uint32_t serial_posix_line_rate(int fd) {
    termios native{};
    return tcgetattr(fd, &native) == 0 ? serial_rate_of(cfgetospeed(&native)) : 0;
}
