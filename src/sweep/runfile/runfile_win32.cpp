// The run file's platform part on Windows: FlushFileBuffers() of the new file, and MoveFileExA()
// with MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH, which replaces the old account in
// one step and returns once the move is on the disk (the C library's rename() refuses to replace
// a file there). The names are the sweep's own, plain ASCII.
#include "sweep/runfile/runfile.h"

#include <cerrno>
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>

int runfile_sync(std::FILE* file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (FlushFileBuffers(handle)) {
        return 0;
    }
    const DWORD error = GetLastError();
    return error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION ? 0 : EIO;
}

// NTFS keeps its folders' names in its own journal; no program can flush one.
int runfile_sync_folder(const char*) {
    return 0;
}

int runfile_replace(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    default:
        return EIO;
    }
}
