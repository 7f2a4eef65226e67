#include "tests/support/e2e_bench.h"

#include "tests/support/process_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

std::vector<std::uint8_t> parse_hex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<FrameRecord> read_frames(const std::string& path) {
    std::vector<FrameRecord> frames;
    for (const std::string& line : harness_split_lines(harness_read_file(path).value_or(""))) {
        const std::vector<std::string> fields = harness_split_words(line);
        if (fields.size() != 4 + value_count) {
            ADD_FAILURE() << "bad frame record: " << line;
            continue;
        }
        FrameRecord frame;
        frame.kind = fields[2];
        frame.bytes = parse_hex(fields[3]);
        for (std::size_t k = 0; k < value_count; ++k) {
            frame.values[k] = std::atof(fields[4 + k].c_str());
        }
        frames.push_back(frame);
    }
    return frames;
}

std::vector<Event> read_events(const std::string& path) {
    std::vector<Event> events;
    for (const std::string& line : harness_split_lines(harness_read_file(path).value_or(""))) {
        const std::size_t space = line.find(' ');
        events.push_back({std::atof(line.substr(0, space).c_str()), line.substr(space + 1)});
    }
    return events;
}

// A C string literal of the text, for the run summaries.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    }
    return out + "\"";
}

} // namespace

E2eConfig bench_config() {
    E2eConfig config;
    const auto get = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : "");
    };
    config.sweep_command = get("GM_E2E_SWEEP_COMMAND");
    config.tool_command = get("GM_E2E_TOOL_COMMAND");
    config.link_dir = get("GM_E2E_LINK_DIR");
    config.sim_args = harness_split_words(get("GM_E2E_SIM_ARGS"));
    config.crlf = get("GM_E2E_CRLF") == "1";
    if (const std::string timeout = get("GM_E2E_TIMEOUT_S"); !timeout.empty()) {
        config.timeout_s = std::atof(timeout.c_str());
    }
    if (const std::string code = get("GM_E2E_HANGUP_ERROR"); !code.empty()) {
        config.hangup_error = code;
    }
    return config;
}

namespace {

std::vector<std::string> bench_command_argv(std::string command,
                                            const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'"; // the tests' arguments hold no quote
    }
    return {"/bin/sh", "-c", command};
}

} // namespace

std::vector<std::string> bench_sweep_argv(const std::vector<std::string>& arguments) {
    const E2eConfig config = bench_config();
    if (config.sweep_command.empty()) {
        std::vector<std::string> argv = {GM_SWEEP_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    return bench_command_argv("exec " + config.sweep_command, arguments);
}

std::optional<std::vector<std::string>>
bench_program_argv(const std::string& name, const std::vector<std::string>& arguments) {
    const E2eConfig config = bench_config();
    if (name == "gyro_motor") {
        return bench_sweep_argv(arguments);
    }
    if (config.sweep_command.empty()) {
        std::vector<std::string> argv = {std::string(GM_PROGRAM_DIR "/") + name};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    if (config.tool_command.empty()) {
        return std::nullopt;
    }
    return bench_command_argv("exec " + config.tool_command + name + ".exe", arguments);
}

bool bench_native_sweep() {
    return bench_config().sweep_command.empty();
}

SweepRun bench_run(const std::vector<std::string>& program,
                   const std::vector<std::string>& sim_options, const BenchHooks& hooks) {
    const E2eConfig config = bench_config();
    SweepRun run;
    run.dir = harness_make_temp_dir("gm_e2e_");
    run.link_dir = config.link_dir.empty() ? run.dir : config.link_dir;
    std::vector<std::string> sim_argv = {GM_SIM_PATH,
                                         "--dir",
                                         run.link_dir,
                                         "--ready-file",
                                         run.dir + "/ready",
                                         "--transcript",
                                         run.dir + "/transcript.txt",
                                         "--frames",
                                         run.dir + "/frames.txt"};
    sim_argv.insert(sim_argv.end(), config.sim_args.begin(), config.sim_args.end());
    sim_argv.insert(sim_argv.end(), sim_options.begin(), sim_options.end());
    if (hooks.setup) {
        hooks.setup(run);
    }
    const pid_t sim = harness_spawn(sim_argv, run.dir, run.dir + "/sim.out", run.dir + "/sim.err");
    if (!harness_wait_for_file(run.dir + "/ready", sim, 10.0)) {
        ADD_FAILURE() << "the simulator did not get ready: "
                      << harness_read_file(run.dir + "/sim.err").value_or("");
        run.sim_status = harness_stop(sim, 10.0);
        return run;
    }

    if (hooks.ready) {
        hooks.ready(run);
    }
    run.started = BenchClock::now();
    const pid_t sweep =
        harness_spawn(program, run.dir, run.dir + "/sweep.out", run.dir + "/sweep.err");
    if (hooks.during) {
        hooks.during(run, sweep);
    }
    run.status = harness_wait(sweep, config.timeout_s);
    run.ended = BenchClock::now();
    run.sim_status = harness_stop(sim, 10.0);

    run.out = harness_read_file(run.dir + "/sweep.out").value_or("");
    run.err = harness_read_file(run.dir + "/sweep.err").value_or("");
    // Only a file is read back: a log that leads to a device (/dev/full) could be endless.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(run.dir + "/gyro_motor.txt", ignored)) {
        run.log = harness_read_file(run.dir + "/gyro_motor.txt");
    }
    run.times = harness_read_file(run.dir + "/gyro_motor_times.txt");
    run.frames = read_frames(run.dir + "/frames.txt");
    run.events = read_events(run.dir + "/transcript.txt");
    return run;
}

SweepRun bench_run_sweep(const std::vector<std::string>& sim_options,
                         const std::function<void(const SweepRun&, pid_t)>& during,
                         const std::vector<std::string>& program) {
    return bench_run(program, sim_options, {.setup = {}, .during = during, .ready = {}});
}

std::string bench_console(const std::string& text) {
    if (!bench_config().crlf) {
        return text;
    }
    std::string converted;
    for (const char c : text) {
        converted += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return converted;
}

std::string bench_success_lines() {
    return bench_console("open gyro port succeeded\nopen Motor port succeeded\n");
}

std::vector<std::string> bench_fast(std::vector<std::string> options) {
    options.insert(options.begin(), {"--no-pacing", "--time-scale", "20"});
    return options;
}

void bench_summarize(const char* fault, const SweepRun& run, std::size_t samples) {
    std::printf("[ summary  ] %s | status %s | %.2f s | %zu samples of %zu frames | stdout %s | "
                "stderr %s\n",
                fault, run.status ? std::to_string(*run.status).c_str() : "none", run.seconds(),
                samples, run.frames.size(), quoted(run.out).c_str(), quoted(run.err).c_str());
}

void bench_finish(const SweepRun& run) {
    if (::testing::Test::HasFailure()) {
        std::printf("run folder kept: %s\n", run.dir.c_str());
    } else {
        harness_remove_tree(run.dir);
    }
}

SweepRun bench_run_without_com6(const std::vector<std::string>& program,
                                const std::optional<std::string>& earlier_log) {
    std::optional<std::string> earlier_target;
    const SweepRun run = bench_run(
        program, bench_fast({"--motor-name", "com6-elsewhere"}),
        {.setup =
             [&](const SweepRun& r) {
                 if (earlier_log) {
                     ASSERT_TRUE(harness_write_file(r.dir + "/gyro_motor.txt", *earlier_log));
                 }
                 const std::string link = r.link_dir + "/com6";
                 std::array<char, 4096> target{};
                 if (const ssize_t length =
                         readlink(link.c_str(), target.data(), target.size() - 1);
                     length > 0) {
                     earlier_target = std::string(target.data(), static_cast<std::size_t>(length));
                     unlink(link.c_str());
                 }
                 ASSERT_EQ(symlink((r.dir + "/no-such-device").c_str(), link.c_str()), 0);
             },
         .during = {},
         .ready = {}});
    unlink((run.link_dir + "/com6").c_str());
    if (earlier_target) {
        symlink(earlier_target->c_str(), (run.link_dir + "/com6").c_str());
    }
    return run;
}

bool bench_wait_for_events(const std::string& transcript, const std::string& text,
                           std::size_t count, double timeout_s) {
    const BenchClock::time_point start = BenchClock::now();
    while (std::chrono::duration<double>(BenchClock::now() - start).count() < timeout_s) {
        std::size_t seen = 0;
        for (const std::string& line :
             harness_split_lines(harness_read_file(transcript).value_or(""))) {
            seen += line.ends_with(text) ? 1u : 0u;
        }
        if (seen >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}
