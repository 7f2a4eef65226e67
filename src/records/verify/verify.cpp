#include "records/verify/verify.h"

#include "analysis/limits/limits.h"
#include "base/files/files.h"
#include "records/archive/archive.h"
#include "records/digest/digest.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::ordered_json;

} // namespace

bool verify_read_file(const fs::path& path, std::string& text, std::string& error) {
    const std::string name = files_name(path.filename());
    std::FILE* file = files_open(files_name(path), "rb");
    if (file == nullptr) {
        error =
            errno == ENOENT ? "no " + name : "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    files_skip_bom(file);
    std::array<char, 65536> buffer;
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        text.append(buffer.data(), got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = "cannot read " + name;
    }
    return !failed;
}

namespace {

// One line of a manifest: "SHA256  NAME" or "SHA256 *NAME", NAME a plain file name.
bool verify_manifest_line(std::string_view line, std::string& hex, std::string& name) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1); // saved by a Windows editor
    }
    if (line.size() < 67 || !digest_is_hex(line.substr(0, 64)) || line[64] != ' ' ||
        (line[65] != ' ' && line[65] != '*')) {
        return false;
    }
    hex = line.substr(0, 64);
    name = line.substr(66);
    return name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

// The first figure (a leaf outside record and verdict) that is text rather than a number or
// null, by its path; empty when there is none.
std::string verify_text_figure(const Json& node, const std::string& path) {
    if (node.is_string()) {
        return path;
    }
    if (node.is_object() || node.is_array()) {
        std::size_t index = 0;
        for (const auto& [key, value] : node.items()) {
            if (path.empty() && (key == "record" || key == "verdict")) {
                continue;
            }
            const std::string part = node.is_array() ? std::to_string(index++) : key;
            const std::string found =
                verify_text_figure(value, path.empty() ? part : path + "." + part);
            if (!found.empty()) {
                return found;
            }
        }
    }
    return {};
}

// The limits the verdict applied: the record's limits.toml, or (a record of the older layout
// without that file) the verdict's own copy of them, `applied`. Sets the record's limits_sha256.
bool verify_limits(const fs::path& folder, const Json& applied, VerifiedRecord& record,
                   Limits& limits, std::string& error) {
    const fs::path file = folder / "limits.toml";
    std::error_code code;
    if (!fs::exists(files_system(file), code)) {
        if (record.sealed) {
            error = "damaged: a verdict without limits.toml";
            return false;
        }
        if (!limits_from_json(applied, limits, error)) {
            error = "damaged: verdict.limits: " + error;
            return false;
        }
        return true;
    }
    if (!limits_read(files_name(file), record.document, limits, error)) {
        error = "damaged: " + error;
        return false;
    }
    const std::optional<std::string> digest = digest_sha256(limits.text);
    if (!digest) {
        error = "limits.toml: cannot hash it";
        return false;
    }
    const auto stored = applied.find("sha256");
    if ((record.sealed || stored != applied.end()) &&
        (stored == applied.end() || !stored->is_string() || *stored != *digest)) {
        error = "altered: limits.toml is not the file the verdict applied (its SHA-256 differs "
                "from verdict.limits.sha256)";
        return false;
    }
    const auto name = applied.find("name");
    if (name == applied.end() || !name->is_string() || *name != limits.name) {
        error = "altered: verdict.limits.name is not the name in limits.toml (" + limits.name + ")";
        return false;
    }
    record.limits_sha256 = *digest;
    return true;
}

// The verdict worked out again from the record's limits and figures, against the stored one.
bool verify_verdict(const fs::path& folder, const std::optional<std::string>& outcome,
                    VerifiedRecord& record, std::string& error) {
    const Json& verdict = record.document["verdict"];
    if (!verdict.is_object()) {
        error = "damaged: verdict is neither an object nor null";
        return false;
    }
    const auto result = verdict.find("result");
    if (result == verdict.end() || !result->is_string() ||
        (*result != "PASS" && *result != "FAIL")) {
        error = "damaged: verdict.result is neither PASS nor FAIL";
        return false;
    }
    const auto applied = verdict.find("limits");
    if (applied == verdict.end() || !applied->is_object()) {
        error = "damaged: no verdict.limits";
        return false;
    }
    Limits limits;
    if (!verify_limits(folder, *applied, record, limits, error)) {
        return false;
    }
    const auto records = verdict.find("broken_records");
    const std::size_t broken_records =
        records != verdict.end() && records->is_number_unsigned() ? records->get<std::size_t>() : 0;
    const auto times = verdict.find("broken_times");
    const bool broken_times = times != verdict.end() && times->is_boolean() && times->get<bool>();
    const LimitsVerdict again = limits_judge(limits, record.document, broken_records, broken_times);
    const std::string stored = result->get<std::string>();
    const char* worked_out = again.pass ? "PASS" : "FAIL";
    if (stored != worked_out) {
        error = "wrong verdict: it says " + stored + ", its figures against its limits give " +
                worked_out;
        return false;
    }
    if (record.sealed) {
        // The whole verdict, not its result alone: the views and the database read its rows and
        // its copy of the limits. Only where the bench read the limits from is the bench's own.
        Json expected = limits_verdict_json(again);
        expected["limits"]["file"] = applied->value("file", Json());
        expected["limits"]["sha256"] = record.limits_sha256;
        if (expected != verdict) {
            error = "wrong verdict: its rows or its copy of the limits are not what its "
                    "limits.toml gives for its figures";
            return false;
        }
    }
    if (outcome && (*outcome == "PASS" || *outcome == "FAIL") && *outcome != stored) {
        error = "damaged: record.outcome " + *outcome + " is not the verdict " + stored;
        return false;
    }
    record.passed = again.pass;
    for (const LimitsRow& row : again.rows) {
        if (row.reason != nullptr) {
            record.failed.push_back(row.limit.figure);
        }
    }
    if (broken_records > 0) {
        record.failed.emplace_back("broken_records");
    }
    if (broken_times) {
        record.failed.emplace_back("broken_times");
    }
    return true;
}

// record.format: false with the reason for a record whose layout says it must have a manifest
// and has none, or the other way round, or a layout this program does not know.
bool verify_format(const Json& about, bool has_manifest, bool& sealed, std::string& error) {
    const auto format = about.find("format");
    if (format == about.end()) {
        if (has_manifest) {
            error = "altered: a manifest, but report.json has no record.format";
            return false;
        }
        sealed = false;
        return true;
    }
    if (!format->is_number_integer() || *format != archive_format) {
        error = "record.format " + format->dump() + " is not one this program reads (" +
                std::to_string(archive_format) + ")";
        return false;
    }
    if (!has_manifest) {
        error = "altered: no " + std::string(archive_manifest_name) + ", which record.format " +
                std::to_string(archive_format) + " has";
        return false;
    }
    sealed = true;
    return true;
}

// The checks on report.json once read as a report.
bool verify_document(const fs::path& folder, const std::string& serial, VerifiedRecord& record,
                     std::string& error) {
    const Json& about = record.document["record"];
    const auto named = about.find("serial");
    // Windows keeps sn0042's records in a folder SN0042: one sensor, not a misfiled record.
    if (named != about.end() && named->is_string() &&
        !archive_same_serial(named->get<std::string>(), serial)) {
        error =
            "misfiled: record.serial is " + named->get<std::string>() + ", the folder " + serial;
        return false;
    }
    if (const std::string text = verify_text_figure(record.document, ""); !text.empty()) {
        error = "damaged: " + text + " is not a number";
        return false;
    }
    std::optional<std::string> outcome;
    if (const auto found = about.find("outcome"); found != about.end() && !found->is_null()) {
        static const std::set<std::string> outcomes{"PASS", "FAIL", "ERROR", "ABORTED"};
        if (!found->is_string() || outcomes.count(found->get<std::string>()) == 0) {
            error = "damaged: record.outcome is none of PASS, FAIL, ERROR and ABORTED";
            return false;
        }
        outcome = found->get<std::string>();
    }
    std::error_code code;
    const bool has_limits = fs::exists(files_system(folder / "limits.toml"), code);
    const auto verdict = record.document.find("verdict");
    if (verdict == record.document.end() || verdict->is_null()) {
        if (outcome && (*outcome == "PASS" || *outcome == "FAIL")) {
            error = "damaged: no verdict, though record.outcome is " + *outcome;
            return false;
        }
        if (!outcome && has_limits) {
            error = "damaged: no verdict, though the record holds limits.toml";
            return false;
        }
        return true;
    }
    return verify_verdict(folder, outcome, record, error);
}

} // namespace

bool verify_manifest(const fs::path& folder, std::string& error) {
    std::string text;
    if (!verify_read_file(folder / archive_manifest_name, text, error)) {
        error = "altered: " + error;
        return false;
    }
    std::set<std::string> listed;
    std::size_t start = 0;
    for (unsigned line = 1; start < text.size(); ++line) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string hex;
        std::string name;
        if (!verify_manifest_line(std::string_view(text).substr(start, end - start), hex, name) ||
            !listed.insert(name).second) {
            error = "altered: " + std::string(archive_manifest_name) + " line " +
                    std::to_string(line) + " is no \"SHA256  FILE\" of a file not listed before";
            return false;
        }
        std::string actual;
        std::error_code code;
        if (!fs::is_regular_file(files_system(folder / files_path(name)), code)) {
            error = "altered: " + name + " is in the manifest but not in the record";
            return false;
        }
        if (!digest_file(folder / files_path(name), actual, error)) {
            error = "altered: " + error;
            return false;
        }
        if (actual != hex) {
            error = "altered: " + name + " does not match its manifest";
            return false;
        }
        start = end + 1;
    }
    std::vector<FilesEntry> entries;
    std::string reason;
    if (!files_list(folder, entries, reason)) {
        error = "cannot list the record: " + reason;
        return false;
    }
    for (const FilesEntry& entry : entries) {
        const std::string name = files_name(entry.name);
        if (name != archive_manifest_name && listed.count(name) == 0) {
            error = "altered: " + name + " is not in the manifest";
            return false;
        }
    }
    return true;
}

bool verify_record(const fs::path& folder, const std::string& serial, VerifiedRecord& record,
                   std::string& where, std::string& error) {
    where = files_name(folder);
    std::error_code code;
    const bool has_manifest = fs::exists(files_system(folder / archive_manifest_name), code);
    if (has_manifest && !verify_manifest(folder, error)) {
        return false;
    }
    const fs::path json = folder / "report.json";
    std::string text;
    if (!verify_read_file(json, text, error)) {
        return false;
    }
    where = files_name(json);
    try {
        record.document = Json::parse(text);
    } catch (const Json::parse_error& failure) {
        // "[json.exception.parse_error.101] parse error at line 1, ...": the part after the tag.
        const char* what = failure.what();
        const char* message = std::strchr(what, ']');
        error = std::string("not valid JSON: ") + (message != nullptr ? message + 2 : what);
        return false;
    }
    if (!record.document.is_object()) {
        error = "not a JSON object";
        return false;
    }
    const auto about = record.document.find("record");
    if (about == record.document.end() || !about->is_object()) {
        error = "no record (not an archived report)";
        return false;
    }
    where = files_name(folder);
    return verify_format(*about, has_manifest, record.sealed, error) &&
           verify_document(folder, serial, record, error);
}
