// The history's pictures. The trend (and the batch page's, over time alone): one figure of every
// sweep over time and over the sweep's mean temperature, the points coloured by verdict, with the
// limits the latest sweeps agree on and their guard band. The individuals and moving range (I-MR)
// chart: the figure of the latest sweep of each sensor in time order (its size for a figure limited
// by max_abs) with the centre line, the control limits from the mean moving range and the points
// beyond them, the limits and the guard band; below it the moving ranges with their upper control
// limit.
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

// The I-MR chart's gnuplot script of the summary's points to the PNG `png_path`. Empty when a name
// holds a line break or there are fewer than two points.
std::string historyplot_imr_script(const HistoryFigureSummary& summary, const std::string& png_path,
                                   const std::string& title);

// The gnuplot script that draws the batch page's trend of `summary`'s figure over time to the SVG
// `svg_path`: the sweeps coloured by verdict, the limits and their guard band. `tag` follows the
// names of the script's data blocks, so that the scripts of several figures can run as one. A
// figure no sweep measured gets a chart that says so. Empty when a name holds a line break.
std::string historyplot_trend_script(const std::vector<HistoryRecord>& records,
                                     const HistoryFigureSummary& summary,
                                     const std::string& svg_path, const std::string& tag);
