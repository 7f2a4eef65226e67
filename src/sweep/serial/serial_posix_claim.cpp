#include "sweep/serial/serial_posix_claim.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::vector<std::string> serial_default_lock_dirs = {"/run/lock", "/var/lock"};
std::vector<std::string> serial_lock_dirs = serial_default_lock_dirs;

bool serial_all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// What a lock file says about its owner.
enum class SerialLockOwner { none, stale, live };

// A lock file's text, read without following a link or waiting on a FIFO; nothing when it cannot
// be opened or read, with errno telling why.
std::optional<std::string> serial_lock_read(const std::string& lock_path) {
    const int fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    std::array<char, 64> text{};
    const ssize_t length = read(fd, text.data(), text.size() - 1);
    const int read_errno = errno;
    close(fd);
    if (length < 0) {
        errno = read_errno;
        return std::nullopt;
    }
    return std::string(text.data(), static_cast<std::size_t>(length));
}

// A lock file holds its owner's process id in ASCII, usually right-aligned in ten characters and
// ended by a newline. Nothing for text that names no process.
std::optional<pid_t> serial_lock_pid(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(text.c_str(), &end, 10);
    const bool named = end != text.c_str() && errno == 0 && pid > 0 && pid <= INT_MAX &&
                       std::string_view(end).find_first_not_of(" \t\r\n") == std::string::npos;
    return named ? std::optional(static_cast<pid_t>(pid)) : std::nullopt;
}

// Content that names no process cannot belong to a running one: stale. A file that is there but
// cannot be read may well be live.
SerialLockOwner serial_lock_owner(const std::string& lock_path) {
    const std::optional<std::string> text = serial_lock_read(lock_path);
    if (!text) {
        return errno == ENOENT ? SerialLockOwner::none : SerialLockOwner::live;
    }
    const std::optional<pid_t> pid = serial_lock_pid(*text);
    // Our own id is stale too: this process cannot already hold the port (the flock would have
    // failed), so the id was reused after an earlier holder died.
    if (!pid || *pid == getpid()) {
        return SerialLockOwner::stale;
    }
    if (kill(*pid, 0) == 0 || errno != ESRCH) {
        return SerialLockOwner::live; // EPERM: running, as another user
    }
    return SerialLockOwner::stale;
}

// A file in dir with our id in the lock format, to be linked to the lock's name; empty when the
// folder cannot be written.
std::string serial_lock_draft(const std::string& dir) {
    std::string path = dir + "/LTMP.XXXXXX";
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::array<char, 16> text{};
    const int length =
        std::snprintf(text.data(), text.size(), "%10ld\n", static_cast<long>(getpid()));
    const bool written =
        fchmod(fd, 0644) == 0 && write(fd, text.data(), static_cast<std::size_t>(length)) == length;
    if (close(fd) != 0 || !written) {
        unlink(path.c_str());
        return {};
    }
    return path;
}

enum class SerialLockTry { taken, busy, unwritable };

SerialLockTry serial_lock_in(const std::string& dir, const std::string& name,
                             std::string& lock_path) {
    const std::string path = dir + "/" + name;
    const std::string draft = serial_lock_draft(dir);
    if (draft.empty()) {
        // Nothing of ours can go here, but a lock that another program put here still counts.
        return serial_lock_owner(path) == SerialLockOwner::live ? SerialLockTry::busy
                                                                : SerialLockTry::unwritable;
    }
    // link() either creates the complete file or fails: no reader ever sees a half-written lock.
    // A stale lock is removed and the link tried again; a few rounds settle a race with another
    // program doing the same.
    SerialLockTry result = SerialLockTry::busy;
    for (int round = 0; round < 3; ++round) {
        if (link(draft.c_str(), path.c_str()) == 0) {
            lock_path = path;
            result = SerialLockTry::taken;
            break;
        }
        if (errno != EEXIST) {
            result = SerialLockTry::unwritable;
            break;
        }
        if (serial_lock_owner(path) == SerialLockOwner::live) {
            break;
        }
        unlink(path.c_str());
    }
    unlink(draft.c_str());
    return result;
}

} // namespace

std::string serial_lock_name(const std::string& device_path) {
    std::string path = device_path;
    if (char* resolved = realpath(device_path.c_str(), nullptr); resolved != nullptr) {
        path = resolved;
        std::free(resolved);
    }
    std::string name;
    if (path.starts_with("/dev/")) {
        name = path.substr(5);
        for (char& c : name) {
            c = c == '/' ? '_' : c;
        }
    } else {
        name = path.substr(path.rfind('/') + 1);
    }
    return "LCK.." + name;
}

bool serial_lock_take(const std::string& device_path, std::string& lock_path) {
    lock_path.clear();
    const std::string name = serial_lock_name(device_path);
    for (const std::string& dir : serial_lock_dirs) {
        switch (serial_lock_in(dir, name, lock_path)) {
        case SerialLockTry::taken:
            return true;
        case SerialLockTry::busy:
            errno = EBUSY;
            return false;
        case SerialLockTry::unwritable:
            break;
        }
    }
    return true;
}

void serial_lock_release(const std::string& lock_path) {
    if (lock_path.empty()) {
        return;
    }
    // Read back rather than trusted: only a file that still names us is ours to remove.
    const std::optional<std::string> text = serial_lock_read(lock_path);
    if (text && serial_lock_pid(*text) == getpid()) {
        unlink(lock_path.c_str());
    }
}

bool serial_held_elsewhere(dev_t device) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    const std::string self = std::to_string(getpid());
    bool held = false;
    while (!held) {
        const dirent* process = readdir(proc);
        if (process == nullptr) {
            break;
        }
        const std::string_view pid = process->d_name;
        if (!serial_all_digits(pid) || pid == self) {
            continue;
        }
        const std::string fd_dir = "/proc/" + std::string(pid) + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (fds == nullptr) {
            continue; // gone meanwhile, or not ours to look at
        }
        while (const dirent* entry = readdir(fds)) {
            struct stat info {};
            // Each entry is a link to what the descriptor has open: stat() reaches the device.
            if (serial_all_digits(entry->d_name) &&
                fstatat(dirfd(fds), entry->d_name, &info, 0) == 0 && S_ISCHR(info.st_mode) &&
                info.st_rdev == device) {
                held = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return held;
}

void serial_set_lock_dirs_for_test(std::vector<std::string> dirs) {
    serial_lock_dirs = dirs.empty() ? serial_default_lock_dirs : std::move(dirs);
}
