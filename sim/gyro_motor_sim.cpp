// gyro_motor_sim: the bench in software. Serves a gyro and a motor controller on two
// pseudo-terminals, reachable through symbolic links such as com8 and com6, until it is told to
// stop; paces every byte at its line's rate, records what it was asked and sent, and can inject
// faults. One thread: a poll loop over both lines and a self-pipe for the stop signals.
#include "sim/sim_gyro.h"
#include "sim/sim_link.h"
#include "sim/sim_motor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const help_text = R"(Usage: gyro_motor_sim [OPTION]...
Simulates the bench of gyro_motor: the gyro (38400 baud) and the motor controller (9600 baud),
each on a pseudo-terminal reachable through a symbolic link (com8, com6), until SIGINT or
SIGTERM, for as many runs of the program as wanted (when the program closes a line, the
exclusive mode it set is cleared for the next run). The links are removed when it stops.
Options take their value as "--name VALUE" or "--name=VALUE".

The platform turns with the motor: 1,000,000 controller units are one revolution, so the
program's sweep to 1000000 turns the heading once round (0 up to 180, then -180 up to 0). Roll,
pitch and the X/Y rates stay near 0, the accelerations near 0, 0 and 1 g, the yaw rate follows
the motor's speed (40000 units/s = 14.4 deg/s), a field of 0.25 gauss horizontal and 0.40 gauss
vertical turns against the heading, the temperature stays near 25 deg C, and word 13 counts
frames. Small deterministic noise is added.

The controller takes "ma N", "mr N", "vm N" (speed in units/s, default 40000), "pr mv" (moving
flag) and "pr er" (last error number), each ended by a carriage return; a line feed is ignored.
Answers are "\r\n", then a value and "\r\n" for the queries, then the prompt '>'; a command it
does not know gets '?' instead.

Links:
  --dir DIR                folder for the links (default: the current folder), e.g. a Wine
                           prefix's dosdevices folder; a symbolic link already there is replaced
                           and put back at the end
  --gyro-name NAME         name of the gyro's link (default com8)
  --motor-name NAME        name of the controller's link (default com6)
  --raw                    put both lines in raw mode first; by default they keep the line mode
                           a new terminal has, as a real port does (Wine needs --raw)
  --ready-file FILE        written once both links exist; removed at the start and at the end

Timing:
  --gyro-baud N            line rate of the gyro (default 38400); a byte takes ten bit times
                           in each direction
  --motor-baud N           line rate of the controller (default 9600)
  --gyro-latency-ms MS     from a poll's arrival to the first byte of its frame (default 2)
  --motor-latency-ms MS    from a command's carriage return to its answer (default 5)
  --no-pacing              no line rate and no latency: answers go out at once, in one piece
  --usb-tick-ms MS         both lines end in a USB-serial adapter that hands the bytes it has
                           received to the program once per tick of MS ms, at whatever phase
                           the tick falls against the answers (default 0: no adapter)
  --time-scale X           simulated motor time runs X times as fast as real time (default 1):
                           the sweep of 1,000,000 units at 40000 units/s takes 25 s / X

Model:
  --units-per-turn N       controller units per platform revolution (default 1000000)
  --seed N                 seed of the sensor noise (default 1)

Records (times in milliseconds since the start):
  --transcript FILE        one line per controller command (without its carriage return) and
                           per gyro poll, e.g. "12.345 motor ma 1000000" and "12.400 gyro G";
                           any other byte to the gyro as "gyro other 0xNN"; a program opening
                           or closing a line as "gyro open", "motor close" and so on; a dropped
                           line as "gyro hang-up" or "motor hang-up"
  --frames FILE            one line per answered poll: time, frame number (from 1), kind ("ok",
                           or "bad", "split" and "stray" joined by '+'), every byte sent for it
                           in hex (stray bytes first), and the 13 values that words 0-12 stand
                           for, in the log's units (deg, deg/s, g, gauss, deg C)

Faults:
  --bad-checksum-every N   every Nth frame carries a wrong checksum
  --split-every N          every Nth frame goes out in two pieces with a pause between them
  --split-at N             bytes in the first piece (default 15)
  --split-pause-ms MS      the pause (default 30)
  --stray-bytes N          N stray bytes (0xAA) go out right before every Kth frame; a reader
                           that never drops input is N bytes out of step from then on
  --stray-every K          K for --stray-bytes (default 1: before every frame)
  --gyro-silent-after N    polls after the Nth get no answer
  --question-prompts       the controller ends every answer with '?' instead of '>'
  --echo                   the controller sends each command back, with "\r\n", before its
                           answer
  --motor-silent-after N   commands after the Nth are neither answered nor carried out
  --hangup-gyro-after S    S seconds after the first byte the gyro receives, close its line
                           (the program sees a hang-up) and remove its link
  --hangup-motor-after S   the same for the controller

  --help                   this text
)";

struct SimOptions {
    std::string dir = ".";
    std::string gyro_name = "com8";
    std::string motor_name = "com6";
    bool raw = false;
    std::string ready_file;
    double gyro_baud = 38400.0;
    double motor_baud = 9600.0;
    double gyro_latency_ms = 2.0;
    double motor_latency_ms = 5.0;
    bool pacing = true;
    double usb_tick_ms = 0.0; // 0: no adapter model
    double time_scale = 1.0;
    double units_per_turn = sim_gyro_default_units_per_turn;
    std::uint32_t seed = 1;
    std::string transcript;
    std::string frames;
    std::uint64_t bad_checksum_every = 0;
    std::uint64_t split_every = 0;
    std::size_t split_at = 15;
    double split_pause_ms = 30.0;
    std::size_t stray_bytes = 0;
    std::uint64_t stray_every = 1;
    std::optional<std::uint64_t> gyro_silent_after;
    bool question_prompts = false;
    bool echo = false;
    std::optional<std::uint64_t> motor_silent_after;
    std::optional<double> hangup_gyro_after;
    std::optional<double> hangup_motor_after;
};

// What one line of the bench does beyond its link.
struct SimDevice {
    const char* word = "";
    SimLink link;
    int watch = -1; // inotify watch on the slave
    std::optional<double> first_byte_at;
    std::optional<double> hangup_after;
    std::uint64_t requests = 0; // polls or commands received
};

struct SimRun {
    SimOptions options;
    SimDevice gyro_device;
    SimDevice motor_device;
    SimGyro gyro;
    SimMotor motor;
    std::uint64_t frames_sent = 0;
    std::FILE* transcript = nullptr;
    std::FILE* frames = nullptr;
    int watch_fd = -1; // inotify: the program opening and closing the slaves
    std::chrono::steady_clock::time_point start;
};

int signal_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

bool parse_double(std::string_view text, double minimum, double& value) {
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0' || errno != 0 || !std::isfinite(parsed) || parsed < minimum) {
        return false;
    }
    value = parsed;
    return true;
}

bool parse_count(std::string_view text, std::uint64_t minimum, std::uint64_t& value) {
    const std::string copy(text);
    if (copy.empty() || copy.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(copy.c_str(), &end, 10);
    if (errno != 0 || parsed < minimum) {
        return false;
    }
    value = parsed;
    return true;
}

// Reads the options; prints why and returns false on a bad one. Sets help when asked for it.
bool parse_options(int argc, char** argv, SimOptions& options, bool& help) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> inline_value;
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            inline_value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const auto flag = [&](bool& target) {
            target = true;
            return !inline_value.has_value();
        };
        std::string_view value;
        const auto take = [&]() {
            if (inline_value) {
                value = *inline_value;
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            value = args[++i];
            return true;
        };
        const auto text = [&](std::string& target) {
            if (!take() || value.empty()) {
                return false;
            }
            target = value;
            return true;
        };
        const auto number = [&](double& target, double minimum) {
            return take() && parse_double(value, minimum, target);
        };
        const auto count = [&](std::uint64_t& target, std::uint64_t minimum) {
            return take() && parse_count(value, minimum, target);
        };
        const auto size = [&](std::size_t& target, std::uint64_t minimum) {
            std::uint64_t parsed = 0;
            if (!count(parsed, minimum) || parsed > 1000000) {
                return false;
            }
            target = static_cast<std::size_t>(parsed);
            return true;
        };
        const auto optional_count = [&](std::optional<std::uint64_t>& target) {
            std::uint64_t parsed = 0;
            if (!count(parsed, 0)) {
                return false;
            }
            target = parsed;
            return true;
        };
        const auto optional_seconds = [&](std::optional<double>& target) {
            double parsed = 0.0;
            if (!number(parsed, 0.0)) {
                return false;
            }
            target = parsed;
            return true;
        };

        bool ok = false;
        bool no_pacing = false;
        if (name == "--help") {
            help = true;
            return true;
        } else if (name == "--dir") {
            ok = text(options.dir);
        } else if (name == "--gyro-name") {
            ok = text(options.gyro_name);
        } else if (name == "--motor-name") {
            ok = text(options.motor_name);
        } else if (name == "--raw") {
            ok = flag(options.raw);
        } else if (name == "--ready-file") {
            ok = text(options.ready_file);
        } else if (name == "--gyro-baud") {
            ok = number(options.gyro_baud, 1.0);
        } else if (name == "--motor-baud") {
            ok = number(options.motor_baud, 1.0);
        } else if (name == "--gyro-latency-ms") {
            ok = number(options.gyro_latency_ms, 0.0);
        } else if (name == "--motor-latency-ms") {
            ok = number(options.motor_latency_ms, 0.0);
        } else if (name == "--no-pacing") {
            ok = flag(no_pacing);
            options.pacing = false;
        } else if (name == "--usb-tick-ms") {
            ok = number(options.usb_tick_ms, 0.0);
        } else if (name == "--time-scale") {
            ok = number(options.time_scale, 0.0) && options.time_scale > 0.0;
        } else if (name == "--units-per-turn") {
            ok = number(options.units_per_turn, 1.0);
        } else if (name == "--seed") {
            std::uint64_t seed = 0;
            ok = count(seed, 0) && seed <= UINT32_MAX;
            options.seed = static_cast<std::uint32_t>(seed);
        } else if (name == "--transcript") {
            ok = text(options.transcript);
        } else if (name == "--frames") {
            ok = text(options.frames);
        } else if (name == "--bad-checksum-every") {
            ok = count(options.bad_checksum_every, 1);
        } else if (name == "--split-every") {
            ok = count(options.split_every, 1);
        } else if (name == "--split-at") {
            ok = size(options.split_at, 1) && options.split_at < sim_gyro_frame_length;
        } else if (name == "--split-pause-ms") {
            ok = number(options.split_pause_ms, 0.0);
        } else if (name == "--stray-bytes") {
            ok = size(options.stray_bytes, 0);
        } else if (name == "--stray-every") {
            ok = count(options.stray_every, 1);
        } else if (name == "--gyro-silent-after") {
            ok = optional_count(options.gyro_silent_after);
        } else if (name == "--question-prompts") {
            ok = flag(options.question_prompts);
        } else if (name == "--echo") {
            ok = flag(options.echo);
        } else if (name == "--motor-silent-after") {
            ok = optional_count(options.motor_silent_after);
        } else if (name == "--hangup-gyro-after") {
            ok = optional_seconds(options.hangup_gyro_after);
        } else if (name == "--hangup-motor-after") {
            ok = optional_seconds(options.hangup_motor_after);
        } else {
            std::fprintf(stderr, "gyro_motor_sim: unknown option %.*s (see --help)\n",
                         static_cast<int>(name.size()), name.data());
            return false;
        }
        if (!ok) {
            std::fprintf(stderr, "gyro_motor_sim: bad or missing value for %.*s (see --help)\n",
                         static_cast<int>(name.size()), name.data());
            return false;
        }
    }
    return true;
}

double elapsed(const SimRun& run) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - run.start).count();
}

void record(SimRun& run, double now, const char* word, std::string_view text) {
    if (run.transcript == nullptr) {
        return;
    }
    std::string printable;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            printable += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            printable += escaped;
        }
    }
    std::fprintf(run.transcript, "%.3f %s %s\n", now * 1000.0, word, printable.c_str());
}

void answer_poll(SimRun& run, double now) {
    const SimOptions& options = run.options;
    SimMotor& motor = run.motor;
    sim_motor_advance(motor, now * options.time_scale);
    SimGyroReading reading = sim_gyro_read(
        run.gyro, {.position = motor.position, .velocity = sim_motor_velocity(motor)});
    const std::uint64_t number = ++run.frames_sent;

    std::string kind;
    const auto add_kind = [&kind](const char* name) {
        kind += kind.empty() ? "" : "+";
        kind += name;
    };
    if (options.bad_checksum_every != 0 && number % options.bad_checksum_every == 0) {
        reading.frame[29] = static_cast<std::uint8_t>(reading.frame[29] + 1u);
        add_kind("bad");
    }
    std::vector<std::uint8_t> bytes;
    if (options.stray_bytes != 0 && number % options.stray_every == 0) {
        bytes.assign(options.stray_bytes, 0xAA);
        add_kind("stray");
    }
    const std::size_t frame_start = bytes.size();
    bytes.insert(bytes.end(), reading.frame.begin(), reading.frame.end());
    if (options.split_every != 0 && number % options.split_every == 0) {
        const std::size_t first = frame_start + options.split_at;
        sim_link_send(run.gyro_device.link, std::span(bytes).first(first), now, 0.0);
        sim_link_send(run.gyro_device.link, std::span(bytes).subspan(first), now,
                      options.split_pause_ms / 1000.0);
        add_kind("split");
    } else {
        sim_link_send(run.gyro_device.link, bytes, now, 0.0);
    }

    if (run.frames != nullptr) {
        std::fprintf(run.frames, "%.3f %llu %s ", now * 1000.0,
                     static_cast<unsigned long long>(number), kind.empty() ? "ok" : kind.c_str());
        for (const std::uint8_t byte : bytes) {
            std::fprintf(run.frames, "%02X", byte);
        }
        for (const double value : reading.values) {
            std::fprintf(run.frames, " %.9f", value);
        }
        std::fputc('\n', run.frames);
    }
}

void serve_gyro(SimRun& run, double now) {
    SimDevice& device = run.gyro_device;
    for (const std::uint8_t byte : sim_link_take_arrived(device.link, now)) {
        if (!device.first_byte_at) {
            device.first_byte_at = now;
        }
        if (byte != sim_gyro_poll_byte) {
            char text[16];
            std::snprintf(text, sizeof text, "other 0x%02X", byte);
            record(run, now, device.word, text);
            continue;
        }
        ++device.requests;
        record(run, now, device.word, "G");
        if (!run.options.gyro_silent_after || device.requests <= *run.options.gyro_silent_after) {
            answer_poll(run, now);
        }
    }
}

void serve_motor(SimRun& run, double now) {
    SimDevice& device = run.motor_device;
    for (const std::uint8_t byte : sim_link_take_arrived(device.link, now)) {
        if (!device.first_byte_at) {
            device.first_byte_at = now;
        }
        const std::optional<std::string> command = sim_motor_take_byte(run.motor, byte);
        if (!command) {
            continue;
        }
        ++device.requests;
        record(run, now, device.word, *command);
        if (run.options.motor_silent_after && device.requests > *run.options.motor_silent_after) {
            continue;
        }
        const std::string answer =
            sim_motor_execute(run.motor, *command, now * run.options.time_scale);
        sim_link_send(
            device.link,
            std::span(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()), now,
            0.0);
    }
}

std::optional<double> hangup_time(const SimDevice& device) {
    if (!sim_link_is_open(device.link) || !device.hangup_after || !device.first_byte_at) {
        return std::nullopt;
    }
    return *device.first_byte_at + *device.hangup_after;
}

void check_hangup(SimRun& run, SimDevice& device, double now) {
    const std::optional<double> due = hangup_time(device);
    if (due && now >= *due) {
        sim_link_hang_up(device.link);
        record(run, now, device.word, "hang-up");
    }
}

bool open_device(SimDevice& device, const SimOptions& options, const std::string& name, double baud,
                 double latency_ms) {
    device.link.byte_time = options.pacing ? 10.0 / baud : 0.0;
    device.link.latency = options.pacing ? latency_ms / 1000.0 : 0.0;
    device.link.tick = options.usb_tick_ms / 1000.0;
    std::string error;
    if (!sim_link_open(device.link, options.dir + "/" + name, options.raw, error)) {
        std::fprintf(stderr, "gyro_motor_sim: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Watches both slaves for the program's opens and closes.
bool watch_slaves(SimRun& run) {
    run.watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (run.watch_fd < 0) {
        return false;
    }
    for (SimDevice* device : {&run.gyro_device, &run.motor_device}) {
        device->watch = inotify_add_watch(run.watch_fd, device->link.slave_path.c_str(),
                                          IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
        if (device->watch < 0) {
            return false;
        }
    }
    return true;
}

void handle_slave_events(SimRun& run, double now) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = read(run.watch_fd, buffer, sizeof buffer);
        if (length <= 0) {
            return;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            for (SimDevice* device : {&run.gyro_device, &run.motor_device}) {
                if (event->wd != device->watch || !sim_link_is_open(device->link)) {
                    continue;
                }
                if ((event->mask & IN_OPEN) != 0) {
                    record(run, now, device->word, "open");
                }
                if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
                    record(run, now, device->word, "close");
                    sim_link_clear_exclusive(device->link);
                }
            }
        }
    }
}

bool write_ready_file(const SimRun& run) {
    const std::string temporary = run.options.ready_file + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    std::fprintf(file, "pid %ld\n%s %s\n%s %s\n", static_cast<long>(getpid()),
                 run.gyro_device.link.link_path.c_str(), run.gyro_device.link.slave_path.c_str(),
                 run.motor_device.link.link_path.c_str(), run.motor_device.link.slave_path.c_str());
    const bool written = std::fclose(file) == 0;
    return written && std::rename(temporary.c_str(), run.options.ready_file.c_str()) == 0;
}

bool install_signal_handlers() {
    if (pipe(signal_pipe) != 0) {
        return false;
    }
    for (const int fd : signal_pipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(signal_number, &action, nullptr) != 0) {
            return false;
        }
    }
    return true;
}

// Serves both lines until a stop signal arrives.
void serve(SimRun& run) {
    for (;;) {
        double now = elapsed(run);
        check_hangup(run, run.gyro_device, now);
        check_hangup(run, run.motor_device, now);
        serve_gyro(run, now);
        serve_motor(run, now);
        sim_link_transmit(run.gyro_device.link, now);
        sim_link_transmit(run.motor_device.link, now);

        std::optional<double> wake;
        for (const std::optional<double> due :
             {sim_link_next_due(run.gyro_device.link), sim_link_next_due(run.motor_device.link),
              hangup_time(run.gyro_device), hangup_time(run.motor_device)}) {
            if (due) {
                wake = wake ? std::min(*wake, *due) : *due;
            }
        }
        std::vector<pollfd> fds{{signal_pipe[0], POLLIN, 0}, {run.watch_fd, POLLIN, 0}};
        SimDevice* polled[2] = {nullptr, nullptr};
        for (SimDevice* device : {&run.gyro_device, &run.motor_device}) {
            if (sim_link_is_open(device->link)) {
                const short events =
                    static_cast<short>(POLLIN | (device->link.write_blocked ? POLLOUT : 0));
                polled[fds.size() - 2] = device;
                fds.push_back({device->link.master_fd, events, 0});
            }
        }
        timespec timeout{};
        if (wake) {
            const double wait = std::max(0.0, *wake - now);
            timeout.tv_sec = static_cast<time_t>(wait);
            timeout.tv_nsec = static_cast<long>((wait - std::floor(wait)) * 1e9);
        }
        const int ready = ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::perror("gyro_motor_sim: poll");
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        now = elapsed(run);
        if ((fds[1].revents & POLLIN) != 0) {
            handle_slave_events(run, now);
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            SimDevice& device = *polled[i - 2];
            if ((fds[i].revents & POLLIN) != 0) {
                sim_link_receive(device.link, now);
            } else if ((fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                // Cannot happen while the slave is held open; never spin on it.
                sim_link_hang_up(device.link);
                record(run, now, device.word, "hang-up");
            }
        }
    }
}

std::FILE* open_record(const std::string& path) {
    if (path.empty()) {
        return nullptr;
    }
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(stderr, "gyro_motor_sim: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    // Each line is complete on disk at once, whenever a reader looks.
    std::setvbuf(file, nullptr, _IOLBF, 0);
    return file;
}

} // namespace

int main(int argc, char** argv) {
    SimRun run;
    run.start = std::chrono::steady_clock::now();
    bool help = false;
    if (!parse_options(argc, argv, run.options, help)) {
        return 2;
    }
    if (help) {
        std::fputs(help_text, stdout);
        return 0;
    }
    const SimOptions& options = run.options;
    if (!options.ready_file.empty()) {
        std::remove(options.ready_file.c_str());
    }
    if (!install_signal_handlers()) {
        std::perror("gyro_motor_sim: signals");
        return 1;
    }
    if (options.pacing) {
        // Each byte leaves when it is due. The kernel's default timer slack lets every wake-up
        // come up to 50 us late, and a sample waits for several of them: about 0.2 ms a sample,
        // half a percent of the line's rate.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    run.transcript = open_record(options.transcript);
    run.frames = open_record(options.frames);

    run.gyro = sim_gyro_make(options.seed);
    run.gyro.units_per_turn = options.units_per_turn;
    run.motor.echo = options.echo;
    run.motor.prompt = options.question_prompts ? '?' : '>';
    run.gyro_device.word = "gyro";
    run.gyro_device.hangup_after = options.hangup_gyro_after;
    run.motor_device.word = "motor";
    run.motor_device.hangup_after = options.hangup_motor_after;

    int status = 0;
    if (!open_device(run.gyro_device, options, options.gyro_name, options.gyro_baud,
                     options.gyro_latency_ms) ||
        !open_device(run.motor_device, options, options.motor_name, options.motor_baud,
                     options.motor_latency_ms)) {
        status = 1;
    } else if (!watch_slaves(run)) {
        std::perror("gyro_motor_sim: watching the lines");
        status = 1;
    } else if (!options.ready_file.empty() && !write_ready_file(run)) {
        std::fprintf(stderr, "gyro_motor_sim: cannot write %s: %s\n", options.ready_file.c_str(),
                     std::strerror(errno));
        status = 1;
    } else {
        serve(run);
        // Opens and closes that came before the stop still belong in the transcript.
        handle_slave_events(run, elapsed(run));
    }

    if (run.watch_fd >= 0) {
        close(run.watch_fd);
    }
    sim_link_close(run.gyro_device.link);
    sim_link_close(run.motor_device.link);
    if (!options.ready_file.empty()) {
        std::remove(options.ready_file.c_str());
    }
    for (std::FILE* file : {run.transcript, run.frames}) {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    return status;
}
