// The lab's database behind gyro_motor_history --export and --database, on a private PostgreSQL
// server that CTest starts around this test (database_server.sh; GM_DATABASE_STATE is its state
// folder): the export's cases in one table, and the views from the database against those from
// the folder, byte for byte. Where no server could be started the database cases are skipped
// with the reason (CI sets GM_REQUIRE_DATABASE=1, which makes that a failure instead).
#include "records/archive/archive.h"
#include "records/dbhistory/dbhistory.h"
#include "records/digest/digest.h"
#include "records/odbc/odbc.h"
#include "records/select/select.h"
#include "tests/support/sealed_record.h"
#include "tests/support/test_database.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// One generated sweep: its serial and folder, verdict (none: reported without limits; ERROR or
// ABORTED: the record's outcome, a sweep not judged) and limits, two figures (nothing: not
// measured), the temperature and the operator.
struct Sweep {
    std::string serial;
    std::string name;
    const char* verdict;
    const char* limits;
    std::optional<double> peak; // heading.peak_deviation_deg, limits max_abs 0.5
    double scale;               // yaw_rate.scale_error_percent, limits -0.3..0.3
    double temperature;
    std::string operator_name;
};

const std::string tricky_operator = "O'Neil\"; DROP TABLE x; --";

// SN1's second and third sweep share a second (-10 after -2); SN_1 and SNx1 tell a LIKE's _
// from the glob's; SN6 was never judged; an operator fills the column to its last character.
const std::vector<Sweep> batch = {
    {"SN1", "20261209T101503Z", "FAIL", "rev C", 0.70, 0.10, 24.0, "anna"},
    {"SN1", "20261209T120000Z-10", "PASS", "rev C", 0.20, 0.15, 24.5, tricky_operator},
    {"SN1", "20261209T120000Z-2", "PASS", "rev C", 0.40, 0.20, 25.0, "Jürgen"},
    {"SN2", "20261209T110000Z", "PASS", "rev C", 0.30, 0.05, 25.5, "anna"},
    {"SN2", "20261210T080000Z", "PASS", "rev D", 0.20, 0.20, 23.0, "anna"},
    {"SN3", "20261209T235959Z", "FAIL", "rev C", 0.55, 0.35, 26.0, "anna"},
    {"SN3", "20261210T000000Z", "PASS", "rev C", -0.10, 0.25, 23.5, std::string(255, 'o')},
    {"SN4", "20261209T140000Z", nullptr, nullptr, std::nullopt, 0.10, 25.0, "anna"},
    {"SN4", "20261210T100000Z", "PASS", "rev C", 0.30, 0.15, 24.0, "anna"},
    {"SN_1", "20261210T110000Z", "FAIL", "rev C", std::nullopt, 0.05, 22.5, "anna"},
    {"SNx1", "20261210T110000Z", "PASS", "rev C", 0.10, 0.05, 22.5, "anna"},
    {"SN6", "20261211T090000Z", nullptr, nullptr, 0.15, 0.12, 24.0, "anna"},
};

nlohmann::ordered_json number_or_null(const std::optional<double>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

// The limits of the batch: the scale error within -0.3..0.3 and the peak deviation within 0.5
// (0.6 in rev D), with a guard of 0.02 on the peak.
std::string limits_toml(const std::string& name) {
    return "name = \"" + name +
           "\"\n[figures]\n"
           "\"yaw_rate.scale_error_percent\" = { min = -0.3, max = 0.3 }\n"
           "\"heading.peak_deviation_deg\" = { max_abs = " +
           (name == "rev D" ? "0.6" : "0.5") +
           " }\n[guard]\n\"heading.peak_deviation_deg\" = 0.02\n";
}

// Each sweep as a record that gyro_motor_report --archive writes: sealed, its verdict the one its
// limits give for its figures.
void write_sweeps(const fs::path& archive, const std::vector<Sweep>& sweeps) {
    for (const Sweep& sweep : sweeps) {
        const std::string& n = sweep.name;
        const std::string time = n.substr(0, 4) + "-" + n.substr(4, 2) + "-" + n.substr(6, 2) +
                                 "T" + n.substr(9, 2) + ":" + n.substr(11, 2) + ":" +
                                 n.substr(13, 2) + "Z";
        nlohmann::ordered_json json = {
            {"samples", 300},
            {"heading", {{"peak_deviation_deg", number_or_null(sweep.peak)}}},
            {"yaw_rate", {{"scale_error_percent", sweep.scale}}},
            {"temperature", {{"mean_c", sweep.temperature}}},
            {"verdict", nullptr},
            {"record",
             {{"serial", sweep.serial},
              {"time", time},
              {"station", "bench-1"},
              {"operator", sweep.operator_name},
              {"program", "gyro_motor_report"},
              {"version", "0.1"}}}};
        // A sweep that did not complete has its outcome, and no verdict.
        if (sweep.verdict != nullptr &&
            (std::string(sweep.verdict) == "ERROR" || std::string(sweep.verdict) == "ABORTED")) {
            json["record"]["outcome"] = sweep.verdict;
        }
        std::string error;
        ASSERT_TRUE(sealed_record_write(archive / sweep.serial / sweep.name, json,
                                        sweep.limits != nullptr
                                            ? std::optional<std::string>(limits_toml(sweep.limits))
                                            : std::nullopt,
                                        error))
            << error;
    }
}

// `count` sweeps of sensors with 4 each, an hour apart: more than one transaction's worth.
std::vector<Sweep> many_sweeps(int count) {
    std::vector<Sweep> sweeps;
    for (int i = 0; i < count; ++i) {
        char serial[16];
        char name[32];
        std::snprintf(serial, sizeof serial, "M%04d", i / 4);
        const std::chrono::year_month_day day{
            std::chrono::sys_days{std::chrono::December / 1 / 2026} + std::chrono::days{i / 24}};
        std::snprintf(name, sizeof name, "%04d%02u%02uT%02d0000Z", static_cast<int>(day.year()),
                      static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()), i % 24);
        sweeps.push_back({serial, name, i % 5 == 0 ? "FAIL" : "PASS", "rev C",
                          i % 5 == 0 ? 0.6 : 0.01 * (i % 40), 0.1, 24.0, "anna"});
    }
    return sweeps;
}

std::string with_port(const std::string& server, const std::string& port) {
    std::string text = server;
    const std::size_t at = text.find("Port=") + 5;
    return text.replace(at, text.find(';', at) - at, port);
}

// Runs the statements on the database, each on its own; a failure fails the test.
void run_sql(const std::string& connection, const std::vector<std::string>& statements) {
    std::string error;
    EXPECT_TRUE(test_database_run(connection, statements, error)) << error;
}

// The first column of the query's rows, as text.
std::vector<std::string> query_texts(const std::string& connection, const std::string& sql,
                                     const std::vector<OdbcValue>& parameters = {}) {
    OdbcConnection link;
    OdbcError error;
    std::vector<std::string> texts;
    if (!odbc_connect(connection, 10, link, error)) {
        ADD_FAILURE() << error.message;
        return texts;
    }
    OdbcStatement statement;
    if (!odbc_execute(link, sql, parameters, statement, error)) {
        ADD_FAILURE() << sql << ": " << error.message;
        return texts;
    }
    std::vector<OdbcValue> row{odbc_text("")};
    for (bool got = true; got;) {
        if (!odbc_fetch(statement, row, got, error)) {
            ADD_FAILURE() << error.message;
            break;
        }
        if (got) {
            texts.push_back(row[0].null ? "NULL" : row[0].text);
        }
    }
    return texts;
}

std::string count_of(const std::string& connection, const char* table) {
    const std::vector<std::string> counts =
        query_texts(connection, std::string("SELECT CAST(COUNT(*) AS VARCHAR(20)) FROM ") + table);
    return counts.empty() ? "?" : counts.front();
}

class DatabaseTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = tool_make_test_dir("gm_database_test_");
        std::string why;
        server = test_database_server(why);
        if (!server) {
            GTEST_SKIP() << "no database server: " << why;
        }
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir, error);
    }
    // A database of its own for a case, made anew.
    std::string fresh_database(const std::string& name) {
        std::string connection;
        std::string error;
        EXPECT_TRUE(test_database_fresh(*server, name, connection, error)) << error;
        return connection;
    }
    ToolResult history(const std::vector<std::string>& arguments, const fs::path& where) {
        fs::create_directories(where);
        return tool_run(GM_HISTORY_TOOL, arguments, where);
    }
    fs::path dir;
    std::optional<std::string> server;
};

} // namespace

TEST(DatabaseTexts, Utf8AndUtf16BothWays) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
        std::string back; // what the UTF-16 gives back
    };
    const std::vector<Case> cases = {
        {"", u"", ""},
        {"O'Neil", u"O'Neil", "O'Neil"},
        {"J\xC3\xBCrgen", u"J\u00FCrgen", "J\xC3\xBCrgen"},                // two bytes
        {"\xE2\x82\xAC", u"\u20AC", "\xE2\x82\xAC"},                       // three bytes
        {"\xF0\x9F\x98\x80", u"\U0001F600", "\xF0\x9F\x98\x80"},           // four: a pair
        {"\xDF\xBF\xE0\xA0\x80", u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"}, // the 2/3 edge
        {"\xEF\xBF\xBF\xF0\x90\x80\x80", u"\uFFFF\U00010000", "\xEF\xBF\xBF\xF0\x90\x80\x80"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF", "\xF4\x8F\xBF\xBF"}, // the last one
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
         "\xEF\xBF\xBD"},                                          // past U+10FFFF
        {"\xC0\xAF", u"\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD"}, // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // surrogate
        {"a\xC3", u"a\uFFFD", "a\xEF\xBF\xBD"},   // cut short
        {"\x80", u"\uFFFD", "\xEF\xBF\xBD"},      // no lead byte
    };
    for (const Case& row : cases) {
        EXPECT_EQ(odbc_utf16(row.utf8), row.utf16) << row.utf8;
        EXPECT_EQ(odbc_utf8(row.utf16), row.back) << row.utf8;
    }
    // Half a pair alone is no character either.
    EXPECT_EQ(odbc_utf8(u"\xD800x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(odbc_utf8(u"\xDC00"), "\xEF\xBF\xBD");
}

TEST_F(DatabaseTest, ExportCases) {
    enum class Archive { batch, batch_and_one, many, damaged, forged, unverified, too_long };
    struct Case {
        const char* name;
        std::string database;           // empty: a server that is down
        bool fresh;                     // made anew for the case
        std::vector<std::string> setup; // SQL run on it before
        Archive archive;
        int exporters; // at once
        int status;
        std::string out;     // each exporter's standard output (one: exactly)
        std::string err;     // in standard error
        const char* records; // then in gm_record, nullptr: not looked at
    };
    const std::string twelve = "exported 12 records to the database (0 there already)\n";
    const std::vector<Case> cases = {
        {"first export",
         "gm_first",
         true,
         {"CREATE TABLE x (a INTEGER)"},
         Archive::batch,
         1,
         0,
         twelve,
         "",
         "12"},
        {"again adds nothing",
         "gm_first",
         false,
         {},
         Archive::batch,
         1,
         0,
         "exported 0 records to the database (12 there already)\n",
         "",
         "12"},
        {"one more later",
         "gm_first",
         false,
         {},
         Archive::batch_and_one,
         1,
         0,
         "exported 1 record to the database (12 there already)\n",
         "",
         "13"},
        {"two exporters at once on a fresh database",
         "gm_two",
         true,
         {},
         Archive::many,
         2,
         0,
         "",
         "",
         "1100"},
        {"a damaged record is skipped",
         "gm_damaged",
         true,
         {},
         Archive::damaged,
         1,
         3,
         "exported 12 records to the database (0 there already), 1 skipped\n",
         "report.json: not valid JSON",
         "12"},
        {"a forged record is not exported",
         "gm_forged",
         true,
         {},
         Archive::forged,
         1,
         3,
         "exported 12 records to the database (0 there already), 1 skipped\n",
         "20261212T080000Z: wrong verdict: it says PASS",
         "12"},
        {"an unverified record is not exported",
         "gm_unverified",
         true,
         {},
         Archive::unverified,
         1,
         3,
         "exported 12 records to the database (0 there already), 1 skipped\n",
         "20261212T080000Z: unverified: no manifest (written before records had one): not "
         "exported",
         "12"},
        {"a text longer than its column is refused",
         "gm_long",
         true,
         {},
         Archive::too_long,
         1,
         3,
         "exported 12 records to the database (0 there already), 1 skipped\n",
         "record.operator is longer than the database's 255 characters",
         "12"},
        {"tables of a newer version",
         "gm_newer",
         true,
         {"CREATE TABLE gm_schema (version INTEGER NOT NULL PRIMARY KEY)",
          "INSERT INTO gm_schema (version) VALUES (2)"},
         Archive::batch,
         1,
         8,
         "",
         "the database: tables of version 2, this program's are of 1",
         nullptr},
        {"a server that is down",
         "",
         false,
         {},
         Archive::batch,
         1,
         8,
         "",
         "gyro_motor_history: the database: ",
         nullptr},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const fs::path archive = dir / row.name / "archive";
        std::vector<Sweep> sweeps = row.archive == Archive::many ? many_sweeps(1100) : batch;
        if (row.archive == Archive::batch_and_one || row.archive == Archive::too_long) {
            sweeps.push_back({"SN7", "20261212T080000Z", "PASS", "rev C", 0.1, 0.1, 24.0,
                              std::string(row.archive == Archive::too_long ? 256 : 1, 'o')});
        }
        write_sweeps(archive, sweeps);
        const fs::path seventh = archive / "SN7" / "20261212T080000Z";
        if (row.archive == Archive::forged || row.archive == Archive::unverified) {
            // A FAIL made a PASS by a careful forger, who writes the manifest again; or a
            // record written before records were sealed.
            write_sweeps(archive,
                         {{"SN7", "20261212T080000Z", "FAIL", "rev C", 0.9, 0.1, 24.0, "anna"}});
            auto json = nlohmann::ordered_json::parse(tool_read_file(seventh / "report.json"));
            if (row.archive == Archive::forged) {
                json["verdict"]["result"] = "PASS";
            } else {
                json["record"].erase("format");
            }
            tool_write_file(seventh / "report.json", json.dump(2));
            std::string error;
            fs::remove(seventh / "manifest.sha256");
            ASSERT_TRUE(row.archive == Archive::unverified ||
                        archive_write_manifest(seventh, error))
                << error;
        }
        if (row.archive == Archive::damaged) {
            fs::create_directories(archive / "SN7" / "20261212T080000Z");
            tool_write_file(archive / "SN7" / "20261212T080000Z" / "report.json", "{\"record\": ");
        }
        // Port 1 has no server behind it (nothing listens on it unprivileged).
        const std::string connection = row.database.empty() ? with_port(*server, "1")
                                       : row.fresh          ? fresh_database(row.database)
                                                   : test_database_named(*server, row.database);
        if (!row.setup.empty()) {
            run_sql(connection, row.setup);
        }
        std::vector<ToolResult> results(static_cast<std::size_t>(row.exporters));
        std::vector<std::thread> exporters;
        for (std::size_t i = 0; i < results.size(); ++i) {
            exporters.emplace_back([&, i] {
                results[i] = history({archive.string(), "--export", connection},
                                     dir / row.name / ("exporter" + std::to_string(i)));
            });
        }
        for (std::thread& exporter : exporters) {
            exporter.join();
        }
        std::size_t added = 0;
        for (const ToolResult& result : results) {
            EXPECT_EQ(result.status, row.status) << result.err;
            EXPECT_NE(result.err.find(row.err), std::string::npos) << result.err;
            if (results.size() == 1) {
                EXPECT_EQ(result.out, row.out);
                EXPECT_EQ(tool_count_lines(result.err), row.err.empty() ? 0u : 1u) << result.err;
            } else {
                added += std::strtoul(result.out.c_str() + 9, nullptr, 10); // "exported N"
            }
        }
        if (results.size() > 1) {
            EXPECT_EQ(added, sweeps.size()) << results[0].out << results[1].out;
        }
        if (row.records != nullptr) {
            EXPECT_EQ(count_of(connection, "gm_record"), row.records);
            // Every record with all its figures (4) and verdict rows (2 when judged), once.
            std::size_t rows = 0;
            for (const Sweep& sweep : sweeps) {
                rows += sweep.verdict != nullptr ? 2 : 0;
            }
            const std::size_t records = std::strtoul(row.records, nullptr, 10);
            if (records == sweeps.size()) {
                EXPECT_EQ(count_of(connection, "gm_figure"), std::to_string(4 * records));
                EXPECT_EQ(count_of(connection, "gm_verdict_row"), std::to_string(rows));
            }
        }
    }
    // Texts went to the server as values: stored as written, and table x is still there.
    const std::string first = test_database_named(*server, "gm_first");
    EXPECT_EQ(query_texts(first, "SELECT operator_name FROM gm_record WHERE record_name = ?",
                          {odbc_text("20261209T120000Z-10")}),
              std::vector<std::string>{tricky_operator});
    EXPECT_EQ(query_texts(first, "SELECT serial FROM gm_record WHERE operator_name = ?",
                          {odbc_text("Jürgen")}),
              std::vector<std::string>{"SN1"});
    EXPECT_EQ(count_of(first, "x"), "0");
    // A record's row as a quality engineer reads it.
    EXPECT_EQ(
        query_texts(first,
                    "SELECT CONCAT(serial, '|', record_name, '|', CAST(recorded_at AS "
                    "VARCHAR(30)), '|', record_time, '|', CAST(suffix AS VARCHAR(9)), '|', "
                    "verdict, '|', outcome, '|', station, '|', limits_name, '|', "
                    "program, '|', program_version) FROM gm_record WHERE record_name = ?",
                    {odbc_text("20261209T120000Z-10")}),
        std::vector<std::string>{"SN1|20261209T120000Z-10|2026-12-09 12:00:00|2026-12-"
                                 "09T12:00:00Z|10|PASS|PASS|bench-1|rev C|gyro_motor_report|0.1"});
    EXPECT_EQ(query_texts(first,
                          "SELECT CONCAT(figure, '|', CAST(figure_value AS VARCHAR(20)), '|', "
                          "CAST(limit_max_abs AS VARCHAR(20)), '|', CAST(guard AS VARCHAR(20)), "
                          "'|', row_result, '|', reason) FROM gm_verdict_row WHERE record_name = "
                          "? ORDER BY ordinal",
                          {odbc_text("20261209T101503Z")}),
              (std::vector<std::string>{"yaw_rate.scale_error_percent|0.1|||PASS|",
                                        "heading.peak_deviation_deg|0.7|0.5|0.02|FAIL|outside "
                                        "max_abs"}));
}

TEST_F(DatabaseTest, ViewsFromTheDatabaseEqualThoseFromTheFolder) {
    const fs::path archive = dir / "archive";
    // Sweeps that did not complete: SN8's first an ERROR, then a PASS; SN9's only one ABORTED.
    std::vector<Sweep> sweeps = batch;
    sweeps.insert(sweeps.end(),
                  {{"SN8", "20261210T120000Z", "ERROR", nullptr, std::nullopt, 0.1, 24.0, "anna"},
                   {"SN8", "20261210T130000Z", "PASS", "rev C", 0.2, 0.1, 24.0, "anna"},
                   {"SN9", "20261210T140000Z", "ABORTED", nullptr, 0.3, 0.2, 24.0, "anna"}});
    write_sweeps(archive, sweeps);
    // A second spelling of SN2, as a Linux bench wrote it before the archive refused it: one
    // sensor, and its latest sweep.
    write_sweeps(archive, {{"sn2", "20261211T100000Z", "FAIL", "rev D", 0.65, 0.1, 24.0, "anna"}});
    const std::string connection = fresh_database("gm_views");
    const ToolResult exported = history({archive.string(), "--export", connection}, dir);
    ASSERT_EQ(exported.status, 0) << exported.err;
    const std::string rev_c = digest_sha256(limits_toml("rev C"))->substr(0, 8);
    const std::string rev_d = digest_sha256(limits_toml("rev D"))->substr(0, 8);
    const std::vector<std::vector<std::string>> views = {
        {"--csv", "-"},
        {"--sweeps", "--csv", "-"},
        {"--summary", "--csv", "-"},
        {"--summary", "--json", "-"},
        {},
        {"--summary"},
        {"--sweeps", "--figures", "temperature.mean_c,heading.peak_deviation_deg", "--csv", "-"},
        {"--serial", "SN1*", "--csv", "-"},
        {"--serial", "SN_1", "--sweeps", "--csv", "-"}, // _ is itself, not any letter
        {"--serial", "SN?1", "--sweeps", "--csv", "-"},
        {"--serial", "SN%", "--csv", "-"},
        {"--serial", "sn2", "--sweeps", "--csv", "-"}, // in any letter case
        {"--serial", "Sn?", "--summary", "--csv", "-"},
        {"--serial", "*6", "--summary", "--csv", "-"},              // never judged: every figure
        {"--since", "2026-12-10", "--sweeps", "--csv", "-"},        // at midnight itself
        {"--until", "2026-12-09", "--sweeps", "--csv", "-"},        // to 23:59:59
        {"--until", "20261209T115959Z", "--sweeps", "--csv", "-"},  // a second before
        {"--until", "20261209T120000Z", "--summary", "--csv", "-"}, // on the second
        {"--since", "2026-12-09T12:00:01Z", "--summary", "--csv", "-"}, // a second after
        {"--limits", "rev D", "--sweeps", "--csv", "-"},
        {"--limits", "rev c", "--csv", "-"}, // names are compared exactly
        {"--limits", rev_c, "--sweeps", "--csv", "-"},
        {"--limits", rev_c.substr(0, 7), "--sweeps", "--csv", "-"}, // too few digits: a name
        {"--limits", "rev D (" + rev_d + ")", "--sweeps", "--csv", "-"},
        {"--limits", "rev C (" + rev_d + ")", "--sweeps", "--csv", "-"},
        {"--operator", "ann?", "--show", "station,operator", "--sweeps", "--csv", "-"},
        {"--operator", "O'Neil*", "--station", "bench-*", "--sweeps", "--csv", "-"},
        {"--lot", "*", "--csv", "-"}, // not kept: no lot matches
        {"--figures", "heading.nope"},
    };
    for (const std::vector<std::string>& view : views) {
        std::string shown;
        for (const std::string& argument : view) {
            shown += argument + " ";
        }
        SCOPED_TRACE(shown);
        std::vector<std::string> from_folder = view;
        from_folder.push_back(archive.string());
        std::vector<std::string> from_database = view;
        from_database.insert(from_database.end(), {"--database", connection});
        const ToolResult folder = history(from_folder, dir / "folder");
        const ToolResult database = history(from_database, dir / "database");
        EXPECT_EQ(database.status, folder.status) << database.err;
        EXPECT_EQ(database.out, folder.out);
        EXPECT_EQ(tool_count_lines(database.err), tool_count_lines(folder.err)) << database.err;
    }
}

// What the pictures and a shift's first-pass yield take from the records, and no table shows:
// each limit's guard, and whether a sensor's first sweep in a time window is its first of all.
TEST_F(DatabaseTest, GuardsAndFirstSweepsFromTheDatabaseEqualThoseFromTheFolder) {
    const fs::path archive = dir / "archive";
    write_sweeps(archive, batch);
    const std::string connection = fresh_database("gm_firsts");
    ASSERT_EQ(history({archive.string(), "--export", connection}, dir).status, 0);
    HistoryArchive folder;
    std::string error;
    ASSERT_TRUE(history_read(archive.string(), folder, error)) << error;
    Database database;
    ASSERT_TRUE(database_open(connection, database, error)) << error;
    const std::vector<std::string> figures = {"heading.peak_deviation_deg",
                                              "yaw_rate.scale_error_percent"};
    struct Case {
        const char* since;
        const char* limits;
        std::vector<bool> first_in_archive; // by serial: SN1 SN2 SN3 SN4 SN6 SN_1 SNx1
        std::optional<double> guard;        // the peak deviation's, none where limits differ
    };
    const std::vector<Case> cases = {
        // SN2's latest sweep was judged against rev D, another max_abs: no guard.
        {nullptr, nullptr, {true, true, true, true, true, true, true}, std::nullopt},
        // SN2's and SN4's first sweeps were on the 9th, SN3's a second before midnight.
        {"2026-12-10T00:00:00Z", nullptr, {false, false, false, true, true, true}, std::nullopt},
        {"2026-12-10T00:00:01Z", nullptr, {false, false, true, true, true}, std::nullopt},
        // Under rev C alone SN1's first sweep lies before the window, and SN4's first (unjudged)
        // sweep is none of them.
        {"2026-12-09T12:00:00Z", "rev C", {false, true, true, true, true}, 0.02},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.since != nullptr ? row.since : "no window");
        DbHistoryQuery query;
        bool date_only = false;
        if (row.since != nullptr) {
            query.filter.since = archive_parse_time(row.since, date_only);
        }
        if (row.limits != nullptr) {
            query.filter.limits_name = row.limits;
        }
        query.figures = figures;
        DbHistory from_database;
        ASSERT_TRUE(dbhistory_read(database, query, from_database, error)) << error;
        std::vector<HistoryRecord> unwindowed = folder.records;
        SelectFilter others = query.filter;
        others.since.reset();
        select_filter(unwindowed, others);
        std::vector<HistoryRecord> records = unwindowed;
        select_filter(records, query.filter);
        std::vector<HistorySensor> sensors = history_sensors(records);
        history_mark_first_sweeps(unwindowed, records, sensors);
        std::vector<bool> firsts;
        ASSERT_EQ(from_database.sensors.size(), sensors.size());
        for (std::size_t i = 0; i < sensors.size(); ++i) {
            EXPECT_EQ(from_database.sensors[i].first_in_archive, sensors[i].first_in_archive)
                << sensors[i].serial;
            firsts.push_back(from_database.sensors[i].first_in_archive);
        }
        EXPECT_EQ(firsts, row.first_in_archive);
        const HistorySummary expected = history_summarise(records, sensors, figures);
        const HistorySummary got =
            history_summarise(from_database.records, from_database.sensors, figures);
        EXPECT_EQ(got.figures[0].guard, row.guard);
        EXPECT_EQ(got.figures[0].guard, expected.figures[0].guard);
        EXPECT_EQ(got.figures[1].guard, std::nullopt);
        EXPECT_EQ(got.first_pass.before_window, expected.first_pass.before_window);
    }
}
