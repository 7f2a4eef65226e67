#include "records/dbhistory/dbhistory.h"

#include <array>
#include <map>
#include <set>
#include <utility>

namespace {

std::string dbhistory_reason(const OdbcError& error) {
    return error.message + " (SQLSTATE " + error.state + ")";
}

// The serial glob as a LIKE pattern with ! as its escape: * is %, ? is _, and what LIKE would
// read as a pattern of its own (% _ and SQL Server's [) stands for itself.
std::string dbhistory_like(const std::string& glob) {
    std::string pattern;
    for (const char c : glob) {
        if (c == '*') {
            pattern += '%';
        } else if (c == '?') {
            pattern += '_';
        } else {
            if (c == '%' || c == '_' || c == '[' || c == '!') {
                pattern += '!';
            }
            pattern += c;
        }
    }
    return pattern;
}

// gm_record's columns of the traceability fields, in the order of archive_trace_fields.
constexpr std::array<const char*, archive_trace_fields.size()> dbhistory_trace_columns{
    "operator_name", "station", "lot", "part"};

// The condition on the limits that `wanted` names: by their name, by the first digits of their
// file's SHA-256, or by both as history_limits_shown gives them.
std::string dbhistory_limits(const std::string& wanted, std::vector<OdbcValue>& parameters) {
    std::string condition = "limits_name = ?";
    parameters.push_back(odbc_text(wanted));
    if (const std::optional<std::string> digits = select_digest_digits(wanted)) {
        condition += " OR limits_sha256 LIKE ?";
        parameters.push_back(odbc_text(*digits + "%"));
    }
    const std::size_t open = wanted.rfind(" (");
    if (open != std::string::npos && wanted.ends_with(')')) {
        const std::string shown = wanted.substr(open + 2, wanted.size() - open - 3);
        const std::optional<std::string> digits = select_digest_digits(shown);
        if (digits && digits->size() == 8 && shown == *digits) {
            condition += " OR (limits_name = ? AND limits_sha256 LIKE ?)";
            parameters.insert(parameters.end(),
                              {odbc_text(wanted.substr(0, open)), odbc_text(*digits + "%")});
        }
    }
    return "(" + condition + ")";
}

// The WHERE clause of the filter on gm_record, its values appended to `parameters`.
std::string dbhistory_where(const SelectFilter& filter, std::vector<OdbcValue>& parameters) {
    std::string where = " WHERE 1 = 1";
    if (!filter.serial_glob.empty()) {
        // In any letter case, as in a folder: serials are ASCII, which LOWER folds alike on
        // every server.
        where += " AND LOWER(serial) LIKE ? ESCAPE '!'";
        parameters.push_back(odbc_text(dbhistory_like(archive_folded(filter.serial_glob))));
    }
    if (filter.since) {
        where += " AND recorded_at >= ?";
        parameters.push_back(odbc_time(*filter.since));
    }
    if (filter.until) {
        where += " AND recorded_at <= ?";
        parameters.push_back(odbc_time(*filter.until));
    }
    if (filter.limits_name) {
        // Only a judged record has the limits' name.
        where +=
            " AND verdict IS NOT NULL AND " + dbhistory_limits(*filter.limits_name, parameters);
    }
    for (std::size_t k = 0; k < filter.trace_globs.size(); ++k) {
        if (!filter.trace_globs[k].empty()) {
            where += std::string(" AND ") + dbhistory_trace_columns[k] + " LIKE ? ESCAPE '!'";
            parameters.push_back(odbc_text(dbhistory_like(filter.trace_globs[k])));
        }
    }
    return where;
}

// The records the query keeps, numbered within their sensor in the history's order (k) and
// counted (sweeps); `chosen` then picks each sensor's first and latest, or every one.
std::string dbhistory_kept(const DbHistoryQuery& query, std::vector<OdbcValue>& parameters) {
    return "(SELECT serial, record_name, record_time, recorded_at, verdict, limits_name, "
           "limits_sha256, outcome, operator_name, station, lot, part, ROW_NUMBER() OVER "
           "(PARTITION BY serial ORDER BY recorded_at, suffix, record_name) "
           "AS k, COUNT(*) OVER (PARTITION BY serial) AS sweeps FROM gm_record" +
           dbhistory_where(query.filter, parameters) + ") kept";
}

std::string dbhistory_chosen(const DbHistoryQuery& query) {
    return query.every_sweep ? " WHERE 1 = 1" : " WHERE (kept.k = 1 OR kept.k = kept.sweeps)";
}

// Runs the query and hands each row, read as `shape` says, to `take`.
template <typename Take>
bool dbhistory_rows(Database& database, const std::string& sql,
                    const std::vector<OdbcValue>& parameters, std::vector<OdbcValue> shape,
                    Take take, std::string& error) {
    OdbcStatement statement;
    OdbcError failure;
    if (!odbc_execute(database.connection, sql, parameters, statement, failure)) {
        error = dbhistory_reason(failure);
        return false;
    }
    for (;;) {
        bool got = false;
        if (!odbc_fetch(statement, shape, got, failure)) {
            error = dbhistory_reason(failure);
            return false;
        }
        if (!got) {
            return true;
        }
        take(shape);
    }
}

std::optional<double> dbhistory_optional(const OdbcValue& value) {
    return value.null ? std::nullopt : std::optional<double>(value.real);
}

using DbHistoryKey = std::pair<std::string, std::string>;

// A time window may leave out a sensor's first sweep: the first record of each serial that the
// other filters keep tells which sensors were first swept before it.
bool dbhistory_mark_first_sweeps(Database& database, const DbHistoryQuery& query,
                                 DbHistory& history, std::string& error) {
    DbHistoryQuery whole = query;
    whole.filter.since.reset();
    whole.filter.until.reset();
    std::vector<OdbcValue> parameters;
    const std::string sql = "SELECT serial, record_name, recorded_at FROM " +
                            dbhistory_kept(whole, parameters) + " WHERE kept.k = 1";
    std::vector<HistoryRecord> firsts;
    const auto take = [&](const std::vector<OdbcValue>& row) {
        HistoryRecord record;
        record.serial = row[0].text;
        record.name = row[1].text;
        record.seconds = row[2].integer;
        firsts.push_back(std::move(record));
    };
    if (!dbhistory_rows(database, sql, parameters, {odbc_text(""), odbc_text(""), odbc_time(0)},
                        take, error)) {
        return false;
    }
    history_sort(firsts);
    history_mark_first_sweeps(firsts, history.records, history.sensors);
    return true;
}

} // namespace

bool dbhistory_read(Database& database, const DbHistoryQuery& query, DbHistory& history,
                    std::string& error) {
    history = {};
    std::map<std::string, std::size_t> sweeps;
    {
        std::vector<OdbcValue> parameters;
        const std::string sql =
            "SELECT serial, record_name, record_time, recorded_at, verdict, limits_name, sweeps, "
            "limits_sha256, outcome, operator_name, station, lot, part FROM " +
            dbhistory_kept(query, parameters) + dbhistory_chosen(query);
        const auto take = [&](const std::vector<OdbcValue>& row) {
            HistoryRecord record;
            record.serial = row[0].text;
            record.name = row[1].text;
            record.path = record.serial + "/" + record.name;
            record.time = row[2].text;
            record.seconds = row[3].integer;
            if (!row[4].null) {
                record.passed = row[4].text == "PASS";
                record.limits_name = row[5].text;
                record.limits_sha256 = row[7].null ? "" : row[7].text;
            }
            // As the folder's reader takes it: the verdict's where the record has no outcome.
            record.outcome = !row[8].null    ? row[8].text
                             : record.passed ? (*record.passed ? "PASS" : "FAIL")
                                             : "";
            if (record.outcome == "ERROR" || record.outcome == "ABORTED") {
                record.passed.reset();
            }
            for (std::size_t k = 0; k < record.trace.size(); ++k) {
                if (!row[9 + k].null) {
                    record.trace[k] = row[9 + k].text;
                }
            }
            // The export takes only records whose check passed.
            record.sealed = true;
            sweeps[record.serial] = static_cast<std::size_t>(row[6].integer);
            history.records.push_back(std::move(record));
        };
        if (!dbhistory_rows(database, sql, parameters,
                            {odbc_text(""), odbc_text(""), odbc_text(""), odbc_time(0),
                             odbc_text(""), odbc_text(""), odbc_integer(0), odbc_text(""),
                             odbc_text(""), odbc_text(""), odbc_text(""), odbc_text(""),
                             odbc_text("")},
                            take, error)) {
            return false;
        }
    }
    // The server's collation has no say in the order: the history's own rule sorts.
    history_sort(history.records);
    std::map<DbHistoryKey, HistoryRecord*> by_key;
    for (HistoryRecord& record : history.records) {
        by_key[{record.serial, record.name}] = &record;
    }
    {
        // What the FAILs failed on, in their verdicts' order.
        std::vector<OdbcValue> parameters;
        const std::string sql = "SELECT v.serial, v.record_name, v.figure FROM (SELECT serial, "
                                "record_name FROM " +
                                dbhistory_kept(query, parameters) + dbhistory_chosen(query) +
                                ") w JOIN gm_verdict_row v ON v.serial = w.serial AND "
                                "v.record_name = w.record_name WHERE v.row_result = 'FAIL' "
                                "ORDER BY v.ordinal";
        const auto take = [&](const std::vector<OdbcValue>& row) {
            const auto found = by_key.find({row[0].text, row[1].text});
            if (found != by_key.end()) {
                found->second->failed.push_back(row[2].text);
            }
        };
        if (!dbhistory_rows(database, sql, parameters,
                            {odbc_text(""), odbc_text(""), odbc_text("")}, take, error)) {
            return false;
        }
    }
    if (!query.figures.empty()) {
        // The figures asked of the records a view shows them of (each sensor's latest sweep, or
        // every one), and their limits, in one statement; a branch per figure, so that each of
        // its rows is one look-up of a primary key (a list of figures would be a filter).
        std::vector<OdbcValue> parameters;
        std::string sql = "WITH wanted AS (SELECT serial, record_name FROM " +
                          dbhistory_kept(query, parameters) +
                          (query.every_sweep ? "" : " WHERE kept.k = kept.sweeps") + ")";
        std::set<std::string> asked;
        for (const std::string& figure : query.figures) {
            if (!asked.insert(figure).second) {
                continue;
            }
            sql += asked.size() == 1 ? " " : " UNION ALL ";
            sql += "SELECT 0, f.serial, f.record_name, f.figure, f.figure_value, f.figure_value, "
                   "f.figure_value, f.figure_value FROM wanted w JOIN gm_figure f ON f.serial = "
                   "w.serial AND f.record_name = w.record_name AND f.figure = ? UNION ALL SELECT "
                   "1, v.serial, v.record_name, v.figure, v.limit_min, v.limit_max, "
                   "v.limit_max_abs, v.guard FROM wanted w JOIN gm_verdict_row v ON v.serial = "
                   "w.serial AND v.record_name = w.record_name AND v.figure = ?";
            parameters.insert(parameters.end(), {odbc_text(figure), odbc_text(figure)});
        }
        const auto take = [&](const std::vector<OdbcValue>& row) {
            const auto found = by_key.find({row[1].text, row[2].text});
            if (found == by_key.end()) {
                return;
            }
            if (row[0].integer == 0) {
                found->second->figures.emplace_back(row[3].text, dbhistory_optional(row[4]));
            } else {
                found->second->limits.push_back(
                    {row[3].text, dbhistory_optional(row[4]), dbhistory_optional(row[5]),
                     dbhistory_optional(row[6]), dbhistory_optional(row[7])});
            }
        };
        if (!dbhistory_rows(database, sql, parameters,
                            {odbc_integer(0), odbc_text(""), odbc_text(""), odbc_text(""),
                             odbc_real(0.0), odbc_real(0.0), odbc_real(0.0), odbc_real(0.0)},
                            take, error)) {
            return false;
        }
    }
    history.sensors = history_sensors(history.records);
    for (HistorySensor& sensor : history.sensors) {
        // A sensor whose serial is held in more than one letter case: the sweeps of each.
        std::set<std::string> spellings;
        for (std::size_t i = sensor.first; i <= sensor.latest; ++i) {
            spellings.insert(history.records[i].serial);
        }
        sensor.sweeps = 0;
        for (const std::string& spelling : spellings) {
            sensor.sweeps += sweeps[spelling];
        }
        history.sweeps += sensor.sweeps;
    }
    return !(query.filter.since || query.filter.until) ||
           dbhistory_mark_first_sweeps(database, query, history, error);
}

bool dbhistory_any(Database& database, bool& any, std::string& error) {
    any = false;
    return dbhistory_rows(
        database, "SELECT 1 WHERE EXISTS (SELECT 1 FROM gm_record)", {}, {odbc_integer(0)},
        [&](const std::vector<OdbcValue>&) { any = true; }, error);
}

bool dbhistory_case_twins(Database& database, std::vector<std::string>& serials,
                          std::string& error) {
    serials.clear();
    return dbhistory_rows(
        database,
        "SELECT serial FROM gm_record WHERE LOWER(serial) IN (SELECT LOWER(serial) FROM gm_record "
        "GROUP BY LOWER(serial) HAVING COUNT(DISTINCT serial) > 1) GROUP BY serial",
        {}, {odbc_text("")},
        [&](const std::vector<OdbcValue>& row) { serials.push_back(row[0].text); }, error);
}

bool dbhistory_has_figure(Database& database, const std::string& figure, bool& has,
                          std::string& error) {
    has = false;
    return dbhistory_rows(
        database, "SELECT 1 WHERE EXISTS (SELECT 1 FROM gm_figure WHERE figure = ?)",
        {odbc_text(figure)}, {odbc_integer(0)}, [&](const std::vector<OdbcValue>&) { has = true; },
        error);
}

bool dbhistory_figures(Database& database, const SelectFilter& filter, bool judged,
                       std::vector<std::string>& figures, std::string& error) {
    figures.clear();
    std::vector<OdbcValue> parameters;
    const char* table = judged ? "gm_verdict_row" : "gm_figure";
    // The records numbered in the history's order (the keys compare byte by byte), and each
    // figure placed by the first record and the place in it where it is met.
    const std::string sql =
        std::string("SELECT f.figure, MIN(kept.k * 100000 + f.ordinal) AS first_met FROM ") +
        table +
        " f JOIN (SELECT serial, record_name, ROW_NUMBER() OVER (ORDER BY serial, recorded_at, "
        "suffix, record_name) AS k FROM gm_record" +
        dbhistory_where(filter, parameters) +
        ") kept ON f.serial = kept.serial AND f.record_name = kept.record_name GROUP BY f.figure "
        "ORDER BY first_met";
    return dbhistory_rows(
        database, sql, parameters, {odbc_text(""), odbc_integer(0)},
        [&](const std::vector<OdbcValue>& row) { figures.push_back(row[0].text); }, error);
}
