// The archive's platform part on Linux: fsync() of the files and folders, and renameat2() with
// RENAME_NOREPLACE, which fails rather than replace whatever has the name.
#include "records/archive/archive.h"

#include "base/files/files.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::string archive_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "unknown";
    }
    return name;
}

unsigned long archive_process_id() {
    return static_cast<unsigned long>(getpid());
}

bool archive_sync(const std::filesystem::path& path, bool folder, std::string& error) {
    const int fd =
        open(files_system(path).c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) {
        error = files_name(path) + ": cannot open it: " + std::strerror(errno);
        return false;
    }
    const int result = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    // A file system that cannot sync (some network ones for a folder) holds nothing to lose here.
    // EROFS is no such case: ext4 answers it after remounting itself read-only on an error, when
    // what was written may be lost.
    if (result == 0 || result == EINVAL || result == ENOTSUP) {
        return true;
    }
    error = files_name(path) + ": cannot put it on the disk: " + std::strerror(result);
    return false;
}

ArchiveRename archive_rename(const std::filesystem::path& from, const std::filesystem::path& to,
                             std::string& error) {
    const std::filesystem::path system_from = files_system(from);
    const std::filesystem::path system_to = files_system(to);
    if (renameat2(AT_FDCWD, system_from.c_str(), AT_FDCWD, system_to.c_str(), RENAME_NOREPLACE) ==
        0) {
        return ArchiveRename::done;
    }
    int result = errno;
    if (result == EINVAL) {
        // A file system without RENAME_NOREPLACE (NFS, SMB): rename() replaces no folder that
        // holds anything, and a record always holds its files, so it cannot replace a record
        // either; it fails with EEXIST or ENOTEMPTY instead.
        if (std::rename(system_from.c_str(), system_to.c_str()) == 0) {
            return ArchiveRename::done;
        }
        result = errno;
    }
    if (result == EEXIST || result == ENOTEMPTY || result == ENOTDIR) {
        return ArchiveRename::taken;
    }
    error = files_name(from) + ": cannot rename it to " + files_name(to.filename()) + ": " +
            std::strerror(result);
    return ArchiveRename::failed;
}
