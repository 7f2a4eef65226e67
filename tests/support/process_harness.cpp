#include "tests/support/process_harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int decode_status(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
}

} // namespace

std::string harness_make_temp_dir(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

void harness_remove_tree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::optional<std::string> harness_read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool harness_write_file(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    return static_cast<bool>(file);
}

bool harness_path_exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

pid_t harness_spawn(const std::vector<std::string>& argv, const std::string& cwd,
                    const std::string& stdout_path, const std::string& stderr_path) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    // Child: only async-signal-safe calls from here on.
    setpgid(0, 0);
    const int input = open("/dev/null", O_RDONLY);
    const int output = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (input < 0 || output < 0 || error < 0 || chdir(cwd.c_str()) != 0 || dup2(input, 0) < 0 ||
        dup2(output, 1) < 0 || dup2(error, 2) < 0) {
        _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
}

std::optional<int> harness_wait(pid_t pid, double timeout_s) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return decode_status(status);
        }
        if (done < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (seconds_since(start) > timeout_s) {
            kill(-pid, SIGKILL); // the group this harness made for it
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool harness_wait_for_file(const std::string& path, pid_t process, double timeout_s) {
    const Clock::time_point start = Clock::now();
    while (seconds_since(start) < timeout_s) {
        if (harness_path_exists(path)) {
            return true;
        }
        // Look without reaping, so that the caller can still collect the status.
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == process) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::optional<int> harness_run_unprivileged(const std::function<int()>& body) {
    // Looked up before the fork: the child runs only the switch of user and the body.
    const passwd* user = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    if (geteuid() == 0 && user == nullptr) {
        return std::nullopt;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (user != nullptr && (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 ||
                                setuid(user->pw_uid) != 0)) {
            _exit(harness_cannot_switch_user);
        }
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return decode_status(status);
}

std::optional<int> harness_stop(pid_t pid, double timeout_s) {
    kill(pid, SIGTERM);
    return harness_wait(pid, timeout_s);
}

std::vector<std::string> harness_split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> harness_split_words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}
