// The sensor archive: one folder per sensor serial, in it one folder per sweep, named by the UTC
// time of its report:
//
//   DIR/ID/20261209T101503Z/                  a record
//   DIR/ID/20261209T101503Z-2/                a second record in the same second (-3, -4, ...)
//   DIR/ID/.partial-20261209T101503Z-HOST-PID/  a record being written, or left by a crash
//
// A record is written whole in its scratch folder, put on the disk, and then renamed to its
// name, so that it appears whole or not at all. The rename never replaces anything already there:
// a name that is taken makes it try the next one. Nothing is rewritten after the rename, so
// bench PCs that share one folder (a network share) never write the same file.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// The start of a scratch folder's name: never a serial's, never a record's.
inline constexpr std::string_view archive_scratch_prefix = ".partial-";
inline constexpr std::size_t archive_serial_max = 64;

// A serial is a plain name: 1 to 64 of A-Z a-z 0-9 . _ -, not starting with '.' (which also
// rules out "." and "..").
bool archive_valid_serial(std::string_view serial);

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

// Puts the record's files on the disk, then renames the scratch folder to the first of NAME,
// NAME-2, NAME-3, ... that is free; `record` is where it went.
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
