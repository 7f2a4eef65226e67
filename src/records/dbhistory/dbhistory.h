// The history read back from the database (records/database/): the same records, sensors and
// figures that records/history/ finds in a folder archive, chosen by SQL so that only what a view
// shows leaves the server: the filters, and each sensor's first and latest sweep, are a query's.
#pragma once

#include "records/database/database.h"
#include "records/history/history.h"
#include "records/select/select.h"

#include <cstddef>
#include <string>
#include <vector>

// The records the history shows: those that pass the filter, either every one or only the first
// and the latest of each sensor, with only the figures named (and the limits that the verdicts
// applied to them).
struct DbHistoryQuery {
    SelectFilter filter;
    std::vector<std::string> figures;
    bool every_sweep = false;
};

// The records sorted as history_read sorts them, each sensor with its sweeps counted over every
// sweep that the filter keeps; `sweeps` counts those. With a time window each sensor says whether
// its first sweep in the window is its first in the database (first_in_archive).
struct DbHistory {
    std::vector<HistoryRecord> records;
    std::vector<HistorySensor> sensors;
    std::size_t sweeps = 0;
};

bool dbhistory_read(Database& database, const DbHistoryQuery& query, DbHistory& history,
                    std::string& error);

// Whether the database holds any record.
bool dbhistory_any(Database& database, bool& any, std::string& error);

// The serials of the records that another serial matches but for letter case (SN0042 and sn0042,
// exported from folders written before the archive refused a second spelling).
bool dbhistory_case_twins(Database& database, std::vector<std::string>& serials,
                          std::string& error);

// Whether any record holds the figure.
bool dbhistory_has_figure(Database& database, const std::string& figure, bool& has,
                          std::string& error);

// The figures that the records the filter keeps were judged on (with `judged`), or every figure
// they hold, in the order first met going through them as the history sorts them.
bool dbhistory_figures(Database& database, const SelectFilter& filter, bool judged,
                       std::vector<std::string>& figures, std::string& error);
