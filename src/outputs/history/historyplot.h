// The history's picture: one figure of every sweep over time and over the sweep's mean
// temperature, the points coloured by verdict, with the limits the latest sweeps agree on.
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
