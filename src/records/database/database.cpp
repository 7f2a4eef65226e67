#include "records/database/database.h"

#include "base/files/files.h"
#include "records/verify/verify.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

namespace {

using Json = nlohmann::ordered_json;

// A server's own words for a unique key already taken (ODBC's class 23, PostgreSQL's), for a
// table already there (PostgreSQL says 42710 when another session's CREATE has just taken the
// table's row type), and for a transaction chosen as a deadlock's victim.
constexpr std::array<std::string_view, 2> database_conflict_states = {"23000", "23505"};
constexpr std::array<std::string_view, 3> database_exists_states = {"42S01", "42P07", "42710"};
constexpr std::array<std::string_view, 2> database_missing_states = {"42S02", "42P01"};
constexpr std::array<std::string_view, 2> database_deadlock_states = {"40001", "40P01"};

// A batch that meets another bench's rows is done again; each time it went past another
// transaction that has committed, so this many means something else is wrong.
constexpr int database_attempts = 20;

// The most parameters and rows one INSERT may carry (SQL Server's limits: 2100 and 1000). The
// PostgreSQL driver writes a timestamp parameter numbered 1000 or more wrongly ($1002::timestam),
// so a statement with times stays below that.
constexpr std::size_t database_max_parameters = 2000;
constexpr std::size_t database_max_timed_parameters = 999;
constexpr std::size_t database_max_rows = 1000;

// The widths of the columns whose texts come from outside: a longer one would make the server
// refuse the record, so such a record is refused before.
constexpr std::size_t database_name_width = 40;
constexpr std::size_t database_free_text_width = 255;
constexpr std::size_t database_figure_width = 128;
constexpr std::size_t database_max_figures = 99999; // the figures' order is read as k * 100000 + n

std::string database_reason(const OdbcError& error) {
    return error.message + " (SQLSTATE " + error.state + ")";
}

bool database_run(Database& database, const std::string& sql, std::span<const OdbcValue> parameters,
                  OdbcError& error) {
    OdbcStatement statement;
    return odbc_execute(database.connection, sql, parameters, statement, error);
}

// --- the tables ----------------------------------------------------------------------------

// The column type of a UTC time to the second, and the collation that makes the keys compare
// byte by byte (and letter case count: SQL Server's default collations ignore it), by server.
void database_dialect(Database& database) {
    const std::string& dbms = database.connection.dbms;
    if (dbms.find("SQL Server") != std::string::npos) {
        database.time_type = "DATETIME2(0)";
        database.collate = " COLLATE Latin1_General_BIN2";
    } else if (dbms.find("PostgreSQL") != std::string::npos) {
        database.time_type = "TIMESTAMP(0)";
        database.collate = " COLLATE \"C\"";
    } else {
        database.time_type = "TIMESTAMP";
        database.collate.clear();
    }
}

std::vector<std::string> database_tables(const Database& database) {
    const std::string& c = database.collate;
    const std::string text =
        "NATIONAL CHARACTER VARYING(" + std::to_string(database_free_text_width) + ")";
    const std::string key = "serial VARCHAR(64)" + c + " NOT NULL, record_name VARCHAR(" +
                            std::to_string(database_name_width) + ")" + c + " NOT NULL";
    const std::string figure = "ordinal INTEGER NOT NULL, figure VARCHAR(" +
                               std::to_string(database_figure_width) + ")" + c +
                               " NOT NULL, figure_value DOUBLE PRECISION";
    // Each row's (serial, record_name) is a record's, written in the same transaction; no
    // FOREIGN KEY says so, since checking one for each of a record's forty-odd figures would
    // double the time an export takes.
    const std::string belongs = "PRIMARY KEY (serial, record_name, figure)";
    return {
        "CREATE TABLE gm_record (" + key + ", recorded_at " + database.time_type +
            " NOT NULL, record_time VARCHAR(32) NOT NULL, suffix INTEGER NOT NULL, verdict "
            "VARCHAR(4), outcome VARCHAR(16), station " +
            text + ", operator_name " + text + ", lot " + text + ", part " + text +
            ", limits_name " + text + c +
            ", limits_sha256 VARCHAR(64), program VARCHAR(64), program_version VARCHAR(32), "
            "PRIMARY KEY (serial, record_name))",
        "CREATE TABLE gm_figure (" + key + ", " + figure + ", " + belongs + ")",
        "CREATE TABLE gm_verdict_row (" + key + ", " + figure +
            ", limit_min DOUBLE PRECISION, limit_max DOUBLE PRECISION, limit_max_abs DOUBLE "
            "PRECISION, guard DOUBLE PRECISION, row_result VARCHAR(4), reason VARCHAR(64), " +
            belongs + ")",
        // Last: once it holds its row, the tables before it are all there.
        "CREATE TABLE gm_schema (version INTEGER NOT NULL PRIMARY KEY)",
    };
}

// The tables' version; nothing when gm_schema is not there or holds no row yet.
bool database_version(Database& database, std::optional<int>& version, OdbcError& error) {
    OdbcStatement statement;
    version.reset();
    if (!odbc_execute(database.connection, "SELECT MAX(version) FROM gm_schema", {}, statement,
                      error)) {
        return odbc_state_in(error, database_missing_states);
    }
    std::vector<OdbcValue> row{odbc_integer(0)};
    bool got = false;
    if (!odbc_fetch(statement, row, got, error)) {
        return false;
    }
    if (got && !row[0].null) {
        version = static_cast<int>(row[0].integer);
    }
    return true;
}

// Makes what is missing. Another bench may be making the same tables at this moment: a table
// that its CREATE finds there (or, on PostgreSQL, whose name another CREATE has just taken) is
// made, and so is a version row that another has written.
bool database_make_tables(Database& database, OdbcError& error) {
    for (const std::string& sql : database_tables(database)) {
        if (!database_run(database, sql, {}, error) &&
            !odbc_state_in(error, database_exists_states) &&
            !odbc_state_in(error, database_conflict_states)) {
            return false;
        }
    }
    const std::array<OdbcValue, 1> version{odbc_integer(database_schema_version)};
    return database_run(database, "INSERT INTO gm_schema (version) VALUES (?)", version, error) ||
           odbc_state_in(error, database_conflict_states);
}

// --- a record ------------------------------------------------------------------------------

std::optional<std::string> database_string(const Json& object, const char* key) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

std::optional<double> database_number(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number()) {
        return std::nullopt;
    }
    return found->get<double>();
}

// The verdict's limited figures in their order, each with its row's value and result.
void database_verdict_rows(const Json& verdict, std::vector<DatabaseVerdictRow>& rows) {
    const auto limits = verdict.find("limits");
    if (limits == verdict.end() || !limits->is_object()) {
        return;
    }
    const auto figures = limits->find("figures");
    if (figures == limits->end() || !figures->is_object()) {
        return;
    }
    const auto judged = verdict.find("rows");
    for (const auto& [figure, limit] : figures->items()) {
        DatabaseVerdictRow row{figure,
                               std::nullopt,
                               database_number(limit, "min"),
                               database_number(limit, "max"),
                               database_number(limit, "max_abs"),
                               database_number(limit, "guard"),
                               std::nullopt,
                               std::nullopt};
        if (judged != verdict.end() && judged->is_array()) {
            for (const Json& entry : *judged) {
                if (entry.is_object() && database_string(entry, "figure") == figure) {
                    row.value = database_number(entry, "value");
                    const auto pass = entry.find("pass");
                    if (pass != entry.end() && pass->is_boolean()) {
                        row.result = pass->get<bool>() ? "PASS" : "FAIL";
                    }
                    row.reason = database_string(entry, "reason");
                    break;
                }
            }
        }
        rows.push_back(std::move(row));
    }
}

// Counts UTF-16 units, the most that any server counts a text's characters as.
bool database_fits(const std::optional<std::string>& text, std::size_t width) {
    return !text || odbc_utf16(*text).size() <= width;
}

bool database_check_widths(const DatabaseRecord& record, std::string& error) {
    const std::pair<const char*, const std::optional<std::string>*> free_texts[] = {
        {"record.station", &record.station},
        {"record.operator", &record.operator_name},
        {"record.lot", &record.lot},
        {"record.part", &record.part},
    };
    for (const auto& [what, text] : free_texts) {
        if (!database_fits(*text, database_free_text_width)) {
            error = std::string(what) + " is longer than the database's " +
                    std::to_string(database_free_text_width) + " characters";
            return false;
        }
    }
    if (!database_fits(record.history.limits_name, database_free_text_width)) {
        error = "verdict.limits.name is longer than the database's " +
                std::to_string(database_free_text_width) + " characters";
        return false;
    }
    if (record.history.name.size() > database_name_width) {
        error = "the folder's name is longer than the database's " +
                std::to_string(database_name_width) + " characters";
        return false;
    }
    if (record.history.figures.size() > database_max_figures) {
        error = "more than " + std::to_string(database_max_figures) + " figures";
        return false;
    }
    for (const HistoryFigure& figure : record.history.figures) {
        if (figure.first.size() > database_figure_width) {
            error = "a figure's path is longer than the database's " +
                    std::to_string(database_figure_width) + " characters: " + figure.first;
            return false;
        }
    }
    for (const DatabaseVerdictRow& row : record.verdict_rows) {
        if (row.figure.size() > database_figure_width) {
            error = "a limited figure's path is longer than the database's " +
                    std::to_string(database_figure_width) + " characters: " + row.figure;
            return false;
        }
    }
    // The short fields that our programs write: anything longer is no field of theirs.
    const std::pair<const std::optional<std::string>*, std::size_t> fixed[] = {
        {&record.outcome, 16},
        {&record.limits_sha256, 64},
        {&record.program, 64},
        {&record.version, 32}};
    for (const auto& [text, width] : fixed) {
        if (!database_fits(*text, width)) {
            error = "a field is longer than its column: " + **text;
            return false;
        }
    }
    for (const DatabaseVerdictRow& row : record.verdict_rows) {
        if (!database_fits(row.reason, 64)) {
            error = "a verdict row's reason is longer than its column: " + *row.reason;
            return false;
        }
    }
    return true;
}

// --- writing -------------------------------------------------------------------------------

using DatabaseKey = std::pair<std::string, std::string>;

// INSERT INTO `into` VALUES (?, ...), (?, ...) ... with `values` a row after another, in as few
// statements as the limits on one allow.
bool database_insert(Database& database, const std::string& into, std::size_t columns,
                     const std::vector<OdbcValue>& values, OdbcError& error) {
    const bool timed = std::any_of(values.begin(), values.end(), [](const OdbcValue& value) {
        return value.type == OdbcType::time;
    });
    const std::size_t per_statement =
        std::min(database_max_rows,
                 (timed ? database_max_timed_parameters : database_max_parameters) / columns);
    std::string row = "(?";
    for (std::size_t i = 1; i < columns; ++i) {
        row += ", ?";
    }
    row += ")";
    const std::size_t rows = values.size() / columns;
    for (std::size_t first = 0; first < rows; first += per_statement) {
        const std::size_t count = std::min(per_statement, rows - first);
        std::string sql = "INSERT INTO " + into + " VALUES " + row;
        for (std::size_t i = 1; i < count; ++i) {
            sql += ", " + row;
        }
        const std::span<const OdbcValue> part(values.data() + first * columns, count * columns);
        if (!database_run(database, sql, part, error)) {
            return false;
        }
    }
    return true;
}

// The keys that the database holds of the records' serials.
bool database_keys(Database& database, std::span<const DatabaseRecord> records,
                   std::set<DatabaseKey>& keys, OdbcError& error) {
    std::vector<OdbcValue> serials;
    std::set<std::string> seen;
    for (const DatabaseRecord& record : records) {
        if (seen.insert(record.history.serial).second) {
            serials.push_back(odbc_text(record.history.serial));
        }
    }
    for (std::size_t first = 0; first < serials.size(); first += database_max_rows) {
        const std::size_t count = std::min(database_max_rows, serials.size() - first);
        std::string sql = "SELECT serial, record_name FROM gm_record WHERE serial IN (?";
        for (std::size_t i = 1; i < count; ++i) {
            sql += ", ?";
        }
        sql += ")";
        OdbcStatement statement;
        if (!odbc_execute(database.connection, sql,
                          std::span<const OdbcValue>(serials.data() + first, count), statement,
                          error)) {
            return false;
        }
        std::vector<OdbcValue> row{odbc_text(""), odbc_text("")};
        for (bool got = true; got;) {
            if (!odbc_fetch(statement, row, got, error)) {
                return false;
            }
            if (got) {
                keys.emplace(row[0].text, row[1].text);
            }
        }
    }
    return true;
}

// One try at writing the records in the open transaction.
bool database_put_once(Database& database, std::span<const DatabaseRecord> records,
                       std::size_t& added, OdbcError& error) {
    // Only to leave out what is there already: the primary key decides, and a record that
    // another bench writes after this look makes the INSERT fail and the batch start again.
    std::set<DatabaseKey> keys;
    if (!database_keys(database, records, keys, error)) {
        return false;
    }
    std::vector<OdbcValue> rows;
    std::vector<OdbcValue> figures;
    std::vector<OdbcValue> verdicts;
    added = 0;
    for (const DatabaseRecord& record : records) {
        const HistoryRecord& h = record.history;
        if (!keys.emplace(h.serial, h.name).second) {
            continue;
        }
        ++added;
        const unsigned long suffix = history_suffix(h.name);
        const std::optional<std::string> verdict =
            h.passed ? std::optional<std::string>(*h.passed ? "PASS" : "FAIL") : std::nullopt;
        const std::optional<std::string> limits_name =
            h.passed ? std::optional<std::string>(h.limits_name) : std::nullopt;
        rows.insert(rows.end(),
                    {odbc_text(h.serial), odbc_text(h.name), odbc_time(h.seconds),
                     odbc_text(h.time), odbc_integer(static_cast<std::int64_t>(suffix)),
                     odbc_text(verdict), odbc_text(record.outcome), odbc_text(record.station),
                     odbc_text(record.operator_name), odbc_text(record.lot), odbc_text(record.part),
                     odbc_text(limits_name), odbc_text(record.limits_sha256),
                     odbc_text(record.program), odbc_text(record.version)});
        std::int64_t ordinal = 0;
        for (const HistoryFigure& figure : h.figures) {
            figures.insert(figures.end(),
                           {odbc_text(h.serial), odbc_text(h.name), odbc_integer(++ordinal),
                            odbc_text(figure.first), odbc_real(figure.second)});
        }
        ordinal = 0;
        for (const DatabaseVerdictRow& row : record.verdict_rows) {
            verdicts.insert(verdicts.end(),
                            {odbc_text(h.serial), odbc_text(h.name), odbc_integer(++ordinal),
                             odbc_text(row.figure), odbc_real(row.value), odbc_real(row.min),
                             odbc_real(row.max), odbc_real(row.max_abs), odbc_real(row.guard),
                             odbc_text(row.result), odbc_text(row.reason)});
        }
    }
    return database_insert(database,
                           "gm_record (serial, record_name, recorded_at, record_time, suffix, "
                           "verdict, outcome, station, operator_name, lot, part, limits_name, "
                           "limits_sha256, program, program_version)",
                           15, rows, error) &&
           database_insert(database,
                           "gm_figure (serial, record_name, ordinal, figure, figure_value)", 5,
                           figures, error) &&
           database_insert(database,
                           "gm_verdict_row (serial, record_name, ordinal, figure, figure_value, "
                           "limit_min, limit_max, limit_max_abs, guard, row_result, reason)",
                           11, verdicts, error);
}

} // namespace

bool database_open(const std::string& connection, Database& database, std::string& error) {
    OdbcError failure;
    if (!odbc_connect(connection, 15, database.connection, failure)) {
        error = database_reason(failure);
        return false;
    }
    database_dialect(database);
    std::optional<int> version;
    if (!database_version(database, version, failure) ||
        (!version && (!database_make_tables(database, failure) ||
                      !database_version(database, version, failure)))) {
        error = "cannot make the tables: " + database_reason(failure);
        return false;
    }
    if (version != database_schema_version) {
        error = "tables of version " + (version ? std::to_string(*version) : std::string("none")) +
                ", this program's are of " + std::to_string(database_schema_version);
        return false;
    }
    return true;
}

bool database_record(const std::string& json, const std::string& name, DatabaseRecord& record,
                     std::string& error) {
    const Json document = Json::parse(files_without_bom(json), nullptr, false);
    if (!document.is_object() || !document.contains("record") || !document["record"].is_object()) {
        error = "not a report.json with a record";
        return false;
    }
    if (!history_parse_record(document, name, record.history, error)) {
        return false;
    }
    const Json& about = document["record"];
    // As the history reads it: a record made before it had an outcome has its verdict's, so
    // that a query on the column finds every PASS.
    record.outcome = record.history.outcome.empty()
                         ? std::nullopt
                         : std::optional<std::string>(record.history.outcome);
    // The traceability fields as the history reads them.
    const auto& trace = record.history.trace;
    record.operator_name = trace[archive_operator];
    record.station = trace[archive_station];
    record.lot = trace[archive_lot];
    record.part = trace[archive_part];
    record.program = database_string(about, "program");
    record.version = database_string(about, "version");
    const auto verdict = document.find("verdict");
    if (verdict != document.end() && verdict->is_object()) {
        record.limits_sha256 = database_string(verdict->value("limits", Json::object()), "sha256");
        database_verdict_rows(*verdict, record.verdict_rows);
    }
    return database_check_widths(record, error);
}

bool database_put(Database& database, std::span<const DatabaseRecord> records, std::size_t& added,
                  std::string& error) {
    OdbcError failure;
    for (int attempt = 1;; ++attempt) {
        if (!odbc_autocommit(database.connection, false, failure)) {
            error = database_reason(failure);
            return false;
        }
        const bool written = database_put_once(database, records, added, failure) &&
                             odbc_end(database.connection, true, failure);
        if (!written) {
            OdbcError ignored; // the connection may be gone: the server rolls back then
            odbc_end(database.connection, false, ignored);
        }
        OdbcError ignored;
        odbc_autocommit(database.connection, true, ignored);
        if (written) {
            return true;
        }
        const bool again = odbc_state_in(failure, database_conflict_states) ||
                           odbc_state_in(failure, database_deadlock_states);
        if (!again || attempt == database_attempts) {
            error = database_reason(failure);
            return false;
        }
    }
}

bool database_export(Database& database, const HistoryArchive& archive, std::size_t batch,
                     const std::function<void(std::size_t, std::size_t)>& progress,
                     std::size_t& added, std::size_t& present, std::vector<HistorySkip>& skipped,
                     std::string& error) {
    added = 0;
    present = 0;
    const std::size_t total = archive.records.size();
    for (std::size_t first = 0; first < total; first += batch) {
        const std::size_t end = std::min(total, first + batch);
        std::vector<DatabaseRecord> records;
        for (std::size_t i = first; i < end; ++i) {
            const HistoryRecord& read = archive.records[i];
            if (!read.sealed) {
                // Nothing shows that such a record is what its bench wrote; the database holds
                // only records that do.
                skipped.push_back({read.path, "unverified: no manifest (written before records "
                                              "had one): not exported"});
                continue;
            }
            const std::string path = files_name(files_path(read.path) / "report.json");
            std::string json;
            std::string reason;
            DatabaseRecord record;
            if (!verify_read_file(files_path(path), json, reason) ||
                !database_record(json, read.name, record, reason)) {
                skipped.push_back({path, reason});
                continue;
            }
            record.history.path = read.path;
            // The SHA-256 of the limits file that the record holds, as its check found it.
            record.limits_sha256 = read.limits_sha256;
            records.push_back(std::move(record));
        }
        std::size_t written = 0;
        if (!database_put(database, records, written, error)) {
            return false;
        }
        added += written;
        present += records.size() - written;
        progress(end, total);
    }
    return true;
}
