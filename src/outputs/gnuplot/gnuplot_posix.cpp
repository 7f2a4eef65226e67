// gnuplot on POSIX: found on the PATH as an executable "gnuplot", fed through popen.
#include "outputs/gnuplot/gnuplot.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The program's path as one word of the command line popen hands to the shell.
std::string gnuplot_shell_word(const std::string& path) {
    std::string word = "'";
    for (const char c : path) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

} // namespace

std::optional<std::filesystem::path> gnuplot_find() {
    const char* search_path = std::getenv("PATH");
    if (search_path == nullptr) {
        return std::nullopt;
    }
    return gnuplot_search(search_path, ':', "gnuplot");
}

bool gnuplot_takes(const std::string& /*path*/) {
    return true; // gnuplot opens what this system does
}

std::optional<std::string> gnuplot_short_file() {
    return std::nullopt; // never asked for: gnuplot takes every path
}

bool gnuplot_runnable(const std::filesystem::path& candidate) {
    return access(candidate.c_str(), X_OK) == 0;
}

bool gnuplot_run(const char* program, const std::filesystem::path& gnuplot,
                 const std::string& script) {
    // A gnuplot that dies early must not take this program with it through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* pipe = popen(gnuplot_shell_word(gnuplot.string()).c_str(), "w");
    if (pipe == nullptr) {
        std::fprintf(stderr, "%s: cannot start gnuplot: %s\n", program, std::strerror(errno));
        return false;
    }
    std::fwrite(script.data(), 1, script.size(), pipe);
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status)) {
        std::fprintf(stderr, "%s: gnuplot did not finish\n", program);
        return false;
    }
    if (WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s: gnuplot failed (exit status %d)\n", program, WEXITSTATUS(status));
        return false;
    }
    return true;
}
