#include "outputs/gnuplot/gnuplot.h"

#include "base/files/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

namespace {

bool gnuplot_prepare_output(const char* program, const std::string& path) {
    std::FILE* file = files_open(path, "wb");
    if (file == nullptr) {
        const int error = errno;
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program, path.c_str(),
                     files_failure(path, error).c_str());
        return false;
    }
    std::fclose(file);
    return true;
}

bool gnuplot_output_written(const char* program, const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(files_system(files_path(path)), error);
    if (error || size == 0) {
        std::fprintf(stderr, "%s: gnuplot wrote nothing to %s\n", program, path.c_str());
        return false;
    }
    return true;
}

} // namespace

std::optional<std::filesystem::path>
gnuplot_search(const std::filesystem::path::string_type& search_path,
               std::filesystem::path::value_type separator, const std::filesystem::path& program) {
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(search_path.find(separator, start), search_path.size());
        const std::filesystem::path folder =
            end == start ? std::filesystem::path(".")
                         : std::filesystem::path(search_path.substr(start, end - start));
        std::error_code error;
        if (std::filesystem::is_regular_file(files_system(folder / program), error) &&
            gnuplot_runnable(folder / program)) {
            return folder / program;
        }
        if (end == search_path.size()) {
            return std::nullopt;
        }
        start = end + 1;
    }
}

bool gnuplot_draw(const char* program, const std::filesystem::path& gnuplot,
                  const std::vector<std::string>& outputs, const std::string& script) {
    for (const std::string& path : outputs) {
        if (!gnuplot_prepare_output(program, path)) {
            return false;
        }
    }
    // The pictures gnuplot cannot open where they go, each with the short name it draws to.
    std::string drawn = script;
    std::vector<std::pair<std::string, std::string>> moved;
    bool ok = !script.empty();
    for (const std::string& path : outputs) {
        if (!ok || gnuplot_takes(path)) {
            continue;
        }
        const std::optional<std::string> short_file = gnuplot_short_file();
        if (!short_file) {
            std::fprintf(stderr,
                         "%s: cannot draw %s: its path is longer than gnuplot takes (259 "
                         "characters), and no short temporary name could be made for it\n",
                         program, path.c_str());
            ok = false;
            break;
        }
        moved.emplace_back(*short_file, path);
        const std::string output = "set output " + gnuplot_string(path) + "\n";
        for (std::size_t at = drawn.find(output); at != std::string::npos;
             at = drawn.find(output, at + 1)) {
            drawn.replace(at, output.size(), "set output " + gnuplot_string(*short_file) + "\n");
        }
    }
    ok = ok && gnuplot_run(program, gnuplot, drawn);
    for (const auto& [short_file, path] : moved) {
        std::string error;
        if (ok && !files_move(files_path(short_file), files_path(path), error)) {
            std::fprintf(stderr, "%s: cannot move the picture from %s to %s: %s\n", program,
                         short_file.c_str(), path.c_str(), error.c_str());
            ok = false;
        }
        files_remove(short_file);
    }
    for (const std::string& path : outputs) {
        ok = ok && gnuplot_output_written(program, path);
    }
    if (!ok) {
        // No empty or half-drawn picture is left to be taken for a result.
        for (const std::string& path : outputs) {
            files_remove(path);
        }
    }
    return ok;
}

std::string gnuplot_pictures(const std::string& png_path, const std::string& svg_path, int width,
                             int height, const std::string& panels) {
    const std::string size = " size " + std::to_string(width) + "," + std::to_string(height);
    std::string script;
    if (!png_path.empty()) {
        // Builds without cairo still have libgd's png terminal.
        script += "if (strstrt(GPVAL_TERMINALS, ' pngcairo ') > 0) {\n";
        script += "    set terminal pngcairo" + size + " noenhanced font 'sans,10'\n";
        script += "} else {\n";
        script += "    set terminal png" + size + " noenhanced\n";
        script += "}\n";
        script += "set output " + gnuplot_string(png_path) + "\n" + panels + "unset output\n";
    }
    if (!svg_path.empty()) {
        script +=
            "set terminal svg" + size + " dynamic noenhanced font 'sans,10' background '#ffffff'\n";
        script += "set output " + gnuplot_string(svg_path) + "\n" + panels + "unset output\n";
    }
    return script;
}

std::string gnuplot_string(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    }
    return quoted + "'";
}
