#include "station/shift/shift.h"

#include "base/files/files.h"
#include "base/text/text.h"
#include "records/archive/archive.h"
#include "records/history/history.h"
#include "records/verify/verify.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The letters the outcomes need, five rows of five columns each.
struct ShiftGlyph {
    char letter;
    std::array<const char*, 5> rows;
};

constexpr std::array<ShiftGlyph, 12> shift_glyphs{{
    {'A', {" ### ", "#   #", "#####", "#   #", "#   #"}},
    {'B', {"#### ", "#   #", "#### ", "#   #", "#### "}},
    {'D', {"#### ", "#   #", "#   #", "#   #", "#### "}},
    {'E', {"#####", "#    ", "#### ", "#    ", "#####"}},
    {'F', {"#####", "#    ", "#### ", "#    ", "#    "}},
    {'I', {"#####", "  #  ", "  #  ", "  #  ", "#####"}},
    {'L', {"#    ", "#    ", "#    ", "#    ", "#####"}},
    {'O', {" ### ", "#   #", "#   #", "#   #", " ### "}},
    {'P', {"#### ", "#   #", "#### ", "#    ", "#    "}},
    {'R', {"#### ", "#   #", "#### ", "#  # ", "#   #"}},
    {'S', {" ####", "#    ", " ### ", "    #", "#### "}},
    {'T', {"#####", "  #  ", "  #  ", "  #  ", "  #  "}},
}};

const ShiftGlyph* shift_glyph(char letter) {
    for (const ShiftGlyph& glyph : shift_glyphs) {
        if (glyph.letter == letter) {
            return &glyph;
        }
    }
    return nullptr;
}

// One whole line of the log: a record's first line gives a sample and its heading.
void shift_progress_line(std::string_view line, ShiftProgress& progress) {
    if (line.substr(0, 5) != "Roll ") {
        return;
    }
    ++progress.samples;
    const std::size_t at = line.find("Heading ");
    if (at == std::string_view::npos) {
        return;
    }
    const std::string value(line.substr(at + 8));
    char* end = nullptr;
    const double heading = std::strtod(value.c_str(), &end);
    if (end == value.c_str() || !std::isfinite(heading)) {
        return;
    }
    if (progress.last_heading) {
        // The short way round: between two polls the table turns a few degrees at most.
        progress.turned_deg += std::remainder(heading - *progress.last_heading, 360.0);
    }
    progress.last_heading = heading;
}

// The file's bytes from `offset` on; false when it cannot be opened or read.
bool shift_read_from(const fs::path& path, std::uintmax_t offset, std::string& text) {
    std::FILE* file = files_open(files_name(path), "rb");
    if (file == nullptr) {
        return false;
    }
    bool ok = offset == 0 || std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
    std::array<char, 16384> buffer{};
    for (std::size_t got = 0;
         ok && (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
        text.append(buffer.data(), got);
    }
    ok = ok && std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

} // namespace

std::string shift_trim(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = line.find_last_not_of(" \t\r\n");
    return std::string(line.substr(first, last - first + 1));
}

std::string shift_refusal(const std::string& serial, const std::regex* pattern,
                          const std::string& pattern_text) {
    if (!archive_valid_serial(serial)) {
        return "not a plain name: 1 to 64 of A-Z a-z 0-9 . _ -, not starting with .";
    }
    if (pattern != nullptr && !std::regex_match(serial, *pattern)) {
        return "does not match --serial-pattern " + pattern_text;
    }
    return {};
}

ShiftRecords shift_records(const fs::path& archive, const std::string& serial) {
    ShiftRecords records;
    std::error_code code;
    const fs::path sensor = archive / serial;
    if (!fs::is_directory(sensor, code)) {
        return records;
    }
    for (fs::directory_iterator it(sensor, code), end; !code && it != end; it.increment(code)) {
        const std::string name = files_name(it->path().filename());
        if (!archive_is_record_name(name)) {
            continue;
        }
        // Checked as every reader checks a record: an altered one counts as no attempt's.
        VerifiedRecord verified;
        HistoryRecord record;
        std::string where;
        std::string error;
        if (!verify_record(it->path(), serial, verified, where, error) ||
            !history_parse_record(verified.document, name, record, error)) {
            ++records.unreadable;
        } else if (record.outcome == "PASS") {
            ++records.passed;
        } else if (record.outcome == "FAIL" || record.outcome == "ERROR") {
            ++records.failed;
        }
    }
    return records;
}

ShiftProgress shift_progress_begin(const fs::path& log) {
    ShiftProgress progress;
    std::error_code code;
    if (fs::is_regular_file(log, code)) {
        progress.before_exists = true;
        progress.before_size = fs::file_size(log, code);
        progress.before_time = fs::last_write_time(log, code);
    }
    return progress;
}

void shift_progress_read(const fs::path& log, ShiftProgress& progress) {
    std::error_code code;
    if (!fs::is_regular_file(log, code)) {
        return;
    }
    const std::uintmax_t size = fs::file_size(log, code);
    if (code) {
        return;
    }
    if (!progress.started) {
        const fs::file_time_type time = fs::last_write_time(log, code);
        if (code || (progress.before_exists && size == progress.before_size &&
                     time == progress.before_time)) {
            return;
        }
        progress.started = true;
    }
    if (size < progress.read) { // cut back, or replaced after all: start over
        progress = ShiftProgress{};
        progress.started = true;
    }
    std::string gained;
    if (!shift_read_from(log, progress.read, gained)) {
        return;
    }
    progress.read += gained.size();
    progress.partial += gained;
    std::size_t start = 0;
    for (std::size_t end = progress.partial.find('\n'); end != std::string::npos;
         end = progress.partial.find('\n', start)) {
        shift_progress_line(std::string_view(progress.partial).substr(start, end - start),
                            progress);
        start = end + 1;
    }
    progress.partial.erase(0, start);
}

std::string shift_progress_text(const ShiftProgress& progress) {
    if (!progress.started) {
        return "starting";
    }
    return text_format("%zu %s, %.1f deg turned", progress.samples,
                       progress.samples == 1 ? "sample" : "samples",
                       std::fabs(progress.turned_deg));
}

std::string shift_big_letters(std::string_view word) {
    std::string text;
    for (std::size_t row = 0; row < 5; ++row) {
        std::string line = "  ";
        for (const char letter : word) {
            const ShiftGlyph* glyph = shift_glyph(letter);
            line += glyph != nullptr ? glyph->rows[row] : "     ";
            line += "  ";
        }
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    return text;
}

void shift_count(ShiftSession& session, Outcome outcome) {
    ++session.swept;
    switch (outcome) {
    case Outcome::pass:
        ++session.passed;
        break;
    case Outcome::fail:
        ++session.failed;
        break;
    case Outcome::aborted:
        ++session.aborted;
        break;
    case Outcome::error:
    case Outcome::none:
        ++session.errors;
        break;
    }
}

std::string shift_session_text(const ShiftSession& session) {
    return text_format("Session: swept %zu, passed %zu, failed %zu, errors %zu, aborted %zu",
                       session.swept, session.passed, session.failed, session.errors,
                       session.aborted);
}

bool shift_use_colour() {
    const char* no_colour = std::getenv("NO_COLOR");
    return shift_is_console() && (no_colour == nullptr || *no_colour == '\0');
}
