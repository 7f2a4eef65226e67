#include "outputs/history/historyout.h"

#include "base/text/text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>

namespace {

// The record's outcome: PASS, FAIL, ERROR or ABORTED; none without limits.
std::optional<std::string> historyout_verdict(const HistoryRecord& record) {
    if (record.outcome.empty()) {
        return std::nullopt;
    }
    return record.outcome;
}

// What the record failed on: its failing figures by short name, or why it ended in error.
std::optional<std::string> historyout_why(const HistoryRecord& record) {
    if (!record.failed.empty()) {
        std::vector<std::string> paths;
        for (const HistoryFigure& figure : record.figures) {
            paths.push_back(figure.first);
        }
        std::string why;
        for (const std::string& figure : record.failed) {
            // Appended piece by piece, as in historyout_csv.
            why += why.empty() ? "" : ",";
            why += history_short_name(figure, paths);
        }
        return why;
    }
    if (!record.reason.empty()) {
        return record.reason;
    }
    return std::nullopt;
}

// The limits applied, marked * when another file carries their name.
std::optional<std::string> historyout_limits(const HistoryRecord& record,
                                             const std::vector<HistorySharedName>& shared) {
    if (!record.passed) {
        return std::nullopt;
    }
    const bool marked = std::any_of(shared.begin(), shared.end(), [&](const HistorySharedName& n) {
        return n.name == record.limits_name;
    });
    std::string shown = history_limits_shown(record);
    shown += marked ? " *" : "";
    return shown;
}

void historyout_trace_columns(const HistoryTraceColumns& trace, std::vector<std::string>& columns) {
    for (const std::size_t k : trace) {
        columns.emplace_back(archive_trace_fields[k]);
    }
}

void historyout_trace(const HistoryRecord& record, const HistoryTraceColumns& trace,
                      std::vector<HistoryCell>& row) {
    for (const std::size_t k : trace) {
        row.emplace_back(record.trace[k]);
    }
}

// The record's figures as cells, in the order asked for.
void historyout_figures(const HistoryRecord& record, const std::vector<std::string>& figures,
                        std::vector<HistoryCell>& row) {
    for (const std::string& figure : figures) {
        const std::optional<double>* value = history_value(record, figure);
        row.emplace_back(value != nullptr ? *value : std::nullopt);
    }
}

// A number in the fewest digits that read back as the same double; -0 as 0.
std::string historyout_exact(double value) {
    std::array<char, 32> digits{};
    const auto [end, error] =
        std::to_chars(digits.data(), digits.data() + digits.size(), value == 0.0 ? 0.0 : value);
    return error == std::errc{} ? std::string(digits.data(), end) : std::string();
}

std::string historyout_g(int digits, double value) {
    return text_format("%.*g", digits, value == 0.0 ? 0.0 : value);
}

} // namespace

std::string historyout_shown(const HistoryCell& cell) {
    if (const auto* text = std::get_if<std::optional<std::string>>(&cell)) {
        return text->value_or("-");
    }
    if (const auto* number = std::get_if<std::optional<double>>(&cell)) {
        return *number ? historyout_g(6, **number) : "-";
    }
    if (const auto* flag = std::get_if<HistoryFlag>(&cell)) {
        return flag->set ? flag->mark : "";
    }
    if (const auto* interval = std::get_if<std::optional<CapabilityInterval>>(&cell)) {
        return *interval
                   ? historyout_g(3, (*interval)->low) + ".." + historyout_g(3, (*interval)->high)
                   : "-";
    }
    return std::to_string(std::get<std::size_t>(cell));
}

namespace {

// Where a column's cells stand in the text: texts and flags to the left, the rest to the right.
bool historyout_left(const HistoryCell& cell) {
    return std::holds_alternative<std::optional<std::string>>(cell) ||
           std::holds_alternative<HistoryFlag>(cell);
}

std::optional<std::string> historyout_text_cell(const char* text) {
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

std::string historyout_csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

// The sensors whose sweep counts on neither side because it did not complete: "N ERROR, M
// ABORTED", or nothing when there are none.
std::string historyout_apart(const HistoryYield& counts) {
    if (counts.errors == 0 && counts.aborted == 0) {
        return {};
    }
    return text_format("%zu ERROR, %zu ABORTED", counts.errors, counts.aborted);
}

} // namespace

HistoryTable historyout_sensors(const std::vector<HistoryRecord>& records,
                                const std::vector<HistorySensor>& sensors,
                                const std::vector<std::string>& figures,
                                const HistoryTraceColumns& trace) {
    HistoryTable table{
        "sensors", {"serial", "sweeps", "last_time", "last_verdict", "why", "limits"}, {}};
    historyout_trace_columns(trace, table.columns);
    table.columns.insert(table.columns.end(), figures.begin(), figures.end());
    const std::vector<HistorySharedName> shared = history_shared_names(records);
    for (const HistorySensor& sensor : sensors) {
        const HistoryRecord& latest = records[sensor.latest];
        std::vector<HistoryCell> row{std::optional<std::string>(sensor.serial),
                                     sensor.sweeps,
                                     std::optional<std::string>(latest.time),
                                     historyout_verdict(latest),
                                     historyout_why(latest),
                                     historyout_limits(latest, shared)};
        historyout_trace(latest, trace, row);
        historyout_figures(latest, figures, row);
        table.rows.push_back(std::move(row));
    }
    return table;
}

HistoryTable historyout_sweeps(const std::vector<HistoryRecord>& records,
                               const std::vector<std::string>& figures,
                               const HistoryTraceColumns& trace) {
    HistoryTable table{
        "sweeps", {"serial", "time", "record", "verdict", "why", "limits", "checked"}, {}};
    historyout_trace_columns(trace, table.columns);
    table.columns.insert(table.columns.end(), figures.begin(), figures.end());
    const std::vector<HistorySharedName> shared = history_shared_names(records);
    for (const HistoryRecord& record : records) {
        std::vector<HistoryCell> row{
            std::optional<std::string>(record.serial),
            std::optional<std::string>(record.time),
            std::optional<std::string>(record.name),
            historyout_verdict(record),
            historyout_why(record),
            historyout_limits(record, shared),
            std::optional<std::string>(record.sealed ? "verified" : "unverified")};
        historyout_trace(record, trace, row);
        historyout_figures(record, figures, row);
        table.rows.push_back(std::move(row));
    }
    return table;
}

HistoryTable historyout_pareto(const HistorySummary& summary) {
    HistoryTable table{"pareto", {"figure", "first", "latest"}, {}};
    for (const HistoryParetoRow& row : summary.pareto) {
        table.rows.push_back({std::optional<std::string>(row.figure), row.first, row.latest});
    }
    return table;
}

std::string historyout_shared_names_text(const std::vector<HistorySharedName>& names) {
    std::string text;
    for (const HistorySharedName& name : names) {
        text_append(text, "* %zu limits files are named %s:", name.sha256.size(),
                    name.name.c_str());
        for (std::size_t k = 0; k < name.sha256.size(); ++k) {
            text_append(text, "%s %s", k == 0 ? "" : ",", name.sha256[k].substr(0, 8).c_str());
        }
        text += "\n";
    }
    return text;
}

HistoryTable historyout_summary(const HistorySummary& summary) {
    HistoryTable table{
        "figures",
        {"figure",     "n",   "not_measured", "mean",     "sd",    "min",           "max",
         "lsl",        "usl", "limits",       "absolute", "sides", "sigma_overall", "sigma_within",
         "pp",         "ppk", "ppk_ci95",     "cp",       "cpk",   "cpk_ci95",      "few",
         "normality_p"},
        {}};
    for (const HistoryFigureSummary& figure : summary.figures) {
        const bool limited = figure.limits_disagree || figure.lsl || figure.usl;
        const char* limits = figure.limits_disagree ? "differ" : "agreed";
        const Capability& c = figure.capability;
        table.rows.push_back({std::optional<std::string>(figure.figure),
                              figure.n,
                              figure.unmeasured,
                              figure.mean,
                              figure.sd,
                              figure.min,
                              figure.max,
                              figure.lsl,
                              figure.usl,
                              historyout_text_cell(limited ? limits : nullptr),
                              HistoryFlag{figure.absolute, "|x|"},
                              historyout_text_cell(capability_sides_name(c.sides)),
                              c.sigma_overall,
                              c.sigma_within,
                              c.pp,
                              c.ppk,
                              c.ppk_ci95,
                              c.cp,
                              c.cpk,
                              c.cpk_ci95,
                              HistoryFlag{c.few, "*"},
                              c.normality_p});
    }
    return table;
}

HistoryTable historyout_yields(const HistorySummary& summary) {
    HistoryTable table{
        "yields",
        {"yield", "passed", "judged", "unjudged", "errors", "aborted", "before_window", "fraction"},
        {}};
    for (const auto& [name, counts] :
         {std::pair{"first_pass", &summary.first_pass}, std::pair{"final", &summary.final_pass}}) {
        table.rows.push_back(
            {std::optional<std::string>(name), counts->passed, counts->judged, counts->unjudged,
             counts->errors, counts->aborted, counts->before_window,
             counts->judged > 0 ? std::optional<double>(static_cast<double>(counts->passed) /
                                                        static_cast<double>(counts->judged))
                                : std::nullopt});
    }
    return table;
}

HistoryTable historyout_columns(const HistoryTable& table, const std::vector<std::string>& names) {
    HistoryTable part{table.name, names, std::vector<std::vector<HistoryCell>>(table.rows.size())};
    for (const std::string& name : names) {
        const auto at = std::find(table.columns.begin(), table.columns.end(), name);
        const std::size_t c = static_cast<std::size_t>(at - table.columns.begin());
        for (std::size_t r = 0; r < table.rows.size(); ++r) {
            part.rows[r].push_back(table.rows[r][c]);
        }
    }
    return part;
}

std::string historyout_text(const HistoryTable& table) {
    std::vector<std::vector<std::string>> lines{table.columns};
    for (const std::vector<HistoryCell>& row : table.rows) {
        std::vector<std::string> shown;
        for (const HistoryCell& cell : row) {
            shown.push_back(historyout_shown(cell));
        }
        lines.push_back(std::move(shown));
    }
    std::vector<std::size_t> widths(table.columns.size(), 0);
    for (const std::vector<std::string>& line : lines) {
        for (std::size_t c = 0; c < line.size(); ++c) {
            widths[c] = std::max(widths[c], text_width(line[c]));
        }
    }
    std::string text;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        std::string line;
        for (std::size_t c = 0; c < lines[l].size(); ++c) {
            // Texts to the left, numbers and counts to the right; the header over its column.
            const bool left = l == 0 ? table.rows.empty() || historyout_left(table.rows[0][c])
                                     : historyout_left(table.rows[l - 1][c]);
            line += c == 0 ? "" : "  ";
            line += text_padded(lines[l][c], widths[c], left);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        text += line;
        text += '\n';
    }
    return text;
}

std::array<HistoryTable, 2> historyout_summary_parts(const HistoryTable& table) {
    // sigma_overall is the spread's sd.
    return {historyout_columns(table, {"figure", "n", "not_measured", "mean", "sd", "min", "max",
                                       "lsl", "usl", "limits", "absolute"}),
            historyout_columns(table, {"figure", "sides", "sigma_within", "pp", "ppk", "ppk_ci95",
                                       "cp", "cpk", "cpk_ci95", "few", "normality_p"})};
}

std::string historyout_summary_text(const HistoryTable& table, const HistorySummary& summary) {
    const std::array<HistoryTable, 2> parts = historyout_summary_parts(table);
    return historyout_text(parts[0]) + "\n" + historyout_text(parts[1]) + "\n" +
           historyout_summary_notes(summary);
}

std::string historyout_summary_notes(const HistorySummary& summary) {
    std::string text;
    bool absolute = false;
    bool one_sided = false;
    bool indices = false;
    bool few = false;
    std::string abnormal;
    for (const HistoryFigureSummary& figure : summary.figures) {
        const Capability& c = figure.capability;
        absolute = absolute || figure.absolute;
        one_sided =
            one_sided || c.sides == CapabilitySides::upper || c.sides == CapabilitySides::lower;
        indices = indices || c.ppk || c.cpk;
        few = few || c.few;
        if (c.normality_p && *c.normality_p < 0.05) {
            text_append(abnormal,
                        "%s: normality p = %s, below 0.05: far from a normal distribution, which "
                        "the indices assume\n",
                        figure.figure.c_str(), historyout_g(3, *c.normality_p).c_str());
        }
    }
    if (absolute) {
        text += "|x|: limited by max_abs, so summarised on the size of the value, against "
                "max_abs as the usl\n";
    }
    if (one_sided) {
        text += "With one limit (sides upper or lower) ppk is Ppu or Ppl, cpk Cpu or Cpl; pp and "
                "cp need both.\n";
    }
    if (indices) {
        text += "pp, ppk from the sd; cp, cpk from sigma_within, the mean moving range / 1.128 "
                "in time order.\n";
    }
    if (few) {
        text_append(text,
                    "* few: fewer than %zu values; the indices are given, but mind their "
                    "intervals.\n",
                    capability_few_below);
    }
    return text + abnormal;
}

std::string historyout_yields_text(const HistorySummary& summary) {
    std::string text;
    const auto yield = [&](const std::string& title, const HistoryYield& counts,
                           const char* which) {
        if (counts.judged == 0) {
            text_append(text, "%s: none, no sensor's %s sweep has a verdict", title.c_str(), which);
            std::string notes = historyout_apart(counts);
            if (counts.before_window > 0) {
                notes += text_format("%s%zu first swept before the window, left out",
                                     notes.empty() ? "" : "; ", counts.before_window);
            }
            text += notes.empty() ? "\n" : " (" + notes + ")\n";
            return;
        }
        text_append(text, "%s: %.1f %% (%zu of %zu sensors whose %s sweep has a verdict",
                    title.c_str(),
                    100.0 * static_cast<double>(counts.passed) / static_cast<double>(counts.judged),
                    counts.passed, counts.judged, which);
        if (counts.unjudged > 0) {
            text_append(text, "; %zu without one", counts.unjudged);
        }
        if (const std::string apart = historyout_apart(counts); !apart.empty()) {
            text += "; " + apart;
        }
        if (counts.before_window > 0) {
            text_append(text, "; %zu first swept before the window, left out",
                        counts.before_window);
        }
        text += ")\n";
    };
    yield(summary.window ? "First-pass yield of the sensors first swept in the window"
                         : "First-pass yield",
          summary.first_pass, "first");
    yield("Final yield", summary.final_pass, "latest");
    for (const HistoryFigureSummary& figure : summary.figures) {
        if (figure.limits_disagree) {
            text_append(text, "%s: the latest sweeps applied different limits: no capability\n",
                        figure.figure.c_str());
        }
    }
    return text;
}

std::string historyout_csv(const HistoryTable& table) {
    std::string text;
    // Appended piece by piece: GCC 12 at -O3 takes "," + std::string for an overlapping copy.
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
        text += c == 0 ? "" : ",";
        const std::string& name = table.columns[c];
        // An interval's column is two: its low and its high end.
        if (!table.rows.empty() &&
            std::holds_alternative<std::optional<CapabilityInterval>>(table.rows[0][c])) {
            text +=
                historyout_csv_field(name + "_low") + "," + historyout_csv_field(name + "_high");
        } else {
            text += historyout_csv_field(name);
        }
    }
    text += "\n";
    for (const std::vector<HistoryCell>& row : table.rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            std::string field;
            if (const auto* words = std::get_if<std::optional<std::string>>(&row[c])) {
                field = historyout_csv_field(words->value_or(""));
            } else if (const auto* number = std::get_if<std::optional<double>>(&row[c])) {
                field = *number ? historyout_exact(**number) : "";
            } else if (const auto* flag = std::get_if<HistoryFlag>(&row[c])) {
                field = flag->set ? "true" : "false";
            } else if (const auto* interval =
                           std::get_if<std::optional<CapabilityInterval>>(&row[c])) {
                field = *interval ? historyout_exact((*interval)->low) + "," +
                                        historyout_exact((*interval)->high)
                                  : ",";
            } else {
                field = std::to_string(std::get<std::size_t>(row[c]));
            }
            text += c == 0 ? "" : ",";
            text += field;
        }
        text += "\n";
    }
    return text;
}

std::string historyout_summary_csv(const HistoryTable& table, const HistorySummary& summary) {
    return historyout_csv(table) + "\n" + historyout_csv(historyout_yields(summary));
}

std::string historyout_json(const HistoryTable& table, const HistorySummary* summary,
                            const std::vector<HistorySkip>& skipped) {
    using Json = nlohmann::ordered_json;
    Json document = Json::object();
    if (summary != nullptr) {
        document["sensor_count"] = summary->sensors;
        const auto yield = [](const HistoryYield& counts) {
            Json part = {{"passed", counts.passed},
                         {"judged", counts.judged},
                         {"unjudged", counts.unjudged},
                         {"errors", counts.errors},
                         {"aborted", counts.aborted},
                         {"before_window", counts.before_window},
                         {"yield", nullptr}};
            if (counts.judged > 0) {
                part["yield"] =
                    static_cast<double>(counts.passed) / static_cast<double>(counts.judged);
            }
            return part;
        };
        document["first_pass_yield"] = yield(summary->first_pass);
        document["first_pass_yield"]["window"] = summary->window;
        document["final_yield"] = yield(summary->final_pass);
    }
    Json rows = Json::array();
    for (const std::vector<HistoryCell>& row : table.rows) {
        Json object = Json::object();
        for (std::size_t c = 0; c < row.size(); ++c) {
            Json& value = object[table.columns[c]];
            if (const auto* words = std::get_if<std::optional<std::string>>(&row[c])) {
                value = *words ? Json(**words) : Json(nullptr);
            } else if (const auto* number = std::get_if<std::optional<double>>(&row[c])) {
                value = *number ? Json(**number == 0.0 ? 0.0 : **number) : Json(nullptr);
            } else if (const auto* flag = std::get_if<HistoryFlag>(&row[c])) {
                value = flag->set;
            } else if (const auto* interval =
                           std::get_if<std::optional<CapabilityInterval>>(&row[c])) {
                value =
                    *interval ? Json::array({(*interval)->low, (*interval)->high}) : Json(nullptr);
            } else {
                value = std::get<std::size_t>(row[c]);
            }
        }
        rows.push_back(std::move(object));
    }
    document[table.name] = std::move(rows);
    if (summary != nullptr) {
        Json pareto = Json::array();
        for (const HistoryParetoRow& row : summary->pareto) {
            pareto.push_back(
                {{"figure", row.figure}, {"first", row.first}, {"latest", row.latest}});
        }
        document["pareto"] = std::move(pareto);
        Json shared = Json::array();
        for (const HistorySharedName& name : summary->shared_names) {
            shared.push_back({{"name", name.name}, {"sha256", name.sha256}});
        }
        document["shared_limits_names"] = std::move(shared);
    }
    Json skips = Json::array();
    for (const HistorySkip& skip : skipped) {
        skips.push_back({{"path", skip.path}, {"reason", skip.reason}});
    }
    document["skipped"] = std::move(skips);
    return document.dump(2) + "\n";
}
