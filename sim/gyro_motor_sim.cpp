// gyro_motor_sim: the bench in software. Serves a gyro and a motor controller on two
// pseudo-terminals, reachable through symbolic links such as com8 and com6, until it is told to
// stop; paces every byte at its line's rate, records what it was asked and sent, and can inject
// faults. One thread: a poll loop over both lines and a self-pipe for the stop signals.
#include "sim/sim_link.h"
#include "sim/sim_motor.h"
#include "sim/sim_options.h"
#include "sim/sim_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

int signal_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(signal_pipe[1], &byte, 1);
    errno = saved;
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
    // The new slave is watched before the link moves to it: a program that follows the link at
    // once would otherwise open it unseen, and the line would stay idle, its commands unanswered.
    const int old_watch = device.watch;
    std::string error;
    if (!sim_link_replace(
            device.link,
            [&](const std::string& slave_path) {
                device.watch = inotify_add_watch(run.watch_fd, slave_path.c_str(),
                                                 IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
                return device.watch >= 0;
            },
            error)) {
        device.watch = old_watch;
        std::fprintf(stderr, "gyro_motor_sim: %s\n", error.c_str());
        return;
    }
    // The old slave's events, the look's among them, no longer reach this device.
    inotify_rm_watch(run.watch_fd, old_watch);
    device.own_opens = 0;
    device.own_closes = 0;
    sim_run_record(run, now, device.word, "replaced");
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
                    sim_run_record(run, now, device->word, "open");
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
                        sim_run_serve_gyro(run, now);
                    } else {
                        sim_run_serve_motor(run, now);
                    }
                    sim_run_record(run, now, device->word, "close");
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
        double now = sim_run_elapsed(run);
        sim_run_check_hangup(run, run.gyro_device, now);
        sim_run_check_hangup(run, run.motor_device, now);
        sim_run_serve_gyro(run, now);
        sim_run_serve_motor(run, now);
        sim_link_transmit(run.gyro_device.link, now);
        sim_link_transmit(run.motor_device.link, now);

        std::optional<double> wake;
        for (const std::optional<double> due :
             {sim_link_next_due(run.gyro_device.link), sim_link_next_due(run.motor_device.link),
              sim_run_hangup_time(run.gyro_device), sim_run_hangup_time(run.motor_device)}) {
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
        now = sim_run_elapsed(run);
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
                sim_run_record(run, now, device.word, "hang-up");
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
    if (const std::optional<int> status = sim_options_parse(argc, argv, run.options)) {
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
            handle_slave_events(run, sim_run_elapsed(run));
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
