#include "sim/sim_link.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::optional<std::string> read_link(const std::string& path) {
    std::array<char, PATH_MAX> target{};
    const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
    if (length < 0) {
        return std::nullopt;
    }
    return std::string(target.data(), static_cast<std::size_t>(length));
}

// The whole of a small file such as those in /proc; empty when it cannot be read.
std::string read_small_file(const std::filesystem::path& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    std::array<char, 4096> buffer{};
    ssize_t count = 0;
    while ((count = read(fd, buffer.data(), buffer.size())) > 0) {
        text.append(buffer.data(), static_cast<std::size_t>(count));
    }
    close(fd);
    return text;
}

std::string system_error(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// A new pseudo-terminal pair: its master, and the path of its slave, which is opened to set its
// line mode and closed again.
bool make_line(bool raw, bool translating, int& master_fd, std::string& slave_path,
               std::string& error) {
    master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_fd < 0) {
        error = system_error("cannot open a pseudo-terminal");
        return false;
    }
    std::array<char, 128> name{};
    if (grantpt(master_fd) != 0 || unlockpt(master_fd) != 0 ||
        ptsname_r(master_fd, name.data(), name.size()) != 0) {
        error = system_error("cannot unlock the pseudo-terminal");
        close_fd(master_fd);
        return false;
    }
    slave_path = name.data();
    const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        error = system_error("cannot open " + slave_path);
        close_fd(master_fd);
        return false;
    }
    bool set_up = true;
    if (raw || translating) {
        termios settings{};
        if (tcgetattr(slave, &settings) != 0) {
            error = system_error("cannot read the line mode of " + slave_path);
            set_up = false;
        } else {
            if (raw) {
                cfmakeraw(&settings);
            }
            if (translating) {
                settings.c_iflag |= IXON | IXOFF | ISTRIP | ICRNL | INLCR;
                settings.c_oflag |= OPOST | ONLCR;
            }
            if (tcsetattr(slave, TCSANOW, &settings) != 0) {
                error = system_error("cannot set the line mode of " + slave_path);
                set_up = false;
            }
        }
    }
    close(slave);
    if (!set_up) {
        close_fd(master_fd);
    }
    return set_up;
}

// Closes the master and forgets what was queued in either direction for it.
void drop_master(SimLink& link) {
    close_fd(link.master_fd);
    link.outgoing.clear();
    link.incoming.clear();
    link.write_blocked = false;
}

// Removes the link if it still leads to this line's slave.
void remove_link(SimLink& link) {
    if (link.link_path.empty()) {
        return;
    }
    if (read_link(link.link_path) == link.slave_path) {
        unlink(link.link_path.c_str());
    }
}

} // namespace

std::optional<long> sim_link_served_by(const std::string& link_path, const std::string& program) {
    const std::optional<std::string> target = read_link(link_path);
    const std::string pts = "/dev/pts/";
    struct stat slave {};
    if (!target || target->rfind(pts, 0) != 0 || stat(target->c_str(), &slave) != 0) {
        return std::nullopt; // no link, not to a pseudo-terminal, or to one that is gone
    }
    // A master's fdinfo names its terminal's number as "tty-index:".
    const std::string index_line = "tty-index:\t" + target->substr(pts.size()) + "\n";
    std::error_code error;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(pid) == static_cast<long>(getpid())) {
            continue;
        }
        std::string comm = read_small_file(process.path() / "comm");
        if (comm != program + "\n") {
            continue;
        }
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", ignored)) {
            const std::optional<std::string> opened = read_link(fd.path().string());
            if (opened && opened->ends_with("ptmx") &&
                read_small_file(process.path() / "fdinfo" / fd.path().filename())
                        .find(index_line) != std::string::npos) {
                return std::stol(pid);
            }
        }
    }
    return std::nullopt;
}

bool sim_link_open(SimLink& link, const std::string& link_path, bool raw, std::string& error) {
    link.raw = raw;
    if (!make_line(raw, link.translating, link.master_fd, link.slave_path, error)) {
        return false;
    }
    link.idle = true;

    struct stat existing {};
    if (lstat(link_path.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            error = link_path + " exists and is not a symbolic link";
            sim_link_close(link);
            return false;
        }
        // A link left by an earlier simulator leads to a pseudo-terminal that is gone: not worth
        // putting back.
        const std::optional<std::string> target = read_link(link_path);
        if (target && target->rfind("/dev/pts/", 0) != 0) {
            link.previous_target = target;
        }
        if (unlink(link_path.c_str()) != 0) {
            error = system_error("cannot replace " + link_path);
            sim_link_close(link);
            return false;
        }
    }
    link.link_path = link_path;
    if (symlink(link.slave_path.c_str(), link_path.c_str()) != 0) {
        error = system_error("cannot create " + link_path);
        sim_link_close(link);
        return false;
    }
    return true;
}

void sim_link_hang_up(SimLink& link) {
    remove_link(link);
    drop_master(link);
    link.idle = false;
}

void sim_link_close(SimLink& link) {
    sim_link_hang_up(link);
    if (link.previous_target && !link.link_path.empty()) {
        struct stat existing {};
        if (lstat(link.link_path.c_str(), &existing) != 0) {
            symlink(link.previous_target->c_str(), link.link_path.c_str());
        }
    }
    link.previous_target.reset();
    link.link_path.clear();
}

bool sim_link_is_open(const SimLink& link) {
    return link.master_fd >= 0;
}

bool sim_link_left_exclusive(const SimLink& link, bool& looked) {
    const int slave = open(link.slave_path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    looked = slave >= 0;
    if (slave < 0) {
        return errno == EBUSY;
    }
    int exclusive = 0;
    const bool left = ioctl(slave, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    close(slave);
    return left;
}

bool sim_link_replace(SimLink& link, const std::function<bool(const std::string&)>& prepare,
                      std::string& error) {
    int master_fd = -1;
    std::string slave_path;
    if (!make_line(link.raw, link.translating, master_fd, slave_path, error)) {
        return false;
    }
    if (!prepare(slave_path)) {
        error = system_error("cannot prepare " + slave_path);
        close_fd(master_fd);
        return false;
    }
    // The link moves in one step: whoever follows it meanwhile finds the old line or the new one.
    const std::string moving = link.link_path + ".new";
    unlink(moving.c_str());
    if (symlink(slave_path.c_str(), moving.c_str()) != 0 ||
        rename(moving.c_str(), link.link_path.c_str()) != 0) {
        error = system_error("cannot move " + link.link_path);
        unlink(moving.c_str());
        close_fd(master_fd);
        return false;
    }
    drop_master(link);
    link.master_fd = master_fd;
    link.slave_path = slave_path;
    link.idle = true;
    return true;
}

void sim_link_send(SimLink& link, std::span<const std::uint8_t> bytes, double now, double gap) {
    if (!sim_link_is_open(link) || bytes.empty()) {
        return;
    }
    double due = std::max(now + link.latency, link.outgoing_free) + gap;
    for (const std::uint8_t byte : bytes) {
        due += link.byte_time;
        const double handed_over = link.tick > 0.0 ? std::ceil(due / link.tick) * link.tick : due;
        link.outgoing.push_back({byte, handed_over});
    }
    // The line itself is free again when the last byte has crossed it, tick or not.
    link.outgoing_free = due;
}

void sim_link_receive(SimLink& link, double now) {
    std::array<std::uint8_t, 512> buffer{};
    while (sim_link_is_open(link)) {
        const ssize_t count = read(link.master_fd, buffer.data(), buffer.size());
        if (count <= 0) {
            return; // EAGAIN: all taken; EIO: no slave open, and nothing left from the last one
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
            link.incoming_free = std::max(now, link.incoming_free) + link.byte_time;
            link.incoming.push_back({buffer[i], link.incoming_free});
        }
    }
}

void sim_link_arrive_now(SimLink& link, double now) {
    for (SimLinkByte& byte : link.incoming) {
        byte.due = std::min(byte.due, now);
    }
    link.incoming_free = std::min(link.incoming_free, now);
}

std::vector<std::uint8_t> sim_link_take_arrived(SimLink& link, double now) {
    std::vector<std::uint8_t> arrived;
    while (!link.incoming.empty() && link.incoming.front().due <= now) {
        arrived.push_back(link.incoming.front().value);
        link.incoming.pop_front();
    }
    return arrived;
}

void sim_link_transmit(SimLink& link, double now) {
    link.write_blocked = false;
    std::vector<std::uint8_t> due;
    for (const SimLinkByte& byte : link.outgoing) {
        if (byte.due > now) {
            break;
        }
        due.push_back(byte.value);
    }
    if (due.empty() || !sim_link_is_open(link)) {
        return;
    }
    const ssize_t written = write(link.master_fd, due.data(), due.size());
    if (written < 0) {
        link.write_blocked = errno == EAGAIN;
        return;
    }
    const auto count = static_cast<std::size_t>(written);
    link.outgoing.erase(link.outgoing.begin(),
                        link.outgoing.begin() + static_cast<std::ptrdiff_t>(count));
    link.write_blocked = count < due.size();
}

std::optional<double> sim_link_next_due(const SimLink& link) {
    std::optional<double> next;
    if (!link.incoming.empty()) {
        next = link.incoming.front().due;
    }
    if (!link.outgoing.empty() && !link.write_blocked) {
        next = next ? std::min(*next, link.outgoing.front().due) : link.outgoing.front().due;
    }
    return next;
}
