#include "sweep/runfile/runfile.h"

#include "base/files/files.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view runfile_header = "gyro_motor_run=1";

// Said since runfile_begin, each without its line end.
std::vector<std::string> runfile_said;

// The folder that holds a file, where its new name must be put on the disk.
std::string runfile_folder(const char* name) {
    const std::filesystem::path folder = std::filesystem::path(name).parent_path();
    return folder.empty() ? "." : folder.string();
}

bool runfile_digits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// A moment as runfile_time writes it.
bool runfile_is_time(std::string_view text) {
    constexpr std::string_view pattern = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != pattern.size()) {
        return false;
    }
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        if (pattern[k] == 'd' ? text[k] < '0' || text[k] > '9' : text[k] != pattern[k]) {
            return false;
        }
    }
    return true;
}

bool runfile_count(std::string_view text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return runfile_digits(text) && stop == end && error == std::errc{};
}

// The value of one line, which must be `key`; false with the reason when it is not.
bool runfile_field(std::string_view line, std::string_view key, std::string& value,
                   std::string& error) {
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') {
        error = "expected " + std::string(key) + "=";
        return false;
    }
    value = std::string(line.substr(key.size() + 1));
    return true;
}

} // namespace

std::string runfile_path(const std::string& log_path) {
    const std::size_t slash = log_path.find_last_of("/\\");
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = log_path.rfind('.');
    if (dot != std::string::npos && dot > name && log_path.substr(dot) == ".txt") {
        return log_path.substr(0, dot) + "_run.txt";
    }
    return log_path + "_run.txt";
}

std::string runfile_time(std::chrono::system_clock::time_point time) {
    const auto milli = std::chrono::floor<std::chrono::milliseconds>(time);
    const auto day = std::chrono::floor<std::chrono::days>(milli);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{milli - day};
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()),
                  static_cast<int>(clock.subseconds().count()));
    return text.data();
}

void runfile_begin() {
    runfile_said.clear();
}

void runfile_say(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list copy;
    va_copy(copy, arguments);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::array<char, 512> line{};
    std::vsnprintf(line.data(), line.size(), format, copy);
    va_end(copy);
    std::string said = line.data();
    // One line each in the account: its line end goes, a line break inside becomes a blank.
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) {
        said.pop_back();
    }
    for (char& c : said) {
        c = c == '\n' || c == '\r' ? ' ' : c;
    }
    const std::size_t start = said.find_first_not_of(' ');
    runfile_said.push_back(start == std::string::npos ? std::string() : said.substr(start));
}

std::string runfile_messages() {
    std::string joined;
    for (const std::string& said : runfile_said) {
        joined += joined.empty() ? "" : "; ";
        joined += said;
    }
    return joined;
}

std::string runfile_text(const RunAccount& account) {
    std::string text = std::string(runfile_header) + "\n";
    const auto line = [&text](const char* key, const std::string& value) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    };
    line("started", account.started);
    line("ended", account.ended);
    line("status", account.status ? std::to_string(*account.status) : "");
    line("message", account.message);
    line("samples", std::to_string(account.samples));
    line("polls", std::to_string(account.polls));
    line("log_replaced", account.log_replaced ? "yes" : "no");
    line("log_bytes", account.log_bytes ? std::to_string(*account.log_bytes) : "");
    line("version", account.version);
    return text;
}

int runfile_write(const char* name, const RunAccount& account) {
    const std::string fresh = std::string(name) + ".new";
    std::FILE* file = std::fopen(fresh.c_str(), "w");
    if (file == nullptr) {
        return errno != 0 ? errno : EIO;
    }
    const std::string text = runfile_text(account);
    errno = 0;
    int error = std::fputs(text.c_str(), file) < 0 || std::fflush(file) != 0
                    ? (errno != 0 ? errno : EIO)
                    : runfile_sync(file);
    errno = 0;
    if (std::fclose(file) != 0 && error == 0) {
        error = errno != 0 ? errno : EIO;
    }
    if (error == 0) {
        error = runfile_replace(fresh.c_str(), name);
    }
    if (error != 0) {
        std::remove(fresh.c_str());
        return error;
    }
    return runfile_sync_folder(runfile_folder(name).c_str());
}

bool runfile_parse(const std::string& whole, RunAccount& account, std::string& error) {
    std::vector<std::string_view> lines;
    const std::string_view text = files_without_bom(whole);
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            error = "its last line is cut short";
            return false;
        }
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        at = end + 1;
    }
    constexpr std::array<const char*, 9> keys{"started",      "ended",     "status",
                                              "message",      "samples",   "polls",
                                              "log_replaced", "log_bytes", "version"};
    if (lines.empty() || lines[0] != runfile_header) {
        error = "line 1: not a run file (expected " + std::string(runfile_header) + ")";
        return false;
    }
    if (lines.size() != keys.size() + 1) {
        error = "not " + std::to_string(keys.size() + 1) + " lines";
        return false;
    }
    std::array<std::string, keys.size()> values;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        if (!runfile_field(lines[k + 1], keys[k], values[k], error)) {
            error = "line " + std::to_string(k + 2) + ": " + error;
            return false;
        }
    }
    RunAccount read;
    read.started = values[0];
    read.ended = values[1];
    read.message = values[3];
    read.version = values[8];
    const auto bad = [&error](std::size_t k, const char* what) {
        error = "line " + std::to_string(k + 2) + ": " + what;
        return false;
    };
    if (!runfile_is_time(read.started)) {
        return bad(0, "started is no UTC time like 2026-12-09T13:38:57.123Z");
    }
    if (!read.ended.empty() && (!runfile_is_time(read.ended) || read.ended < read.started)) {
        return bad(1, "ended is no UTC time at or after started");
    }
    std::uint64_t status = 0;
    if (!values[2].empty() && (!runfile_count(values[2], status) || status > 255)) {
        return bad(2, "status is not 0 to 255");
    }
    if (values[2].empty() != read.ended.empty()) {
        return bad(2, "status and ended go together");
    }
    if (!values[2].empty()) {
        read.status = static_cast<int>(status);
    }
    if (!runfile_count(values[4], read.samples) || !runfile_count(values[5], read.polls) ||
        read.samples > read.polls) {
        return bad(4, "samples and polls are no counts, or there are more samples than polls");
    }
    if (values[6] != "yes" && values[6] != "no") {
        return bad(6, "log_replaced is neither yes nor no");
    }
    read.log_replaced = values[6] == "yes";
    std::uint64_t bytes = 0;
    if (!values[7].empty()) {
        if (!runfile_count(values[7], bytes)) {
            return bad(7, "log_bytes is no count");
        }
        read.log_bytes = bytes;
    }
    account = std::move(read);
    return true;
}

RunFileRead runfile_read(const std::string& path, RunAccount& account, std::string& error) {
    std::error_code code;
    const std::filesystem::path file = files_path(path);
    if (!std::filesystem::exists(file, code) && !code) {
        return RunFileRead::missing;
    }
    std::FILE* stream = files_open(path, "rb");
    if (stream == nullptr) {
        error = files_failure(path, errno);
        return RunFileRead::broken;
    }
    // An account is some 250 bytes; anything much larger is no account.
    std::string text;
    std::array<char, 1024> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), stream)) > 0 &&
           text.size() < 64 * 1024) {
        text.append(buffer.data(), got);
    }
    const bool failed = std::ferror(stream) != 0;
    std::fclose(stream);
    if (failed) {
        error = "cannot be read";
        return RunFileRead::broken;
    }
    return runfile_parse(text, account, error) ? RunFileRead::read : RunFileRead::broken;
}
