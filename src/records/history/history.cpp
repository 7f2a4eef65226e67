#include "records/history/history.h"

#include "base/files/files.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <tuple>

namespace fs = std::filesystem;

// --- times and names -----------------------------------------------------------------------

std::optional<std::int64_t> history_parse_time(std::string_view text, bool& date_only) {
    // The forms taken, 'd' for a digit; their digits read in order are YYYYMMDD[hhmmss].
    static constexpr std::array<std::string_view, 3> forms{"dddd-dd-dd", "dddd-dd-ddTdd:dd:ddZ",
                                                           "ddddddddTddddddZ"};
    for (const std::string_view form : forms) {
        if (text.size() != form.size()) {
            continue;
        }
        std::string digits;
        bool matches = true;
        for (std::size_t i = 0; i < form.size() && matches; ++i) {
            const bool digit = text[i] >= '0' && text[i] <= '9';
            matches = form[i] == 'd' ? digit : text[i] == form[i];
            if (digit) {
                digits += text[i];
            }
        }
        if (!matches) {
            continue;
        }
        date_only = digits.size() == 8;
        digits.resize(14, '0');
        const auto number = [&](std::size_t at, std::size_t count) {
            int value = 0;
            for (std::size_t i = at; i < at + count; ++i) {
                value = value * 10 + (digits[i] - '0');
            }
            return value;
        };
        const int hour = number(8, 2);
        const int minute = number(10, 2);
        const int second = number(12, 2);
        const std::chrono::year_month_day date{
            std::chrono::year{number(0, 4)},
            std::chrono::month{static_cast<unsigned>(number(4, 2))},
            std::chrono::day{static_cast<unsigned>(number(6, 2))}};
        if (!date.ok() || hour > 23 || minute > 59 || second > 59) {
            return std::nullopt;
        }
        const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
        return days * 86400 + hour * 3600 + minute * 60 + second;
    }
    return std::nullopt;
}

bool history_glob_match(std::string_view glob, std::string_view text) {
    // Backtracks to the last * only: enough, since a later * can take whatever an earlier one
    // would have.
    std::size_t g = 0;
    std::size_t t = 0;
    std::optional<std::size_t> star;
    std::size_t star_text = 0;
    while (t < text.size()) {
        if (g < glob.size() && (glob[g] == '?' || glob[g] == text[t])) {
            ++g;
            ++t;
        } else if (g < glob.size() && glob[g] == '*') {
            star = g++;
            star_text = t;
        } else if (star) {
            g = *star + 1;
            t = ++star_text;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == '*') {
        ++g;
    }
    return g == glob.size();
}

// --- one record ----------------------------------------------------------------------------

namespace {

using Json = nlohmann::ordered_json;

// Every number or null below `json`, by its dotted path.
void history_collect_figures(const Json& json, const std::string& prefix,
                             std::vector<HistoryFigure>& figures) {
    for (const auto& [key, value] : json.items()) {
        const std::string path = prefix.empty() ? key : prefix + "." + key;
        if (prefix.empty() && (key == "verdict" || key == "record")) {
            continue;
        }
        if (value.is_number()) {
            figures.emplace_back(path, value.get<double>());
        } else if (value.is_null()) {
            figures.emplace_back(path, std::nullopt);
        } else if (value.is_object()) {
            history_collect_figures(value, path, figures);
        }
    }
}

// A limit's bound: a number, null or absent; false for anything else.
bool history_bound(const Json& limit, const char* key, std::optional<double>& bound) {
    const auto found = limit.find(key);
    if (found == limit.end() || found->is_null()) {
        return true;
    }
    if (!found->is_number()) {
        return false;
    }
    bound = found->get<double>();
    return true;
}

bool history_parse_verdict(const Json& verdict, HistoryRecord& record, std::string& error) {
    const auto result = verdict.find("result");
    if (result == verdict.end() || !result->is_string() ||
        (*result != "PASS" && *result != "FAIL")) {
        error = "verdict.result is neither PASS nor FAIL";
        return false;
    }
    record.passed = *result == "PASS";
    const auto limits = verdict.find("limits");
    if (limits == verdict.end() || !limits->is_object()) {
        error = "no verdict.limits";
        return false;
    }
    const auto name = limits->find("name");
    if (name == limits->end() || !name->is_string()) {
        error = "no verdict.limits.name";
        return false;
    }
    record.limits_name = name->get<std::string>();
    const auto figures = limits->find("figures");
    if (figures == limits->end() || !figures->is_object()) {
        error = "no verdict.limits.figures";
        return false;
    }
    for (const auto& [figure, limit] : figures->items()) {
        HistoryLimit applied{figure, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
        if (!limit.is_object() || !history_bound(limit, "min", applied.min) ||
            !history_bound(limit, "max", applied.max) ||
            !history_bound(limit, "max_abs", applied.max_abs) ||
            !history_bound(limit, "guard", applied.guard)) {
            error = "verdict.limits.figures." + figure + " is no min, max, max_abs and guard";
            return false;
        }
        record.limits.push_back(std::move(applied));
    }
    return true;
}

} // namespace

bool history_parse_record(const std::string& json, const std::string& name, HistoryRecord& record,
                          std::string& error) {
    Json document;
    try {
        document = Json::parse(json);
    } catch (const Json::parse_error& failure) {
        // "[json.exception.parse_error.101] parse error at line 1, ...": the part after the tag.
        const char* what = failure.what();
        const char* message = std::strchr(what, ']');
        error = std::string("not valid JSON: ") + (message != nullptr ? message + 2 : what);
        return false;
    }
    if (!document.is_object()) {
        error = "not a JSON object";
        return false;
    }
    const auto about = document.find("record");
    if (about == document.end() || !about->is_object()) {
        error = "no record (not an archived report)";
        return false;
    }
    const auto time = about->find("time");
    if (time == about->end() || !time->is_string()) {
        error = "no record.time";
        return false;
    }
    bool date_only = false;
    const std::optional<std::int64_t> seconds =
        history_parse_time(time->get_ref<const std::string&>(), date_only);
    if (!seconds || date_only) {
        error = "record.time is no UTC time like 2026-12-09T10:15:03Z";
        return false;
    }
    const auto serial = about->find("serial");
    if (serial == about->end() || !serial->is_string() ||
        !archive_valid_serial(serial->get_ref<const std::string&>())) {
        error = "no record.serial that is a plain name";
        return false;
    }
    record.name = name;
    record.serial = serial->get<std::string>();
    record.time = time->get<std::string>();
    record.seconds = *seconds;
    const auto verdict = document.find("verdict");
    if (verdict != document.end() && !verdict->is_null()) {
        if (!verdict->is_object()) {
            error = "verdict is neither an object nor null";
            return false;
        }
        if (!history_parse_verdict(*verdict, record, error)) {
            return false;
        }
    }
    history_collect_figures(document, "", record.figures);
    return true;
}

// --- the archive ---------------------------------------------------------------------------

namespace {

// The entries of a folder, sorted by name; false when it cannot be listed.
bool history_list(const fs::path& dir, std::vector<fs::directory_entry>& entries,
                  std::error_code& error) {
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(*it);
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename() < b.path().filename();
    });
    return !error;
}

void history_read_sensor(const fs::path& sensor_dir, HistoryArchive& archive) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    if (!history_list(sensor_dir, entries, error)) {
        archive.skipped.push_back({files_name(sensor_dir), "cannot be read: " + error.message()});
        return;
    }
    for (const fs::directory_entry& entry : entries) {
        const std::string name = files_name(entry.path().filename());
        const std::string path = files_name(entry.path());
        if (name.starts_with(archive_scratch_prefix)) {
            archive.skipped.push_back({path,
                                       "a record being written, or left by a crash: not a record",
                                       HistorySkipKind::unfinished});
            continue;
        }
        if (!archive_is_record_name(name) || !entry.is_directory(error)) {
            archive.skipped.push_back({path, "not a record (a record is a folder named like "
                                             "20261209T101503Z)"});
            continue;
        }
        HistoryRecord record;
        std::string text;
        std::string reason;
        const fs::path json = entry.path() / "report.json";
        if (!history_read_file(json, text, reason)) {
            archive.skipped.push_back({path, reason, HistorySkipKind::damaged});
        } else if (!history_parse_record(text, name, record, reason)) {
            archive.skipped.push_back({files_name(json), reason, HistorySkipKind::damaged});
        } else {
            record.path = path;
            archive.records.push_back(std::move(record));
        }
    }
}

} // namespace

bool history_read_file(const fs::path& path, std::string& text, std::string& error) {
    std::FILE* file = files_open(files_name(path), "rb");
    if (file == nullptr) {
        error = errno == ENOENT ? "no report.json"
                                : std::string("cannot read report.json: ") + std::strerror(errno);
        return false;
    }
    files_skip_bom(file);
    std::array<char, 65536> buffer;
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        text.append(buffer.data(), got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = "cannot read report.json";
    }
    return !failed;
}

unsigned long history_suffix(const std::string& name) {
    return name.size() > 17 ? std::strtoul(name.c_str() + 17, nullptr, 10) : 1;
}

bool history_read(const std::string& dir, HistoryArchive& archive, std::string& error) {
    std::vector<fs::directory_entry> entries;
    std::error_code list_error;
    if (!history_list(files_path(dir), entries, list_error)) {
        error = list_error.message();
        return false;
    }
    for (const fs::directory_entry& entry : entries) {
        const std::string name = files_name(entry.path().filename());
        std::error_code kind_error;
        if (!archive_valid_serial(name) || !entry.is_directory(kind_error)) {
            archive.skipped.push_back(
                {files_name(entry.path()),
                 "not a sensor's folder (named by a serial: 1 to 64 of A-Z a-z 0-9 . _ -)"});
            continue;
        }
        history_read_sensor(entry.path(), archive);
    }
    history_sort(archive.records);
    return true;
}

void history_sort(std::vector<HistoryRecord>& records) {
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return std::forward_as_tuple(a.serial, a.seconds, history_suffix(a.name), a.path) <
               std::forward_as_tuple(b.serial, b.seconds, history_suffix(b.name), b.path);
    });
}

const std::optional<double>* history_value(const HistoryRecord& record, std::string_view figure) {
    for (const HistoryFigure& entry : record.figures) {
        if (entry.first == figure) {
            return &entry.second;
        }
    }
    return nullptr;
}

std::vector<std::string> history_figure_paths(const std::vector<HistoryRecord>& records) {
    std::vector<std::string> paths;
    for (const HistoryRecord& record : records) {
        for (const HistoryFigure& entry : record.figures) {
            if (std::find(paths.begin(), paths.end(), entry.first) == paths.end()) {
                paths.push_back(entry.first);
            }
        }
    }
    return paths;
}

// --- the batch -----------------------------------------------------------------------------

void history_filter(std::vector<HistoryRecord>& records, const HistoryFilter& filter) {
    std::erase_if(records, [&](const HistoryRecord& record) {
        return (!filter.serial_glob.empty() &&
                !history_glob_match(filter.serial_glob, record.serial)) ||
               (filter.since && record.seconds < *filter.since) ||
               (filter.until && record.seconds > *filter.until) ||
               (filter.limits_name &&
                (!record.passed || record.limits_name != *filter.limits_name));
    });
}

std::vector<HistorySensor> history_sensors(const std::vector<HistoryRecord>& records) {
    std::vector<HistorySensor> sensors;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (sensors.empty() || sensors.back().serial != records[i].serial) {
            sensors.push_back({records[i].serial, i, i, 0});
        }
        sensors.back().latest = i;
        ++sensors.back().sweeps;
    }
    return sensors;
}

void history_mark_first_sweeps(const std::vector<HistoryRecord>& unwindowed,
                               const std::vector<HistoryRecord>& records,
                               std::vector<HistorySensor>& sensors) {
    for (HistorySensor& sensor : sensors) {
        // Both are sorted by serial first: the serial's first record is where its run begins.
        const auto first =
            std::lower_bound(unwindowed.begin(), unwindowed.end(), sensor.serial,
                             [](const HistoryRecord& record, const std::string& serial) {
                                 return record.serial < serial;
                             });
        const HistoryRecord& kept = records[sensor.first];
        sensor.first_in_archive = first == unwindowed.end() || first->serial != sensor.serial ||
                                  (first->seconds == kept.seconds && first->name == kept.name);
    }
}

namespace {

// The limits that every latest sweep judged against them applied to the figure; a record whose
// limits leave the figure out has no say. A guard only when they all applied the same.
void history_figure_limits(const std::vector<HistoryRecord>& records,
                           const std::vector<HistorySensor>& sensors,
                           HistoryFigureSummary& summary) {
    std::optional<HistoryLimit> agreed;
    bool guards_agree = true;
    for (const HistorySensor& sensor : sensors) {
        for (const HistoryLimit& limit : records[sensor.latest].limits) {
            if (limit.figure != summary.figure) {
                continue;
            }
            if (agreed && std::tie(agreed->min, agreed->max, agreed->max_abs) !=
                              std::tie(limit.min, limit.max, limit.max_abs)) {
                summary.limits_disagree = true;
                return;
            }
            guards_agree = guards_agree && (!agreed || agreed->guard == limit.guard);
            agreed = limit;
        }
    }
    if (!agreed) {
        return;
    }
    summary.guard = guards_agree ? agreed->guard : std::nullopt;
    const std::optional<double> m = agreed->max_abs;
    // |x| <= M, unless min or max cut into it: then the signed range that is left.
    if (m && (!agreed->min || *agreed->min <= -*m) && (!agreed->max || *agreed->max >= *m)) {
        summary.absolute = true;
        summary.usl = m;
        return;
    }
    summary.lsl = agreed->min;
    summary.usl = agreed->max;
    if (m) {
        summary.lsl = std::max(summary.lsl.value_or(-*m), -*m);
        summary.usl = std::min(summary.usl.value_or(*m), *m);
    }
}

// The figure of the latest sweep of each sensor, in the order the sweeps were made.
void history_figure_points(const std::vector<HistoryRecord>& records,
                           const std::vector<std::size_t>& latest, HistoryFigureSummary& summary) {
    for (const std::size_t index : latest) {
        const std::optional<double>* value = history_value(records[index], summary.figure);
        if (value != nullptr && *value) {
            const double shown = summary.absolute ? std::fabs(**value) : **value;
            summary.points.push_back({records[index].serial, records[index].seconds, shown});
        } else if (value != nullptr) {
            ++summary.unmeasured;
        }
    }
}

void history_count_yield(const std::optional<bool>& passed, HistoryYield& yield) {
    if (!passed) {
        ++yield.unjudged;
        return;
    }
    ++yield.judged;
    yield.passed += *passed ? 1u : 0u;
}

} // namespace

HistorySummary history_summarise(const std::vector<HistoryRecord>& records,
                                 const std::vector<HistorySensor>& sensors,
                                 const std::vector<std::string>& figures) {
    HistorySummary summary;
    summary.sensors = sensors.size();
    std::vector<std::size_t> latest;
    for (const HistorySensor& sensor : sensors) {
        if (sensor.first_in_archive) {
            history_count_yield(records[sensor.first].passed, summary.first_pass);
        } else {
            ++summary.first_pass.before_window;
        }
        history_count_yield(records[sensor.latest].passed, summary.final_pass);
        latest.push_back(sensor.latest);
    }
    // The moving ranges run over the sensors in the order they were made: by the latest sweep's
    // time, then the record's suffix, then the serial.
    std::stable_sort(latest.begin(), latest.end(), [&](std::size_t a, std::size_t b) {
        return std::forward_as_tuple(records[a].seconds, history_suffix(records[a].name),
                                     records[a].serial) <
               std::forward_as_tuple(records[b].seconds, history_suffix(records[b].name),
                                     records[b].serial);
    });
    for (const std::string& figure : figures) {
        HistoryFigureSummary row;
        row.figure = figure;
        history_figure_limits(records, sensors, row);
        history_figure_points(records, latest, row);
        std::vector<double> values;
        for (const HistoryPoint& point : row.points) {
            values.push_back(point.value);
        }
        row.n = values.size();
        row.capability = capability_of(values, row.lsl, row.usl);
        row.mean = row.capability.mean;
        row.sd = row.capability.sigma_overall;
        if (!values.empty()) {
            row.min = *std::min_element(values.begin(), values.end());
            row.max = *std::max_element(values.begin(), values.end());
        }
        summary.figures.push_back(std::move(row));
    }
    return summary;
}

void history_count_skipped(const std::vector<HistorySkip>& skipped, HistorySummary& summary) {
    for (const HistorySkip& skip : skipped) {
        summary.damaged += skip.kind == HistorySkipKind::damaged ? 1 : 0;
        summary.unfinished += skip.kind == HistorySkipKind::unfinished ? 1 : 0;
    }
}
