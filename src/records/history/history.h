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

#include <nlohmann/json.hpp>

#include <array>
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
    // record.outcome: "PASS", "FAIL", "ERROR" or "ABORTED"; for a record without one, PASS or
    // FAIL from its verdict; empty when neither says (no limits applied). An ERROR or ABORTED
    // record has no `passed`.
    std::string outcome;
    std::string limits_name;   // verdict.limits.name; empty without a verdict
    std::string limits_sha256; // the SHA-256 of the limits file; empty when not known
    std::vector<HistoryLimit> limits;
    std::vector<HistoryFigure> figures; // every numeric leaf but the verdict's and the record's
    bool sealed = false;                // its manifest was checked; false: an older record
    std::vector<std::string> failed;    // what a FAIL failed on (verify.h), figures by path
    std::string reason;                 // why a sweep ended in ERROR or ABORTED, where it says
    // record.operator, .station, .lot and .part (archive_trace_fields); nothing when not kept.
    std::array<std::optional<std::string>, archive_trace_fields.size()> trace;
};

struct HistorySkip {
    std::string path;
    std::string reason;
};

struct HistoryArchive {
    std::vector<HistoryRecord> records; // by serial in any letter case, then by time (and suffix
                                        // within a second)
    std::vector<HistorySkip> skipped;   // in the order met
    std::vector<HistorySkip> busy;      // records being written now (young scratch folders)
    // Each set of spellings of one serial that differ only in letter case, in sensor folders' names
    // or records (SN0042 and sn0042, written before the archive refused the second): taken as one
    // sensor's, and said. Each sorted, by their first.
    std::vector<std::vector<std::string>> spellings;
};

// A scratch folder younger than this (by its modification time) is a record being written by a
// bench on the share now; an older one was left by a crash.
inline constexpr std::int64_t history_busy_seconds = 600;

// Reads every record under `dir`, each checked as verify.h says. Returns false, with the reason
// in `error`, when `dir` itself cannot be read; everything below it that is no readable, whole
// record is skipped with its reason, and a record being written is set apart in `busy`. Serials
// that differ only in letter case are one sensor's (archive_same_serial).
bool history_read(const std::string& dir, HistoryArchive& archive, std::string& error);

// Each set of serials among `serials` that differ only in letter case, each sorted, by their first.
std::vector<std::vector<std::string>> history_spellings(const std::vector<std::string>& serials);

// One record from its report.json, a JSON object with a record object, whose checks passed;
// `name` is its folder's name. Returns false with the reason in `error`.
bool history_parse_record(const nlohmann::ordered_json& document, const std::string& name,
                          HistoryRecord& record, std::string& error);
// Not from the text of report.json: it would be taken as one JSON string, unchecked.
bool history_parse_record(const std::string& text, const std::string& name, HistoryRecord& record,
                          std::string& error) = delete;

// The limits as the views show them: the name and the first 8 digits of the file's SHA-256,
// "rev C (3f2a9c1e)"; the name alone where the digest is not known.
std::string history_limits_shown(const HistoryRecord& record);

// A failing figure's short name: the last part of its path, unless another of `paths` ends
// in the same part.
std::string history_short_name(const std::string& path, const std::vector<std::string>& paths);

// The -N after a record folder's time (20261209T101503Z-2), which orders the records of one
// second; 1 for none.
unsigned long history_suffix(const std::string& name);

// Sorts records as history_read does: by serial in any letter case, then time, then suffix (then
// folder).
void history_sort(std::vector<HistoryRecord>& records);

// The value of a figure of the record: nullptr when the record has no such figure, else the
// value or nothing when it was not measured.
const std::optional<double>* history_value(const HistoryRecord& record, std::string_view figure);

// Every figure path that the records hold, in the order first met.
std::vector<std::string> history_figure_paths(const std::vector<HistoryRecord>& records);

// The figures the records' verdicts judged, in the order first met.
std::vector<std::string> history_judged_figures(const std::vector<HistoryRecord>& records);

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

// The sensors of records sorted as history_read sorts them, each by the serial of its first
// record.
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
// `unjudged` sensors' sweep has none and counts on neither side, nor do those whose sweep's
// outcome is ERROR (`errors`) or ABORTED (`aborted`), nor, for the first pass, the
// `before_window` sensors, first swept before a time window.
struct HistoryYield {
    std::size_t passed = 0;
    std::size_t judged = 0;
    std::size_t unjudged = 0;
    std::size_t errors = 0;
    std::size_t aborted = 0;
    std::size_t before_window = 0;
};

// How many sensors failed on a figure at their first sweep and at their latest.
struct HistoryParetoRow {
    std::string figure;
    std::size_t first = 0;
    std::size_t latest = 0;
};

// One limits name that two or more different files carried, with their digests.
struct HistorySharedName {
    std::string name;
    std::vector<std::string> sha256; // sorted
};

struct HistorySummary {
    std::size_t sensors = 0;
    std::vector<HistoryFigureSummary> figures;
    HistoryYield first_pass;
    HistoryYield final_pass;
    bool window = false; // the sweeps were kept by time: the first pass only of sensors in it
    std::vector<HistoryParetoRow> pareto;        // largest first (history_pareto)
    std::vector<HistorySharedName> shared_names; // history_shared_names
};

// Per figure that a FAIL failed on (and broken_records, broken_times), the sensors that failed
// on it at their first sweep and at their latest: by the first count, then the latest, largest
// first, then by name.
std::vector<HistoryParetoRow> history_pareto(const std::vector<HistoryRecord>& records,
                                             const std::vector<HistorySensor>& sensors);

// The limits names that the records give to more than one file (by SHA-256), by name.
std::vector<HistorySharedName> history_shared_names(const std::vector<HistoryRecord>& records);

HistorySummary history_summarise(const std::vector<HistoryRecord>& records,
                                 const std::vector<HistorySensor>& sensors,
                                 const std::vector<std::string>& figures);
