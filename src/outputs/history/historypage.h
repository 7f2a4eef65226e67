// The batch page: one HTML page over the records of an archive (after the history's filters) that
// a quality manager opens from the share. The yields, which figures failed how often, the
// capability table, one trend chart per judged figure with its limits and guard band (inline SVG),
// and the sensors with their latest outcome, failing figures and a relative link to each
// record's certificate (record.html).
#pragma once

#include "outputs/pages/pages.h"
#include "records/history/history.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What the page shows.
struct HistoryPageBatch {
    std::string_view name; // what the records come from, e.g. the archive folder
    const std::vector<HistoryRecord>& records;
    const std::vector<HistorySensor>& sensors;
    const HistorySummary& summary; // over the figures that get a chart
    // The link to each record's certificate, by the record's index; empty: the record has none.
    const std::vector<std::string>& certificates;
    std::size_t skipped; // records that could not be read
};

// The page, with the trend charts that historypage_pictures drew (or the reason there are none).
std::string historypage_html(const HistoryPageBatch& batch, const PagesPictures& pictures);

// The trend chart of each figure of the summary, in its order, drawn by gnuplot.
PagesPictures historypage_pictures(const char* program, const std::vector<HistoryRecord>& records,
                                   const HistorySummary& summary);
