// gyro_motor_station: the operator's loop at a test station. Asks for a sensor's serial, runs the
// sweep (the gyro_motor beside this program, in the current folder, the bench's), shows its
// progress, then checks, judges and archives it through the same step as gyro_motor_report
// (station/outcome/) and shows the outcome in large letters; then asks for the next serial. The
// serial's checks, the archive's look-up, the progress and the platform's part are in
// station/shift/.
#include "analysis/limits/limits.h"
#include "base/exit/exit_status.h"
#include "base/files/files.h"
#include "base/text/text.h"
#include "outputs/report/reportout.h"
#include "programs/cli.h"
#include "station/outcome/outcome.h"
#include "station/shift/shift.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>

namespace {

constexpr const char* station_name = "gyro_motor_station";
constexpr const char* station_log = "gyro_motor.txt";
constexpr const char* station_times = "gyro_motor_times.txt";

// How often the progress is read from the log, and written as a plain line where it cannot be
// updated in place.
constexpr unsigned station_poll_ms = 250;
constexpr int station_plain_every_s = 10;
constexpr int station_progress_width = 60;

constexpr const char* station_description =
    "The operator's loop at a test station: asks for a sensor's serial, sweeps it with\n"
    "the gyro_motor beside this program (in the current folder, the bench's), judges\n"
    "the sweep against the limits and keeps it in the archive as one step, shows the\n"
    "outcome, and asks for the next serial.";

constexpr const char* station_footer =
    R"(Serials are read as lines from standard input, typed or from a barcode
scanner (printf 'SN1\nSN2\n' | gyro_motor_station ... in a script). A serial
must be a plain name (1 to 64 of A-Z a-z 0-9 . _ -, not starting with .) and
match --serial-pattern (a regular expression, ECMAScript, matching the whole
serial); one that does not is refused and asked again, as is one with
--max-tries failed or errored attempts in the archive, or one the archive
holds in another letter case (SN0042 and sn0042 are one sensor's). A serial
that already has a PASS record asks for a reason to sweep it again, recorded
with it; an empty reason skips it. An empty serial or the end of input ends
the loop with a summary of the session.

Each attempt is recorded whatever its outcome: PASS or FAIL for a sweep that
ended well and was judged; ERROR when the sweep failed, its log is not its own
or could not be analysed; ABORTED when it was interrupted. Ctrl-C during a
sweep stops it safely (the motor back to zero) and the attempt is ABORTED;
Ctrl-C at the prompt ends the loop.

Exit status: 0 the loop ended; 2 bad arguments, or a --serial that is
refused; 6 a record could not be written (the loop stops there); 8 a record
is in the archive but not in the --database (gyro_motor_history DIR --export
brings it over); 129 or 143 SIGHUP or SIGTERM ended the loop (a sweep under
way first ends and is recorded). With --serial: 0 PASS, 5 FAIL, 7 ERROR or
ABORTED.
)";

struct StationOptions {
    std::string limits;
    std::string archive;
    // The records' operator, station, lot and part (archive_trace_fields).
    std::array<std::optional<std::string>, archive_trace_fields.size()> trace;
    std::string serial_pattern;
    std::optional<std::uint64_t> max_tries;
    std::optional<std::string> serial;
    std::string database;
};

struct StationContext {
    const StationOptions& options;
    const Limits& limits;
    std::optional<std::regex> pattern;
    bool console = false;
    bool colour = false;
    bool echo = false;   // answers from a script are written after their prompts
    int stop_signal = 0; // a request to stop seen during a sweep: the loop ends after it
};

// A line from standard input, without its line end; false at its end, or when a signal cut the
// read short.
bool station_read_line(std::string& line) {
    line.clear();
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), stdin) != nullptr) {
        line += buffer.data();
        if (!line.empty() && line.back() == '\n') {
            return true;
        }
    }
    std::clearerr(stdin);
    return !line.empty();
}

void station_prompt(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The progress line, in place on a console, now and then elsewhere; `shown` is the plain line
// written last.
void station_show_progress(const StationContext& context, const ShiftProgress& progress,
                           int& seconds_shown, int seconds, std::string& shown) {
    const std::string text = "  " + shift_progress_text(progress);
    if (context.console) {
        std::printf("\r%-*s", station_progress_width, text.c_str());
        std::fflush(stdout);
    } else if (seconds >= seconds_shown + station_plain_every_s && text != shown) {
        seconds_shown = seconds;
        shown = text;
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
}

// Runs the sweep and waits for it, showing its progress. False, with the reason, when it could
// not be started.
bool station_sweep(StationContext& context, std::string& error) {
    ShiftProgress progress = shift_progress_begin(station_log);
    ShiftSweep sweep;
    if (!shift_start(shift_sweep_program(), sweep, error)) {
        return false;
    }
    const auto started = std::chrono::steady_clock::now();
    int seconds_shown = 0;
    std::string shown;
    while (!shift_wait(sweep, station_poll_ms)) {
        // Ctrl-C is the sweep's to act on; a request to stop the station waits for the sweep.
        if (const int signal = shift_take_signal(); signal != 0 && signal != 2) {
            context.stop_signal = signal;
        }
        shift_progress_read(station_log, progress);
        const auto seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                                  std::chrono::steady_clock::now() - started)
                                                  .count());
        station_show_progress(context, progress, seconds_shown, seconds, shown);
    }
    if (const int signal = shift_take_signal(); signal != 0 && signal != 2) {
        context.stop_signal = signal;
    }
    if (context.console) {
        std::printf("\r%*s\r", station_progress_width, "");
    }
    shift_progress_read(station_log, progress);
    // Where the sweep ended: a sweep that never replaced the log has nothing to say here.
    if (const std::string text = "  " + shift_progress_text(progress);
        progress.started && text != shown) {
        std::printf("%s\n", text.c_str());
    }
    return true;
}

void station_show(const StationContext& context, const OutcomeResult& result) {
    const char* word = outcome_name(result.outcome);
    const ShiftColour colour = result.outcome == Outcome::pass   ? ShiftColour::green
                               : result.outcome == Outcome::fail ? ShiftColour::red
                                                                 : ShiftColour::yellow;
    std::fputs("\n", stdout);
    if (context.colour) {
        shift_set_colour(colour);
    }
    std::fputs(shift_big_letters(word != nullptr ? word : "ERROR").c_str(), stdout);
    if (context.colour) {
        shift_set_colour(ShiftColour::plain);
    }
    std::fputs("\n", stdout);
    if (result.outcome == Outcome::fail && result.verdict) {
        std::fputs(limits_text(*result.verdict).c_str(), stdout);
    } else if (!result.reason.empty()) {
        std::printf("%s: %s\n", word != nullptr ? word : "ERROR", result.reason.c_str());
    }
}

// One attempt on a serial, from the sweep to the record. Returns 0, exit_archive_failed when the
// record could not be written, or exit_database_failed when it is in the archive but not in the
// database.
int station_step(StationContext& context, const std::string& serial,
                 const std::optional<std::string>& retest_reason, Outcome& outcome) {
    const StationOptions& options = context.options;
    std::printf("Sweeping %s\n", serial.c_str());
    std::fflush(stdout);
    OutcomeRequest request{.program = station_name,
                           .log = station_log,
                           .times = station_times,
                           .times_named = false,
                           .turn_rate = std::nullopt,
                           .limits = &context.limits,
                           .unverified = false,
                           .not_before = runfile_time(std::chrono::system_clock::now()),
                           .archive = options.archive,
                           .database = options.database,
                           .serial = serial,
                           .trace = options.trace,
                           .retest_reason = retest_reason,
                           .now = {}};
    OutcomeResult result;
    std::string error;
    if (station_sweep(context, error)) {
        outcome_verify(request, result);
    } else {
        result.sweep = OutcomeSweep::stale;
        result.reason = "the sweep could not be started: " + error;
    }
    request.now = std::chrono::system_clock::now();
    outcome_judge(request, result);
    const bool archived = outcome_archive(request, result);
    station_show(context, result);
    bool in_database = true;
    if (archived) {
        std::printf("archived %s\n", result.record.c_str());
        // Only a record in the folder goes to the database: the folder is the primary copy.
        in_database = options.database.empty() || outcome_database(request, result, stdout);
        std::printf("\n");
    }
    std::fflush(stdout);
    outcome = result.outcome;
    return !archived ? exit_archive_failed : !in_database ? exit_database_failed : exit_ok;
}

// Why the serial may not be swept now, or empty; `passed` tells that it has a PASS record.
std::string station_refusal(const StationContext& context, const std::string& serial,
                            bool& passed) {
    std::string refusal = shift_refusal(serial, context.pattern ? &*context.pattern : nullptr,
                                        context.options.serial_pattern);
    if (!refusal.empty()) {
        return refusal;
    }
    // Before the sweep, not after it: a record the archive would refuse (another spelling of a
    // sensor it holds, a path too long) would leave the attempt without one, and the other
    // spelling's attempts uncounted.
    refusal = archive_refusal(files_path(context.options.archive), serial);
    if (!refusal.empty()) {
        return refusal;
    }
    const ShiftRecords records = shift_records(files_path(context.options.archive), serial);
    if (context.options.max_tries && records.failed >= *context.options.max_tries) {
        return text_format("%zu failed or errored attempts on record (--max-tries %ju)",
                           records.failed, static_cast<std::uintmax_t>(*context.options.max_tries));
    }
    passed = records.passed > 0;
    return {};
}

int station_one(StationContext& context, const std::string& serial) {
    bool passed = false;
    if (const std::string refusal = station_refusal(context, serial, passed); !refusal.empty()) {
        std::fprintf(stderr, "%s: --serial: %s: %s\n", station_name, serial.c_str(),
                     refusal.c_str());
        return exit_bad_arguments;
    }
    if (passed) {
        std::fprintf(stderr,
                     "%s: --serial: %s has a PASS record; sweep it again from the loop, which "
                     "asks for the reason\n",
                     station_name, serial.c_str());
        return exit_bad_arguments;
    }
    Outcome outcome = Outcome::none;
    if (const int kept = station_step(context, serial, std::nullopt, outcome); kept != exit_ok) {
        return kept;
    }
    return outcome == Outcome::pass   ? exit_ok
           : outcome == Outcome::fail ? exit_verdict_failed
                                      : exit_sweep_error;
}

int station_loop(StationContext& context) {
    ShiftSession session;
    int status = exit_ok;
    std::string line;
    // A line from standard input; false when the loop is to end: its end, or a signal.
    const auto read = [&context, &line] {
        const bool got = station_read_line(line);
        if (const int signal = shift_take_signal(); signal != 0 || !got) {
            context.stop_signal = signal == 2 ? 0 : signal; // Ctrl-C ends the loop, no more
            std::fputs("\n", stdout);
            return false;
        }
        if (context.echo) {
            std::printf("%s\n", shift_trim(line).c_str());
        }
        return true;
    };
    while (context.stop_signal == 0) {
        station_prompt("Serial: ");
        if (!read()) {
            break;
        }
        const std::string serial = shift_trim(line);
        if (serial.empty()) {
            break;
        }
        bool passed = false;
        if (const std::string refusal = station_refusal(context, serial, passed);
            !refusal.empty()) {
            std::printf("%s refused: %s\n", serial.c_str(), refusal.c_str());
            continue;
        }
        std::optional<std::string> retest_reason;
        if (passed) {
            station_prompt(
                text_format("%s has a PASS record. Reason to sweep it again (empty: skip): ",
                            serial.c_str())
                    .c_str());
            if (!read()) {
                break;
            }
            if (shift_trim(line).empty()) {
                std::printf("%s skipped\n", serial.c_str());
                continue;
            }
            retest_reason = shift_trim(line);
        }
        Outcome outcome = Outcome::none;
        const int kept = station_step(context, serial, retest_reason, outcome);
        shift_count(session, outcome);
        if (kept == exit_archive_failed) {
            status = kept;
            break;
        }
        // A record the database missed is in the folder: the shift goes on, and ends with 8.
        status = kept == exit_database_failed ? kept : status;
        // A Ctrl-C during the sweep was the sweep's; one at the prompt from here on ends the loop.
        shift_take_signal();
    }
    std::printf("%s\n", shift_session_text(session).c_str());
    return context.stop_signal != 0 && status == exit_ok
               ? exit_interrupted_base + context.stop_signal
               : status;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{station_description, station_name};
    cli_setup(app);
    app.footer(station_footer);
    StationOptions options;
    app.add_option("--limits", options.limits, "judge each sweep against the limits in FILE")
        ->option_text("FILE")
        ->required()
        ->check(cli_text());
    app.add_option("--archive", options.archive,
                   "keep each attempt in the archive DIR, as DIR/ID/<UTC time>/")
        ->option_text("DIR")
        ->required()
        ->check(cli_text());
    // Each 1 to 64 printable characters on one line, kept in every record of the shift.
    const std::array<const char*, archive_trace_fields.size()> trace_help{
        "who runs the station", "the station's name (default: this\ncomputer's)",
        "the production lot", "the part number"};
    cli_add_trace(app, options.trace, trace_help, "kept in records");
    app.add_option("--serial-pattern", options.serial_pattern,
                   "accept only serials that REGEX matches whole")
        ->option_text("REGEX")
        ->check(cli_text());
    app.add_option("--max-tries", options.max_tries,
                   "refuse a serial with N failed or errored attempts on record")
        ->option_text("N")
        ->check(cli_count(1));
    app.add_option("--database", options.database,
                   "also write each record to the SQL database that\n"
                   "CONNECTION (an ODBC connection string) names")
        ->option_text("CONNECTION")
        ->check(cli_text());
    app.add_option("--serial", options.serial,
                   "sweep this serial once, no prompt; the exit status is\n"
                   "the outcome")
        ->option_text("ID")
        ->check(cli_text());
    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }
    const auto usage_error = [](const std::string& message) {
        std::fprintf(stderr, "%s: %s (see --help)\n", station_name, message.c_str());
        return exit_bad_arguments;
    };
    std::error_code code;
    if (!std::filesystem::is_directory(files_path(options.archive), code)) {
        return usage_error("--archive: no such folder: " + options.archive);
    }
    Limits limits;
    if (std::string error;
        !limits_read(options.limits, reportout_document(Report{}), limits, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return exit_bad_arguments;
    }
    StationContext context{.options = options, .limits = limits, .pattern = {}};
    if (!options.serial_pattern.empty()) {
        // The one library call here that reports by exception.
        try {
            context.pattern.emplace(options.serial_pattern, std::regex::ECMAScript);
        } catch (const std::regex_error& failure) {
            return usage_error("--serial-pattern: not a regular expression: " +
                               options.serial_pattern);
        }
    }
    context.console = shift_is_console();
    context.echo = !shift_input_is_console();
    context.colour = shift_use_colour();
    shift_catch_signals();
    return options.serial ? station_one(context, *options.serial) : station_loop(context);
}
