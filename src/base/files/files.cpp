#include "base/files/files.h"

#include "base/text/text.h"

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
    if (std::filesystem::is_directory(files_system(files_path(name)), ignored)) {
        return "is a folder";
    }
    return std::strerror(error);
}

bool files_remove(const std::string& name) {
    std::error_code error;
    return std::filesystem::remove(files_system(files_path(name)), error);
}

std::string files_unusable(const std::string& name) {
    const std::filesystem::path::string_type system = files_system(files_path(name)).native();
    std::size_t part = 0;
    for (const auto c : system) {
        part = c == '/' || c == files_separator ? 0 : part + 1;
        if (part > files_part_max) {
            return text_format("a name in it is longer than %zu %s", files_part_max, files_unit);
        }
    }
    if (system.size() > files_whole_max) {
        return text_format("the path is longer than the %zu %s this system takes", files_whole_max,
                           files_unit);
    }
    return "";
}

bool files_list(const std::filesystem::path& dir, std::vector<FilesEntry>& entries,
                std::string& error) {
    if (files_read_folder(dir, entries, error)) {
        return true;
    }
    std::error_code ignored;
    const std::filesystem::path system = files_system(dir);
    if (std::filesystem::exists(system, ignored) &&
        !std::filesystem::is_directory(system, ignored)) {
        error = "is a file, not a folder";
    }
    return false;
}

bool files_remove_all(const std::filesystem::path& dir) {
    std::vector<FilesEntry> entries;
    std::string ignored;
    bool removed = files_list(dir, entries, ignored);
    for (const FilesEntry& entry : entries) {
        const std::filesystem::path path = dir / entry.name;
        std::error_code error;
        removed =
            (entry.folder && !entry.link ? files_remove_all(path)
                                         : std::filesystem::remove(files_system(path), error)) &&
            removed;
    }
    std::error_code error;
    return std::filesystem::remove(files_system(dir), error) && removed;
}

bool files_move(const std::filesystem::path& from, const std::filesystem::path& to,
                std::string& error) {
    const std::filesystem::path system_from = files_system(from);
    const std::filesystem::path system_to = files_system(to);
    std::error_code code;
    std::filesystem::rename(system_from, system_to, code);
    if (!code) {
        return true;
    }
    // Another drive or file system: copied, then removed.
    if (std::filesystem::copy_file(system_from, system_to,
                                   std::filesystem::copy_options::overwrite_existing, code)) {
        std::filesystem::remove(system_from, code);
        return true;
    }
    error = code.message();
    return false;
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
    std::error_code error;
    if (std::filesystem::equivalent(files_system(path_a), files_system(path_b), error)) {
        return true;
    }
    // Not both there: a file yet to be written is the same as another by its name only.
    std::filesystem::path resolved_a;
    std::filesystem::path resolved_b;
    return files_resolved(path_a, resolved_a) && files_resolved(path_b, resolved_b) &&
           files_same_name(resolved_a, resolved_b);
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
