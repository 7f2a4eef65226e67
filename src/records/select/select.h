// Which records a view of the archive takes: the filters on the serial, the time, the limits
// applied and the traceability fields.
#pragma once

#include "records/history/history.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Whether `text` matches `glob`, in which * stands for any run of characters and ? for one.
bool select_glob_match(std::string_view glob, std::string_view text);

struct SelectFilter {
    std::string serial_glob;           // empty: every serial
    std::optional<std::int64_t> since; // records at or after
    std::optional<std::int64_t> until; // records at or before
    // Records judged against limits of this name, or whose file's SHA-256 begins with these
    // (8 to 64) hexadecimal digits, or shown so by history_limits_shown.
    std::optional<std::string> limits_name;
    // Records whose operator, station, lot or part match the glob; empty: any.
    std::array<std::string, archive_trace_fields.size()> trace_globs;
};

// The first (8 to 64) hexadecimal digits of a limits file's SHA-256 that `wanted` gives, in
// lower case; nothing when it is no such digits.
std::optional<std::string> select_digest_digits(std::string_view wanted);

// Leaves the records that pass the filter; the serial's glob matches in any letter case.
void select_filter(std::vector<HistoryRecord>& records, const SelectFilter& filter);
