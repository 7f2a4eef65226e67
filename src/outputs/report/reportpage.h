// The sensor's certificate: record.html, the page of one archived sweep that goes with the unit or
// into its device history record, printed on one A4 or Letter page or kept as a file. It is made
// from the record's report.json document alone (its "record", its "verdict" and the figures), so
// that whatever the record holds shows, and what it does not hold is simply not there: the
// serial and the outcome in large letters, the times in UTC and the station's local time, the
// station, operator, lot and part, the program, the limits and their digest; the verdict table;
// B-E with their standard errors and the deviation card; the deviation curve and the field's
// ellipse as inline SVG; the sweep's samples, duration and clock.
#pragma once

#include "analysis/report/report.h"
#include "outputs/pages/pages.h"

#include <nlohmann/json.hpp>

#include <span>
#include <string>

// The certificate of the record whose report.json is `document`, with its two pictures (the
// deviation curve, the field's ellipse) or the reason it has none.
std::string reportpage_html(const nlohmann::ordered_json& document, const PagesPictures& pictures);

// The two pictures of the certificate, drawn by gnuplot.
PagesPictures reportpage_pictures(const char* program, const Report& report,
                                  std::span<const SweepLogSample> samples);

// The title of a record's pictures: the serial and the record's UTC time.
std::string reportpage_title(const nlohmann::ordered_json& document);
