// A sweep's samples drawn and tabled: the CSV view of the samples and the gnuplot script that
// draws them as stacked panels.
#pragma once

#include "analysis/sweeplog/sweeplog.h"

#include <cstdio>
#include <span>
#include <string>

// Writes the header and one row per sample; false when the stream reports a write error. With
// times (each sample's in order, as far as they reach) a last column time_s holds them; a sample
// beyond them has it empty.
bool sweepplot_write_csv(std::FILE* csv, std::span<const SweepLogSample> samples,
                         std::span<const double> times = {});

// What the plot is drawn from and where it goes; an empty output name draws no such picture.
struct SweepPlot {
    std::string csv_path;
    std::string png_path;
    std::string svg_path;
    std::string title;
};

// The gnuplot script that draws the samples (already written to plot.csv_path) as five stacked
// panels over the sample number: angles, rates, accelerations, magnetic field, temperature. The
// samples set the ranges, so flat or single-sample series draw without gnuplot's warnings.
// Returns an empty string when a name holds a line break, which no gnuplot string can carry.
std::string sweepplot_gnuplot_script(const SweepPlot& plot,
                                     std::span<const SweepLogSample> samples);
