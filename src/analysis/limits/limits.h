// Production limits on the report's figures, read from a TOML file, and the verdict of a report
// against them:
//
//   name = "HS-200 production, rev C"
//   [figures]
//   "heading.peak_deviation_deg" = { max = 0.5 }
//   "yaw_rate.scale_error_percent" = { min = -0.3, max = 0.3 }
//   "tilt.roll_mean_deg" = { max_abs = 0.5 }
//   [guard]
//   "heading.peak_deviation_deg" = 0.02
//
// A figure is named by its path in the report's JSON document, "group.key": every number (or
// null) there can take a limit, so a figure the report gains is limitable without a change here.
//
// A value passes when min <= value <= max and |value| <= max_abs, each bound moved inward by the
// figure's guard. The value is the number the report's JSON holds, the same double any reader
// parses back from it. A bound is the limit as written; with a guard, the limit moved by the
// guard and rounded to 15 significant digits, as a person works it out: 0.3 less a guard of 0.1
// is 0.2, where plain doubles give 0.19999999999999998. So a value exactly on a limit passes,
// guarded or not.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// One figure's limits, any of min, max and max_abs, and its guard.
struct LimitsFigure {
    std::string figure; // "heading.peak_deviation_deg"
    std::optional<double> min, max, max_abs, guard;
    unsigned line = 0; // where the limits file names it; 0 when read back from a report
};

struct Limits {
    std::string name;                  // what the file calls itself
    std::string file;                  // the file's base name
    std::string text;                  // the file's bytes as read
    std::vector<LimitsFigure> figures; // in the file's order
};

// Reads a limits file; `document` is a report's JSON document, whose numbers and nulls are the
// figures that may be named. A leading UTF-8 byte order mark is skipped. False, with one line
// "PATH:LINE: message" in `error`, for a file that cannot be read, is no TOML, or names a figure
// the report does not have, a limit that is not a number, a min above its max, a negative guard
// or max_abs, limits or a guard that leave nothing to pass (min = max leaves one value, as does a
// guard as wide as max_abs), or anything the file should not hold.
bool limits_read(const std::string& path, const nlohmann::ordered_json& document, Limits& limits,
                 std::string& error);

// The figures that carry a sign, the size of which is what a limit means: the peak deviation
// (the deviation of largest size, with its sign), B-E, the scale error and the tilt levels.
std::vector<std::string> limits_signed_figures();

// Lines "PATH:LINE: warning: ..." for each figure that carries a sign and has max alone or min
// alone, which leaves the other side unbounded; max_abs limits its size. The file is still good.
std::vector<std::string> limits_warnings(const Limits& limits, const std::string& path);

// The figures of a report's JSON document: the paths of its numbers and nulls, in its order.
std::vector<std::string> limits_figure_paths(const nlohmann::ordered_json& document);

// The limits as applied, as the verdict's JSON holds them:
// {"name": ..., "file": ..., "figures": {"group.key": {"min", "max", "max_abs", "guard"}}},
// null for a limit not given.
nlohmann::ordered_json limits_json(const Limits& limits);

// The limits read back from that JSON (a report's verdict.limits). False, with the reason in
// `error`, when it is not of that form.
bool limits_from_json(const nlohmann::json& json, Limits& limits, std::string& error);

// A figure against its limits: nullptr when it passes, else why not: "not measured", "below
// min", "above max", "outside max_abs", "within the guard of min", "within the guard of max" or
// "within the guard of max_abs". A value that is empty or not finite is not measured.
const char* limits_judge_value(const LimitsFigure& limit, std::optional<double> value);

struct LimitsRow {
    LimitsFigure limit;
    std::optional<double> value;  // empty: not measured
    const char* reason = nullptr; // why it failed; nullptr when it passed
};

struct LimitsVerdict {
    Limits limits;
    std::vector<LimitsRow> rows; // one per limited figure, in the file's order
    std::size_t failed = 0;      // rows that failed
    std::size_t broken_records = 0;
    bool broken_times = false; // a times file that could not be used: the fits went by number
    bool pass = false;         // no row failed, and the log and its times were whole
};

// Judges the figures of a report's JSON document. Broken log records, or a broken times file,
// make the verdict FAIL whatever the figures say.
LimitsVerdict limits_judge(const Limits& limits, const nlohmann::ordered_json& document,
                           std::size_t broken_records, bool broken_times);

// A verdict row as the verdict's text shows it: the figure, its value ("absent" when not
// measured; as close to its bound as it lies, never shown so that it would be judged otherwise),
// the limits without the guard ("min -0.3, max 0.3"), the guard ("0.02", empty without one), and
// "pass" or "FAIL: why".
struct LimitsRowText {
    std::string figure, value, limits, guard, result;
};
LimitsRowText limits_row_text(const LimitsRow& row);

// The verdict's last line: "Verdict: PASS" or "Verdict: FAIL (N of M figures)", without a line
// end.
std::string limits_verdict_line(const LimitsVerdict& verdict);

// The report's verdict section: a title, one row per figure (value, limits, pass or FAIL and
// why), what else failed, and the last line "Verdict: PASS" or "Verdict: FAIL (N of M figures)".
std::string limits_text(const LimitsVerdict& verdict);

// The verdict as the report's JSON holds it under "verdict".
nlohmann::ordered_json limits_verdict_json(const LimitsVerdict& verdict);
