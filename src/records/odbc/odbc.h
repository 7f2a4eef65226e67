// The ODBC C API (odbc32 on Windows, unixODBC elsewhere) behind a few free functions: connect
// with a connection string, run one SQL statement with its values bound as parameters (never
// spliced into the SQL text), fetch its rows, and end a transaction. Texts cross the API as
// UTF-16 (the drivers' wide functions), so any letters reach the database as written; times are
// UTC seconds since 1970, kept in the database as timestamps without a zone.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A handle of the ODBC C API, freed when it goes (a connection is disconnected first). Owned
// alone: moved, never copied.
struct OdbcHandle {
    short type = 0;
    void* handle = nullptr;
    OdbcHandle() = default;
    OdbcHandle(short handle_type, void* raw) : type(handle_type), handle(raw) {}
    OdbcHandle(OdbcHandle&& other) noexcept;
    OdbcHandle& operator=(OdbcHandle&& other) noexcept;
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;
    ~OdbcHandle();
};

// A connection; the environment outlives the connection made in it.
struct OdbcConnection {
    OdbcHandle environment;
    OdbcHandle connection;
    std::string dbms; // what the server says it is, e.g. "PostgreSQL", "Microsoft SQL Server"
};

struct OdbcStatement {
    OdbcHandle handle;
};

// What went wrong: the SQLSTATE of the first diagnostic record (e.g. "08001", "23505") and its
// message in one line.
struct OdbcError {
    std::string state;
    std::string message;
};

// A value bound to a parameter or read from a column: its kind, and nothing for SQL NULL.
enum class OdbcType { text, real, integer, time };
struct OdbcValue {
    OdbcType type = OdbcType::text;
    bool null = true;
    std::string text;         // UTF-8
    double real = 0.0;        //
    std::int64_t integer = 0; // also a time's seconds since 1970-01-01T00:00:00Z
};

OdbcValue odbc_text(const std::optional<std::string>& text);
OdbcValue odbc_real(const std::optional<double>& real);
OdbcValue odbc_integer(std::int64_t integer);
OdbcValue odbc_time(std::int64_t seconds);

// Connects with an ODBC connection string ("DSN=bench;UID=...", "Driver={PostgreSQL
// Unicode};Server=...;Database=..."), waiting at most `timeout_s` for the server. The driver
// manager may show no dialog: what is missing is an error.
bool odbc_connect(const std::string& text, unsigned timeout_s, OdbcConnection& connection,
                  OdbcError& error);

// Runs one statement, `?` in it standing for each value of `parameters` in order.
bool odbc_execute(OdbcConnection& connection, std::string_view sql,
                  std::span<const OdbcValue> parameters, OdbcStatement& statement,
                  OdbcError& error);

// The rows the statement changed.
std::int64_t odbc_row_count(OdbcStatement& statement);

// The next row of the statement's result into `row`, whose values' types say how each column is
// read; `got` false after the last row.
bool odbc_fetch(OdbcStatement& statement, std::vector<OdbcValue>& row, bool& got, OdbcError& error);

// Turns autocommit off (a transaction begins with the next statement) or back on.
bool odbc_autocommit(OdbcConnection& connection, bool on, OdbcError& error);
// Commits or rolls back the open transaction.
bool odbc_end(OdbcConnection& connection, bool commit, OdbcError& error);

// Whether the error's SQLSTATE is one of `states`.
bool odbc_state_in(const OdbcError& error, std::span<const std::string_view> states);

// A UTF-8 text as UTF-16 and back; a byte that begins no UTF-8 character becomes U+FFFD.
std::u16string odbc_utf16(std::string_view text);
std::string odbc_utf8(std::u16string_view text);
