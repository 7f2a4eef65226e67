// The report's picture: the heading's deviation from a uniform turn with its fitted curve, and
// the magnetometer's points with their fitted ellipse, as a gnuplot script.
#pragma once

#include "analysis/report/report.h"

#include <span>
#include <string>
#include <vector>

// The gnuplot script that draws the deviation curve and the magnetometer's points with their
// fitted ellipse to the PNG and/or SVG named (an empty name draws no such picture). The cruise
// samples come from `samples`. Empty when a name holds a line break.
std::string reportplot_gnuplot_script(const Report& report, std::span<const SweepLogSample> samples,
                                      const std::string& png_path, const std::string& svg_path,
                                      const std::string& title);

// The record page's two pictures, each alone and as SVG: the deviation curve with the card's
// points to `deviation_svg`, the magnetometer's points with their ellipse to `field_svg`. Empty
// when a name holds a line break.
std::string reportplot_page_script(const Report& report, std::span<const SweepLogSample> samples,
                                   const std::string& deviation_svg, const std::string& field_svg);

// Whether gnuplot is on the PATH, for a picture that is drawn only where it can be.
bool reportplot_can_draw();

// Draws the picture to the PNG and/or SVG named (an empty name draws no such picture) with the
// gnuplot on the PATH. False, said on standard error after "program: ", when gnuplot is missing
// or failed; then no picture is left behind.
bool reportplot_draw(const char* program, const Report& report,
                     std::span<const SweepLogSample> samples, const std::string& png_path,
                     const std::string& svg_path, const std::string& title);
