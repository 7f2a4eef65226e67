#include "sweeplog/sweeplog.h"

#include "gnuplot/gnuplot.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>
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

// Appends printf-formatted text of any length (names from the command line can be long).
void sweeplog_append_v(std::string& text, const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    if (length > 0) {
        const std::size_t start = text.size();
        text.resize(start + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data() + start, static_cast<std::size_t>(length) + 1, format, again);
        text.pop_back(); // the terminating zero
    }
    va_end(again);
}

SWEEPLOG_PRINTF_FORMAT(2, 3) void sweeplog_append(std::string& text, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    sweeplog_append_v(text, format, arguments);
    va_end(arguments);
}

} // namespace

std::string sweeplog_text(const char* format, ...) {
    std::string text;
    va_list arguments;
    va_start(arguments, format);
    sweeplog_append_v(text, format, arguments);
    va_end(arguments);
    return text;
}

namespace {

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
                return sweeplog_text("the line ends before the \"%.*s\" field", width,
                                     label.data());
            }
        }
        const std::string_view rest = line.substr(pos);
        if (!rest.starts_with(label) || (rest.size() > label.size() && rest[label.size()] != ' ')) {
            return sweeplog_text("expected \"%.*s\", found %s", width, label.data(),
                                 sweeplog_quote(rest).c_str());
        }
        pos += label.size();
        skip_blanks();
        const std::size_t token_end = std::min(line.find(' ', pos), line.size());
        const std::string_view token = line.substr(pos, token_end - pos);
        if (token.empty()) {
            return sweeplog_text("no value after \"%.*s\"", width, label.data());
        }
        const std::optional<double> value = sweeplog_parse_decimal(token);
        if (!value) {
            return sweeplog_text("the \"%.*s\" value %s is not a decimal number", width,
                                 label.data(), sweeplog_quote(token).c_str());
        }
        values[q] = *value;
        pos = token_end;
    }
    skip_blanks();
    if (pos != line.size()) {
        const std::string_view last =
            sweeplog_quantities[sweeplog_line_starts[index + 1] - 1].label;
        return sweeplog_text("unexpected text after the \"%.*s\" value: %s", sweeplog_width(last),
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
                         sweeplog_text("record cut short after %zu of 5 lines: line %zu starts "
                                       "the next record",
                                       reader.next_line, number));
        reader.next_line = 0;
    }
    if (reader.next_line == 0) {
        if (!sweeplog_starts_record(line.text)) {
            if (!reader.skipping) {
                sweeplog_problem(reader, number,
                                 sweeplog_text("expected the \"Roll\" line of a record, found %s",
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
                         sweeplog_text("record cut short by the end of the file: line %zu has "
                                       "no line end",
                                       number));
        reader.next_line = 0;
        reader.skipping = true;
        return;
    }
    std::optional<std::string> fault;
    if (line.too_long) {
        fault = sweeplog_text("line longer than %zu characters", sweeplog_max_line_length);
    } else {
        fault = sweeplog_parse_line(line.text, reader.next_line, reader.values);
    }
    if (fault) {
        if (reader.next_line != 0 && line.text.empty()) {
            const std::string_view name = sweeplog_line_names[reader.next_line];
            fault = sweeplog_text("expected the \"%.*s\" line, found an empty line",
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
                         sweeplog_text("record cut short by the end of the file after %zu of 5 "
                                       "lines",
                                       reader.next_line));
    }
    return std::ferror(log) == 0;
}

bool sweeplog_load(const char* program, const std::string& path,
                   std::vector<SweepLogSample>& samples, std::vector<SweepLogProblem>& problems) {
    std::FILE* log = std::fopen(path.c_str(), "rb");
    if (log == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", program, path.c_str(),
                     std::strerror(errno));
        return false;
    }
    const bool read_ok = sweeplog_read(log, samples, problems);
    const int read_errno = errno;
    std::fclose(log);
    if (!read_ok) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", program, path.c_str(),
                     std::strerror(read_errno));
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

bool sweeplog_write_csv(std::FILE* csv, std::span<const SweepLogSample> samples,
                        std::span<const double> times) {
    std::fputs("sample", csv);
    for (const SweepLogQuantity& quantity : sweeplog_quantities) {
        std::fprintf(csv, ",%.*s", static_cast<int>(quantity.column.size()),
                     quantity.column.data());
    }
    // Last, so that every other column keeps its place with and without times.
    std::fputs(times.empty() ? "\n" : ",time_s\n", csv);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        std::fprintf(csv, "%zu", samples[k].number);
        for (std::size_t q = 0; q < sweeplog_value_count; ++q) {
            std::fprintf(csv, ",%.*f", sweeplog_quantities[q].decimals, samples[k].values[q]);
        }
        if (k < times.size()) {
            std::fprintf(csv, ",%.4f", times[k]);
        } else if (!times.empty()) {
            std::fputc(',', csv);
        }
        std::fputc('\n', csv);
    }
    return std::ferror(csv) == 0;
}

namespace {

// One stacked panel: its series are quantity indices on the left axis, plus one on the right
// axis (the heading, whose ±180° would flatten roll and pitch on a shared axis).
struct SweepLogPanel {
    const char* title;
    const char* ylabel;
    std::array<int, 3> left; // -1 marks an unused slot
    int right;               // -1 when the panel has no right axis
    const char* right_label;
};

constexpr std::array<SweepLogPanel, 5> sweeplog_panels{{
    {"Angles", "roll, pitch (°)", {0, 1, -1}, 2, "heading (°)"},
    {"Angular rates", "rate (°/s)", {3, 4, 5}, -1, ""},
    {"Accelerations", "acceleration (g)", {6, 7, 8}, -1, ""},
    {"Magnetic field", "field (gauss)", {9, 10, 11}, -1, ""},
    {"Temperature", "temperature (°C)", {12, -1, -1}, -1, ""},
}};

constexpr std::array<const char*, sweeplog_value_count> sweeplog_series_titles{"roll",
                                                                               "pitch",
                                                                               "heading (right)",
                                                                               "X (roll rate)",
                                                                               "Y (pitch rate)",
                                                                               "Z (yaw rate)",
                                                                               "X",
                                                                               "Y",
                                                                               "Z",
                                                                               "X",
                                                                               "Y",
                                                                               "Z",
                                                                               "temperature"};

// Line style per series: X, roll red; Y, pitch green; Z, heading blue; temperature orange.
constexpr std::array<int, sweeplog_value_count> sweeplog_series_styles{1, 2, 3, 1, 2, 3, 1,
                                                                       2, 3, 1, 2, 3, 4};

// The range command for one axis: gnuplot's own for a spread of values, a fixed one around a
// flat series (where gnuplot would warn and pick a range of its own).
std::string sweeplog_range(const char* axis, std::span<const SweepLogSample> samples,
                           std::span<const int> quantities) {
    double low = INFINITY;
    double high = -INFINITY;
    int decimals = 0;
    for (const int q : quantities) {
        if (q < 0) {
            continue;
        }
        const auto index = static_cast<std::size_t>(q);
        decimals = std::max(decimals, sweeplog_quantities[index].decimals);
        for (const SweepLogSample& sample : samples) {
            low = std::min(low, sample.values[index]);
            high = std::max(high, sample.values[index]);
        }
    }
    std::string command;
    if (high - low >= std::pow(10.0, -decimals)) {
        sweeplog_append(command, "set autoscale %s\n", axis);
    } else {
        const double margin = std::max(std::fabs(high) * 0.05, 10 * std::pow(10.0, -decimals));
        sweeplog_append(command, "set %srange [%.9g:%.9g]\n", axis, low - margin, high + margin);
    }
    return command;
}

std::string sweeplog_panels_script(const SweepLogPlot& plot,
                                   std::span<const SweepLogSample> samples) {
    std::string script;
    const std::string title = gnuplot_string(plot.title);
    if (samples.empty()) {
        sweeplog_append(script,
                        "set title %s font ',13'\nunset key\nunset tics\nunset border\n"
                        "set label 1 'no samples in the log' at graph 0.5,0.5 center\n"
                        "plot [0:1][0:1] 2 notitle\nunset label 1\nset border\nset tics\n",
                        title.c_str());
        return script;
    }
    const std::string data = gnuplot_string(plot.csv_path);
    const std::size_t count = samples.size();
    // Fixed margins line the panels up over one shared sample axis.
    constexpr double top = 0.945;
    constexpr double bottom = 0.055;
    constexpr double gap = 0.032;
    constexpr double left = 0.085;
    constexpr double right = 0.78;
    const double height = (top - bottom - gap * (sweeplog_panels.size() - 1)) /
                          static_cast<double>(sweeplog_panels.size());
    sweeplog_append(script, "set multiplot title %s font ',13'\n", title.c_str());
    sweeplog_append(script, "set lmargin at screen %.3f\nset rmargin at screen %.3f\n", left,
                    right);
    // A handful of samples shows its points, half a sample clear of the borders, on whole-number
    // tics; a long sweep draws lines from the first sample to the last.
    const bool points = count < 50;
    if (points) {
        sweeplog_append(script, "set xrange [0.5:%zu.5]\n", count);
    } else {
        sweeplog_append(script, "set xrange [1:%zu]\n", count);
    }
    script += "set grid\nset xtics out\nset mxtics\nset ytics mirror\n";
    script += count <= 10 ? "set xtics 1\n" : "set xtics autofreq\n";
    for (std::size_t p = 0; p < sweeplog_panels.size(); ++p) {
        const SweepLogPanel& panel = sweeplog_panels[p];
        const double panel_top = top - static_cast<double>(p) * (height + gap);
        sweeplog_append(script, "set tmargin at screen %.4f\nset bmargin at screen %.4f\n",
                        panel_top, panel_top - height);
        sweeplog_append(script, "set title %s offset 0,-0.7\nset ylabel %s\n",
                        gnuplot_string(panel.title).c_str(), gnuplot_string(panel.ylabel).c_str());
        sweeplog_append(script, "set key at screen %.3f,%.4f left top Left reverse samplen 2\n",
                        right + 0.065, panel_top);
        if (p + 1 == sweeplog_panels.size()) {
            script += "set format x '%g'\nset xlabel 'sample number'\n";
        } else {
            script += "set format x ''\nunset xlabel\n";
        }
        script += sweeplog_range("y", samples, panel.left);
        if (panel.right >= 0) {
            const auto right_index = static_cast<std::size_t>(panel.right);
            bool within_half_turn = true;
            for (const SweepLogSample& sample : samples) {
                within_half_turn = within_half_turn && std::fabs(sample.values[right_index]) <= 180;
            }
            script += "set ytics nomirror\nset y2tics\n";
            if (within_half_turn) {
                script += "set y2range [-180:180]\nset y2tics 90\n";
            } else {
                const std::array<int, 1> right_only{panel.right};
                script += sweeplog_range("y2", samples, right_only);
            }
            sweeplog_append(script, "set y2label %s\n", gnuplot_string(panel.right_label).c_str());
        }
        if (panel.right >= 0) {
            script += "wrap_last = NaN\n";
        }
        script += "plot";
        const char* separator = " ";
        std::array<int, 4> series{panel.left[0], panel.left[1], panel.left[2], panel.right};
        for (std::size_t s = 0; s < series.size(); ++s) {
            if (series[s] < 0) {
                continue;
            }
            const auto q = static_cast<std::size_t>(series[s]);
            const std::string value = sweeplog_text("$%zu", q + 2);
            // The heading jumps between +180 and -180 as it passes south: break the line there
            // (gnuplot leaves an undefined point out) instead of drawing a stroke across the
            // whole axis.
            const std::string column =
                s == 3 ? sweeplog_text("(wrap_step = %s - wrap_last, wrap_last = %s, "
                                       "abs(wrap_step) > 180 ? 1/0 : %s) axes x1y2",
                                       value.c_str(), value.c_str(), value.c_str())
                       : sweeplog_text("%zu", q + 2);
            sweeplog_append(script, "%s%s skip 1 using 1:%s with ", separator, data.c_str(),
                            column.c_str());
            sweeplog_append(script, "%s linestyle %d%s", points ? "linespoints" : "lines",
                            sweeplog_series_styles[q], points ? " pointtype 7 pointsize 0.5" : "");
            sweeplog_append(script, " title %s", gnuplot_string(sweeplog_series_titles[q]).c_str());
            separator = ", \\\n    ";
        }
        script += "\n";
        if (panel.right >= 0) {
            script += "unset y2tics\nunset y2label\nset ytics mirror\n";
        }
    }
    script += "unset multiplot\n";
    return script;
}

} // namespace

std::string sweeplog_gnuplot_script(const SweepLogPlot& plot,
                                    std::span<const SweepLogSample> samples) {
    for (const std::string* text : {&plot.csv_path, &plot.png_path, &plot.svg_path, &plot.title}) {
        if (text->find_first_of("\r\n") != std::string::npos) {
            return {};
        }
    }
    std::string script = "set encoding utf8\n"
                         "set datafile separator comma\n"
                         "set style line 1 linecolor rgb '#d62728' linewidth 1.5\n"
                         "set style line 2 linecolor rgb '#2ca02c' linewidth 1.5\n"
                         "set style line 3 linecolor rgb '#1f77b4' linewidth 1.5\n"
                         "set style line 4 linecolor rgb '#e07b00' linewidth 1.5\n";
    script += gnuplot_pictures(plot.png_path, plot.svg_path, 1000, 1250,
                               sweeplog_panels_script(plot, samples));
    return script;
}
