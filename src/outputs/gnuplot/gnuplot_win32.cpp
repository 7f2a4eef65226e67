// gnuplot on Windows: found on the PATH as gnuplot.exe and started as a process of its own, the
// script going to its standard input through a pipe. Through cmd (_popen), a path with
// parentheses, such as a 32-bit gnuplot's under "C:\Program Files (x86)\", loses its quotes and
// never starts.
#include "outputs/gnuplot/gnuplot.h"

#include "base/files/files.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

// False when gnuplot stopped reading.
bool gnuplot_write(HANDLE pipe, std::string_view text) {
    while (!text.empty()) {
        DWORD written = 0;
        const auto size = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1U << 16U));
        if (!WriteFile(pipe, text.data(), size, &written, nullptr)) {
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

} // namespace

std::optional<std::filesystem::path> gnuplot_find() {
    const wchar_t* search_path = _wgetenv(L"PATH");
    if (search_path == nullptr) {
        return std::nullopt;
    }
    return gnuplot_search(search_path, L';', L"gnuplot.exe");
}

bool gnuplot_takes(const std::string& path) {
    const std::wstring wide = files_path(path).native();
    return GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr) <= MAX_PATH;
}

std::optional<std::string> gnuplot_short_file() {
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"gm", 0, name) == 0) {
        return std::nullopt;
    }
    return files_name(std::filesystem::path(name));
}

bool gnuplot_runnable(const std::filesystem::path& /*candidate*/) {
    return true;
}

bool gnuplot_run(const char* program, const std::filesystem::path& gnuplot,
                 const std::string& script) {
    std::fflush(stdout);
    std::fflush(stderr);
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE gnuplot_end = nullptr;
    HANDLE our_end = nullptr;
    if (!CreatePipe(&gnuplot_end, &our_end, &inherited, 0)) {
        std::fprintf(stderr, "%s: cannot start gnuplot: error %lu\n", program, GetLastError());
        return false;
    }
    SetHandleInformation(our_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = gnuplot_end;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // The program is named by its path; the command line repeats it, quoted, as argument 0.
    std::wstring command = L"\"" + gnuplot.native() + L"\"";
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(gnuplot.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    const DWORD start_error = GetLastError();
    CloseHandle(gnuplot_end);
    if (!started) {
        CloseHandle(our_end);
        std::fprintf(stderr, "%s: cannot start gnuplot: error %lu\n", program, start_error);
        return false;
    }
    CloseHandle(process.hThread);
    // A gnuplot that stops reading early says why on its standard error, and fails.
    gnuplot_write(our_end, script);
    CloseHandle(our_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    const BOOL ended = GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    if (!ended) {
        std::fprintf(stderr, "%s: gnuplot did not finish\n", program);
        return false;
    }
    if (status != 0) {
        std::fprintf(stderr, "%s: gnuplot failed (exit status %lu)\n", program, status);
        return false;
    }
    return true;
}
