// Starting and stopping real programs from tests: the simulator, the sweep, or anything run
// through the shell, each in its own process group with its output in files.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// A new empty folder under the system's temporary folder.
std::string harness_make_temp_dir(const char* prefix);
// Removes a folder and everything in it (links are removed, not followed).
void harness_remove_tree(const std::string& path);

std::optional<std::string> harness_read_file(const std::string& path);
bool harness_write_file(const std::string& path, const std::string& content);
bool harness_path_exists(const std::string& path); // the path itself, a dangling link included

// Starts argv[0] (a path) in cwd with its standard input from /dev/null and its standard output
// and error into the given files; returns the process id, or -1.
pid_t harness_spawn(const std::vector<std::string>& argv, const std::string& cwd,
                    const std::string& stdout_path, const std::string& stderr_path);

// Waits for the process to end: its exit status, or -signal number when a signal ended it, or
// nothing when timeout_s passed first (the process group is then killed and reaped).
std::optional<int> harness_wait(pid_t pid, double timeout_s);

// Waits until the file exists; false when timeout_s passed or the process ended first.
bool harness_wait_for_file(const std::string& path, pid_t process, double timeout_s);

// Runs body in a forked child as an unprivileged user (root's child becomes "nobody"), for what
// root never meets: kill() failing with EPERM, a file it cannot read. The child's exit status is
// body's result (or -signal), harness_cannot_switch_user when the switch failed; nothing when
// there is no such user to become.
inline constexpr int harness_cannot_switch_user = 125;
std::optional<int> harness_run_unprivileged(const std::function<int()>& body);

// Sends SIGTERM and waits; the status as harness_wait gives it.
std::optional<int> harness_stop(pid_t pid, double timeout_s);

std::vector<std::string> harness_split_lines(const std::string& text);
std::vector<std::string> harness_split_words(const std::string& text);
