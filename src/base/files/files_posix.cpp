// File names on POSIX: the bytes the system gives, as they are.
#include "base/files/files.h"

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
