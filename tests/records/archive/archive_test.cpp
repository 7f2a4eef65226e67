// The archive's naming rules, and records written whole under names that replace nothing; one
// folder per sensor whatever the letter case of its serial; records below a folder far past
// Windows' old limit of 259 characters, and a path too long for any, refused before use.
#include "base/files/files.h"
#include "records/archive/archive.h"
#include "records/digest/digest.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

// Each list holds the accepted names, then "|", then the refused ones.
TEST(Archive, SerialsAndRecordNames) {
    const std::string longest(archive_serial_max, 'x');
    const std::string too_long = longest + "x";
    bool plain = true;
    // Windows' device names in any case and before any extension, and a trailing dot that
    // Windows drops, are refused on every platform; names that only look like them are not.
    for (const std::string serial : {"SN0042",
                                     "a.b_c-D9",
                                     "-x",
                                     longest.c_str(),
                                     "COM10",
                                     "COM0",
                                     "LPT",
                                     "CONSOLE",
                                     "CON-1",
                                     "xNUL",
                                     "nulx.txt",
                                     "SN.0042",
                                     "|",
                                     "",
                                     ".",
                                     "..",
                                     ".partial-x",
                                     "a/b",
                                     "a\\b",
                                     "a b",
                                     "a:b",
                                     "\xC3\xA4",
                                     too_long.c_str(),
                                     "CON",
                                     "con",
                                     "Prn",
                                     "AUX",
                                     "NUL",
                                     "nul.txt",
                                     "COM1",
                                     "Com8",
                                     "COM9",
                                     "LPT1",
                                     "lpt9.x.y",
                                     "CON.",
                                     "SN0042.",
                                     "SN0042.."}) {
        plain = plain && serial != "|";
        EXPECT_TRUE(serial == "|" || archive_valid_serial(serial) == plain) << serial;
    }
    bool record = true;
    for (const std::string name :
         {"20261209T101503Z", "20261209T101503Z-2", "|", "20261209T101503Z-", "20261209T101503Z-2a",
          "20261209T101503", "2026120T101503Z1", "20261209t101503Z", "20261209T101503Z2",
          ".partial-20261209T101503Z-pc-7"}) {
        record = record && name != "|";
        EXPECT_TRUE(name == "|" || archive_is_record_name(name) == record) << name;
    }
    const auto time = sys_days{year{2024} / 2 / 29} + 23h + 59min + 59s + 999ms;
    EXPECT_EQ(archive_record_name(time), "20240229T235959Z");
    bool date_only = false;
    EXPECT_EQ(archive_parse_time(archive_record_name(time), date_only),
              duration_cast<seconds>(floor<seconds>(time).time_since_epoch()).count());
    EXPECT_EQ(archive_record_time(time), "2024-02-29T23:59:59Z");
}

// The station's local time with its offset, in zones east and west of UTC and across a day's, a
// month's and a year's end.
TEST(Archive, TheLocalTimeCarriesItsOffset) {
#ifdef _WIN32
    GTEST_SKIP() << "the zone is set through TZ, as POSIX reads it";
#else
    using namespace std::chrono;
    const std::optional<std::string> before = tool_set_environment("TZ", "UTC0");
    const struct {
        const char* zone;
        sys_seconds time;
        const char* local;
    } cases[] = {
        {"UTC0", sys_days{year{2026} / 12 / 9} + 10h + 15min + 3s, "2026-12-09T10:15:03+00:00"},
        {"XST-1", sys_days{year{2026} / 12 / 31} + 23h + 30min, "2027-01-01T00:30:00+01:00"},
        {"XST-5:30", sys_days{year{2026} / 2 / 28} + 20h, "2026-03-01T01:30:00+05:30"},
        {"XST5", sys_days{year{2026} / 12 / 9} + 3h, "2026-12-08T22:00:00-05:00"},
    };
    for (const auto& c : cases) {
        tool_set_environment("TZ", c.zone);
        tzset();
        EXPECT_EQ(archive_local_time(c.time), c.local) << c.zone;
    }
    tool_set_environment("TZ", before ? before->c_str() : nullptr);
    tzset();
#endif
}

// The traceability fields: printable UTF-8 on one line, 1 to 64 characters (not bytes).
TEST(Archive, TraceFields) {
    const std::string umlauts = [] {
        std::string text;
        for (int k = 0; k < 64; ++k) {
            text += "\xC3\xBC";
        }
        return text;
    }();
    struct Row {
        std::string text;
        const char* problem; // nullptr: accepted
    };
    for (const Row& row : std::vector<Row>{
             {"17", nullptr},
             {"M\xC3\xBCller, Anna", nullptr},
             {std::string(64, 'x'), nullptr},
             {umlauts, nullptr},
             {"\xF0\x9F\x94\xA7 bench", nullptr},
             {"", "empty"},
             {" 17", "begins or ends with a blank"},
             {"17 ", "begins or ends with a blank"},
             {std::string(65, 'x'), "longer than 64 characters"},
             {umlauts + "x", "longer than 64 characters"},
             {"a\nb", "more than one line"},
             {"a\r", "more than one line"},
             {"a\xE2\x80\xA8"
              "b",
              "more than one line"},
             {"a\tb", "a control character"},
             {"a\x7F", "a control character"},
             {"a\xC2\x85", "a control character"},
             {"a\xC2\xA0"
              "b",
              nullptr},
             {"\xC3", "not UTF-8 text"},
             {"\xC3x", "not UTF-8 text"},
             {"\xC0\xAF", "not UTF-8 text"},
             {"\xED\xA0\x80", "not UTF-8 text"},
             {"\xF4\x90\x80\x80", "not UTF-8 text"},
             {"\xFF", "not UTF-8 text"},
         }) {
        const char* problem = archive_field_problem(row.text);
        EXPECT_EQ(std::string(problem ? problem : "-"),
                  std::string(row.problem ? row.problem : "-"))
            << row.text;
    }
}

// A record left half written (the program killed) stays a scratch folder, no record; records of
// the same second take the next free name, and neither a record nor an empty folder of that name
// is replaced.
TEST(Archive, RecordsAppearWholeAndReplaceNothing) {
    const fs::path dir = tool_make_test_dir("gm_archive_test_");
    const auto time = sys_days{year{2026} / 12 / 9} + 10h + 15min + 3s;
    std::string error;
    ArchiveScratch killed;
    ASSERT_TRUE(archive_begin(dir, "SN1", time, killed, error)) << error;
    ASSERT_TRUE(archive_put(killed, "report.txt", "half", false, error)) << error;
    const auto records = [&] {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir / "SN1")) {
            names.insert(entry.path().filename().string());
        }
        std::erase_if(names, [](const std::string& name) { return !archive_is_record_name(name); });
        return names;
    };
    EXPECT_EQ(records(), std::set<std::string>{});
    EXPECT_TRUE(killed.folder.filename().string().starts_with(std::string(archive_scratch_prefix) +
                                                              "20261209T101503Z-"));

    fs::create_directory(dir / "SN1" / "20261209T101503Z-2");
    const std::string log("a\r\nb\n\x00\xff", 7);
    tool_write_file(dir / "log", log);
    for (const char* text : {"first", "second", "third"}) {
        ArchiveScratch scratch;
        fs::path record;
        ASSERT_TRUE(archive_begin(dir, "SN1", time + 500ms, scratch, error)) << error;
        ASSERT_TRUE(archive_put(scratch, "report.txt", text, false, error)) << error;
        ASSERT_TRUE(archive_copy(scratch, "gyro_motor.txt", dir / "log", error)) << error;
        ASSERT_TRUE(archive_finish(scratch, record, error)) << error;
        EXPECT_EQ(tool_read_file(record / "report.txt"), text);
        // Sealed by its manifest, by name, in sha256sum's form.
        EXPECT_EQ(tool_read_file(record / "manifest.sha256"),
                  *digest_sha256(log) + "  gyro_motor.txt\n" + *digest_sha256(text) +
                      "  report.txt\n");
        EXPECT_FALSE(fs::exists(scratch.folder));
    }
    EXPECT_EQ(records(), (std::set<std::string>{"20261209T101503Z", "20261209T101503Z-2",
                                                "20261209T101503Z-3", "20261209T101503Z-4"}));
    EXPECT_TRUE(fs::is_empty(dir / "SN1" / "20261209T101503Z-2"));
    EXPECT_EQ(tool_read_file(dir / "SN1" / "20261209T101503Z" / "report.txt"), "first");
    EXPECT_EQ(tool_read_file(dir / "SN1" / "20261209T101503Z-4" / "report.txt"), "third");
    EXPECT_EQ(tool_read_file(dir / "SN1" / "20261209T101503Z-3" / "gyro_motor.txt"), log);
    EXPECT_EQ(tool_read_file(killed.folder / "report.txt"), "half");

    // No archive folder, a serial's name taken by a file: nothing is made. A failed record
    // leaves nothing behind.
    ArchiveScratch failed;
    EXPECT_FALSE(archive_begin(dir / "nowhere", "SN1", time, failed, error));
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    tool_write_file(dir / "SN2", "");
    EXPECT_FALSE(archive_begin(dir, "SN2", time, failed, error));
    ASSERT_TRUE(archive_begin(dir, "SN3", time, failed, error)) << error;
    EXPECT_FALSE(archive_copy(failed, "gyro_motor.txt", dir / "none", error));
    EXPECT_TRUE(archive_abandon(failed, error)) << error;
    EXPECT_TRUE(fs::is_empty(dir / "SN3"));
    fs::remove_all(dir);
}

// The names in a folder, through the files module (which takes long paths).
std::vector<std::string> listed(const fs::path& folder) {
    std::vector<FilesEntry> entries;
    std::string error;
    files_list(folder, entries, error);
    std::vector<std::string> names;
    for (const FilesEntry& entry : entries) {
        names.push_back(files_name(entry.name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Archive, OneSensorIsOneFolderWhateverTheLetterCase) {
    for (const auto& [a, b, same] : std::vector<std::tuple<const char*, const char*, bool>>{
             {"SN0042", "sn0042", true},
             {"Sn-0042_a.Z", "sN-0042_A.z", true},
             {"SN0042", "SN0043", false},
             {"SN1", "SN10", false},
             {"@", "`", false}, // the neighbours of A and a
             {"[", "{", false}, // of Z and z
         }) {
        EXPECT_EQ(archive_same_serial(a, b), same) << a << " " << b;
    }
    EXPECT_EQ(archive_folded("AZaz09.-_@[`{"), "azaz09.-_@[`{");

    const fs::path dir = tool_make_test_dir("gm_archive_test_");
    const auto time = sys_days{year{2026} / 12 / 9} + 10h + 15min + 3s;
    std::string error;
    ArchiveScratch scratch;
    fs::path record;
    ASSERT_TRUE(archive_begin(dir, "SN0042", time, scratch, error)) << error;
    ASSERT_TRUE(archive_finish(scratch, record, error)) << error;
    const std::string refusal = "\"sn0042\": " + files_name(dir) +
                                " holds this sensor as \"SN0042\": serials that differ only in "
                                "letter case are one sensor's";
    EXPECT_EQ(archive_refusal(dir, "sn0042"), refusal);
    EXPECT_FALSE(archive_begin(dir, "sn0042", time, scratch, error));
    EXPECT_EQ(error, refusal);
    EXPECT_EQ(archive_refusal(dir, "SN0042"), "");
    EXPECT_EQ(archive_refusal(dir, "SN00421"), "");
    // A file of the other spelling is no sensor's folder.
    tool_write_file(dir / "sn7", "");
    EXPECT_EQ(archive_refusal(dir, "SN7"), "");
    EXPECT_EQ(listed(dir), (std::vector<std::string>{"SN0042", "sn7"}));
    EXPECT_EQ(listed(dir / "SN0042"), std::vector<std::string>{"20261209T101503Z"});
    // Where both spellings are folders already (written by Linux before), each takes its own.
    if (!fs::exists(dir / "sN0042") && fs::create_directory(dir / "sn0042")) {
        EXPECT_EQ(archive_refusal(dir, "SN0042"), "");
        EXPECT_EQ(archive_refusal(dir, "sn0042"), "");
        EXPECT_NE(archive_refusal(dir, "Sn0042"), "");
    }
    fs::remove_all(dir);
}

// The archive path as a file, or missing, is said so; a name too long for the file system, or a
// path that is one character too long for the longest file a record holds, is refused before
// anything is made.
TEST(Archive, WhatCannotHoldARecordIsSaidBeforeAnythingIsMade) {
    const fs::path dir = tool_make_test_dir("gm_archive_test_");
    const auto time = sys_days{year{2026} / 12 / 9} + 10h + 15min + 3s;
    std::string error;
    ArchiveScratch scratch;
    tool_write_file(dir / "file", "");
    EXPECT_FALSE(archive_begin(dir / "file", "SN1", time, scratch, error));
    EXPECT_EQ(error, files_name(dir / "file") + ": is a file, not a folder");
    EXPECT_FALSE(archive_begin(dir / "missing", "SN1", time, scratch, error));
    EXPECT_EQ(error, files_name(dir / "missing") + ": no such folder");

    const fs::path long_name = dir / std::string(256, 'n');
    EXPECT_NE(archive_refusal(long_name, "SN1").find(": a name in it is longer than 255 "),
              std::string::npos);
    // DIR/SN1/.partial-20261209T101503Z-HOST-PID-1000/gyro_motor_times.txt at the system's
    // longest path, and one character past it.
    const std::string host = archive_host_name().substr(0, archive_serial_max);
    const std::size_t tail = std::string("/SN1/.partial-20261209T101503Z-").size() +
                             (host.empty() ? 4 : host.size()) + 1 +
                             std::to_string(archive_process_id()).size() +
                             std::string("-1000/gyro_motor_times.txt").size();
    const std::size_t whole = files_whole_max;
    const std::size_t base = files_system(dir).native().size() + 1;
    std::string filler;
    while (base + filler.size() + 101 + tail <= whole) {
        filler += std::string(100, 'f') + "/";
    }
    filler += std::string(whole - base - filler.size() - tail, 'g');
    EXPECT_EQ(archive_refusal(dir / filler, "SN1"), "");
    const std::string refused = archive_refusal(dir / (filler + "g"), "SN1");
    EXPECT_NE(refused.find("gyro_motor_times.txt: the path is longer than the "), std::string::npos)
        << refused;
    EXPECT_NE(refused.find(", so no record fits there"), std::string::npos);
    EXPECT_EQ(listed(dir), std::vector<std::string>{"file"});
    fs::remove_all(dir);
}

// Below a folder of more than 300 characters a record is written whole, and a failed one leaves
// no scratch folder.
TEST(Archive, RecordsBelowALongFolder) {
    const fs::path dir = tool_make_test_dir("gm_archive_test_");
    fs::path deep = dir;
    for (const char c : {'a', 'b', 'c', 'd'}) {
        deep /= files_path(std::string(80, c) + "ü");
    }
    std::error_code code;
    ASSERT_TRUE(fs::create_directories(files_system(deep), code)) << code.message();
    ASSERT_GT(files_name(deep).size(), 300u);
    const auto time = sys_days{year{2026} / 12 / 9} + 10h + 15min + 3s;
    std::string error;
    ArchiveScratch scratch;
    fs::path record;
    tool_write_file(dir / "log", "log");
    ASSERT_TRUE(archive_begin(deep, "SN1", time, scratch, error)) << error;
    ASSERT_TRUE(archive_put(scratch, "report.txt", "text", true, error)) << error;
    ASSERT_TRUE(archive_copy(scratch, "gyro_motor.txt", dir / "log", error)) << error;
    ASSERT_TRUE(archive_finish(scratch, record, error)) << error;
    EXPECT_EQ(record, deep / "SN1" / "20261209T101503Z");
    EXPECT_EQ(listed(record),
              (std::vector<std::string>{"gyro_motor.txt", "manifest.sha256", "report.txt"}));

    ArchiveScratch failed;
    ASSERT_TRUE(archive_begin(deep, "SN1", time, failed, error)) << error;
    ASSERT_TRUE(archive_put(failed, "report.txt", "text", true, error)) << error;
    ASSERT_TRUE(fs::create_directory(files_system(failed.folder / "inner")));
    ASSERT_TRUE(archive_put(failed, "inner/more.txt", "text", true, error)) << error;
    EXPECT_FALSE(archive_copy(failed, "gyro_motor.txt", dir / "none", error));
    EXPECT_TRUE(archive_abandon(failed, error)) << error;
    EXPECT_EQ(listed(deep / "SN1"), std::vector<std::string>{"20261209T101503Z"});
    EXPECT_TRUE(files_remove_all(dir));
}

} // namespace
