// The sample log's platform part on POSIX: fdatasync() and ftruncate() on the stream's descriptor.
#include "samplelog/samplelog.h"

#include <cerrno>
#include <unistd.h>

int samplelog_sync(std::FILE* file) {
    if (fdatasync(fileno(file)) == 0) {
        return 0;
    }
    // A device or a pipe cannot be synced: it holds nothing that a power cut could take.
    return errno == EINVAL || errno == EROFS ? 0 : errno;
}

bool samplelog_cut(std::FILE* file, long length) {
    return ftruncate(fileno(file), length) == 0;
}
