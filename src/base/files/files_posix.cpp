// File names on POSIX: the bytes the system gives, as they are.
#include "base/files/files.h"

#include <system_error>

std::vector<std::string> files_arguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

std::FILE* files_open(const std::string& name, const char* mode) {
    return std::fopen(name.c_str(), mode);
}

std::filesystem::path files_path(std::string_view name) {
    return std::filesystem::path(name);
}

std::string files_name(const std::filesystem::path& path) {
    return path.native();
}

bool files_same_name(const std::filesystem::path& a, const std::filesystem::path& b) {
    return a.native() == b.native();
}

// NAME_MAX and PATH_MAX of Linux; PATH_MAX counts the terminating zero.
const std::size_t files_part_max = 255;
const std::size_t files_whole_max = 4095;
const char* const files_unit = "bytes";
const std::filesystem::path::value_type files_separator = '/';

std::filesystem::path files_system(const std::filesystem::path& path) {
    return path;
}

bool files_resolved(const std::filesystem::path& path, std::filesystem::path& resolved) {
    std::error_code error;
    resolved = std::filesystem::weakly_canonical(path, error);
    return !error;
}

bool files_read_folder(const std::filesystem::path& dir, std::vector<FilesEntry>& entries,
                       std::string& error) {
    std::error_code code;
    for (std::filesystem::directory_iterator it(dir, code), end; !code && it != end;
         it.increment(code)) {
        std::error_code kind;
        entries.push_back({it->path().filename(), it->is_directory(kind), it->is_symlink(kind)});
    }
    if (code) {
        error = code.message();
    }
    return !code;
}
