// The history written out. Each view of the archive (one row per sensor, one per sweep, one per
// figure of the summary) is first made a HistoryTable, which is then written as an aligned text
// table, as CSV or as JSON, so that the three always hold the same columns.
#pragma once

#include "records/history/history.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// A yes or no: `mark` in the text when set, nothing when not; true or false in CSV and JSON.
struct HistoryFlag {
    bool set = false;
    const char* mark = "*";
};

// A cell: a text, a number or an interval (any may be missing: "-" in the text, empty in CSV, null
// in JSON), a count, or a flag. An interval is low..high in the text, two columns NAME_low and
// NAME_high in CSV, and [low, high] in JSON.
using HistoryCell = std::variant<std::optional<std::string>, std::optional<double>, std::size_t,
                                 HistoryFlag, std::optional<CapabilityInterval>>;

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
// differ), absolute (summarised on |x|), then the capability: sides (both, upper, lower),
// sigma_overall, sigma_within, pp, ppk, ppk_ci95, cp, cpk, cpk_ci95, few and normality_p.
HistoryTable historyout_summary(const HistorySummary& summary);

// A cell as the text table shows it: a missing text or number as "-", numbers to six
// significant digits, intervals to three, a flag as its mark or nothing.
std::string historyout_shown(const HistoryCell& cell);

// One row per yield (first_pass, final): yield, passed, judged, unjudged, errors, aborted,
// before_window and fraction (passed / judged).
HistoryTable historyout_yields(const HistorySummary& summary);

// The columns of the table named, in that order.
HistoryTable historyout_columns(const HistoryTable& table, const std::vector<std::string>& names);

// The table with a header line and columns two blanks apart, numbers to six significant digits,
// intervals to three.
std::string historyout_text(const HistoryTable& table);

// The summary's table (historyout_summary) as text: the spread, then the capability, each figure
// on one row of each, and the notes that the marks and flags call for.
std::string historyout_summary_text(const HistoryTable& table, const HistorySummary& summary);

// The summary's table in the two parts that the text shows: the spread, then the capability.
std::array<HistoryTable, 2> historyout_summary_parts(const HistoryTable& table);

// The notes that the summary's marks and flags call for, one a line (empty: none).
std::string historyout_summary_notes(const HistorySummary& summary);

// The summary's closing lines: the two yields, and the figures whose limits differ.
std::string historyout_yields_text(const HistorySummary& summary);

// The table as CSV: a header line, then the rows; numbers in the shortest form that reads back
// exactly, texts quoted where they must be.
std::string historyout_csv(const HistoryTable& table);

// The summary as CSV: its table, an empty line, and the yields' table.
std::string historyout_summary_csv(const HistoryTable& table, const HistorySummary& summary);

// The table as a JSON object: its rows under the table's name as objects by column, the
// sensor_count and the yields when a summary is given (first_pass_yield, final_yield: passed,
// judged, unjudged, errors, aborted, before_window, yield; and window for the first), its Pareto as
// "pareto": [{"figure", "first", "latest"}] and the names two limits files share as
// "shared_limits_names": [{"name", "sha256": [...]}], and the skipped records as "skipped":
// [{"path", "reason"}].
std::string historyout_json(const HistoryTable& table, const HistorySummary* summary,
                            const std::vector<HistorySkip>& skipped);
