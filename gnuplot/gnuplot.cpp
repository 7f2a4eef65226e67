#include "gnuplot/gnuplot.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#ifdef _WIN32
#define gnuplot_popen _popen
#define gnuplot_pclose _pclose
#else
#include <sys/wait.h>
#include <unistd.h>
#define gnuplot_popen popen
#define gnuplot_pclose pclose
#endif

namespace {

// The program's path as one word of the command line popen hands to the shell.
std::string gnuplot_shell_word(const std::string& path) {
#ifdef _WIN32
    return "\"" + path + "\""; // a Windows path holds no double quote
#else
    std::string word = "'";
    for (const char c : path) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
#endif
}

// Runs gnuplot on the script; true when it ended with status 0.
bool gnuplot_run(const char* program, const std::filesystem::path& gnuplot,
                 const std::string& script) {
#ifndef _WIN32
    // A gnuplot that dies early must not take this program with it through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* pipe = gnuplot_popen(gnuplot_shell_word(gnuplot.string()).c_str(), "w");
    if (pipe == nullptr) {
        std::fprintf(stderr, "%s: cannot start gnuplot: %s\n", program, std::strerror(errno));
        return false;
    }
    std::fwrite(script.data(), 1, script.size(), pipe);
    const int status = gnuplot_pclose(pipe);
#ifndef _WIN32
    if (status == -1 || !WIFEXITED(status)) {
        std::fprintf(stderr, "%s: gnuplot did not finish\n", program);
        return false;
    }
    const int exit_status = WEXITSTATUS(status);
#else
    const int exit_status = status;
#endif
    if (exit_status != 0) {
        std::fprintf(stderr, "%s: gnuplot failed (exit status %d)\n", program, exit_status);
        return false;
    }
    return true;
}

bool gnuplot_prepare_output(const char* program, const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program, path.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::fclose(file);
    return true;
}

bool gnuplot_output_written(const char* program, const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size == 0) {
        std::fprintf(stderr, "%s: gnuplot wrote nothing to %s\n", program, path.c_str());
        return false;
    }
    return true;
}

} // namespace

std::optional<std::filesystem::path> gnuplot_find() {
    const char* search_path = std::getenv("PATH");
    if (search_path == nullptr) {
        return std::nullopt;
    }
#ifdef _WIN32
    constexpr char separator = ';';
    constexpr const char* program = "gnuplot.exe";
#else
    constexpr char separator = ':';
    constexpr const char* program = "gnuplot";
#endif
    std::string_view rest = search_path;
    while (true) {
        const std::size_t end = std::min(rest.find(separator), rest.size());
        const std::string_view directory = rest.substr(0, end);
        const std::filesystem::path candidate =
            std::filesystem::path(directory.empty() ? "." : std::string(directory)) / program;
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) {
#ifdef _WIN32
            return candidate;
#else
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
#endif
        }
        if (end == rest.size()) {
            return std::nullopt;
        }
        rest.remove_prefix(end + 1);
    }
}

bool gnuplot_draw(const char* program, const std::filesystem::path& gnuplot,
                  const std::vector<std::string>& outputs, const std::string& script) {
    for (const std::string& path : outputs) {
        if (!gnuplot_prepare_output(program, path)) {
            return false;
        }
    }
    bool ok = !script.empty() && gnuplot_run(program, gnuplot, script);
    for (const std::string& path : outputs) {
        ok = ok && gnuplot_output_written(program, path);
    }
    if (!ok) {
        // No empty or half-drawn picture is left to be taken for a result.
        for (const std::string& path : outputs) {
            std::remove(path.c_str());
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
