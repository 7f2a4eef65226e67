// The history's pictures: one figure of every sweep over time and over the sweep's mean
// temperature, the points coloured by verdict, with the limits the latest sweeps agree on; and
// the batch page's trend of a figure over time with its limits and guard band.
#pragma once

#include "records/history/history.h"

#include <string>
#include <vector>

// The gnuplot script that draws `figure` of the records (each a sweep) to the PNG `png_path`;
// `summary` gives its limits. Empty when a name holds a line break or no record measured the
// figure.
std::string historyplot_gnuplot_script(const std::vector<HistoryRecord>& records,
                                       const HistoryFigureSummary& summary,
                                       const std::string& png_path, const std::string& title);

// The gnuplot script that draws the batch page's trend of `figure` over time to the SVG
// `svg_path`: the sweeps coloured by verdict, the limits that `summary` gives and, dotted, their
// guard band. `tag` follows the names of the script's data blocks, so that the scripts of
// several figures can run as one. A figure no sweep measured gets a chart that says so. Empty
// when a name holds a line break.
std::string historyplot_trend_script(const std::vector<HistoryRecord>& records,
                                     const HistoryFigureSummary& summary,
                                     const std::string& svg_path, const std::string& tag);
