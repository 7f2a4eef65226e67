// Running a companion program from a test through the shell, on POSIX and on Windows (Wine),
// with its output captured in files of a scratch folder.
#pragma once

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::string tool_read_file(const std::filesystem::path& path);
void tool_write_file(const std::filesystem::path& path, const std::string& text);
std::size_t tool_count_lines(const std::string& text);
// Concatenates without operator+ on temporaries (GCC 12 warns falsely about those at -O3).
std::string tool_join(std::initializer_list<std::string_view> parts);
bool tool_gnuplot_on_path();
// Expects `text` to hold `part`, and shows the text where it does not.
void tool_expect_has(const std::string& text, const std::string& part);
// One word of a shell command line.
std::string tool_shell_word(const std::string& word);

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program with the arguments, its output going through files in `dir`; `environment`
// is put before the command (POSIX only).
ToolResult tool_run(const std::string& program, const std::vector<std::string>& arguments,
                    const std::filesystem::path& dir, const std::string& environment = "");

// Sets an environment variable of the test's own process (nullptr: removes it); returns its
// earlier value, nothing when it had none, to be put back by the same call.
std::optional<std::string> tool_set_environment(const char* name, const char* value);

// Sets the folder's modification time to `age` before now.
void tool_age_folder(const std::filesystem::path& folder, std::chrono::seconds age);

// A fresh scratch folder named after the running test.
std::filesystem::path tool_make_test_dir(const char* prefix);
