#include "sim/sim_options.h"
#include "programs/cli.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <string>
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

} // namespace

// Each option binds to its field; the group set before it is its section of the help.
std::optional<int> sim_options_parse(int argc, char** argv, SimOptions& options) {
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
                   "the sweep of 1,000,000 units at 40000 units/s takes 25.4 s / X, and\n"
                   "the platform turns X times as fast, as the gyro's yaw rate shows")
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
