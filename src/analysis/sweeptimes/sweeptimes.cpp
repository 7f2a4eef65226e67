#include "analysis/sweeptimes/sweeptimes.h"

#include "base/files/files.h"
#include "base/text/text.h"

#include <cerrno>
#include <string_view>

namespace {

// No time line comes near this; a file of another kind must not make one line eat the memory.
constexpr std::size_t sweeptimes_max_line_length = 64;

} // namespace

std::string sweeptimes_path(const std::string& log_path) {
    // ".TXT" on Windows too, where names ignore the letter case.
    constexpr std::string_view extension = ".txt";
    if (log_path.size() >= extension.size() &&
        files_same_name(files_path(log_path.substr(log_path.size() - extension.size())),
                        files_path(extension))) {
        return log_path.substr(0, log_path.size() - extension.size()) + "_times.txt";
    }
    return log_path + "_times.txt";
}

bool sweeptimes_read(std::FILE* file, std::vector<double>& times,
                     std::optional<SweepLogProblem>& problem) {
    std::string line;
    std::size_t number = 0;
    bool too_long = false;
    for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
        if (c != '\n') {
            too_long = too_long || line.size() == sweeptimes_max_line_length;
            if (!too_long) {
                line.push_back(static_cast<char>(c));
            }
            continue;
        }
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::optional<double> time = too_long ? std::nullopt : sweeplog_parse_decimal(line);
        if (!time) {
            problem = {number, "expected a time in seconds, found " + sweeplog_quote_line(line)};
            return true;
        }
        if (!times.empty() && !(*time > times.back())) {
            problem = {number, text_format("the time %.4f s is not later than the one before "
                                           "(%.4f s)",
                                           *time, times.back())};
            return true;
        }
        times.push_back(*time);
        line.clear();
    }
    return std::ferror(file) == 0;
}

std::vector<double> sweeptimes_match(std::span<const SweepLogSample> samples,
                                     std::span<const double> times,
                                     std::optional<SweepLogProblem>& problem) {
    const auto record_of = [](const SweepLogSample& sample) {
        return (sample.line - 1) / sweeplog_lines_per_record;
    };
    // Times go by position, so every record must start where a log of whole five-line records
    // has one: past a record that lost or gained lines, the positions tell nothing.
    for (const SweepLogSample& sample : samples) {
        if ((sample.line - 1) % sweeplog_lines_per_record != 0) {
            problem = {record_of(sample) + 1,
                       text_format("the log's record at line %zu is out of step with its "
                                   "five-line records (one before it lost or gained lines): the "
                                   "times cannot be matched",
                                   sample.line)};
            return {};
        }
    }
    const std::size_t records = samples.empty() ? 0 : record_of(samples.back()) + 1;
    if (times.size() + 1 < records || times.size() > records + 1) {
        const std::size_t line = times.size() < records ? times.size() + 1 : records + 2;
        problem = {line, text_format("%zu times for the log's %zu records: not its times",
                                     times.size(), records)};
        return {};
    }
    std::vector<double> matched;
    for (const SweepLogSample& sample : samples) {
        if (record_of(sample) >= times.size()) {
            break;
        }
        matched.push_back(times[record_of(sample)]);
    }
    return matched;
}

bool sweeptimes_load(const char* program, const std::string& path, bool named,
                     std::span<const SweepLogSample> samples, std::vector<double>& sample_times) {
    sample_times.clear();
    std::FILE* file = files_open(path, "rb");
    if (file == nullptr) {
        const int error = errno;
        if (error == ENOENT && !named) {
            return true;
        }
        std::fprintf(stderr, "%s: cannot open %s: %s\n", program, path.c_str(),
                     files_failure(path, error).c_str());
        return false;
    }
    files_skip_bom(file);
    std::vector<double> times;
    std::optional<SweepLogProblem> problem;
    const bool read_ok = sweeptimes_read(file, times, problem);
    const int read_errno = errno;
    std::fclose(file);
    if (!read_ok) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", program, path.c_str(),
                     files_failure(path, read_errno).c_str());
        return false;
    }
    if (!problem) {
        sample_times = sweeptimes_match(samples, times, problem);
    }
    if (problem) {
        sweeplog_print_problems(stderr, path, std::span(&*problem, 1));
        return false;
    }
    return true;
}
