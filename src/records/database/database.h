// The sensor archive's records in a lab's SQL database (PostgreSQL, SQL Server, or any other that
// an ODBC driver serves), written beside the folder archive, which stays the primary copy. Three
// tables hold them, made on first use, and a fourth their schema's version:
//
//   gm_record       one row per record, keyed by its serial and its folder's name
//   gm_figure       one row per figure of a record: its path in report.json and its value
//   gm_verdict_row  one row per limited figure of a record's verdict: value, limits, result
//   gm_schema       the version of these tables' layout
//
// The SQL is the same for every server but for the timestamp's type and the byte-wise collation
// of the keys. Every value is a bound parameter. A record is written once: its key is the
// table's primary key, so two benches that write the same record at once cannot both add it; the
// one that meets the other's row starts its transaction again and finds the record there.
#pragma once

#include "records/history/history.h"
#include "records/odbc/odbc.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

inline constexpr int database_schema_version = 1;

// An open database whose tables are there and of this program's version.
struct Database {
    OdbcConnection connection;
    std::string time_type; // the column type of a UTC time to the second
    std::string collate;   // the clause that makes the keys compare byte by byte
};

// Connects with an ODBC connection string and makes the tables if they are not there. False,
// with the driver's or the server's reason in `error`, when it cannot, or when the tables are of
// another version.
bool database_open(const std::string& connection, Database& database, std::string& error);

// One limited figure of a record's verdict (report.json's verdict.limits.figures, with the
// value, result and reason of its verdict.rows entry where there is one).
struct DatabaseVerdictRow {
    std::string figure;
    std::optional<double> value;
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> max_abs;
    std::optional<double> guard;
    std::optional<std::string> result; // PASS or FAIL
    std::optional<std::string> reason;
};

// A record as the database holds it: what the history reads of it, and what a quality system
// asks about (null where report.json does not say).
struct DatabaseRecord {
    HistoryRecord history;
    std::optional<std::string> outcome;
    std::optional<std::string> station;
    std::optional<std::string> operator_name;
    std::optional<std::string> lot;
    std::optional<std::string> part;
    std::optional<std::string> limits_sha256;
    std::optional<std::string> program;
    std::optional<std::string> version;
    std::vector<DatabaseVerdictRow> verdict_rows;
};

// The record from its report.json text; `name` is its folder's name. False, with the reason,
// when the history would not read it or a text is longer than its column.
bool database_record(const std::string& json, const std::string& name, DatabaseRecord& record,
                     std::string& error);

// Writes the records that the database does not hold yet, in one transaction; `added` counts
// them. Records already there (by serial and folder name) are left as they are.
bool database_put(Database& database, std::span<const DatabaseRecord> records, std::size_t& added,
                  std::string& error);

// Every record of `archive` that the history reads, written in transactions of `batch`
// records; `progress` is told after each (records done, of all). `added` counts the records
// written, `present` those the database held already.
bool database_export(Database& database, const HistoryArchive& archive, std::size_t batch,
                     const std::function<void(std::size_t, std::size_t)>& progress,
                     std::size_t& added, std::size_t& present, std::vector<HistorySkip>& skipped,
                     std::string& error);
