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
#include "records/archive/archive.h"

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

// What every way of archiving a sweep adds to its record once report.json's document has its
// "record": report.png titled by the sensor when gnuplot is there (one that fails is left out,
// said on standard error after "program: "), then record.html. `report` is null when the log was
// not analysed: the page then has no pictures and says so. False, with the reason in `error`,
// when record.html cannot be written.
bool reportpage_write_record(const char* program, const ArchiveScratch& scratch,
                             const nlohmann::ordered_json& document, const Report* report,
                             std::span<const SweepLogSample> samples, std::string& error);
