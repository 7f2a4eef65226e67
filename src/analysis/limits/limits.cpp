#include "analysis/limits/limits.h"

#include "base/files/files.h"
#include "base/text/text.h"

#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string_view>

namespace {

// The file's bytes, or nothing with the reason in `error`.
std::optional<std::string> limits_load(const std::string& path, std::string& error) {
    std::FILE* file = files_open(path, "rb");
    if (file == nullptr) {
        error = path + ": cannot open: " + files_failure(path, errno);
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, count);
    }
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    if (!read) {
        error = path + ": cannot read it";
        return std::nullopt;
    }
    return text;
}

// A limit's number: an integer or a finite float.
std::optional<double> limits_number(const toml::node& node) {
    if (const auto* integer = node.as_integer()) {
        return static_cast<double>(integer->get());
    }
    if (const auto* floating = node.as_floating_point();
        floating && std::isfinite(floating->get())) {
        return floating->get();
    }
    return std::nullopt;
}

// The shortest of the value's %g forms from `digits` significant digits up that `good` accepts,
// read back; the full 17 digits at most.
std::string limits_shown(double value, int digits, const std::function<bool(double)>& good) {
    for (; digits < 17; ++digits) {
        std::string shown = text_format("%.*g", digits, value);
        if (good(std::strtod(shown.c_str(), nullptr))) {
            return shown;
        }
    }
    return text_format("%.17g", value);
}

// A limit as written: its shortest form from 6 digits up (%g drops trailing zeros) that reads
// back the same.
std::string limits_shown(double value) {
    return limits_shown(value, 6, [value](double shown) { return shown == value; });
}

// The bound a guard makes of a limit, moved inward: see the header.
double limits_bound(double limit, const std::optional<double>& guard, double inward) {
    if (!guard || *guard == 0) {
        return limit;
    }
    return std::strtod(text_format("%.15g", limit + inward * *guard).c_str(), nullptr);
}

nlohmann::ordered_json limits_optional(const std::optional<double>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

// The checks of one figure's limits once read: "" when they are sound.
std::string limits_problem(const LimitsFigure& f) {
    if (!f.min && !f.max && !f.max_abs) {
        return "no limit (min, max or max_abs)";
    }
    if (f.min && f.max && *f.min > *f.max) {
        return "min is above max";
    }
    if (f.max_abs && *f.max_abs < 0) {
        return "max_abs is below 0";
    }
    if (f.guard && *f.guard < 0) {
        return "the guard is below 0";
    }
    // Whether the bounds, moved inward by `guard`, leave no value between them (min = max
    // leaves one).
    const auto nothing_passes = [&f](const std::optional<double>& guard) {
        const double low = std::max(f.min ? limits_bound(*f.min, guard, 1) : -HUGE_VAL,
                                    f.max_abs ? limits_bound(-*f.max_abs, guard, 1) : -HUGE_VAL);
        const double high = std::min(f.max ? limits_bound(*f.max, guard, -1) : HUGE_VAL,
                                     f.max_abs ? limits_bound(*f.max_abs, guard, -1) : HUGE_VAL);
        return low > high;
    };
    if (nothing_passes(std::nullopt)) {
        return "the limits leave no value that passes";
    }
    return nothing_passes(f.guard) ? "the guard leaves no value that passes" : "";
}

// Reads [figures] into `limits`; false with "LINE: message" in `error`.
bool limits_read_figures(const toml::table& figures, const std::vector<std::string>& known,
                         Limits& limits, std::string& error) {
    for (const auto& [key, node] : figures) {
        LimitsFigure limit;
        limit.figure = key.str();
        limit.line = key.source().begin.line;
        const std::string at = text_format("%u: \"%s\": ", limit.line, limit.figure.c_str());
        if (std::find(known.begin(), known.end(), limit.figure) == known.end()) {
            error = at + "not a figure of the report (a number in its JSON, named by its path "
                         "in quotes, e.g. \"heading.B_deg\")";
            return false;
        }
        const toml::table* table = node.as_table();
        if (table == nullptr) {
            error = at + "expected limits such as { min = -0.3, max = 0.3 }";
            return false;
        }
        for (const auto& [name, value] : *table) {
            const std::string_view which = name.str();
            std::optional<double>* const slot = which == "min"       ? &limit.min
                                                : which == "max"     ? &limit.max
                                                : which == "max_abs" ? &limit.max_abs
                                                                     : nullptr;
            if (slot == nullptr) {
                error = at + "unknown limit " + std::string(which) + " (min, max or max_abs)";
                return false;
            }
            *slot = limits_number(value);
            if (!*slot) {
                error = text_format("%u: \"%s\": %s is not a number", value.source().begin.line,
                                    limit.figure.c_str(), std::string(which).c_str());
                return false;
            }
        }
        limits.figures.push_back(limit);
    }
    // The file's order: a TOML table keeps its keys sorted.
    std::sort(limits.figures.begin(), limits.figures.end(),
              [](const LimitsFigure& a, const LimitsFigure& b) { return a.line < b.line; });
    return true;
}

// Reads [guard] into the figures read; false with "LINE: message" in `error`.
bool limits_read_guards(const toml::table& guards, Limits& limits, std::string& error) {
    for (const auto& [key, node] : guards) {
        const std::string_view name = key.str();
        const auto figure =
            std::find_if(limits.figures.begin(), limits.figures.end(),
                         [name](const LimitsFigure& f) { return f.figure == name; });
        const std::string at =
            text_format("%u: \"%s\": ", key.source().begin.line, std::string(key.str()).c_str());
        if (figure == limits.figures.end()) {
            error = at + "a guard for a figure without limits in [figures]";
            return false;
        }
        figure->guard = limits_number(node);
        if (!figure->guard) {
            error = at + "the guard is not a number";
            return false;
        }
    }
    return true;
}

bool limits_parse(const std::string& text, const std::string& path,
                  const std::vector<std::string>& known, Limits& limits, std::string& error) {
    const toml::parse_result parsed = toml::parse(std::string_view(text), std::string_view(path));
    if (!parsed) {
        error = text_format("%u: %s", parsed.error().source().begin.line,
                            std::string(parsed.error().description()).c_str());
        return false;
    }
    const toml::table& root = parsed.table();
    for (const auto& [key, node] : root) {
        if (key.str() != "name" && key.str() != "figures" && key.str() != "guard") {
            error = text_format("%u: unknown key %s (a limits file holds name, [figures] and "
                                "[guard])",
                                key.source().begin.line, std::string(key.str()).c_str());
            return false;
        }
    }
    const toml::node_view name = root["name"];
    if (!name.is_string() || name.value_or(std::string()).empty()) {
        error = text_format("%u: expected name = \"what the limits are called\"",
                            name ? name.node()->source().begin.line : 1U);
        return false;
    }
    limits.name = name.value_or(std::string());
    const toml::node_view figures = root["figures"];
    if (!figures.is_table() || figures.as_table()->empty()) {
        error = text_format("%u: expected a table [figures] with the limits of one figure or more",
                            figures ? figures.node()->source().begin.line : 1U);
        return false;
    }
    if (!limits_read_figures(*figures.as_table(), known, limits, error)) {
        return false;
    }
    if (const toml::node_view guards = root["guard"]; guards) {
        if (!guards.is_table()) {
            error = text_format("%u: expected a table [guard]", guards.node()->source().begin.line);
            return false;
        }
        if (!limits_read_guards(*guards.as_table(), limits, error)) {
            return false;
        }
    }
    for (const LimitsFigure& figure : limits.figures) {
        if (const std::string problem = limits_problem(figure); !problem.empty()) {
            error =
                text_format("%u: \"%s\": %s", figure.line, figure.figure.c_str(), problem.c_str());
            return false;
        }
    }
    return true;
}

void limits_collect(const nlohmann::ordered_json& node, const std::string& path,
                    std::vector<std::string>& paths) {
    if (node.is_object()) {
        for (const auto& [key, value] : node.items()) {
            limits_collect(value, path.empty() ? key : path + "." + key, paths);
        }
    } else if (node.is_number() || node.is_null()) {
        paths.push_back(path);
    }
}

// The figure at `path` in the document: empty when it is not there or not a number.
std::optional<double> limits_value(const nlohmann::ordered_json& document,
                                   const std::string& path) {
    const nlohmann::ordered_json* node = &document;
    std::size_t start = 0;
    while (node->is_object()) {
        const std::size_t dot = std::min(path.find('.', start), path.size());
        const auto found = node->find(path.substr(start, dot - start));
        if (found == node->end()) {
            return std::nullopt;
        }
        node = &*found;
        if (dot == path.size()) {
            return node->is_number() ? std::optional<double>(node->get<double>()) : std::nullopt;
        }
        start = dot + 1;
    }
    return std::nullopt;
}

// "min -0.3, max 0.3"; with `guard`, ", guard 0.02" after.
std::string limits_limit_text(const LimitsFigure& limit, bool guard = true) {
    std::string text;
    const std::pair<const char*, const std::optional<double>*> parts[] = {
        {"min", &limit.min},
        {"max", &limit.max},
        {"max_abs", &limit.max_abs},
        {"guard", guard ? &limit.guard : nullptr}};
    for (const auto& [name, value] : parts) {
        if (value != nullptr && *value) {
            text += (text.empty() ? "" : ", ") + std::string(name) + " " + limits_shown(**value);
        }
    }
    return text;
}

std::optional<double> limits_json_number(const nlohmann::json& json, const char* key, bool& ok) {
    const auto found = json.find(key);
    if (found == json.end() || found->is_null()) {
        return std::nullopt;
    }
    ok = ok && found->is_number();
    return found->is_number() ? std::optional<double>(found->get<double>()) : std::nullopt;
}

} // namespace

bool limits_read(const std::string& path, const nlohmann::ordered_json& document, Limits& limits,
                 std::string& error) {
    const std::optional<std::string> text = limits_load(path, error);
    if (!text) {
        return false;
    }
    Limits read{.name = {}, .file = files_last_part(path), .text = *text, .figures = {}};
    if (!limits_parse(*text, path, limits_figure_paths(document), read, error)) {
        error = path + ":" + error;
        return false;
    }
    limits = read;
    return true;
}

std::vector<std::string> limits_signed_figures() {
    return {"heading.peak_deviation_deg",
            "heading.B_deg",
            "heading.C_deg",
            "heading.D_deg",
            "heading.E_deg",
            "yaw_rate.scale_error_percent",
            "tilt.roll_mean_deg",
            "tilt.pitch_mean_deg",
            "tilt.accel_roll_deg",
            "tilt.accel_pitch_deg"};
}

std::vector<std::string> limits_warnings(const Limits& limits, const std::string& path) {
    const std::vector<std::string> signed_figures = limits_signed_figures();
    std::vector<std::string> warnings;
    for (const LimitsFigure& f : limits.figures) {
        if (f.max_abs || f.min.has_value() == f.max.has_value() ||
            std::find(signed_figures.begin(), signed_figures.end(), f.figure) ==
                signed_figures.end()) {
            continue;
        }
        warnings.push_back(text_format(
            "%s:%u: warning: \"%s\" carries a sign, and %s alone sets no bound %s: limit its "
            "size with max_abs",
            path.c_str(), f.line, f.figure.c_str(), f.max ? "max" : "min",
            f.max ? "below" : "above"));
    }
    return warnings;
}

std::vector<std::string> limits_figure_paths(const nlohmann::ordered_json& document) {
    std::vector<std::string> paths;
    limits_collect(document, "", paths);
    return paths;
}

nlohmann::ordered_json limits_json(const Limits& limits) {
    nlohmann::ordered_json figures = nlohmann::ordered_json::object();
    for (const LimitsFigure& f : limits.figures) {
        figures[f.figure] = {{"min", limits_optional(f.min)},
                             {"max", limits_optional(f.max)},
                             {"max_abs", limits_optional(f.max_abs)},
                             {"guard", limits_optional(f.guard)}};
    }
    return {{"name", limits.name}, {"file", limits.file}, {"figures", figures}};
}

bool limits_from_json(const nlohmann::json& json, Limits& limits, std::string& error) {
    if (!json.is_object() || !json.contains("name") || !json["name"].is_string() ||
        !json.contains("figures") || !json["figures"].is_object()) {
        error = "expected limits with a name and figures";
        return false;
    }
    Limits read{.name = json["name"].get<std::string>(),
                .file = json.value("file", std::string()),
                .text = {},
                .figures = {}};
    for (const auto& [figure, limit] : json["figures"].items()) {
        bool ok = limit.is_object();
        LimitsFigure f{.figure = figure,
                       .min = ok ? limits_json_number(limit, "min", ok) : std::nullopt,
                       .max = ok ? limits_json_number(limit, "max", ok) : std::nullopt,
                       .max_abs = ok ? limits_json_number(limit, "max_abs", ok) : std::nullopt,
                       .guard = ok ? limits_json_number(limit, "guard", ok) : std::nullopt,
                       .line = 0};
        if (const std::string problem = ok ? limits_problem(f) : "not limits"; !problem.empty()) {
            error = figure + ": " + problem;
            return false;
        }
        read.figures.push_back(f);
    }
    limits = read;
    return true;
}

const char* limits_judge_value(const LimitsFigure& limit, std::optional<double> value) {
    if (!value || !std::isfinite(*value)) {
        return "not measured";
    }
    const double v = *value;
    if (limit.min && v < *limit.min) {
        return "below min";
    }
    if (limit.max && v > *limit.max) {
        return "above max";
    }
    if (limit.max_abs && std::fabs(v) > *limit.max_abs) {
        return "outside max_abs";
    }
    if (limit.min && v < limits_bound(*limit.min, limit.guard, 1)) {
        return "within the guard of min";
    }
    if (limit.max && v > limits_bound(*limit.max, limit.guard, -1)) {
        return "within the guard of max";
    }
    if (limit.max_abs && std::fabs(v) > limits_bound(*limit.max_abs, limit.guard, -1)) {
        return "within the guard of max_abs";
    }
    return nullptr;
}

LimitsVerdict limits_judge(const Limits& limits, const nlohmann::ordered_json& document,
                           std::size_t broken_records, bool broken_times) {
    LimitsVerdict verdict{.limits = limits,
                          .rows = {},
                          .failed = 0,
                          .broken_records = broken_records,
                          .broken_times = broken_times,
                          .pass = false};
    for (const LimitsFigure& limit : limits.figures) {
        LimitsRow row{.limit = limit, .value = limits_value(document, limit.figure)};
        row.reason = limits_judge_value(limit, row.value);
        verdict.failed += row.reason != nullptr ? 1 : 0;
        verdict.rows.push_back(row);
    }
    verdict.pass = verdict.failed == 0 && broken_records == 0 && !broken_times;
    return verdict;
}

LimitsRowText limits_row_text(const LimitsRow& row) {
    // A value shown as close to its bound as it lies: never one that would be judged otherwise
    // than the value itself.
    const auto judged = [&row](double shown) {
        const char* reason = limits_judge_value(row.limit, shown);
        return std::string_view(reason ? reason : "") ==
               std::string_view(row.reason ? row.reason : "");
    };
    const bool finite = row.value && std::isfinite(*row.value);
    return {row.limit.figure, finite ? limits_shown(*row.value, 6, judged) : "absent",
            limits_limit_text(row.limit, false),
            row.limit.guard ? limits_shown(*row.limit.guard) : "",
            row.reason ? std::string("FAIL: ") + row.reason : "pass"};
}

std::string limits_verdict_line(const LimitsVerdict& verdict) {
    if (verdict.pass) {
        return "Verdict: PASS";
    }
    std::string also;
    if (verdict.broken_records > 0) {
        text_append(also, ", %zu broken %s", verdict.broken_records,
                    verdict.broken_records == 1 ? "record" : "records");
    }
    if (verdict.broken_times) {
        also += ", the times file unusable";
    }
    return text_format("Verdict: FAIL (%zu of %zu figures%s)", verdict.failed, verdict.rows.size(),
                       also.c_str());
}

std::string limits_text(const LimitsVerdict& verdict) {
    std::vector<std::array<std::string, 4>> cells;
    std::array<std::size_t, 3> width{};
    for (const LimitsRow& row : verdict.rows) {
        const LimitsRowText shown = limits_row_text(row);
        cells.push_back({shown.figure, shown.value, limits_limit_text(row.limit), shown.result});
        for (std::size_t k = 0; k < width.size(); ++k) {
            width[k] = std::max(width[k], text_width(cells.back()[k]));
        }
    }
    std::string text =
        text_format("Limits: %s (%s)\n", verdict.limits.name.c_str(), verdict.limits.file.c_str());
    for (const auto& cell : cells) {
        text_append(text, "  %s  %s  %s  %s\n", text_padded(cell[0], width[0], true).c_str(),
                    text_padded(cell[1], width[1], false).c_str(),
                    text_padded(cell[2], width[2], true).c_str(), cell[3].c_str());
    }
    if (verdict.broken_records > 0) {
        text_append(text, "  FAIL: %zu broken %s in the log, where none may be\n",
                    verdict.broken_records, verdict.broken_records == 1 ? "record" : "records");
    }
    if (verdict.broken_times) {
        text += "  FAIL: the times file could not be used, the fits went by sample number\n";
    }
    return text + limits_verdict_line(verdict) + "\n";
}

nlohmann::ordered_json limits_verdict_json(const LimitsVerdict& verdict) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const LimitsRow& row : verdict.rows) {
        const bool finite = row.value && std::isfinite(*row.value);
        rows.push_back({{"figure", row.limit.figure},
                        {"value", limits_optional(finite ? row.value : std::nullopt)},
                        {"min", limits_optional(row.limit.min)},
                        {"max", limits_optional(row.limit.max)},
                        {"max_abs", limits_optional(row.limit.max_abs)},
                        {"guard", limits_optional(row.limit.guard)},
                        {"pass", row.reason == nullptr},
                        {"reason", row.reason ? nlohmann::ordered_json(row.reason)
                                              : nlohmann::ordered_json(nullptr)}});
    }
    return {{"limits", limits_json(verdict.limits)},
            {"result", verdict.pass ? "PASS" : "FAIL"},
            {"checked", verdict.rows.size()},
            {"failed", verdict.failed},
            {"broken_records", verdict.broken_records},
            {"broken_times", verdict.broken_times},
            {"rows", rows}};
}
