// The checks a record of the sensor archive passes before anything reads it as one. A record
// (DIR/SERIAL/20261209T101503Z/) is whole when
//   - its manifest.sha256 lists every other file of the folder with its SHA-256, and each
//     matches (a record of an older layout, without record.format, has none: it is read, but
//     is unverified);
//   - its report.json's record.serial is the serial of the folder it lies in;
//   - every figure is a number or null;
//   - it has a verdict where it must: its record.outcome is PASS or FAIL, or it holds limits.toml
//     and has no outcome (written before outcomes were recorded);
//   - its verdict is the one that its own limits.toml (the file whose SHA-256 the verdict keeps)
//     gives for its own figures, and agrees with the outcome.
// A record that is not whole has a reason, "CLASS: what": altered (the files are not those the
// record was written with), misfiled, damaged (a part is missing or of the wrong kind) or
// wrong verdict.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct VerifiedRecord {
    nlohmann::ordered_json document; // report.json
    bool sealed = false;             // it has record.format and its manifest matched
    std::optional<bool> passed;      // the verdict, worked out again; nothing without one
    // What the verdict failed on: the figures' paths in the limits' order, then broken_records
    // and broken_times where those failed it.
    std::vector<std::string> failed;
    std::string limits_sha256; // of the limits the verdict applied; empty for an older record
};

// Reads and checks the record in `folder`, which lies in the sensor folder named `serial`. False
// when it is not a readable, whole record, with the reason in `error` and in `where` the path it
// is about: report.json's when that cannot be read as a report, else the record's folder.
bool verify_record(const std::filesystem::path& folder, const std::string& serial,
                   VerifiedRecord& record, std::string& where, std::string& error);

// Whether the folder's files are those its manifest.sha256 lists: every line "SHA256  NAME"
// (or "SHA256 *NAME") of a plain file name, no name twice, each file there with that SHA-256,
// and no other file in the folder. False with the reason in `error`.
bool verify_manifest(const std::filesystem::path& folder, std::string& error);

// A file of a record read whole, a UTF-8 byte-order mark skipped; false with the reason ("no
// report.json", "cannot read report.json: ...").
bool verify_read_file(const std::filesystem::path& path, std::string& text, std::string& error);
