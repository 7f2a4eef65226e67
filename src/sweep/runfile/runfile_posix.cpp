// The run file's platform part on POSIX: fsync() of the new file and of its folder, and
// rename(), which replaces the old name in one step.
#include "sweep/runfile/runfile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int runfile_sync(std::FILE* file) {
    if (fsync(fileno(file)) == 0) {
        return 0;
    }
    // A file that cannot be synced (a device) holds nothing that a power cut could take.
    return errno == EINVAL ? 0 : errno;
}

int runfile_sync_folder(const char* folder) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    const int error = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    close(fd);
    return error;
}

int runfile_replace(const char* from, const char* to) {
    return std::rename(from, to) == 0 ? 0 : errno;
}
