// gyro_motor_history's two parts: the views over an archive folder and the command line
// (gyro_motor_history.cpp), and the lab's SQL database, its views and --export
// (gyro_motor_history_database.cpp). What they share.
#pragma once

#include "base/exit/exit_status.h"
#include "records/archive/archive.h"
#include "records/history/history.h"
#include "records/select/select.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

constexpr int history_exit_ok = exit_ok;
constexpr int history_exit_failed = 1;  // archive unreadable or dry, an output failed
constexpr int history_exit_skipped = 3; // records were skipped, the rest listed
constexpr int history_exit_database = exit_database_failed;

constexpr const char* history_name = "gyro_motor_history";

// The figures the sensor and sweep rows show unless --figures names others.
constexpr std::array<const char*, 3> history_key_figures{
    "heading.peak_deviation_deg", "yaw_rate.scale_error_percent", "mag.fit_rms_gauss"};

struct HistoryOptions {
    std::string dir;
    std::string database;  // --database CONNECTION
    std::string export_to; // --export CONNECTION
    bool sweeps = false;
    bool summary = false;
    bool verify = false;
    std::array<std::string, archive_trace_fields.size()> trace; // the filters' globs
    std::vector<std::string> show;
    std::vector<std::string> figures;
    std::string serial;
    std::string since;
    std::string until;
    std::optional<std::string> limits;
    std::string csv;
    std::string json;
    std::string png;
    std::string plot;
    std::string chart = "trend";
    std::string html;
};

// What a view is made of: the records kept (from a folder, all of them; from the database those
// the view needs), their sensors, the figures to show and what was skipped.
struct HistoryView {
    std::vector<HistoryRecord> records;
    std::vector<HistorySensor> sensors;
    std::vector<std::string> figures;
    std::vector<HistorySkip> skipped;
    std::size_t sweeps = 0;
    bool window = false; // kept by time: a sensor's first sweep may lie before the window
};

// "gyro_motor_history: MESSAGE (see --help)" on standard error; the status of bad arguments.
int history_usage_error(const std::string& message);

// The figures --figures and --plot name.
std::vector<std::string> history_asked(const HistoryOptions& options);

void history_print_skipped(const std::vector<HistorySkip>& skipped);

// Serials that differ only in letter case, written before the archive refused a second spelling:
// the view takes them as one sensor's, and says so.
void history_print_spellings(const std::vector<std::vector<std::string>>& spellings);

// Reads the archive folder; a status when the program ends here (with --verify, always but for
// an empty archive).
std::optional<int> history_read_folder(const HistoryOptions& options, HistoryArchive& archive);

// The view from the database that --database names; a status when the program ends here.
std::optional<int> history_from_database(const HistoryOptions& options, const SelectFilter& filter,
                                         HistoryView& view);

// --export: every record of DIR that the history reads, to the database.
int history_export(const HistoryOptions& options);
