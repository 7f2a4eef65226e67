// The batch page: one HTML page over the records of an archive (after the history's filters) that
// a quality manager opens from the share. The yields, the failures by figure, the capability
// table, one trend chart per judged figure with its limits and guard band (inline SVG), the
// sensors as the sensors view shows them with a relative link to each record's certificate
// (record.html), and the records that failed their checks, listed and not linked.
#pragma once

#include "outputs/pages/pages.h"
#include "records/history/history.h"

#include <string>
#include <string_view>
#include <vector>

// What the page shows.
struct HistoryPageBatch {
    std::string_view name; // what the records come from, e.g. the archive folder
    const std::vector<HistoryRecord>& records;
    const std::vector<HistorySensor>& sensors;
    const HistorySummary& summary; // over the figures that get a chart
    // The link to each record's certificate, by the record's index; empty: the record has none,
    // or is not sealed, and is named, not linked.
    const std::vector<std::string>& certificates;
    const std::vector<HistorySkip>& skipped; // records that failed their checks
};

// The page, with the trend charts that historypage_pictures drew (or the reason there are none).
std::string historypage_html(const HistoryPageBatch& batch, const PagesPictures& pictures);

// The trend chart of each figure of the summary, in its order, drawn by gnuplot.
PagesPictures historypage_pictures(const char* program, const std::vector<HistoryRecord>& records,
                                   const HistorySummary& summary);

// The page over the records of the archive `dir`, to be written to `page` (- for standard
// output: the page is taken to be in the working folder), with the summary of the figures that
// get a chart; a link to the certificate of each sealed record that has one.
std::string historypage_make(const char* program, const std::string& dir, const std::string& page,
                             const std::vector<HistoryRecord>& records,
                             const std::vector<HistorySensor>& sensors,
                             const HistorySummary& summary,
                             const std::vector<HistorySkip>& skipped);
