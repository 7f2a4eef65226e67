#include "records/odbc/odbc.h"

// The Windows headers of ODBC take their basic types (DWORD, WORD) from windows.h.
#ifdef _WIN32
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <utility>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the drivers' wide texts are UTF-16");

namespace {

using Wide = std::vector<SQLWCHAR>;

// The text as the wide functions take it, with a closing zero.
Wide odbc_wide(std::string_view text) {
    const std::u16string utf16 = odbc_utf16(text);
    Wide wide(utf16.begin(), utf16.end());
    wide.push_back(0);
    return wide;
}

std::string odbc_narrow(const SQLWCHAR* wide, std::size_t length) {
    std::u16string utf16;
    utf16.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        utf16.push_back(static_cast<char16_t>(wide[i]));
    }
    return odbc_utf8(utf16);
}

// The first diagnostic record of the handle, its message in one line; `fallback` when there is
// none (a driver manager that could not even allocate the handle says nothing).
OdbcError odbc_diagnose(SQLSMALLINT type, SQLHANDLE handle, const char* fallback) {
    OdbcError error{"HY000", fallback};
    if (handle == nullptr) {
        return error;
    }
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN result = SQLGetDiagRecW(type, handle, 1, state, &native, message,
                                            static_cast<SQLSMALLINT>(std::size(message)), &length);
    if (!SQL_SUCCEEDED(result)) {
        return error;
    }
    error.state = odbc_narrow(state, 5);
    const auto shown = std::min(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                std::size(message) - 1);
    std::string text = odbc_narrow(message, shown);
    // One line: a server's message may run over several ("...refused\n\tIs the server running").
    std::string line;
    for (const char c : text) {
        const bool blank = c == '\n' || c == '\r' || c == '\t' || c == ' ';
        if (!blank) {
            line += c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    error.message = line.empty() ? fallback : line;
    return error;
}

bool odbc_check(SQLRETURN result, SQLSMALLINT type, SQLHANDLE handle, const char* what,
                OdbcError& error) {
    if (SQL_SUCCEEDED(result) || result == SQL_NO_DATA) {
        return true;
    }
    error = odbc_diagnose(type, handle, what);
    return false;
}

SQL_TIMESTAMP_STRUCT odbc_timestamp(std::int64_t seconds) {
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t in_day = seconds - days * 86400;
    const std::chrono::year_month_day date{
        std::chrono::sys_days{std::chrono::days{static_cast<int>(days)}}};
    SQL_TIMESTAMP_STRUCT stamp{};
    stamp.year = static_cast<SQLSMALLINT>(static_cast<int>(date.year()));
    stamp.month = static_cast<SQLUSMALLINT>(static_cast<unsigned>(date.month()));
    stamp.day = static_cast<SQLUSMALLINT>(static_cast<unsigned>(date.day()));
    stamp.hour = static_cast<SQLUSMALLINT>(in_day / 3600);
    stamp.minute = static_cast<SQLUSMALLINT>(in_day / 60 % 60);
    stamp.second = static_cast<SQLUSMALLINT>(in_day % 60);
    return stamp;
}

std::int64_t odbc_seconds(const SQL_TIMESTAMP_STRUCT& stamp) {
    const std::chrono::year_month_day date{std::chrono::year{stamp.year},
                                           std::chrono::month{stamp.month},
                                           std::chrono::day{stamp.day}};
    const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
    return days * 86400 + stamp.hour * 3600 + stamp.minute * 60 + stamp.second;
}

// What one parameter points at while the statement runs.
struct OdbcBound {
    Wide text;
    double real = 0.0;
    SQLBIGINT integer = 0;
    SQL_TIMESTAMP_STRUCT time{};
    SQLLEN indicator = 0;
};

bool odbc_bind(SQLHSTMT statement, SQLUSMALLINT number, const OdbcValue& value, OdbcBound& bound,
               OdbcError& error) {
    SQLSMALLINT c_type = SQL_C_WCHAR;
    SQLSMALLINT sql_type = SQL_WVARCHAR;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLPOINTER data = nullptr;
    SQLLEN capacity = 0;
    switch (value.type) {
    case OdbcType::text:
        bound.text = odbc_wide(value.null ? std::string_view() : std::string_view(value.text));
        // The size in characters as the server counts them; at least 1 for an empty text.
        size = std::max<SQLULEN>(bound.text.size() - 1, 1);
        data = bound.text.data();
        capacity = static_cast<SQLLEN>(bound.text.size() * sizeof(SQLWCHAR));
        bound.indicator = static_cast<SQLLEN>((bound.text.size() - 1) * sizeof(SQLWCHAR));
        break;
    case OdbcType::real:
        c_type = SQL_C_DOUBLE;
        sql_type = SQL_DOUBLE;
        size = 15;
        bound.real = value.real;
        data = &bound.real;
        break;
    case OdbcType::integer:
        c_type = SQL_C_SBIGINT;
        sql_type = SQL_BIGINT;
        size = 19;
        bound.integer = value.integer;
        data = &bound.integer;
        break;
    case OdbcType::time:
        c_type = SQL_C_TYPE_TIMESTAMP;
        sql_type = SQL_TYPE_TIMESTAMP;
        size = 19; // yyyy-mm-dd hh:mm:ss, whole seconds
        bound.time = odbc_timestamp(value.integer);
        data = &bound.time;
        break;
    }
    if (value.null) {
        bound.indicator = SQL_NULL_DATA;
    } else if (value.type != OdbcType::text) {
        bound.indicator = 0;
    }
    return odbc_check(SQLBindParameter(statement, number, SQL_PARAM_INPUT, c_type, sql_type, size,
                                       digits, data, capacity, &bound.indicator),
                      SQL_HANDLE_STMT, statement, "cannot bind a parameter", error);
}

// A wide text column, read in pieces until its end.
bool odbc_get_text(SQLHSTMT statement, SQLUSMALLINT column, OdbcValue& value, OdbcError& error) {
    std::u16string whole;
    SQLWCHAR piece[512];
    for (;;) {
        SQLLEN length = 0;
        const SQLRETURN result =
            SQLGetData(statement, column, SQL_C_WCHAR, piece, sizeof piece, &length);
        if (result == SQL_NO_DATA) {
            break;
        }
        if (!odbc_check(result, SQL_HANDLE_STMT, statement, "cannot read a column", error)) {
            return false;
        }
        if (length == SQL_NULL_DATA) {
            value.null = true;
            return true;
        }
        // A piece that did not hold the rest is full but for its closing zero.
        const std::size_t room = std::size(piece) - 1;
        const bool more =
            result == SQL_SUCCESS_WITH_INFO &&
            (length == SQL_NO_TOTAL || static_cast<std::size_t>(length) / sizeof(SQLWCHAR) > room);
        const std::size_t got = more ? room : static_cast<std::size_t>(length) / sizeof(SQLWCHAR);
        for (std::size_t i = 0; i < got; ++i) {
            whole.push_back(static_cast<char16_t>(piece[i]));
        }
        if (!more) {
            break;
        }
    }
    value.null = false;
    value.text = odbc_utf8(whole);
    return true;
}

bool odbc_get(SQLHSTMT statement, SQLUSMALLINT column, OdbcValue& value, OdbcError& error) {
    if (value.type == OdbcType::text) {
        return odbc_get_text(statement, column, value, error);
    }
    SQLLEN indicator = 0;
    SQLRETURN result = SQL_SUCCESS;
    SQL_TIMESTAMP_STRUCT stamp{};
    SQLBIGINT integer = 0;
    switch (value.type) {
    case OdbcType::real:
        result = SQLGetData(statement, column, SQL_C_DOUBLE, &value.real, 0, &indicator);
        break;
    case OdbcType::integer:
        result = SQLGetData(statement, column, SQL_C_SBIGINT, &integer, 0, &indicator);
        value.integer = integer;
        break;
    default:
        result = SQLGetData(statement, column, SQL_C_TYPE_TIMESTAMP, &stamp, 0, &indicator);
        value.integer = odbc_seconds(stamp);
        break;
    }
    if (!odbc_check(result, SQL_HANDLE_STMT, statement, "cannot read a column", error)) {
        return false;
    }
    value.null = indicator == SQL_NULL_DATA;
    return true;
}

} // namespace

OdbcHandle::OdbcHandle(OdbcHandle&& other) noexcept
    : type(other.type), handle(std::exchange(other.handle, nullptr)) {}

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
        OdbcHandle old(std::move(*this));
        type = other.type;
        handle = std::exchange(other.handle, nullptr);
    }
    return *this;
}

OdbcHandle::~OdbcHandle() {
    if (handle == nullptr) {
        return;
    }
    if (type == SQL_HANDLE_DBC) {
        SQLDisconnect(handle); // an error here only says it was not connected
    }
    SQLFreeHandle(type, handle);
}

OdbcValue odbc_text(const std::optional<std::string>& text) {
    return {OdbcType::text, !text, text.value_or(""), 0.0, 0};
}

OdbcValue odbc_real(const std::optional<double>& real) {
    return {OdbcType::real, !real, "", real.value_or(0.0), 0};
}

OdbcValue odbc_integer(std::int64_t integer) {
    return {OdbcType::integer, false, "", 0.0, integer};
}

OdbcValue odbc_time(std::int64_t seconds) {
    return {OdbcType::time, false, "", 0.0, seconds};
}

bool odbc_connect(const std::string& text, unsigned timeout_s, OdbcConnection& connection,
                  OdbcError& error) {
    SQLHANDLE raw = nullptr;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &raw))) {
        error = {"HY001", "the ODBC driver manager cannot be used (no environment)"};
        return false;
    }
    connection.environment = OdbcHandle(SQL_HANDLE_ENV, raw);
    if (!odbc_check(SQLSetEnvAttr(raw, SQL_ATTR_ODBC_VERSION,
                                  reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(SQL_OV_ODBC3)),
                                  0),
                    SQL_HANDLE_ENV, raw, "the ODBC driver manager does not offer ODBC 3", error)) {
        return false;
    }
    SQLHANDLE dbc = nullptr;
    if (!odbc_check(SQLAllocHandle(SQL_HANDLE_DBC, raw, &dbc), SQL_HANDLE_ENV, raw,
                    "cannot make an ODBC connection handle", error)) {
        return false;
    }
    connection.connection = OdbcHandle(SQL_HANDLE_DBC, dbc);
    // A driver that does not know the setting keeps its own time-out: no failure.
    SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_s)), 0);
    Wide wide = odbc_wide(text);
    SQLWCHAR out[1024];
    SQLSMALLINT out_length = 0;
    const SQLRETURN result = SQLDriverConnectW(
        dbc, nullptr, wide.data(), static_cast<SQLSMALLINT>(wide.size() - 1), out,
        static_cast<SQLSMALLINT>(std::size(out)), &out_length, SQL_DRIVER_NOPROMPT);
    if (!odbc_check(result, SQL_HANDLE_DBC, dbc, "cannot connect to the database", error)) {
        // The handle was never connected: free it without a disconnect's error.
        SQLFreeHandle(SQL_HANDLE_DBC, std::exchange(connection.connection.handle, nullptr));
        return false;
    }
    SQLWCHAR name[256] = {};
    SQLSMALLINT name_length = 0;
    if (SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_DBMS_NAME, name, sizeof name, &name_length))) {
        connection.dbms = odbc_narrow(
            name,
            std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(name_length, 0)) /
                                      sizeof(SQLWCHAR),
                                  std::size(name) - 1));
    }
    return true;
}

bool odbc_execute(OdbcConnection& connection, std::string_view sql,
                  std::span<const OdbcValue> parameters, OdbcStatement& statement,
                  OdbcError& error) {
    SQLHANDLE raw = nullptr;
    if (!odbc_check(SQLAllocHandle(SQL_HANDLE_STMT, connection.connection.handle, &raw),
                    SQL_HANDLE_DBC, connection.connection.handle, "cannot make a statement handle",
                    error)) {
        return false;
    }
    statement.handle = OdbcHandle(SQL_HANDLE_STMT, raw);
    std::vector<OdbcBound> bound(parameters.size());
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (!odbc_bind(raw, static_cast<SQLUSMALLINT>(i + 1), parameters[i], bound[i], error)) {
            return false;
        }
    }
    Wide text = odbc_wide(sql);
    const SQLRETURN result =
        SQLExecDirectW(raw, text.data(), static_cast<SQLINTEGER>(text.size() - 1));
    return odbc_check(result, SQL_HANDLE_STMT, raw, "the statement failed", error);
}

std::int64_t odbc_row_count(OdbcStatement& statement) {
    SQLLEN count = 0;
    if (!SQL_SUCCEEDED(SQLRowCount(statement.handle.handle, &count))) {
        return 0;
    }
    return count;
}

bool odbc_fetch(OdbcStatement& statement, std::vector<OdbcValue>& row, bool& got,
                OdbcError& error) {
    SQLHSTMT raw = statement.handle.handle;
    const SQLRETURN result = SQLFetch(raw);
    got = result != SQL_NO_DATA;
    if (!got) {
        return true;
    }
    if (!odbc_check(result, SQL_HANDLE_STMT, raw, "cannot fetch a row", error)) {
        return false;
    }
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (!odbc_get(raw, static_cast<SQLUSMALLINT>(i + 1), row[i], error)) {
            return false;
        }
    }
    return true;
}

bool odbc_autocommit(OdbcConnection& connection, bool on, OdbcError& error) {
    SQLHDBC raw = connection.connection.handle;
    const SQLULEN mode = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    return odbc_check(
        SQLSetConnectAttrW(raw, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(mode), 0),
        SQL_HANDLE_DBC, raw, "cannot switch autocommit", error);
}

bool odbc_end(OdbcConnection& connection, bool commit, OdbcError& error) {
    SQLHDBC raw = connection.connection.handle;
    return odbc_check(SQLEndTran(SQL_HANDLE_DBC, raw, commit ? SQL_COMMIT : SQL_ROLLBACK),
                      SQL_HANDLE_DBC, raw, "cannot end the transaction", error);
}

bool odbc_state_in(const OdbcError& error, std::span<const std::string_view> states) {
    return std::find(states.begin(), states.end(), error.state) != states.end();
}

std::u16string odbc_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0u) == 0xC0u) {
            length = 2;
            code = lead & 0x1Fu;
        } else if ((lead & 0xF0u) == 0xE0u) {
            length = 3;
            code = lead & 0x0Fu;
        } else if ((lead & 0xF8u) == 0xF0u) {
            length = 4;
            code = lead & 0x07u;
        }
        bool whole = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            whole = next >> 6 == 2;
            code = code << 6 | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are no characters either.
        static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        whole = whole && code >= smallest[length] && code <= 0x10FFFF &&
                (code < 0xD800 || code > 0xDFFF);
        if (!whole) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return out;
}

std::string odbc_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD; // half a pair
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}
