// File names as the companion programs hold them: UTF-8 text on every platform, so that a name
// typed in any language reaches the file system as typed. On Windows the names go to the wide
// file functions, never to the ANSI ones (which would read UTF-8 in the local code page and make
// "JÃ¼rgen" of "Jürgen"); elsewhere they are the bytes the system gave.
//
// Every program that takes file names from its command line reads them with files_arguments and
// opens, derives and compares them here. Every path handed to the file system goes through
// files_system first, so that no length of path is too long on Windows (std::filesystem's
// calls included); listing a folder and removing one with what it holds go through files_list
// and files_remove_all, since mingw's folder iterator cannot take a long path at all (it lists
// the current folder instead). Every reader of a text file (a parameter file, a limits
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

// The path as the system is to be handed it. On Windows: made absolute (".", ".." and "/" resolved
// as Windows resolves them) and given the \\?\ prefix (\\?\UNC\server\share\... for a share),
// with which the wide file functions take paths of up to 32767 characters, not 259; a device name
// (NUL, \\.\COM8) or a path that has a prefix already is left as it is. Elsewhere the path as it
// is. Messages name the path as it was given, never this one.
std::filesystem::path files_system(const std::filesystem::path& path);

// Why the path cannot be used by this platform's file system even so, for "PATH: WHY"; empty when
// it can: a name in it longer than 255 characters (bytes on POSIX), or the whole longer than the
// system takes (32767 characters on Windows, PATH_MAX bytes elsewhere).
std::string files_unusable(const std::string& name);

// An entry of a folder: its name, whether it is a folder (through a link to one) and whether it is
// a link (a symbolic link or a junction).
struct FilesEntry {
    std::filesystem::path name;
    bool folder = false;
    bool link = false;
};

// The entries of the folder but "." and "..", in no particular order. False, with the reason in
// `error` ("No such file or directory", "is a file, not a folder", ...), when it cannot be listed.
bool files_list(const std::filesystem::path& dir, std::vector<FilesEntry>& entries,
                std::string& error);

// Removes the folder and all it holds; a link in it is removed, never followed. False when
// anything is left.
bool files_remove_all(const std::filesystem::path& dir);

// Moves the file to `to`, replacing a file there (across drives too). False with errno's text in
// `error` when it could not.
bool files_move(const std::filesystem::path& from, const std::filesystem::path& to,
                std::string& error);

// The path with ".", ".." and links resolved as far as it exists, for comparing names
// (files_same_name); false when it cannot be.
bool files_resolved(const std::filesystem::path& path, std::filesystem::path& resolved);

// The platform's limits for files_unusable: the longest name in a path and the longest path, in
// units of the system's strings (UTF-16 on Windows, bytes elsewhere), and its folder separator
// besides '/'.
extern const std::size_t files_part_max;
extern const std::size_t files_whole_max;
extern const char* const files_unit;
extern const std::filesystem::path::value_type files_separator;

// The platform's part of files_list: the entries, or the system's reason.
bool files_read_folder(const std::filesystem::path& dir, std::vector<FilesEntry>& entries,
                       std::string& error);

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
