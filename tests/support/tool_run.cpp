#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

std::string tool_shell_word(const std::string& word) {
#ifdef _WIN32
    return "\"" + word + "\"";
#else
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
#endif
}

std::string tool_read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void tool_write_file(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

std::size_t tool_count_lines(const std::string& text) {
    std::size_t lines = 0;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

std::string tool_join(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

bool tool_gnuplot_on_path() {
    const char* search_path = std::getenv("PATH");
#ifdef _WIN32
    const char separator = ';';
    const char* program = "gnuplot.exe";
#else
    const char separator = ':';
    const char* program = "gnuplot";
#endif
    std::stringstream directories(search_path == nullptr ? "" : search_path);
    std::string directory;
    while (std::getline(directories, directory, separator)) {
        std::error_code error;
        if (fs::is_regular_file(fs::path(directory.empty() ? "." : directory) / program, error)) {
            return true;
        }
    }
    return false;
}

ToolResult tool_run(const std::string& program, const std::vector<std::string>& arguments,
                    const fs::path& dir, const std::string& environment) {
    const fs::path out = dir / "stdout.txt";
    const fs::path err = dir / "stderr.txt";
    std::string command = environment + tool_shell_word(program);
    for (const std::string& argument : arguments) {
        command += " ";
        command += tool_shell_word(argument);
    }
    command +=
        tool_join({" >", tool_shell_word(out.string()), " 2>", tool_shell_word(err.string())});
#ifdef _WIN32
    command = tool_join({"\"", command, "\""}); // cmd /c strips one pair of quotes
#endif
    ToolResult result;
    int status = std::system(command.c_str());
#ifdef _WIN32
    // -1 means the command interpreter never started (the tool did not run at all). Under
    // Wine that has been seen once on a loaded machine, so try again before calling it a
    // failure, and say why if it persists.
    for (int attempt = 1; status == -1 && attempt < 3; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        status = std::system(command.c_str());
    }
    if (status == -1) {
        ADD_FAILURE() << "could not start the command interpreter: " << std::strerror(errno);
    }
    result.status = status;
#else
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    result.out = tool_read_file(out);
    result.err = tool_read_file(err);
    fs::remove(out);
    fs::remove(err);
    return result;
}

fs::path tool_make_test_dir(const char* prefix) {
    std::random_device random;
    const fs::path dir =
        fs::temp_directory_path() /
        tool_join({prefix, testing::UnitTest::GetInstance()->current_test_info()->name(), "_",
                   std::to_string(random())});
    fs::create_directories(dir);
    return dir;
}

void tool_age_folder(const fs::path& folder, std::chrono::seconds age) {
#ifdef _WIN32
    // The C library cannot set a folder's times on Windows: the handle must be opened for backup.
    const HANDLE handle = CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << folder.string();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks; // 100 ns since 1601
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart -= static_cast<ULONGLONG>(age.count()) * 10000000ULL;
    const FILETIME then{ticks.LowPart, ticks.HighPart};
    const bool set = SetFileTime(handle, nullptr, nullptr, &then);
    CloseHandle(handle);
    ASSERT_TRUE(set) << folder.string();
#else
    fs::last_write_time(folder, fs::file_time_type::clock::now() - age);
#endif
}

std::optional<std::string> tool_set_environment(const char* name, const char* value) {
    const char* old = std::getenv(name);
    std::optional<std::string> earlier =
        old != nullptr ? std::optional<std::string>(old) : std::nullopt;
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
    return earlier;
}

void tool_expect_has(const std::string& text, const std::string& part) {
    EXPECT_NE(text.find(part), std::string::npos) << "no \"" << part << "\" in:\n" << text;
}
