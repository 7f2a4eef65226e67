#include "analysis/sweeplog/sweeplog.h"

#include "base/files/files.h"
#include "base/text/text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

namespace {

// Longer lines are kept only this far: no record line comes near it, and a file that is not a
// sample log must not make one line eat the memory.
constexpr std::size_t sweeplog_max_line_length = 4096;
// How much of a line a message quotes.
constexpr std::size_t sweeplog_quote_length = 24;

constexpr std::array<std::string_view, sweeplog_lines_per_record> sweeplog_line_names{
    "Roll", "X Roll Rate", "X Accel", "X Mag", "Temp"};

// A label for %.*s.
int sweeplog_width(std::string_view text) {
    return static_cast<int>(text.size());
}

struct SweepLogLine {
    std::string text;   // without its line end
    bool ended = false; // a line end followed it (a last line without one was cut off)
    bool too_long = false;
};

// Reads one line; false at the end of the stream with nothing read.
bool sweeplog_read_line(std::FILE* log, SweepLogLine& line) {
    line.text.clear();
    line.ended = false;
    line.too_long = false;
    int c = 0;
    bool any = false;
    while ((c = std::getc(log)) != EOF) {
        any = true;
        if (c == '\n') {
            line.ended = true;
            break;
        }
        if (line.text.size() < sweeplog_max_line_length) {
            line.text.push_back(static_cast<char>(c));
        } else {
            line.too_long = true;
        }
    }
    // CR LF reads as LF; a carriage return anywhere else is left for the checks to reject.
    if (line.ended && !line.too_long && !line.text.empty() && line.text.back() == '\r') {
        line.text.pop_back();
    }
    return any;
}

// The text a message shows of what was found: quoted, shortened, control bytes made harmless.
std::string sweeplog_quote(std::string_view found) {
    if (found.empty()) {
        return "the end of the line";
    }
    std::string quoted = "\"";
    for (const char c : found.substr(0, sweeplog_quote_length)) {
        const auto byte = static_cast<unsigned char>(c);
        quoted.push_back(byte >= 0x20 && byte < 0x7F ? c : '?');
    }
    quoted += found.size() > sweeplog_quote_length ? "...\"" : "\"";
    return quoted;
}

} // namespace

std::string sweeplog_quote_line(std::string_view line) {
    return line.empty() ? std::string("an empty line") : sweeplog_quote(line);
}

std::optional<double> sweeplog_parse_decimal(std::string_view token) {
    std::size_t i = 0;
    if (i < token.size() && token[i] == '-') {
        ++i;
    }
    const auto digits = [&] {
        const std::size_t start = i;
        while (i < token.size() && token[i] >= '0' && token[i] <= '9') {
            ++i;
        }
        return i > start;
    };
    if (!digits()) {
        return std::nullopt;
    }
    if (i < token.size() && token[i] == '.') {
        ++i;
        if (!digits()) {
            return std::nullopt;
        }
    }
    if (i != token.size()) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, error] =
        std::from_chars(token.data(), token.data() + token.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != token.data() + token.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

namespace {

// Checks line `index` (0-4) of a record and stores its values; returns what was wrong, or
// nothing when the line is good.
std::optional<std::string> sweeplog_parse_line(std::string_view line, std::size_t index,
                                               std::array<double, sweeplog_value_count>& values) {
    std::size_t pos = 0;
    const auto skip_blanks = [&] {
        while (pos < line.size() && line[pos] == ' ') {
            ++pos;
        }
    };
    for (std::size_t q = sweeplog_line_starts[index]; q < sweeplog_line_starts[index + 1]; ++q) {
        const std::string_view label = sweeplog_quantities[q].label;
        const int width = sweeplog_width(label);
        if (q != sweeplog_line_starts[index]) {
            skip_blanks();
            if (pos == line.size()) {
                return text_format("the line ends before the \"%.*s\" field", width, label.data());
            }
        }
        const std::string_view rest = line.substr(pos);
        if (!rest.starts_with(label) || (rest.size() > label.size() && rest[label.size()] != ' ')) {
            return text_format("expected \"%.*s\", found %s", width, label.data(),
                               sweeplog_quote(rest).c_str());
        }
        pos += label.size();
        skip_blanks();
        const std::size_t token_end = std::min(line.find(' ', pos), line.size());
        const std::string_view token = line.substr(pos, token_end - pos);
        if (token.empty()) {
            return text_format("no value after \"%.*s\"", width, label.data());
        }
        const std::optional<double> value = sweeplog_parse_decimal(token);
        if (!value) {
            return text_format("the \"%.*s\" value %s is not a decimal number", width, label.data(),
                               sweeplog_quote(token).c_str());
        }
        values[q] = *value;
        pos = token_end;
    }
    skip_blanks();
    if (pos != line.size()) {
        const std::string_view last =
            sweeplog_quantities[sweeplog_line_starts[index + 1] - 1].label;
        return text_format("unexpected text after the \"%.*s\" value: %s", sweeplog_width(last),
                           last.data(), sweeplog_quote(line.substr(pos)).c_str());
    }
    return std::nullopt;
}

bool sweeplog_starts_record(std::string_view line) {
    const std::string_view label = sweeplog_quantities[0].label;
    return line.starts_with(label) && (line.size() == label.size() || line[label.size()] == ' ');
}

// The reader's progress through the file.
struct SweepLogReader {
    std::vector<SweepLogSample>* samples = nullptr;
    std::vector<SweepLogProblem>* problems = nullptr;
    std::size_t next_line = 0;   // which line of a record comes next, 0 when none is open
    std::size_t record_line = 0; // the file line the open record started on
    bool skipping = false;       // inside a stretch already reported, until the next record
    std::array<double, sweeplog_value_count> values{};
};

void sweeplog_problem(SweepLogReader& reader, std::size_t line, std::string message) {
    reader.problems->push_back({line, std::move(message)});
}

void sweeplog_take_line(SweepLogReader& reader, const SweepLogLine& line, std::size_t number) {
    // Every cut-off record is reported at its first line, so the message points at the record.
    if (reader.next_line != 0 && sweeplog_starts_record(line.text)) {
        sweeplog_problem(reader, reader.record_line,
                         text_format("record cut short after %zu of 5 lines: line %zu starts "
                                     "the next record",
                                     reader.next_line, number));
        reader.next_line = 0;
    }
    if (reader.next_line == 0) {
        if (!sweeplog_starts_record(line.text)) {
            if (!reader.skipping) {
                sweeplog_problem(reader, number,
                                 text_format("expected the \"Roll\" line of a record, found %s",
                                             sweeplog_quote_line(line.text).c_str()));
                reader.skipping = true;
            }
            return;
        }
        reader.skipping = false;
        reader.record_line = number;
    }
    if (!line.ended) {
        sweeplog_problem(reader, reader.record_line,
                         text_format("record cut short by the end of the file: line %zu has "
                                     "no line end",
                                     number));
        reader.next_line = 0;
        reader.skipping = true;
        return;
    }
    std::optional<std::string> fault;
    if (line.too_long) {
        fault = text_format("line longer than %zu characters", sweeplog_max_line_length);
    } else {
        fault = sweeplog_parse_line(line.text, reader.next_line, reader.values);
    }
    if (fault) {
        if (reader.next_line != 0 && line.text.empty()) {
            const std::string_view name = sweeplog_line_names[reader.next_line];
            fault = text_format("expected the \"%.*s\" line, found an empty line",
                                sweeplog_width(name), name.data());
        }
        sweeplog_problem(reader, number, *fault);
        reader.next_line = 0;
        reader.skipping = true;
        return;
    }
    if (++reader.next_line == sweeplog_lines_per_record) {
        reader.samples->push_back({.number = reader.samples->size() + 1,
                                   .line = reader.record_line,
                                   .values = reader.values});
        reader.next_line = 0;
    }
}

} // namespace

bool sweeplog_read(std::FILE* log, std::vector<SweepLogSample>& samples,
                   std::vector<SweepLogProblem>& problems) {
    SweepLogReader reader{.samples = &samples, .problems = &problems};
    SweepLogLine line;
    std::size_t number = 0;
    while (sweeplog_read_line(log, line)) {
        sweeplog_take_line(reader, line, ++number);
    }
    if (reader.next_line != 0) {
        sweeplog_problem(reader, reader.record_line,
                         text_format("record cut short by the end of the file after %zu of 5 "
                                     "lines",
                                     reader.next_line));
    }
    return std::ferror(log) == 0;
}

bool sweeplog_load(const char* program, const std::string& path,
                   std::vector<SweepLogSample>& samples, std::vector<SweepLogProblem>& problems) {
    std::FILE* log = files_open(path, "rb");
    if (log == nullptr) {
        const int error = errno;
        std::fprintf(stderr, "%s: cannot open %s: %s\n", program, path.c_str(),
                     files_failure(path, error).c_str());
        return false;
    }
    files_skip_bom(log); // a log has none, but a reader of text takes it as every reader does
    const bool read_ok = sweeplog_read(log, samples, problems);
    const int read_errno = errno;
    std::fclose(log);
    if (!read_ok) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", program, path.c_str(),
                     files_failure(path, read_errno).c_str());
        return false;
    }
    if (samples.empty()) {
        // An empty file, or one of another kind: one line says so, not a list of every line
        // that failed to be a record.
        std::fprintf(stderr, "%s: %s: not a sample log: no good record in it\n", program,
                     path.c_str());
        return false;
    }
    return true;
}

void sweeplog_print_problems(std::FILE* out, const std::string& log_name,
                             std::span<const SweepLogProblem> problems) {
    constexpr std::size_t max_listed = 20;
    for (std::size_t i = 0; i < problems.size() && i < max_listed; ++i) {
        std::fprintf(out, "%s:%zu: %s\n", log_name.c_str(), problems[i].line,
                     problems[i].message.c_str());
    }
    if (problems.size() > max_listed) {
        std::fprintf(out, "%s: %zu more problems not listed\n", log_name.c_str(),
                     problems.size() - max_listed);
    }
}
