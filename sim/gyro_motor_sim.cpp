// gyro_motor_sim: the bench in software. Serves a gyro and a motor controller on two
// pseudo-terminals, reachable through symbolic links such as com8 and com6, until it is told to
// stop; paces every byte at its line's rate, records what it was asked and sent, and can inject
// faults. One thread: a poll loop over both lines and a self-pipe for the stop signals.
#include "sim/sim_bench.h"
#include "sim/sim_gyro.h"
#include "sim/sim_link.h"
#include "sim/sim_motor.h"
#include "tools/cli.h"

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
#include <functional>
#include <limits>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const description_text =
    R"(Simulates the bench of gyro_motor: the gyro (38400 baud) and the motor controller (9600 baud),
each on a pseudo-terminal reachable through a symbolic link (com8, com6), until SIGINT, SIGTERM
or SIGHUP, for as many runs of the program as wanted. It prints the two pseudo-terminals on
standard output, and again whenever it replaces one. It does not hold the lines open itself; a
line that a program left in exclusive mode (killed before it could clear it) is replaced by a
fresh pseudo-terminal under the same link. The links are removed when it stops. Links that lead
to the lines of another running simulator are not taken over: it says so and ends with status 1.
Options take their value as "--name VALUE" or "--name=VALUE".
)";

const char* const model_text =
    R"(The platform turns with the motor: 1,000,000 controller units are one revolution, so the
program's sweep to 1000000 turns the heading once round (0 up to 180, then -180 up to 0). Roll,
pitch and the X/Y rates stay near 0, the accelerations near 0, 0 and 1 g, the yaw rate follows
the motor's speed (40000 units/s = 14.4 deg/s) through its ramps, a field of 0.25 gauss
horizontal and 0.40 gauss vertical turns against the heading, the temperature stays near 25 deg
C, and word 13 counts frames. Small deterministic noise is added. The sensor errors give it known
faults, for a report to find (psi is the platform's true heading).

The controller takes "ma N", "mr N", "vm N" (speed in units/s, default 40000), "pr mv" (moving
flag) and "pr er" (last error number), each ended by a carriage return; a line feed is ignored.
Answers are "\r\n", then a value and "\r\n" for the queries, then the prompt '>'; a command it
does not know gets '?' instead.)";

struct SimOptions {
    std::string dir = ".";
    std::string gyro_name = "com8";
    std::string motor_name = "com6";
    bool raw = false;
    bool translating_gyro_line = false;
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
    double accel = sim_motor_default_accel;
    std::optional<double> lockstep_ms;
    double answer_jitter_ms = 0.0;
    std::uint64_t gyro_stall_every = 0;
    double gyro_stall_ms = 250.0;
    SimGyroErrors errors;
    std::string transcript;
    std::string frames;
    bool awkward_frames = false;
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
    bool leftovers = false;
    bool moving_at_start = false;
};

// What one line of the bench does beyond its link.
struct SimDevice {
    const char* word = "";
    SimLink link;
    int watch = -1; // inotify watch on the slave
    // Events of the simulator's own look at the slave, not to be recorded.
    int own_opens = 0;
    int own_closes = 0;
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
    SimBench bench;
    std::uint64_t frames_sent = 0;
    std::uint64_t motion_queries = 0; // with --lockstep-ms, motor time is a step for each
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

// A list of exactly count comma-separated numbers, handed to take, which returns why it refuses
// them or nothing. A repeated list gathers the values of both, so the count refuses it too.
CLI::Option* add_list(CLI::App& app, const std::string& name, std::size_t count,
                      std::function<std::string(const std::vector<double>&)> take,
                      const std::string& help) {
    const auto check = [name, count, take](const std::vector<double>& values) {
        std::string refusal = values.size() == count
                                  ? take(values)
                                  : "takes " + std::to_string(count) + " numbers, got " +
                                        std::to_string(values.size());
        if (!refusal.empty()) {
            throw CLI::ValidationError(name, refusal);
        }
    };
    return app.add_option_function<std::vector<double>>(name, check, help)
        ->expected(1) // one argument, split at the commas
        ->delimiter(',')
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(cli_number(std::numeric_limits<double>::lowest()));
}

// Reads the options into options. Returns the exit status when the program should end now.
// Each option binds to its field; the group set before it is its section of the help.
std::optional<int> parse_options(int argc, char** argv, SimOptions& options) {
    CLI::App app(description_text, "gyro_motor_sim");
    cli_setup(app);
    app.footer(model_text);

    app.option_defaults()->group("Links");
    app.add_option("--dir", options.dir,
                   "folder for the links (default: the current folder), e.g. a Wine\n"
                   "prefix's dosdevices folder; a symbolic link already there is replaced,\n"
                   "and put back at the end unless it led to a pseudo-terminal")
        ->type_name("DIR")
        ->check(cli_text());
    app.add_option("--gyro-name", options.gyro_name, "name of the gyro's link (default com8)")
        ->type_name("NAME")
        ->check(cli_text());
    app.add_option("--motor-name", options.motor_name,
                   "name of the controller's link (default com6)")
        ->type_name("NAME")
        ->check(cli_text());
    app.add_flag("--raw", options.raw,
                 "put both lines in raw mode first; by default they keep the line mode\n"
                 "a new terminal has, as a real port does (Wine needs --raw)");
    app.add_flag("--translating-gyro-line", options.translating_gyro_line,
                 "leave the gyro's line (after --raw) as an earlier program may: XON/XOFF\n"
                 "both ways, bytes stripped to 7 bits, CR and LF translated");
    app.add_option("--ready-file", options.ready_file,
                   "written once both links exist; removed at the start and at the end")
        ->type_name("FILE")
        ->check(cli_text());

    app.option_defaults()->group("Timing");
    app.add_option("--gyro-baud", options.gyro_baud,
                   "line rate of the gyro (default 38400); a byte takes ten bit times\n"
                   "in each direction")
        ->type_name("N")
        ->check(cli_number(1.0));
    app.add_option("--motor-baud", options.motor_baud, "line rate of the controller (default 9600)")
        ->type_name("N")
        ->check(cli_number(1.0));
    app.add_option("--gyro-latency-ms", options.gyro_latency_ms,
                   "from a poll's arrival to the first byte of its frame (default 2)")
        ->type_name("MS")
        ->check(cli_number(0.0));
    app.add_option("--motor-latency-ms", options.motor_latency_ms,
                   "from a command's carriage return to its answer (default 5)")
        ->type_name("MS")
        ->check(cli_number(0.0));
    app.add_flag_callback(
        "--no-pacing", [&options] { options.pacing = false; },
        "no line rate and no latency: answers go out at once, in one piece");
    app.add_option("--usb-tick-ms", options.usb_tick_ms,
                   "both lines end in a USB-serial adapter that hands the bytes it has\n"
                   "received to the program once per tick of MS ms, at whatever phase\n"
                   "the tick falls against the answers (default 0: no adapter)")
        ->type_name("MS")
        ->check(cli_number(0.0));
    app.add_option("--time-scale", options.time_scale,
                   "simulated motor time runs X times as fast as real time (default 1):\n"
                   "the sweep of 1,000,000 units at 40000 units/s takes 25.4 s / X")
        ->type_name("X")
        ->check(cli_number(0.0, true));
    app.add_option("--lockstep-ms", options.lockstep_ms,
                   "simulated motor time advances exactly MS per motion query (\"pr mv\")\n"
                   "instead of following the clock (--time-scale is then ignored): the\n"
                   "samples of a sweep are evenly spaced in motor time whatever the load")
        ->type_name("MS")
        ->check(cli_number(0.0, true));
    app.add_option("--answer-jitter-ms", options.answer_jitter_ms,
                   "an irregular bench: each answer of either device waits a random\n"
                   "extra delay of up to MS (drawn from --seed; default 0)")
        ->type_name("MS")
        ->check(cli_number(0.0));
    app.add_option("--gyro-stall-every", options.gyro_stall_every,
                   "every Nth gyro answer is held back by a stall of --gyro-stall-ms\n"
                   "(a USB hiccup, a busy PC)")
        ->type_name("N")
        ->check(cli_count(1));
    app.add_option("--gyro-stall-ms", options.gyro_stall_ms, "the stall (default 250)")
        ->type_name("MS")
        ->check(cli_number(0.0));

    app.option_defaults()->group("Model");
    app.add_option("--units-per-turn", options.units_per_turn,
                   "controller units per platform revolution (default 1000000)")
        ->type_name("N")
        ->check(cli_number(1.0));
    app.add_option("--seed", options.seed,
                   "seed of the sensor noise and the answer delays (default 1)")
        ->type_name("N")
        ->check(cli_count(0, UINT32_MAX));
    app.add_option("--accel", options.accel,
                   "the controller speeds up and slows down at N units/s^2 (default\n"
                   "100000: 40000 units/s in 0.4 s); 0 moves at full speed at once")
        ->type_name("N")
        ->check(cli_number(0.0));

    app.option_defaults()->group("Sensor errors (all off by default)");
    SimGyroErrors& errors = options.errors;
    add_list(
        app, "--compass-deviation", 4,
        [&errors](const std::vector<double>& v) {
            std::copy(v.begin(), v.end(), errors.deviation_deg.begin());
            return std::string();
        },
        "reported heading = psi + B sin psi + C cos psi + D sin 2psi\n"
        "+ E cos 2psi (degrees)")
        ->type_name("B,C,D,E");
    add_list(
        app, "--hard-iron", 2,
        [&errors](const std::vector<double>& v) {
            errors.hard_iron_x_gauss = v[0];
            errors.hard_iron_y_gauss = v[1];
            return std::string();
        },
        "centre of the horizontal field's trace (X Mag, Y Mag), in gauss")
        ->type_name("X,Y");
    add_list(
        app, "--soft-iron", 3,
        [&errors](const std::vector<double>& v) {
            if (!(v[1] > 0.0 && v[0] >= v[1])) {
                return std::string("needs MAJOR >= MINOR > 0");
            }
            errors.soft_iron =
                SimSoftIron{.major_gauss = v[0], .minor_gauss = v[1], .angle_deg = v[2]};
            return std::string();
        },
        "the trace is an ellipse with these semi-axes (gauss, MAJOR >= MINOR\n"
        "> 0), the major axis at ANGLE degrees from X; without it a circle of\n"
        "0.25 gauss")
        ->type_name("MAJOR,MINOR,ANGLE");
    app.add_option("--yaw-scale-error", errors.yaw_scale_error_percent,
                   "reported yaw rate = true rate x (1 + P/100)")
        ->type_name("P")
        ->check(cli_number(std::numeric_limits<double>::lowest()));
    add_list(
        app, "--tilt", 2,
        [&errors](const std::vector<double>& v) {
            if (v[0] < 0.0) {
                return std::string("needs DEG >= 0");
            }
            errors.tilt_deg = v[0];
            errors.tilt_azimuth_deg = v[1];
            return std::string();
        },
        "the turntable's axis leans DEG toward the fixed azimuth AZIMUTH: roll\n"
        "gains DEG sin(psi - AZIMUTH), pitch DEG cos(psi - AZIMUTH), and the\n"
        "accelerations follow (the magnetometer ignores the tilt)")
        ->type_name("DEG,AZIMUTH");
    add_list(
        app, "--mount-offset", 2,
        [&errors](const std::vector<double>& v) {
            errors.mount_roll_deg = v[0];
            errors.mount_pitch_deg = v[1];
            return std::string();
        },
        "constant mounting roll and pitch of the sensor (degrees)")
        ->type_name("ROLL,PITCH");

    app.option_defaults()->group("Records (times in milliseconds since the start)");
    app.add_option("--transcript", options.transcript,
                   "one line per controller command (without its carriage return) and\n"
                   "per gyro poll, e.g. \"12.345 motor ma 1000000\" and \"12.400 gyro G\";\n"
                   "any other byte to the gyro as \"gyro other 0xNN\"; a program opening\n"
                   "or closing a line as \"gyro open\", \"motor close\" and so on; a dropped\n"
                   "line as \"gyro hang-up\" or \"motor hang-up\"; a line replaced as\n"
                   "\"gyro replaced\" or \"motor replaced\"")
        ->type_name("FILE")
        ->check(cli_text());
    app.add_option("--frames", options.frames,
                   "one line per answered poll: time, frame number (from 1), kind (\"ok\",\n"
                   "or \"bad\", \"split\" and \"stray\" joined by '+'), every byte sent for it\n"
                   "in hex (stray bytes first), and the 13 values that words 0-12 stand\n"
                   "for, in the log's units (deg, deg/s, g, gauss, deg C)")
        ->type_name("FILE")
        ->check(cli_text());

    app.option_defaults()->group("Faults");
    app.add_flag("--awkward-frames", options.awkward_frames,
                 "the data bytes of every frame are ones that a translating line changes:\n"
                 "0x11, 0x13, 0x0D, 0x0A, 0x00 and high bytes (0x91 and 0x93 stripped to\n"
                 "7 bits are XON and XOFF); the values logged are what they decode to");
    app.add_option("--bad-checksum-every", options.bad_checksum_every,
                   "every Nth frame carries a wrong checksum")
        ->type_name("N")
        ->check(cli_count(1));
    app.add_option("--split-every", options.split_every,
                   "every Nth frame goes out in two pieces with a pause between them")
        ->type_name("N")
        ->check(cli_count(1));
    app.add_option("--split-at", options.split_at, "bytes in the first piece (default 15)")
        ->type_name("N")
        ->check(cli_count(1, sim_gyro_frame_length - 1));
    app.add_option("--split-pause-ms", options.split_pause_ms, "the pause (default 30)")
        ->type_name("MS")
        ->check(cli_number(0.0));
    app.add_option("--stray-bytes", options.stray_bytes,
                   "N stray bytes (0xAA) go out right before every Kth frame; a reader\n"
                   "that never drops input is N bytes out of step from then on")
        ->type_name("N")
        ->check(cli_count(0, 1000000));
    app.add_option("--stray-every", options.stray_every,
                   "K for --stray-bytes (default 1: before every frame)")
        ->type_name("K")
        ->check(cli_count(1));
    app.add_option("--gyro-silent-after", options.gyro_silent_after,
                   "polls after the Nth get no answer")
        ->type_name("N")
        ->check(cli_count());
    app.add_flag("--question-prompts", options.question_prompts,
                 "the controller ends every answer with '?' instead of '>'");
    app.add_flag("--echo", options.echo,
                 "the controller sends each command back, with \"\\r\\n\", before its\n"
                 "answer");
    app.add_option("--motor-silent-after", options.motor_silent_after,
                   "commands after the Nth are neither answered nor carried out")
        ->type_name("N")
        ->check(cli_count());
    app.add_option("--hangup-gyro-after", options.hangup_gyro_after,
                   "S seconds after the first byte the gyro receives, close its line\n"
                   "(the program sees a hang-up) and remove its link")
        ->type_name("S")
        ->check(cli_number(0.0));
    app.add_option("--hangup-motor-after", options.hangup_motor_after,
                   "the same for the controller")
        ->type_name("S")
        ->check(cli_number(0.0));
    app.add_flag("--leftovers", options.leftovers,
                 "what a run cut short leaves waiting on the lines: the tail of an answer\n"
                 "(\"0\\r\\n>\") on the controller's and 17 stray bytes (0x5A) on the\n"
                 "gyro's (the lines are raw then)");
    app.add_flag("--moving-at-start", options.moving_at_start,
                 "the controller is on a move to 1000000 from the start");

    return cli_parse(app, argc, argv);
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

// Simulated motor time at wall-clock time now (seconds since the start).
double motor_time(const SimRun& run, double now) {
    if (run.options.lockstep_ms) {
        // Counted rather than summed, so that a long run does not drift.
        return static_cast<double>(run.motion_queries) * *run.options.lockstep_ms / 1000.0;
    }
    return now * run.options.time_scale;
}

void answer_poll(SimRun& run, double now) {
    const SimOptions& options = run.options;
    SimMotor& motor = run.motor;
    sim_motor_advance(motor, motor_time(run, now));
    SimGyroReading reading = sim_gyro_read(
        run.gyro, {.position = motor.position, .velocity = sim_motor_velocity(motor)});
    const std::uint64_t number = ++run.frames_sent;

    std::string kind;
    const auto add_kind = [&kind](const char* name) {
        kind += kind.empty() ? "" : "+";
        kind += name;
    };
    if (options.awkward_frames) {
        constexpr std::array<std::uint8_t, 11> awkward = {0x11, 0x13, 0x0D, 0x0A, 0x00, 0xFF,
                                                          0x91, 0x93, 0x8D, 0x8A, 0x80};
        std::array<std::uint8_t, 28> data{};
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = awkward[(i + number) % awkward.size()];
        }
        sim_gyro_use_data(reading, data);
    }
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
    const double delay = sim_bench_gyro_delay(run.bench);
    if (options.split_every != 0 && number % options.split_every == 0) {
        const std::size_t first = frame_start + options.split_at;
        sim_link_send(run.gyro_device.link, std::span(bytes).first(first), now, delay);
        sim_link_send(run.gyro_device.link, std::span(bytes).subspan(first), now,
                      options.split_pause_ms / 1000.0);
        add_kind("split");
    } else {
        sim_link_send(run.gyro_device.link, bytes, now, delay);
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
        if (run.options.lockstep_ms && sim_motor_is_motion_query(*command)) {
            ++run.motion_queries;
        }
        const std::string answer = sim_motor_execute(run.motor, *command, motor_time(run, now));
        sim_link_send(
            device.link,
            std::span(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()), now,
            sim_bench_motor_delay(run.bench));
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

// Puts the bytes into the slave's input before any program has opened it; they wait there.
bool leave_on_line(const SimDevice& device, const std::string& bytes) {
    return write(device.link.master_fd, bytes.data(), bytes.size()) ==
           static_cast<ssize_t>(bytes.size());
}

bool watch_slave(SimRun& run, SimDevice& device) {
    device.watch = inotify_add_watch(run.watch_fd, device.link.slave_path.c_str(),
                                     IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    return device.watch >= 0;
}

// Watches both slaves for the program's opens and closes.
bool watch_slaves(SimRun& run) {
    run.watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return run.watch_fd >= 0 && watch_slave(run, run.gyro_device) &&
           watch_slave(run, run.motor_device);
}

// Says which pseudo-terminals the simulator serves, under which links.
void print_lines(const SimRun& run) {
    std::printf("gyro_motor_sim: the gyro on %s (%s), the motor controller on %s (%s)\n",
                run.gyro_device.link.slave_path.c_str(), run.gyro_device.link.link_path.c_str(),
                run.motor_device.link.slave_path.c_str(), run.motor_device.link.link_path.c_str());
    std::fflush(stdout);
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

// A program that was killed leaves its line exclusive, and with it every later open refused
// (but root's): such a line is replaced by a fresh one under the same link. The look holds the
// slave for a few microseconds right after a close; a program that scanned /proc for holders at
// that very moment would find the simulator.
void renew_if_left_exclusive(SimRun& run, SimDevice& device, double now) {
    bool looked = false;
    const bool left = sim_link_left_exclusive(device.link, looked);
    if (looked) {
        ++device.own_opens;
        ++device.own_closes;
    }
    // The program may have opened the line meanwhile; the master says whether anyone has it.
    pollfd master{device.link.master_fd, POLLIN, 0};
    device.link.idle = poll(&master, 1, 0) == 1 && master.revents == POLLHUP;
    if (!left) {
        return;
    }
    std::string error;
    if (!sim_link_replace(device.link, error)) {
        std::fprintf(stderr, "gyro_motor_sim: %s\n", error.c_str());
        return;
    }
    // The old slave's events, the look's among them, no longer reach this device.
    inotify_rm_watch(run.watch_fd, device.watch);
    device.own_opens = 0;
    device.own_closes = 0;
    if (!watch_slave(run, device)) {
        std::perror("gyro_motor_sim: watching the new line");
    }
    record(run, now, device.word, "replaced");
    print_lines(run);
    if (!run.options.ready_file.empty()) {
        write_ready_file(run);
    }
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
                if ((event->mask & IN_OPEN) != 0 && device->own_opens > 0) {
                    --device->own_opens;
                } else if ((event->mask & IN_OPEN) != 0) {
                    record(run, now, device->word, "open");
                    // Someone has the slave (or had it and the master says so next time).
                    device->link.idle = false;
                }
                // The look opens read-only, the program for reading and writing.
                if ((event->mask & IN_CLOSE_NOWRITE) != 0 && device->own_closes > 0) {
                    --device->own_closes;
                } else if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
                    // Commands the program wrote before it closed the line come before the close.
                    sim_link_arrive_now(device->link, now);
                    if (device == &run.gyro_device) {
                        serve_gyro(run, now);
                    } else {
                        serve_motor(run, now);
                    }
                    record(run, now, device->word, "close");
                }
            }
        }
    }
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
        // An idle master reports its hang-up at once: the watch on the slave wakes us instead
        // when the program opens it.
        for (SimDevice* device : {&run.gyro_device, &run.motor_device}) {
            if (sim_link_is_open(device->link) && !device->link.idle) {
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
        // The masters before the watch: an open reported after a master's hang-up is newer than
        // it, and must leave that line polled.
        for (std::size_t i = 2; i < fds.size(); ++i) {
            SimDevice& device = *polled[i - 2];
            if ((fds[i].revents & POLLIN) != 0) {
                sim_link_receive(device.link, now);
            }
            if ((fds[i].revents & POLLHUP) != 0) {
                device.link.idle = true;
            } else if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0) {
                // Never spin on a master that fails.
                sim_link_hang_up(device.link);
                record(run, now, device.word, "hang-up");
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            handle_slave_events(run, now);
        }
        // A polled line that is idle now reported that its last slave closed, and nobody has
        // opened it since: see whether it was left exclusive.
        for (std::size_t i = 2; i < fds.size(); ++i) {
            SimDevice& device = *polled[i - 2];
            if (device.link.idle && sim_link_is_open(device.link)) {
                renew_if_left_exclusive(run, device, now);
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
    if (const std::optional<int> status = parse_options(argc, argv, run.options)) {
        return *status;
    }
    // A new terminal's line mode would echo left bytes back to the simulator at once.
    run.options.raw = run.options.raw || run.options.leftovers;
    const SimOptions& options = run.options;
    // Taking over another simulator's links would strand its runs, and removing them at the end
    // would strand it.
    for (const std::string* name : {&options.gyro_name, &options.motor_name}) {
        const std::string link = options.dir + "/" + *name;
        if (const std::optional<long> other = sim_link_served_by(link, "gyro_motor_sim")) {
            std::fprintf(stderr,
                         "gyro_motor_sim: %s leads to a line that another simulator (process "
                         "%ld) serves: stop it first, or use another --dir\n",
                         link.c_str(), *other);
            return 1;
        }
    }
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
    run.gyro.errors = options.errors;
    run.bench = sim_bench_make(options.seed, options.answer_jitter_ms / 1000.0,
                               options.gyro_stall_every, options.gyro_stall_ms / 1000.0);
    run.motor.accel = options.accel;
    run.motor.echo = options.echo;
    run.motor.prompt = options.question_prompts ? '?' : '>';
    if (options.moving_at_start) {
        sim_motor_execute(run.motor, "ma 1000000", 0.0);
    }
    run.gyro_device.word = "gyro";
    run.gyro_device.hangup_after = options.hangup_gyro_after;
    run.gyro_device.link.translating = options.translating_gyro_line;
    run.motor_device.word = "motor";
    run.motor_device.hangup_after = options.hangup_motor_after;

    int status = 0;
    if (!open_device(run.gyro_device, options, options.gyro_name, options.gyro_baud,
                     options.gyro_latency_ms) ||
        !open_device(run.motor_device, options, options.motor_name, options.motor_baud,
                     options.motor_latency_ms)) {
        status = 1;
    } else if (options.leftovers && (!leave_on_line(run.motor_device, "0\r\n>") ||
                                     !leave_on_line(run.gyro_device, std::string(17, '\x5A')))) {
        std::perror("gyro_motor_sim: leaving bytes on the lines");
        status = 1;
    } else if (!watch_slaves(run)) {
        std::perror("gyro_motor_sim: watching the lines");
        status = 1;
    } else {
        print_lines(run);
        if (!options.ready_file.empty() && !write_ready_file(run)) {
            std::fprintf(stderr, "gyro_motor_sim: cannot write %s: %s\n",
                         options.ready_file.c_str(), std::strerror(errno));
            status = 1;
        } else {
            serve(run);
            // Opens and closes that came before the stop still belong in the transcript.
            handle_slave_events(run, elapsed(run));
        }
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
