#include "programs/gyro_motor_history.h"

#include "records/database/database.h"
#include "records/dbhistory/dbhistory.h"

#include <chrono>
#include <cstdio>

namespace {

// Records written to the database in one transaction by --export.
constexpr std::size_t history_export_batch = 250;

int history_database_error(const std::string& error) {
    std::fprintf(stderr, "%s: the database: %s\n", history_name, error.c_str());
    return history_exit_database;
}

} // namespace

// The same view from the database: the figures are chosen as from a folder, and only the records
// that the view shows are read (each sensor's first and latest sweep, unless it lists every sweep
// or draws them).
std::optional<int> history_from_database(const HistoryOptions& options, const SelectFilter& filter,
                                         HistoryView& view) {
    Database database;
    std::string error;
    bool any = false;
    if (!database_open(options.database, database, error) || !dbhistory_any(database, any, error)) {
        return history_database_error(error);
    }
    if (!any) {
        std::fprintf(stderr, "%s: the database holds no record\n", history_name);
        return history_exit_failed;
    }
    std::vector<std::string> twins;
    if (!dbhistory_case_twins(database, twins, error)) {
        return history_database_error(error);
    }
    history_print_spellings(history_spellings(twins));
    for (const std::string& figure : history_asked(options)) {
        bool has = false;
        if (!dbhistory_has_figure(database, figure, has, error)) {
            return history_database_error(error);
        }
        if (!has) {
            return history_usage_error("no record has the figure " + figure);
        }
    }
    DbHistoryQuery query;
    query.filter = filter;
    view.window = filter.since || filter.until;
    view.figures = options.figures;
    if (view.figures.empty() && options.summary) {
        if (!dbhistory_figures(database, query.filter, true, view.figures, error) ||
            (view.figures.empty() &&
             !dbhistory_figures(database, query.filter, false, view.figures, error))) {
            return history_database_error(error);
        }
    } else if (view.figures.empty()) {
        for (const char* figure : history_key_figures) {
            bool has = false;
            if (!dbhistory_has_figure(database, figure, has, error)) {
                return history_database_error(error);
            }
            if (has) {
                view.figures.emplace_back(figure);
            }
        }
    }
    query.figures = view.figures;
    query.every_sweep = options.sweeps || !options.png.empty();
    if (!options.png.empty()) {
        query.figures.insert(query.figures.end(), {options.plot, "temperature.mean_c"});
    }
    DbHistory history;
    if (!dbhistory_read(database, query, history, error)) {
        return history_database_error(error);
    }
    if (history.records.empty()) {
        std::fprintf(stderr, "%s: no record in the database matches the filters\n", history_name);
        return history_exit_failed;
    }
    view.records = std::move(history.records);
    view.sensors = std::move(history.sensors);
    view.sweeps = history.sweeps;
    return std::nullopt;
}

int history_export(const HistoryOptions& options) {
    HistoryArchive archive;
    if (const std::optional<int> status = history_read_folder(options, archive)) {
        return *status;
    }
    Database database;
    std::string error;
    if (!database_open(options.export_to, database, error)) {
        return history_database_error(error);
    }
    // A long export says how far it is, every few seconds.
    auto said = std::chrono::steady_clock::now();
    const auto progress = [&](std::size_t done, std::size_t total) {
        const auto now = std::chrono::steady_clock::now();
        if (done < total && now - said >= std::chrono::seconds(2)) {
            std::fprintf(stderr, "%s: %zu of %zu records gone through\n", history_name, done,
                         total);
            said = now;
        }
    };
    std::size_t added = 0;
    std::size_t present = 0;
    std::vector<HistorySkip> refused;
    const bool exported = database_export(database, archive, history_export_batch, progress, added,
                                          present, refused, error);
    history_print_skipped(refused);
    if (!exported) {
        std::fprintf(stderr, "%s: the export stopped: %s\n", history_name, error.c_str());
        std::fprintf(stderr, "%s: the records written are kept; run it again for the rest\n",
                     history_name);
        return history_exit_database;
    }
    const std::size_t skipped = archive.skipped.size() + refused.size();
    std::printf("exported %zu %s to the database (%zu there already)", added,
                added == 1 ? "record" : "records", present);
    if (skipped > 0) {
        // Each is named on standard error; the line stays within a console's 80 columns.
        std::printf(", %zu skipped", skipped);
    }
    std::printf("\n");
    return skipped == 0 ? history_exit_ok : history_exit_skipped;
}
