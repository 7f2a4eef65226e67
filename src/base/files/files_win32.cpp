// File names on Windows: UTF-8 in the programs, UTF-16 at the system, converted here only.
#include "base/files/files.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace {

std::wstring files_wide(std::string_view text) {
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), size);
    return wide;
}

std::string files_utf8(std::wstring_view wide) {
    const int length = static_cast<int>(wide.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), size, nullptr, nullptr);
    return text;
}

} // namespace

std::FILE* files_open(const std::string& name, const char* mode) {
    return _wfopen(files_system(files_path(name)).c_str(), files_wide(mode).c_str());
}

// The longest name NTFS takes, and the longest path of the wide functions with the \\?\ prefix.
const std::size_t files_part_max = 255;
const std::size_t files_whole_max = 32767;
const char* const files_unit = "characters";
const std::filesystem::path::value_type files_separator = L'\\';

std::filesystem::path files_system(const std::filesystem::path& path) {
    const std::wstring& given = path.native();
    // A path with a prefix, or a device such as \\.\COM8, goes as it is.
    if (given.empty() || given.starts_with(L"\\\\?\\") || given.starts_with(L"\\\\.\\")) {
        return path;
    }
    // GetFullPathNameW resolves ".", ".." and "/" as every other Windows call would, and takes
    // names of any length; the prefix then stops the call from resolving them again, with the
    // old limit of 259 characters.
    const DWORD size = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length =
        size == 0 ? 0 : GetFullPathNameW(given.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        return path;
    }
    full.resize(length);
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) {
        return full; // a device name: NUL, CON, COM8
    }
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2); // \\server\share\...
    }
    return L"\\\\?\\" + full;
}

bool files_resolved(const std::filesystem::path& path, std::filesystem::path& resolved) {
    // ".." and "." only: std::filesystem cannot resolve links on a path with the prefix, and
    // files_same_file has met the links of files that exist already.
    resolved = files_system(path);
    return !resolved.empty();
}

bool files_read_folder(const std::filesystem::path& dir, std::vector<FilesEntry>& entries,
                       std::string& error) {
    std::wstring pattern = files_system(dir).native();
    pattern += pattern.ends_with(L'\\') ? L"*" : L"\\*";
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0);
    DWORD code = find == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring_view name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            FilesEntry entry{std::filesystem::path(name), false,
                             (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0};
            entry.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (entry.link) {
                std::error_code ignored;
                entry.folder =
                    std::filesystem::is_directory(files_system(dir / entry.name), ignored);
            }
            entries.push_back(std::move(entry));
        } while (FindNextFileW(find, &data));
        code = GetLastError();
        FindClose(find);
    }
    std::error_code ignored;
    if (code == ERROR_FILE_NOT_FOUND && std::filesystem::is_directory(files_system(dir), ignored)) {
        code = ERROR_NO_MORE_FILES; // an empty drive's root, which has no "." to find
    }
    switch (code) {
    case ERROR_NO_MORE_FILES:
        return true;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        error = std::strerror(ENOENT);
        return false;
    case ERROR_ACCESS_DENIED:
        error = std::strerror(EACCES);
        return false;
    default:
        error = "error " + std::to_string(code);
        return false;
    }
}

std::filesystem::path files_path(std::string_view name) {
    return std::filesystem::path(files_wide(name));
}

std::string files_name(const std::filesystem::path& path) {
    return files_utf8(path.native());
}

bool files_same_name(const std::filesystem::path& a, const std::filesystem::path& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}
