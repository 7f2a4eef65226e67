// The archive's platform part on Windows: FlushFileBuffers() of the files, and MoveFileExW()
// without MOVEFILE_REPLACE_EXISTING, which fails rather than replace a file or folder that has
// the name (also on a network share: the server makes the check and the move as one).
#include "records/archive/archive.h"

#include "base/files/files.h"
#include "base/text/text.h"

#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>

std::string archive_host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return "unknown";
    }
    return std::string(name, size);
}

unsigned long archive_process_id() {
    return GetCurrentProcessId();
}

bool archive_sync(const std::filesystem::path& path, bool folder, std::string& error) {
    if (folder) {
        return true; // NTFS keeps its folders in its journal; no program can flush one
    }
    const HANDLE file =
        CreateFileW(files_system(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error =
            text_format("%s: cannot open it: error %lu", files_name(path).c_str(), GetLastError());
        return false;
    }
    const bool flushed = FlushFileBuffers(file) || GetLastError() == ERROR_INVALID_FUNCTION;
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!flushed) {
        error =
            text_format("%s: cannot put it on the disk: error %lu", files_name(path).c_str(), code);
    }
    return flushed;
}

ArchiveRename archive_rename(const std::filesystem::path& from, const std::filesystem::path& to,
                             std::string& error) {
    const std::filesystem::path system_to = files_system(to);
    if (MoveFileExW(files_system(from).c_str(), system_to.c_str(), 0)) {
        return ArchiveRename::done;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS ||
        GetFileAttributesW(system_to.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return ArchiveRename::taken;
    }
    error = text_format("%s: cannot rename it to %s: error %lu", files_name(from).c_str(),
                        files_name(to.filename()).c_str(), code);
    return ArchiveRename::failed;
}
