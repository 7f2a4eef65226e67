#include "records/history/history.h"

#include "base/files/files.h"
#include "records/verify/verify.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <tuple>

namespace fs = std::filesystem;

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

// record.outcome where the record has one, else the verdict's. A PASS or FAIL must be what the
// verdict says; an ERROR or ABORTED sweep passed or failed nothing.
bool history_parse_outcome(const Json& about, HistoryRecord& record, std::string& error) {
    const std::string from_verdict = record.passed ? (*record.passed ? "PASS" : "FAIL") : "";
    const auto outcome = about.find("outcome");
    if (outcome == about.end()) {
        record.outcome = from_verdict;
        return true;
    }
    const std::string given = outcome->is_string() ? outcome->get<std::string>() : "";
    const bool agrees = outcome->is_null()
                            ? from_verdict.empty()
                            : outcome->is_string() && !given.empty() &&
                                  (given == from_verdict || given == "ERROR" || given == "ABORTED");
    if (!agrees) {
        error = "record.outcome is not what the verdict says, nor ERROR or ABORTED";
        return false;
    }
    record.outcome = given;
    if (given == "ERROR" || given == "ABORTED") {
        record.passed.reset();
    }
    return true;
}

} // namespace

namespace {

// A text of the record's own facts; nothing when it is absent, null or no text.
std::optional<std::string> history_text(const Json& about, const char* key) {
    const auto found = about.find(key);
    return found != about.end() && found->is_string()
               ? std::optional<std::string>(found->get<std::string>())
               : std::nullopt;
}

} // namespace

bool history_parse_record(const Json& document, const std::string& name, HistoryRecord& record,
                          std::string& error) {
    const Json& about = document["record"];
    const auto time = about.find("time");
    if (time == about.end() || !time->is_string()) {
        error = "no record.time";
        return false;
    }
    bool date_only = false;
    const std::optional<std::int64_t> seconds =
        archive_parse_time(time->get_ref<const std::string&>(), date_only);
    if (!seconds || date_only) {
        error = "record.time is no UTC time like 2026-12-09T10:15:03Z";
        return false;
    }
    const auto serial = about.find("serial");
    if (serial == about.end() || !serial->is_string() ||
        !archive_valid_serial(serial->get_ref<const std::string&>())) {
        error = "no record.serial that is a plain name";
        return false;
    }
    record.name = name;
    record.serial = serial->get<std::string>();
    record.time = time->get<std::string>();
    record.seconds = *seconds;
    record.outcome = history_text(about, "outcome").value_or("");
    record.reason = history_text(about, "reason").value_or("");
    if (const auto sweep = about.find("sweep");
        record.reason.empty() && sweep != about.end() && sweep->is_object()) {
        record.reason = history_text(*sweep, "message").value_or("");
    }
    for (std::size_t k = 0; k < archive_trace_fields.size(); ++k) {
        record.trace[k] = history_text(about, archive_trace_fields[k]);
    }
    const auto verdict = document.find("verdict");
    if (verdict != document.end() && !verdict->is_null() &&
        !history_parse_verdict(*verdict, record, error)) {
        return false;
    }
    if (!history_parse_outcome(about, record, error)) {
        return false;
    }
    history_collect_figures(document, "", record.figures);
    return true;
}

// --- the archive ---------------------------------------------------------------------------

namespace {

// The entries of a folder, sorted by name; false when it cannot be listed.
bool history_list(const fs::path& dir, std::vector<FilesEntry>& entries, std::string& error) {
    const bool listed = files_list(dir, entries, error);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    return listed;
}

// Whether a scratch folder was modified less than history_busy_seconds ago (or as long ahead:
// the clocks of the benches on a share differ a little).
bool history_busy(const fs::path& folder) {
    std::error_code error;
    const fs::file_time_type modified = fs::last_write_time(files_system(folder), error);
    if (error) {
        return false;
    }
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(
                         fs::file_time_type::clock::now() - modified)
                         .count();
    return age < history_busy_seconds && age > -history_busy_seconds;
}

void history_read_sensor(const fs::path& sensor_dir, HistoryArchive& archive) {
    std::vector<FilesEntry> entries;
    std::string error;
    if (!history_list(sensor_dir, entries, error)) {
        archive.skipped.push_back({files_name(sensor_dir), "cannot be read: " + error});
        return;
    }
    const std::string serial = files_name(sensor_dir.filename());
    for (const FilesEntry& entry : entries) {
        const std::string name = files_name(entry.name);
        const std::string path = files_name(sensor_dir / entry.name);
        if (name.starts_with(archive_scratch_prefix)) {
            if (history_busy(sensor_dir / entry.name)) {
                archive.busy.push_back({path, "a record being written now: not read"});
            } else {
                archive.skipped.push_back({path, "left by a crash: not a record"});
            }
            continue;
        }
        if (!archive_is_record_name(name) || !entry.folder) {
            archive.skipped.push_back({path, "not a record (a record is a folder named like "
                                             "20261209T101503Z)"});
            continue;
        }
        VerifiedRecord verified;
        HistoryRecord record;
        std::string where;
        std::string reason;
        if (!verify_record(sensor_dir / entry.name, serial, verified, where, reason)) {
            archive.skipped.push_back({where, reason});
        } else if (!history_parse_record(verified.document, name, record, reason)) {
            archive.skipped.push_back(
                {files_name(sensor_dir / entry.name / "report.json"), reason});
        } else {
            record.path = path;
            record.sealed = verified.sealed;
            record.failed = std::move(verified.failed);
            record.limits_sha256 = std::move(verified.limits_sha256);
            archive.records.push_back(std::move(record));
        }
    }
}

} // namespace

unsigned long history_suffix(const std::string& name) {
    return name.size() > 17 ? std::strtoul(name.c_str() + 17, nullptr, 10) : 1;
}

std::vector<std::vector<std::string>> history_spellings(const std::vector<std::string>& serials) {
    std::map<std::string, std::set<std::string>> spellings;
    for (const std::string& serial : serials) {
        spellings[archive_folded(serial)].insert(serial);
    }
    std::vector<std::vector<std::string>> several;
    for (const auto& [folded, spelled] : spellings) {
        if (spelled.size() > 1) {
            several.emplace_back(spelled.begin(), spelled.end());
        }
    }
    return several;
}

bool history_read(const std::string& dir, HistoryArchive& archive, std::string& error) {
    std::vector<FilesEntry> entries;
    const fs::path archive_dir = files_path(dir);
    if (!history_list(archive_dir, entries, error)) {
        return false;
    }
    std::vector<std::string> serials;
    for (const FilesEntry& entry : entries) {
        const std::string name = files_name(entry.name);
        if (!archive_valid_serial(name) || !entry.folder) {
            archive.skipped.push_back(
                {files_name(archive_dir / entry.name),
                 "not a sensor's folder (named by a serial: 1 to 64 of A-Z a-z 0-9 . _ -)"});
            continue;
        }
        serials.push_back(name);
        history_read_sensor(archive_dir / entry.name, archive);
    }
    history_sort(archive.records);
    // A record written on Windows may sit in a folder of another spelling (sn0042's in SN0042\):
    // its own serial tells.
    for (const HistoryRecord& record : archive.records) {
        serials.push_back(record.serial);
    }
    archive.spellings = history_spellings(serials);
    return true;
}

void history_sort(std::vector<HistoryRecord>& records) {
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return std::make_tuple(archive_folded(a.serial), a.seconds, history_suffix(a.name),
                               std::cref(a.path)) <
               std::make_tuple(archive_folded(b.serial), b.seconds, history_suffix(b.name),
                               std::cref(b.path));
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

std::vector<std::string> history_judged_figures(const std::vector<HistoryRecord>& records) {
    std::vector<std::string> figures;
    for (const HistoryRecord& record : records) {
        for (const HistoryLimit& limit : record.limits) {
            if (std::find(figures.begin(), figures.end(), limit.figure) == figures.end()) {
                figures.push_back(limit.figure);
            }
        }
    }
    return figures;
}

// --- the batch -----------------------------------------------------------------------------

std::string history_limits_shown(const HistoryRecord& record) {
    return record.limits_sha256.empty()
               ? record.limits_name
               : record.limits_name + " (" + record.limits_sha256.substr(0, 8) + ")";
}

std::string history_short_name(const std::string& path, const std::vector<std::string>& paths) {
    const auto last = [](const std::string& text) { return text.substr(text.rfind('.') + 1); };
    const std::string part = last(path);
    const bool shared = std::any_of(paths.begin(), paths.end(), [&](const std::string& other) {
        return other != path && last(other) == part;
    });
    return shared ? path : part;
}

std::vector<HistorySensor> history_sensors(const std::vector<HistoryRecord>& records) {
    std::vector<HistorySensor> sensors;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (sensors.empty() || !archive_same_serial(sensors.back().serial, records[i].serial)) {
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
        // An interrupted or failed sweep's figures are kept to be looked at, not to be counted
        // into a batch's capability: a sensor whose latest sweep is one adds no point.
        if (records[index].outcome == "ERROR" || records[index].outcome == "ABORTED") {
            continue;
        }
        const std::optional<double>* value = history_value(records[index], summary.figure);
        if (value != nullptr && *value) {
            const double shown = summary.absolute ? std::fabs(**value) : **value;
            summary.points.push_back({records[index].serial, records[index].seconds, shown});
        } else if (value != nullptr) {
            ++summary.unmeasured;
        }
    }
}

void history_count_yield(const HistoryRecord& record, HistoryYield& yield) {
    if (record.outcome == "ERROR" || record.outcome == "ABORTED") {
        ++(record.outcome == "ERROR" ? yield.errors : yield.aborted);
        return;
    }
    if (!record.passed) {
        ++yield.unjudged;
        return;
    }
    ++yield.judged;
    yield.passed += *record.passed ? 1u : 0u;
}

} // namespace

std::vector<HistoryParetoRow> history_pareto(const std::vector<HistoryRecord>& records,
                                             const std::vector<HistorySensor>& sensors) {
    std::vector<HistoryParetoRow> rows;
    const auto count = [&rows](const HistoryRecord& record, std::size_t HistoryParetoRow::*side) {
        for (const std::string& figure : record.failed) {
            auto row = std::find_if(rows.begin(), rows.end(),
                                    [&](const HistoryParetoRow& r) { return r.figure == figure; });
            if (row == rows.end()) {
                row = rows.insert(rows.end(), {figure, 0, 0});
            }
            ++(*row.*side);
        }
    };
    for (const HistorySensor& sensor : sensors) {
        count(records[sensor.first], &HistoryParetoRow::first);
        count(records[sensor.latest], &HistoryParetoRow::latest);
    }
    std::sort(rows.begin(), rows.end(), [](const HistoryParetoRow& a, const HistoryParetoRow& b) {
        return std::tie(b.first, b.latest, a.figure) < std::tie(a.first, a.latest, b.figure);
    });
    return rows;
}

std::vector<HistorySharedName> history_shared_names(const std::vector<HistoryRecord>& records) {
    std::vector<HistorySharedName> names;
    for (const HistoryRecord& record : records) {
        if (!record.passed || record.limits_sha256.empty()) {
            continue;
        }
        auto name = std::find_if(names.begin(), names.end(), [&](const HistorySharedName& n) {
            return n.name == record.limits_name;
        });
        if (name == names.end()) {
            name = names.insert(names.end(), {record.limits_name, {}});
        }
        if (std::find(name->sha256.begin(), name->sha256.end(), record.limits_sha256) ==
            name->sha256.end()) {
            name->sha256.push_back(record.limits_sha256);
        }
    }
    std::erase_if(names, [](const HistorySharedName& n) { return n.sha256.size() < 2; });
    for (HistorySharedName& name : names) {
        std::sort(name.sha256.begin(), name.sha256.end());
    }
    std::sort(names.begin(), names.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    return names;
}

HistorySummary history_summarise(const std::vector<HistoryRecord>& records,
                                 const std::vector<HistorySensor>& sensors,
                                 const std::vector<std::string>& figures) {
    HistorySummary summary;
    summary.sensors = sensors.size();
    std::vector<std::size_t> latest;
    for (const HistorySensor& sensor : sensors) {
        if (sensor.first_in_archive) {
            history_count_yield(records[sensor.first], summary.first_pass);
        } else {
            ++summary.first_pass.before_window;
        }
        history_count_yield(records[sensor.latest], summary.final_pass);
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
    summary.pareto = history_pareto(records, sensors);
    summary.shared_names = history_shared_names(records);
    return summary;
}
