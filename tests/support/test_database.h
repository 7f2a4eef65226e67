// The private PostgreSQL server that CTest starts around the tests that need it
// (tests/records/database/database_server.sh, its state in GM_DATABASE_STATE): its connection,
// and databases of a test's own on it.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The server's connection string to its database "gm", or nothing with why there is none.
std::optional<std::string> test_database_server(std::string& why);

// The same connection to another database of the server.
std::string test_database_named(const std::string& server, const std::string& database);

// Runs the statements on the database, each on its own. False, with the statement and the
// driver's reason in `error`, at the first that fails.
bool test_database_run(const std::string& connection, const std::vector<std::string>& statements,
                       std::string& error);

// The database `name` made anew on the server; its connection string. False, with the reason,
// when it could not be made.
bool test_database_fresh(const std::string& server, const std::string& name,
                         std::string& connection, std::string& error);
