#include "base/files/files.h"

#include <cstring>
#include <system_error>

namespace {

constexpr std::string_view files_bom = "\xEF\xBB\xBF";

} // namespace

void files_skip_bom(std::FILE* file) {
    const int first = std::getc(file);
    if (first != static_cast<unsigned char>(files_bom[0])) {
        if (first != EOF) {
            std::ungetc(first, file); // one byte can always be put back
        }
        return;
    }
    const int second = std::getc(file);
    if (second == static_cast<unsigned char>(files_bom[1]) &&
        std::getc(file) == static_cast<unsigned char>(files_bom[2])) {
        return;
    }
    std::clearerr(file);
    std::fseek(file, 0, SEEK_SET);
}

std::string_view files_without_bom(std::string_view text) {
    return text.starts_with(files_bom) ? text.substr(files_bom.size()) : text;
}

std::string files_failure(const std::string& name, int error) {
    std::error_code ignored;
    if (std::filesystem::is_directory(files_path(name), ignored)) {
        return "is a folder";
    }
    return std::strerror(error);
}

bool files_remove(const std::string& name) {
    std::error_code error;
    return std::filesystem::remove(files_path(name), error);
}

std::string files_with_extension(const std::string& name, const char* extension) {
    return files_name(files_path(name).replace_extension(extension));
}

std::string files_last_part(const std::string& name) {
    return files_name(files_path(name).filename());
}

bool files_same_file(const std::string& a, const std::string& b) {
    if (a == b) {
        return true;
    }
    const std::filesystem::path path_a = files_path(a);
    const std::filesystem::path path_b = files_path(b);
    std::error_code error_a;
    std::error_code error_b;
    if (std::filesystem::equivalent(path_a, path_b, error_a)) {
        return true;
    }
    // Not both there: a file yet to be written is the same as another by its name only.
    const std::filesystem::path canonical_a = std::filesystem::weakly_canonical(path_a, error_a);
    const std::filesystem::path canonical_b = std::filesystem::weakly_canonical(path_b, error_b);
    return !error_a && !error_b && files_same_name(canonical_a, canonical_b);
}

bool files_inside(const std::string& name, const std::string& folder) {
    std::error_code error;
    const std::filesystem::path whole = std::filesystem::absolute(files_path(name), error);
    if (error) {
        return false;
    }
    const std::filesystem::path path = std::filesystem::weakly_canonical(whole, error);
    for (std::filesystem::path part = (error ? whole : path).parent_path();;
         part = part.parent_path()) {
        if (files_same_file(files_name(part), folder)) {
            return true;
        }
        if (part == part.parent_path()) {
            return false;
        }
    }
}
