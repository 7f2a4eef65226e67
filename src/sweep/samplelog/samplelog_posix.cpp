// The sample log's platform part on POSIX: fdatasync() and ftruncate() on the stream's
// descriptor, fsync() on the folder's.
#include "sweep/samplelog/samplelog.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int samplelog_sync(std::FILE* file) {
    return fdatasync(fileno(file)) == 0 ? 0 : errno;
}

int samplelog_sync_folder(const char* folder) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    const int error = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return error;
}

bool samplelog_cut(std::FILE* file, long length) {
    return ftruncate(fileno(file), length) == 0;
}
