// gm_bench: the measurement program behind scripts/bench.sh. Each command measures one thing
// and prints its results as "key=value" lines, which the script turns into its table and its
// results file. Nothing here judges a result: the figures are for people to read. This file is
// the command line: one row of bench_commands per command, with its options; the measurements
// are in bench_rows.cpp and bench_run.cpp, the printer in bench_print.cpp.
#include "bench/bench.h"
#include "programs/cli.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

struct BenchOptions {
    BenchBoundOptions bound;
    std::string transcript;
    BenchRunOptions run;
    std::uint64_t reads = 300;
    std::string frames_record;
    std::string frames_log;
    std::string archive;
    std::uint64_t records = 10000;
    std::uint64_t per_sensor = 10;
};

// An option that takes a number of at least min.
void bench_add_number(CLI::App& command, const char* name, double& field, const char* help,
                      const char* type, double min) {
    command.add_option(name, field, help)->type_name(type)->check(cli_number(min));
}

// One command: its name and help, the options it binds in BenchOptions, and the measurement
// that it runs with them. A new measurement is one more row, in the order of the help.
struct BenchCommand {
    const char* name;
    const char* help;
    void (*add_options)(CLI::App& command, BenchOptions& options);
    int (*measure)(BenchOptions& options);
};

const BenchCommand bench_commands[] = {
    {"bound",
     "the samples per second that no program can beat against the simulated\n"
     "bench, from first principles: what one sample costs on the lines",
     [](CLI::App& command, BenchOptions& options) {
         BenchBoundOptions& bound = options.bound;
         bench_add_number(command, "--gyro-baud", bound.gyro_baud,
                          "the gyro's line rate (default 38400)", "N", 1.0);
         bench_add_number(command, "--motor-baud", bound.motor_baud,
                          "the controller's line rate (default 9600)", "N", 1.0);
         bench_add_number(command, "--gyro-latency-ms", bound.gyro_latency_ms,
                          "from a poll to the first byte of its frame (default 2)", "MS", 0.0);
         bench_add_number(command, "--motor-latency-ms", bound.motor_latency_ms,
                          "from a command to its answer (default 5)", "MS", 0.0);
     },
     [](BenchOptions& options) { return bench_bound(options.bound); }},
    {"rate",
     "samples per second of a sweep, from the simulator's transcript (its gyro polls),\n"
     "and the time from the controller's line opening to the move (the bench check)",
     [](CLI::App& command, BenchOptions& options) {
         command.add_option("TRANSCRIPT", options.transcript, "the simulator's --transcript file")
             ->required()
             ->check(cli_text());
     },
     [](BenchOptions& options) { return bench_rate(options.transcript); }},
    {"run",
     "runs a program to its end: wall time, CPU time, peak resident memory, and\n"
     "its resident memory when its sample log first holds N samples",
     [](CLI::App& command, BenchOptions& options) {
         BenchRunOptions& run_options = options.run;
         command
             .add_option("--log", run_options.log, "the program's sample log, counted as it grows")
             ->type_name("FILE")
             ->check(cli_text());
         // One count per --rss-at, every one kept. A list open to more values would take the "--"
         // before the program as its own end, and the program's options for unknown ones of ours.
         command
             .add_option("--rss-at", run_options.rss_at,
                         "resident memory when the log first holds N samples (repeatable)")
             ->allow_extra_args(false)
             ->type_name("N")
             ->check(cli_count(1));
         command
             .add_option("--interrupt-on", run_options.interrupt_on,
                         "send SIGINT once a line of FILE ends with TEXT")
             ->type_name("FILE TEXT");
         bench_add_number(command, "--period-ms", run_options.period_ms,
                          "how often to look at the program (default 20)", "MS", 1.0);
         bench_add_number(command, "--timeout-s", run_options.timeout_s,
                          "SIGTERM after S seconds (default 0: no limit)", "S", 0.0);
         command
             .add_option("--child-output", run_options.child_output,
                         "the program's standard output and error go here")
             ->type_name("FILE")
             ->check(cli_text());
         command
             .add_option("PROGRAM", run_options.program, "the program and its arguments, after --")
             ->required();
     },
     [](BenchOptions& options) { return bench_run(options.run); }},
    {"timeouts", "how far the serial port's read time-outs overshoot on a pseudo-terminal",
     [](CLI::App& command, BenchOptions& options) {
         command.add_option("--reads", options.reads, "reads per case (default 300)")
             ->type_name("N")
             ->check(cli_count(1));
     },
     [](BenchOptions& options) { return bench_timeouts(options.reads); }},
    {"frames",
     "the simulator's frames record against a sweep's sample log: frames sent,\n"
     "those meant to be logged (all but stray-hit and bad ones), how many of them\n"
     "the log holds whole, and records that are no frame as sent",
     [](CLI::App& command, BenchOptions& options) {
         command.add_option("FRAMES", options.frames_record, "the simulator's --frames file")
             ->required()
             ->check(cli_text());
         command.add_option("LOG", options.frames_log, "the sweep's sample log")
             ->required()
             ->check(cli_text());
     },
     [](BenchOptions& options) { return bench_frames(options.frames_record, options.frames_log); }},
    {"archive",
     "writes a sensor archive as gyro_motor_report --archive would, records of\n"
     "a real report's size, for timing gyro_motor_history over it",
     [](CLI::App& command, BenchOptions& options) {
         command.add_option("DIR", options.archive, "the archive folder to fill")
             ->required()
             ->check(cli_text());
         command.add_option("--records", options.records, "records to write (default 10000)")
             ->type_name("N")
             ->check(cli_count(1));
         command.add_option("--per-sensor", options.per_sensor, "sweeps per serial (default 10)")
             ->type_name("N")
             ->check(cli_count(1));
     },
     [](BenchOptions& options) {
         return bench_archive(options.archive, options.records, options.per_sensor);
     }},
};

} // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    CLI::App app("The measurements behind scripts/bench.sh, printed as key=value lines.",
                 "gm_bench");
    cli_setup(app);
    // At most one command; none is refused below, so that a word that is no command is named.
    app.require_subcommand(0, 1);
    std::vector<const CLI::App*> commands;
    for (const BenchCommand& row : bench_commands) {
        CLI::App* const command = app.add_subcommand(row.name, row.help);
        row.add_options(*command, options);
        commands.push_back(command);
    }

    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (commands[i]->parsed()) {
            return bench_commands[i].measure(options);
        }
    }
    std::fputs("gm_bench: a command is required (see --help)\n", stderr);
    return exit_bad_arguments;
}
