// The station's platform part on POSIX: the sweep started with posix_spawn() in the station's
// own process group, so that a terminal's Ctrl-C reaches it as it reaches the station; the
// station's signals caught into a flag (a signal caught here is the default again in the sweep
// once it runs, and the sweep sets its own); colours as ANSI sequences.
#include "station/shift/shift.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

volatile std::sig_atomic_t shift_signal = 0;

extern "C" void shift_on_signal(int number) {
    shift_signal = number;
}

} // namespace

bool shift_is_console() {
    return isatty(STDOUT_FILENO) == 1;
}

bool shift_input_is_console() {
    return isatty(STDIN_FILENO) == 1;
}

void shift_set_colour(ShiftColour colour) {
    static constexpr std::array<const char*, 4> codes{"\033[0m", "\033[1;32m", "\033[1;31m",
                                                      "\033[1;33m"};
    std::fputs(codes[static_cast<std::size_t>(colour)], stdout);
}

std::filesystem::path shift_sweep_program() {
    std::error_code code;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", code);
    return (code ? std::filesystem::path(".") : self.parent_path()) / "gyro_motor";
}

void shift_catch_signals() {
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        // Left alone when the station was started to ignore it (nohup, a background job): the
        // sweep then ignores it too, as it would started so itself.
        if (sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            continue;
        }
        action = {};
        action.sa_handler = shift_on_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: a read at the prompt ends with EINTR
        sigaction(number, &action, nullptr);
    }
}

int shift_take_signal() {
    const int number = shift_signal;
    shift_signal = 0;
    return number;
}

bool shift_start(const std::filesystem::path& program, ShiftSweep& sweep, std::string& error) {
    const std::string path = program.string();
    std::array<char*, 2> argv{const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
    if (failed != 0) {
        error = path + ": " + std::strerror(failed);
        return false;
    }
    sweep.process = pid;
    return true;
}

std::optional<int> shift_wait(ShiftSweep& sweep, unsigned wait_ms) {
    const pid_t pid = static_cast<pid_t>(sweep.process);
    for (unsigned waited = 0;; waited += 50) {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) {
            sweep.process = -1;
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
        if (ended < 0 && errno != EINTR) {
            sweep.process = -1;
            return 255;
        }
        if (waited >= wait_ms) {
            return std::nullopt;
        }
        usleep(50 * 1000);
    }
}
