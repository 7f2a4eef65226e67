// Keeping a POSIX port to ourselves beyond what the terminal itself enforces. TIOCEXCL binds
// neither root nor whoever opened the device before us, and flock only binds those who ask, so
// the open also looks for other holders in /proc and takes the UUCP-style lock file that Linux
// terminal programs share ("LCK.." and the device's name, in /run/lock or else /var/lock).
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// The lock file's name for a device path: "LCK.." and the path below /dev with each '/' as '_'
// ("/dev/ttyUSB0" gives "LCK..ttyUSB0", "/dev/pts/3" "LCK..pts_3"); the base name for a device
// outside /dev. Links are followed first, so every name of a device shares one lock.
std::string serial_lock_name(const std::string& device_path);

// Takes the lock file of the device in the first lock folder that can be written, taking over a
// lock whose process is gone. Returns false with errno EBUSY when a live process holds it (in
// any of the folders). lock_path is the file taken, or empty when no folder could be written:
// the port is then used without one.
bool serial_lock_take(const std::string& device_path, std::string& lock_path);

// Removes a lock file taken by serial_lock_take, if it is still ours.
void serial_lock_release(const std::string& lock_path);

// Whether a process other than this one has the character device `device` open (an st_rdev).
// Processes whose descriptors cannot be read are passed over.
bool serial_held_elsewhere(dev_t device);

// Tests only: the lock folders to use instead of /run/lock and /var/lock; empty puts those back.
void serial_set_lock_dirs_for_test(std::vector<std::string> dirs);
