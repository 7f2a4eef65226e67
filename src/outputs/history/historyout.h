// The history written out. Each view of the archive (one row per sensor, one per sweep, one per
// figure of the summary) is first made a HistoryTable, which is then written as an aligned text
// table, as CSV or as JSON, so that the three always hold the same columns.
#pragma once

#include "records/history/history.h"

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// A cell: a text or a number (either may be missing: "-" in the text, empty in CSV, null in
// JSON), or a count.
using HistoryCell = std::variant<std::optional<std::string>, std::optional<double>, std::size_t>;

struct HistoryTable {
    std::string name; // what a row is, the JSON's key for the rows: sensors, sweeps, figures
    std::vector<std::string> columns;
    std::vector<std::vector<HistoryCell>> rows;
};

// What the views show of the record's traceability fields: indexes into archive_trace_fields,
// one column each, in the order given.
using HistoryTraceColumns = std::vector<std::size_t>;

// One row per sensor: serial, sweeps, last_time, last_verdict, why (what its latest sweep failed
// on: the failing figures by their short names, or an error's reason), limits (name and short
// digest, marked * when two files carry the name), the traceability columns asked for, and the
// figures of its latest sweep.
HistoryTable historyout_sensors(const std::vector<HistoryRecord>& records,
                                const std::vector<HistorySensor>& sensors,
                                const std::vector<std::string>& figures,
                                const HistoryTraceColumns& trace = {});

// One row per sweep: serial, time, record (its folder's name), verdict, why, limits, checked
// (verified, or unverified for a record older than manifests), the traceability columns and the
// figures.
HistoryTable historyout_sweeps(const std::vector<HistoryRecord>& records,
                               const std::vector<std::string>& figures,
                               const HistoryTraceColumns& trace = {});

// The summary's Pareto of failures: one row per figure (figure, first, latest) as
// HistorySummary::pareto holds them.
HistoryTable historyout_pareto(const HistorySummary& summary);

// A line per limits name that two different files carry: "* two limits files are named rev C:
// 3f2a9c1e, 9d8e7f60"; empty when none is.
std::string historyout_shared_names_text(const std::vector<HistorySharedName>& names);

// One row per figure: figure, n, not_measured, mean, sd, min, max, lsl, usl, limits (agreed or
// differ), index (Cpk, Cpu or Cpl) and capability.
HistoryTable historyout_summary(const HistorySummary& summary);

// A cell as the text table shows it: a missing text or number as "-", numbers to six
// significant digits.
std::string historyout_shown(const HistoryCell& cell);

// The table with a header line and columns two blanks apart, numbers to six significant digits.
std::string historyout_text(const HistoryTable& table);

// The summary's closing lines: the two yields, and the figures whose limits differ.
std::string historyout_yields_text(const HistorySummary& summary);

// The table as CSV: a header line, then the rows; numbers in the shortest form that reads back
// exactly, texts quoted where they must be.
std::string historyout_csv(const HistoryTable& table);

// The table as a JSON object: its rows under the table's name as objects by column, the
// sensor_count and the yields when a summary is given, its Pareto as "pareto": [{"figure",
// "first", "latest"}] and the names two limits files share as "shared_limits_names": [{"name",
// "sha256": [...]}], and the skipped records as "skipped": [{"path", "reason"}].
std::string historyout_json(const HistoryTable& table, const HistorySummary* summary,
                            const std::vector<HistorySkip>& skipped);
