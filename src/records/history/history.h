// The sensor archive read back, and what it says about a batch. An archive folder holds one folder
// per sensor serial and in it one folder per sweep (DIR/SERIAL/20261209T101503Z/report.json);
// each record's report.json is read into a HistoryRecord, and whatever is no readable record is
// named in a HistorySkip. On top: the filters, the sensors with their first and latest sweep, and
// per figure over the latest sweep of each sensor n, mean, standard deviation, min, max and the
// process capability against the limits that the records applied (analysis/capability), with the
// first-pass and the final yield.
#pragma once

#include "analysis/capability/capability.h"
#include "records/archive/archive.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One figure's limits as a record's verdict applied them. The guard does not enter the
// capability; the pictures draw it.
struct HistoryLimit {
    std::string figure;
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> max_abs;
    std::optional<double> guard;
};

// A figure of a record: its path in the report's JSON (group.key) and its value, nothing when the
// sweep could not measure it.
using HistoryFigure = std::pair<std::string, std::optional<double>>;

struct HistoryRecord {
    std::string path;           // the record's folder
    std::string name;           // the folder's name, e.g. 20261209T101503Z-2
    std::string serial;         // record.serial
    std::string time;           // record.time, e.g. 2026-12-09T10:15:03Z
    std::int64_t seconds;       // the same in seconds since 1970-01-01T00:00:00Z
    std::optional<bool> passed; // the verdict; nothing when no limits were applied
    std::string limits_name;    // verdict.limits.name; empty without a verdict
    std::vector<HistoryLimit> limits;
    std::vector<HistoryFigure> figures; // every numeric leaf but the verdict's and the record's
};

// What was skipped: a sweep's record that cannot be read (damaged), the scratch folder of a report
// that never finished (unfinished: killed, crashed, a power cut), or anything else (stray).
enum class HistorySkipKind { stray, damaged, unfinished };

struct HistorySkip {
    std::string path;
    std::string reason;
    HistorySkipKind kind = HistorySkipKind::stray;
};

struct HistoryArchive {
    std::vector<HistoryRecord> records; // by serial, then by time (and suffix within a second)
    std::vector<HistorySkip> skipped;   // in the order met
};

// Reads every record under `dir`. Returns false, with the reason in `error`, when `dir` itself
// cannot be read; everything below it that is no readable record is skipped with its reason.
bool history_read(const std::string& dir, HistoryArchive& archive, std::string& error);

// One record from its report.json text; `name` is its folder's name. Returns false with the
// reason in `error`.
bool history_parse_record(const std::string& json, const std::string& name, HistoryRecord& record,
                          std::string& error);

// The -N after a record folder's time (20261209T101503Z-2), which orders the records of one
// second; 1 for none.
unsigned long history_suffix(const std::string& name);

// Sorts records as history_read does: by serial, then time, then suffix (then folder).
void history_sort(std::vector<HistoryRecord>& records);

// The text of a record's report.json (a byte-order mark skipped); false with the reason
// ("no report.json", "cannot read report.json: ...").
bool history_read_file(const std::filesystem::path& path, std::string& text, std::string& error);

// The value of a figure of the record: nullptr when the record has no such figure, else the
// value or nothing when it was not measured.
const std::optional<double>* history_value(const HistoryRecord& record, std::string_view figure);

// Every figure path that the records hold, in the order first met.
std::vector<std::string> history_figure_paths(const std::vector<HistoryRecord>& records);

// A UTC time as 2026-12-09T10:15:03Z or 20261209T101503Z, or a date as 2026-12-09 (then
// `date_only` is set and the time is its midnight), in seconds since 1970. Nothing for any other
// text or a day that does not exist.
std::optional<std::int64_t> history_parse_time(std::string_view text, bool& date_only);

// Whether `text` matches `glob`, in which * stands for any run of characters and ? for one.
bool history_glob_match(std::string_view glob, std::string_view text);

struct HistoryFilter {
    std::string serial_glob;                // empty: every serial
    std::optional<std::int64_t> since;      // records at or after
    std::optional<std::int64_t> until;      // records at or before
    std::optional<std::string> limits_name; // records judged against these limits
};

// Leaves the records that pass the filter.
void history_filter(std::vector<HistoryRecord>& records, const HistoryFilter& filter);

// A sensor: its serial and the indexes of its first and latest record and how many it has.
// `first_in_archive` is false when a time window left out an earlier sweep of it: its first pass
// lies before the window.
struct HistorySensor {
    std::string serial;
    std::size_t first = 0;
    std::size_t latest = 0;
    std::size_t sweeps = 0;
    bool first_in_archive = true;
};

// The sensors of records sorted as history_read sorts them.
std::vector<HistorySensor> history_sensors(const std::vector<HistoryRecord>& records);

// Marks the sensors of `records` whose first sweep is not the first of their serial in
// `unwindowed`, the same records before the time window was applied.
void history_mark_first_sweeps(const std::vector<HistoryRecord>& unwindowed,
                               const std::vector<HistoryRecord>& records,
                               std::vector<HistorySensor>& sensors);

// A figure of the latest sweep of a sensor, as the capability takes it.
struct HistoryPoint {
    std::string serial;
    std::int64_t seconds = 0; // the sweep's time
    double value = 0.0;       // |value| for a figure summarised on its size
};

// The spread of one figure over the latest sweep of each sensor, and its capability. A figure
// whose limit comes down to |x| <= max_abs is summarised on |x|: mean, sd, min, max, the points
// and the capability, against max_abs as the one upper limit.
struct HistoryFigureSummary {
    std::string figure;
    std::size_t n = 0;          // sensors whose latest sweep measured it
    std::size_t unmeasured = 0; // sensors whose latest sweep holds it as not measured
    std::optional<double> mean;
    std::optional<double> sd; // sample standard deviation (n - 1); needs n >= 2
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> lsl; // the limits; max_abs M as -M and +M, or M alone on |x|
    std::optional<double> usl;
    bool absolute = false;            // summarised on |x| against usl = max_abs
    std::optional<double> guard;      // the guard that every latest sweep applied, for the pictures
    bool limits_disagree = false;     // the records applied different limits: no capability
    std::vector<HistoryPoint> points; // the values in the time order of the latest sweeps
    Capability capability;            // of the points; no indices when the limits disagree
};

// Sensors whose first (or latest) sweep passed, of those whose first (latest) sweep has a verdict;
// `unjudged` sensors' sweep has none and counts on neither side, nor do the `before_window`
// sensors, first swept before a time window.
struct HistoryYield {
    std::size_t passed = 0;
    std::size_t judged = 0;
    std::size_t unjudged = 0;
    std::size_t before_window = 0;
};

struct HistorySummary {
    std::size_t sensors = 0;
    std::vector<HistoryFigureSummary> figures;
    HistoryYield first_pass;
    HistoryYield final_pass;
    bool window = false;     // the sweeps were kept by time: the first pass only of sensors in it
    std::size_t damaged = 0; // sweeps whose record could not be read: in no figure, no yield
    std::size_t unfinished = 0; // reports that never finished their record
};

// Counts the damaged and unfinished records among those skipped into the summary.
void history_count_skipped(const std::vector<HistorySkip>& skipped, HistorySummary& summary);

HistorySummary history_summarise(const std::vector<HistoryRecord>& records,
                                 const std::vector<HistorySensor>& sensors,
                                 const std::vector<std::string>& figures);
