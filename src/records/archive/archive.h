// The sensor archive: one folder per sensor serial, in it one folder per sweep, named by the UTC
// time of its report:
//
//   DIR/ID/20261209T101503Z/                  a record
//   DIR/ID/20261209T101503Z-2/                a second record in the same second (-3, -4, ...)
//   DIR/ID/.partial-20261209T101503Z-HOST-PID/  a record being written, or left by a crash
//
// A record is written whole in its scratch folder, closed with its manifest (manifest.sha256:
// the SHA-256 of every other file, as sha256sum writes it), put on the disk, and then renamed to
// its name, so that it appears whole or not at all. The rename never replaces anything already
// there: a name that is taken makes it try the next one. Nothing is rewritten after the rename, so
// bench PCs that share one folder (a network share) never write the same file.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The start of a scratch folder's name: never a serial's, never a record's.
inline constexpr std::string_view archive_scratch_prefix = ".partial-";
inline constexpr std::size_t archive_serial_max = 64;

// The version of the record's layout, report.json's record.format: 2 is the first with a
// manifest; a record without record.format is older.
inline constexpr int archive_format = 2;
inline constexpr std::string_view archive_manifest_name = "manifest.sha256";

// Who, where and what was tested, kept in report.json's record under these names.
inline constexpr std::array<const char*, 4> archive_trace_fields{"operator", "station", "lot",
                                                                 "part"};
// Their places in archive_trace_fields.
inline constexpr std::size_t archive_operator = 0;
inline constexpr std::size_t archive_station = 1;
inline constexpr std::size_t archive_lot = 2;
inline constexpr std::size_t archive_part = 3;
inline constexpr std::size_t archive_field_max = 64;

// A serial is a plain name: 1 to 64 of A-Z a-z 0-9 . _ -, not starting with '.' (which also
// rules out "." and ".."), not ending with '.', and no device name of Windows (CON, PRN, AUX,
// NUL, COM1-COM9, LPT1-LPT9, in any letter case, alone or before a '.'), on every platform:
// records travel between platforms on a share.
bool archive_valid_serial(std::string_view serial);

// What is wrong with a traceability field (an operator, a station, a lot, a part): nullptr when
// it is 1 to 64 characters of UTF-8 on one line, none of them a control character, and neither
// begins nor ends with a blank (" 17" would be another lot than "17" that looks the same).
const char* archive_field_problem(std::string_view text);
// Whether two serials name one sensor: the same letters, in any letter case. A share read by
// Windows holds one folder for both, so the archive takes only one of them.
bool archive_same_serial(std::string_view a, std::string_view b);

// The serial in small letters: the same for every spelling of one sensor's serial.
std::string archive_folded(std::string_view serial);

// Why a record of sensor `serial` cannot go into DIR, said before anything is written; empty
// when nothing that can be seen now stands in its way (a DIR that is missing is archive_begin's
// to report): DIR holds the sensor under another spelling (SN0042 when sn0042 is to be archived),
// or a path the record needs is more than the file system takes (files_unusable).
std::string archive_refusal(const std::filesystem::path& dir, const std::string& serial);

// A record's folder name: 8 digits, T, 6 digits, Z, and perhaps - and digits
// (^[0-9]{8}T[0-9]{6}Z(-[0-9]+)?$).
bool archive_is_record_name(std::string_view name);

// The time as a record's name, "20261209T101503Z", and as the record's JSON holds it,
// "2026-12-09T10:15:03Z": the same instant, UTC, to the second.
std::string archive_record_name(std::chrono::system_clock::time_point time);
std::string archive_record_time(std::chrono::system_clock::time_point time);

// The same instant as this computer's local time with its offset from UTC, as people at the bench
// read their clocks: "2026-12-09T11:15:03+01:00". Empty when the system cannot tell.
std::string archive_local_time(std::chrono::system_clock::time_point time);

// A UTC time as 2026-12-09T10:15:03Z or 20261209T101503Z, or a date as 2026-12-09 (then
// `date_only` is set and the time is its midnight), in seconds since 1970. Nothing for any other
// text or a day that does not exist.
std::optional<std::int64_t> archive_parse_time(std::string_view text, bool& date_only);

// A record being written.
struct ArchiveScratch {
    std::filesystem::path sensor; // DIR/ID
    std::filesystem::path folder; // DIR/ID/.partial-NAME-HOST-PID
    std::string name;             // the name it is to take, NAME
};

// Makes the scratch folder for a record of sensor `serial` taken at `time`, and DIR/ID if this
// is the sensor's first. DIR must exist: a mistyped share is not quietly made a folder. False,
// with the reason in `error`, when it cannot or archive_refusal refuses.
bool archive_begin(const std::filesystem::path& dir, const std::string& serial,
                   std::chrono::system_clock::time_point time, ArchiveScratch& scratch,
                   std::string& error);

// Writes `bytes` as the file `name` of the record, in text mode when `text` (Windows line ends
// on Windows, as the console shows the text).
bool archive_put(const ArchiveScratch& scratch, const std::string& name, std::string_view bytes,
                 bool text, std::string& error);

// Copies the file at `from`, byte for byte, as the file `name` of the record.
bool archive_copy(const ArchiveScratch& scratch, const std::string& name,
                  const std::filesystem::path& from, std::string& error);

// Writes the folder's manifest.sha256: one line "SHA256  NAME" per other file, by name, in the
// form sha256sum writes and checks (sha256sum -c manifest.sha256).
bool archive_write_manifest(const std::filesystem::path& folder, std::string& error);

// Writes the record's manifest, puts the record's files on the disk, then renames the scratch
// folder to the first of NAME, NAME-2, NAME-3, ... that is free; `record` is where it went.
bool archive_finish(const ArchiveScratch& scratch, std::filesystem::path& record,
                    std::string& error);

// Removes the scratch folder and all it holds, after a failure; false, said in `error`, when
// some of it stays.
bool archive_abandon(const ArchiveScratch& scratch, std::string& error);

// The platform's part, one file per platform; every path goes to the system through
// files_system.
// The computer's name, and this process's number.
std::string archive_host_name();
unsigned long archive_process_id();
// Asks the system to put the file, or the folder's entries, on the disk. A file system that
// cannot (a network share may not) is no failure.
bool archive_sync(const std::filesystem::path& path, bool folder, std::string& error);
// Renames folder `from` to `to`, which it must never replace.
enum class ArchiveRename { done, taken, failed };
ArchiveRename archive_rename(const std::filesystem::path& from, const std::filesystem::path& to,
                             std::string& error);
