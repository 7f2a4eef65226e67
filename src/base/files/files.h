// File names as the companion programs hold them: UTF-8 text on every platform, so that a name
// typed in any language reaches the file system as typed. On Windows the names go to the wide
// file functions, never to the ANSI ones (which would read UTF-8 in the local code page and make
// "JÃ¼rgen" of "Jürgen"); elsewhere they are the bytes the system gave.
//
// Every program that takes file names from its command line reads them with files_arguments and
// opens, derives and compares them here; every reader of a text file (a parameter file, a limits
// file, a log) calls files_skip_bom on the stream it opened, or files_without_bom on a text read
// whole, since Notepad saves "UTF-8 with BOM".
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The program's arguments after its name, in UTF-8. On Windows they are read from the wide
// command line (argv has them in the ANSI code page, which loses what that cannot show), and the
// console, if there is one, shows UTF-8 until the program ends; elsewhere they are argv as it is.
std::vector<std::string> files_arguments(int argc, char** argv);

// The file opened with an fopen mode; null with errno set when it cannot be.
std::FILE* files_open(const std::string& name, const char* mode);

// Moves a stream that is at its start past a UTF-8 byte-order mark, if it begins with one. A
// stream that begins with 0xEF and no mark is put back to its start (a pipe cannot go back: it
// loses those bytes, which begin no text the programs read anyway).
void files_skip_bom(std::FILE* file);

// The text without a leading UTF-8 byte-order mark.
std::string_view files_without_bom(std::string_view text);

// Why the name could not be opened, read or written, for "cannot open NAME: REASON": "is a
// folder" when it names one (Windows says "Permission denied" then), else the C library's text
// for the error number.
std::string files_failure(const std::string& name, int error);

// Removes the file; false when it could not (or was not there).
bool files_remove(const std::string& name);

// The name as a path of the file system, and a path as a name.
std::filesystem::path files_path(std::string_view name);
std::string files_name(const std::filesystem::path& path);

// The name with its extension (".csv") in place of the one it has, or added.
std::string files_with_extension(const std::string& name, const char* extension);

// The name's last part, e.g. for a title.
std::string files_last_part(const std::string& name);

// True when the two paths are the same names by the platform's rule: case-blind on Windows, as
// its file systems compare names; byte for byte elsewhere.
bool files_same_name(const std::filesystem::path& a, const std::filesystem::path& b);

// True when writing to one name would write to the other: both name one file that exists (by
// whatever names: links, letter case, short names), or the names lead to the same place once
// ".", ".." and links are resolved, compared by files_same_name.
bool files_same_file(const std::string& a, const std::string& b);

// True when the name lies in the folder or below it, by any name of the folder (files_same_file
// of the folder and each folder the name lies in).
bool files_inside(const std::string& name, const std::string& folder);
