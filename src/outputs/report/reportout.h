// The report written out: the readable text with units and the figures as a JSON document. Every
// figure goes through reportout_number in the text and reportout_figure in the JSON, so that none
// shows a sign it does not have.
#pragma once

#include "analysis/report/report.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// A figure as the text shows it: `decimals` after the point, right-aligned in at least `width`
// characters. One that rounds to zero at that precision shows no sign (it would claim a direction
// the figure does not have): a blank takes the sign's place, so that columns stay aligned.
std::string reportout_number(double value, int decimals, int width = 0);

// A figure as the JSON holds it: null when empty, and 0 in place of -0.
nlohmann::ordered_json reportout_figure(const std::optional<double>& value);

// The readable report, with units, for the log `log_name`.
std::string reportout_text(const Report& report, const std::string& log_name);

// The figures as a document, by section: reportout_document(report)["heading"]["B_deg"].
nlohmann::ordered_json reportout_document(const Report& report);

// The document as text (two-space indent, a line end at the end); empty figures are null.
std::string reportout_json(const Report& report);
