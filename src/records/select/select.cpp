#include "records/select/select.h"

#include <algorithm>

bool select_glob_match(std::string_view glob, std::string_view text) {
    // Backtracks to the last * only: enough, since a later * can take whatever an earlier one
    // would have.
    std::size_t g = 0;
    std::size_t t = 0;
    std::optional<std::size_t> star;
    std::size_t star_text = 0;
    while (t < text.size()) {
        if (g < glob.size() && (glob[g] == '?' || glob[g] == text[t])) {
            ++g;
            ++t;
        } else if (g < glob.size() && glob[g] == '*') {
            star = g++;
            star_text = t;
        } else if (star) {
            g = *star + 1;
            t = ++star_text;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == '*') {
        ++g;
    }
    return g == glob.size();
}

std::optional<std::string> select_digest_digits(std::string_view wanted) {
    std::string digits(wanted);
    std::transform(digits.begin(), digits.end(), digits.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c + 32) : c; });
    if (digits.size() < 8 || digits.size() > 64 ||
        digits.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return std::nullopt;
    }
    return digits;
}

namespace {

// Whether the record was judged against the limits that `wanted` names (SelectFilter).
bool select_limits_match(const HistoryRecord& record, const std::string& wanted) {
    if (!record.passed) {
        return false;
    }
    if (wanted == record.limits_name || wanted == history_limits_shown(record)) {
        return true;
    }
    const std::optional<std::string> digits = select_digest_digits(wanted);
    return digits && record.limits_sha256.starts_with(*digits);
}

} // namespace

void select_filter(std::vector<HistoryRecord>& records, const SelectFilter& filter) {
    std::erase_if(records, [&](const HistoryRecord& record) {
        for (std::size_t k = 0; k < filter.trace_globs.size(); ++k) {
            if (!filter.trace_globs[k].empty() &&
                (!record.trace[k] || !select_glob_match(filter.trace_globs[k], *record.trace[k]))) {
                return true;
            }
        }
        return (!filter.serial_glob.empty() &&
                !select_glob_match(archive_folded(filter.serial_glob),
                                   archive_folded(record.serial))) ||
               (filter.since && record.seconds < *filter.since) ||
               (filter.until && record.seconds > *filter.until) ||
               (filter.limits_name && !select_limits_match(record, *filter.limits_name));
    });
}
