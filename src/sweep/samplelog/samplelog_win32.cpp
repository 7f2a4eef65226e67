// The sample log's platform part on Windows: FlushFileBuffers() and SetEndOfFile() on the
// stream's handle; no folder sync.
#include "sweep/samplelog/samplelog.h"

#include <cerrno>
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>

namespace {

HANDLE samplelog_handle(std::FILE* file) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

} // namespace

int samplelog_sync(std::FILE* file) {
    if (FlushFileBuffers(samplelog_handle(file))) {
        return 0;
    }
    // A console or a device cannot be flushed.
    const DWORD error = GetLastError();
    return error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION ? EINVAL : EIO;
}

// Windows offers an ordinary program no call that puts a folder's names on the disk; NTFS records
// them in its own journal.
int samplelog_sync_folder(const char*) {
    return 0;
}

bool samplelog_cut(std::FILE* file, long length) {
    const HANDLE handle = samplelog_handle(file);
    LARGE_INTEGER position{};
    position.QuadPart = length;
    return SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}
