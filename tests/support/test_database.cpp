#include "tests/support/test_database.h"

#include "records/odbc/odbc.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string test_database_read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::optional<std::string> test_database_server(std::string& why) {
    const fs::path state = GM_DATABASE_STATE;
    if (fs::exists(state / "connection.txt")) {
        return test_database_read(state / "connection.txt");
    }
    why = fs::exists(state / "unavailable.txt") ? test_database_read(state / "unavailable.txt")
                                                : "the database server was not started";
    return std::nullopt;
}

std::string test_database_named(const std::string& server, const std::string& database) {
    std::string text = server;
    const std::size_t at = text.find("Database=gm;");
    return text.replace(at, 12, "Database=" + database + ";");
}

bool test_database_run(const std::string& connection, const std::vector<std::string>& statements,
                       std::string& error) {
    OdbcConnection link;
    OdbcError failure;
    if (!odbc_connect(connection, 10, link, failure)) {
        error = failure.message;
        return false;
    }
    for (const std::string& sql : statements) {
        OdbcStatement statement;
        if (!odbc_execute(link, sql, {}, statement, failure)) {
            error = sql + ": " + failure.message;
            return false;
        }
    }
    return true;
}

bool test_database_fresh(const std::string& server, const std::string& name,
                         std::string& connection, std::string& error) {
    connection = test_database_named(server, name);
    return test_database_run(server, {"DROP DATABASE IF EXISTS " + name, "CREATE DATABASE " + name},
                             error);
}
