// Running gnuplot for the companion programs that draw: finding it on the PATH, feeding it a
// script through a pipe, and making sure the pictures it was asked for exist afterwards. Names of
// outputs are UTF-8 (base/files/), as the scripts tell gnuplot ("set encoding utf8"). How gnuplot
// is found and started is the platform's part (gnuplot_posix.cpp, gnuplot_win32.cpp): through the
// shell on POSIX; on Windows as a process of its own, since cmd would drop the quotes around a
// path with parentheses such as "C:\Program Files (x86)\...".
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The gnuplot program on the PATH, or nothing.
std::optional<std::filesystem::path> gnuplot_find();

// Draws the pictures named in `outputs` with the script. Each output is first created (or
// emptied), so an unwritable place is reported before gnuplot runs and no picture of an earlier
// run survives a failed one. Failures are reported on standard error after "program: ", and
// then no output is left behind, not even an empty one. An output whose path gnuplot cannot open
// (gnuplot_takes) is drawn to a short temporary name and moved into place, or, without one,
// refused with the reason before gnuplot runs. Returns true when gnuplot ended with status 0 and
// wrote to every output.
bool gnuplot_draw(const char* program, const std::filesystem::path& gnuplot,
                  const std::vector<std::string>& outputs, const std::string& script);

// The end of a script that draws `panels` (the plot commands) to the PNG and/or SVG named, at
// width x height pixels; an empty name draws no such picture. Names must hold no line break.
std::string gnuplot_pictures(const std::string& png_path, const std::string& svg_path, int width,
                             int height, const std::string& panels);

// A gnuplot single-quoted string: no escapes inside, a quote is written twice.
std::string gnuplot_string(const std::string& text);

// The first folder of the search path (folders split by `separator`, an empty one the current
// folder) that holds `program` as a file that gnuplot_runnable accepts.
std::optional<std::filesystem::path>
gnuplot_search(const std::filesystem::path::string_type& search_path,
               std::filesystem::path::value_type separator, const std::filesystem::path& program);

// The platform's part. Whether the file found may be run (POSIX: is executable).
bool gnuplot_runnable(const std::filesystem::path& candidate);

// Whether gnuplot opens the path as it is: on Windows one of at most 259 characters once made
// absolute (gnuplot is no program that takes longer ones), elsewhere any.
bool gnuplot_takes(const std::string& path);

// A new empty file of a path that gnuplot takes, in the temporary folder, as UTF-8; nothing when
// none can be made. Asked for only where gnuplot_takes refuses a path.
std::optional<std::string> gnuplot_short_file();

// Runs gnuplot with the script on its standard input and the program's own standard output and
// error; true when it ended with status 0, else false, reported after "program: ".
bool gnuplot_run(const char* program, const std::filesystem::path& gnuplot,
                 const std::string& script);
