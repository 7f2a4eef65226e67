#include "records/archive/archive.h"

#include "base/files/files.h"
#include "base/text/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Another writer keeping this many records of one sensor in one second would be no bench.
constexpr int archive_names_tried = 1000;

bool archive_serial_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool archive_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The computer's name as a part of a folder name.
std::string archive_plain_host() {
    std::string host = archive_host_name().substr(0, archive_serial_max);
    std::replace_if(
        host.begin(), host.end(), [](char c) { return !archive_serial_char(c); }, '_');
    return host.empty() ? "host" : host;
}

// A scratch folder's name for a record to be named `name`, unique to this computer and process.
std::string archive_scratch_name(const std::string& name) {
    return text_format("%s%s-%s-%lu", archive_scratch_prefix.data(), name.c_str(),
                       archive_plain_host().c_str(), archive_process_id());
}

// The n-th choice of a name: the name itself, then name-2, name-3, ...
std::string archive_nth_name(const std::string& name, int n) {
    return n == 1 ? name : text_format("%s-%d", name.c_str(), n);
}

struct ArchiveTime {
    int year;
    unsigned month, day;
    long hours, minutes, seconds;
};

ArchiveTime archive_time(std::chrono::system_clock::time_point time) {
    const auto second = std::chrono::floor<std::chrono::seconds>(time);
    const auto day = std::chrono::floor<std::chrono::days>(second);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{second - day};
    return {static_cast<int>(date.year()),
            static_cast<unsigned>(date.month()),
            static_cast<unsigned>(date.day()),
            static_cast<long>(clock.hours().count()),
            static_cast<long>(clock.minutes().count()),
            static_cast<long>(clock.seconds().count())};
}

} // namespace

bool archive_valid_serial(std::string_view serial) {
    return !serial.empty() && serial.size() <= archive_serial_max && serial.front() != '.' &&
           std::all_of(serial.begin(), serial.end(), archive_serial_char);
}

bool archive_same_serial(std::string_view a, std::string_view b) {
    return archive_folded(a) == archive_folded(b);
}

std::string archive_folded(std::string_view serial) {
    std::string folded(serial);
    for (char& c : folded) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return folded;
}

std::string archive_refusal(const fs::path& dir, const std::string& serial) {
    std::vector<FilesEntry> entries;
    std::string ignored;
    files_list(dir, entries, ignored);
    const auto spelled = [&](const FilesEntry& entry) { return files_name(entry.name) == serial; };
    if (std::none_of(entries.begin(), entries.end(), spelled)) {
        for (const FilesEntry& entry : entries) {
            const std::string name = files_name(entry.name);
            if (entry.folder && archive_same_serial(name, serial)) {
                return text_format("\"%s\": %s holds this sensor as \"%s\": serials that differ "
                                   "only in letter case are one sensor's",
                                   serial.c_str(), files_name(dir).c_str(), name.c_str());
            }
        }
    }
    // The longest path of a record: the last scratch name tried, and the longest file name.
    const fs::path longest =
        dir / serial /
        archive_nth_name(archive_scratch_name(std::string(16, '0')), archive_names_tried) /
        "gyro_motor_times.txt";
    const std::string why = files_unusable(files_name(longest));
    return why.empty() ? why : files_name(longest) + ": " + why + ", so no record fits there";
}

bool archive_is_record_name(std::string_view name) {
    if (name.size() < 16 || !archive_digits(name.substr(0, 8)) || name[8] != 'T' ||
        !archive_digits(name.substr(9, 6)) || name[15] != 'Z') {
        return false;
    }
    return name.size() == 16 || (name[16] == '-' && archive_digits(name.substr(17)));
}

std::string archive_record_name(std::chrono::system_clock::time_point time) {
    const ArchiveTime t = archive_time(time);
    return text_format("%04d%02u%02uT%02ld%02ld%02ldZ", t.year, t.month, t.day, t.hours, t.minutes,
                       t.seconds);
}

std::string archive_record_time(std::chrono::system_clock::time_point time) {
    const ArchiveTime t = archive_time(time);
    return text_format("%04d-%02u-%02uT%02ld:%02ld:%02ldZ", t.year, t.month, t.day, t.hours,
                       t.minutes, t.seconds);
}

bool archive_begin(const fs::path& dir, const std::string& serial,
                   std::chrono::system_clock::time_point time, ArchiveScratch& scratch,
                   std::string& error) {
    std::error_code code;
    if (!fs::is_directory(files_system(dir), code)) {
        error = files_name(dir) + (fs::exists(files_system(dir), code) ? ": is a file, not a folder"
                                                                       : ": no such folder");
        return false;
    }
    error = archive_refusal(dir, serial);
    if (!error.empty()) {
        return false;
    }
    scratch.sensor = dir / serial;
    scratch.name = archive_record_name(time);
    fs::create_directory(files_system(scratch.sensor), code);
    if (code || !fs::is_directory(files_system(scratch.sensor), code)) {
        error = files_name(scratch.sensor) + ": cannot make the folder: " +
                (code ? code.message() : "something else has its name");
        return false;
    }
    // A second record of the process in the same second, or one left by a crash of a process of
    // the same number, takes the next suffix.
    const std::string scratch_name = archive_scratch_name(scratch.name);
    for (int k = 1; k <= archive_names_tried; ++k) {
        scratch.folder = scratch.sensor / archive_nth_name(scratch_name, k);
        if (fs::create_directory(files_system(scratch.folder), code)) {
            return true;
        }
        if (code) {
            error = files_name(scratch.folder) + ": cannot make the folder: " + code.message();
            return false;
        }
    }
    error = files_name(scratch.folder) + ": every scratch name is taken";
    return false;
}

bool archive_put(const ArchiveScratch& scratch, const std::string& name, std::string_view bytes,
                 bool text, std::string& error) {
    const fs::path path = scratch.folder / name;
    std::FILE* file = files_open(files_name(path), text ? "w" : "wb");
    if (file == nullptr) {
        error = files_name(path) + ": cannot write: " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        error = files_name(path) + ": cannot write it whole";
        return false;
    }
    return true;
}

bool archive_copy(const ArchiveScratch& scratch, const std::string& name, const fs::path& from,
                  std::string& error) {
    std::error_code code;
    if (!fs::copy_file(files_system(from), files_system(scratch.folder / name), code)) {
        error = files_name(from) + ": cannot copy it into the record: " + code.message();
        return false;
    }
    return true;
}

bool archive_finish(const ArchiveScratch& scratch, fs::path& record, std::string& error) {
    std::vector<FilesEntry> entries;
    std::string reason;
    if (!files_list(scratch.folder, entries, reason)) {
        error = files_name(scratch.folder) + ": cannot list it: " + reason;
        return false;
    }
    for (const FilesEntry& entry : entries) {
        if (!archive_sync(scratch.folder / entry.name, false, error)) {
            return false;
        }
    }
    if (!archive_sync(scratch.folder, true, error)) {
        return false;
    }
    for (int k = 1; k <= archive_names_tried; ++k) {
        const fs::path to = scratch.sensor / archive_nth_name(scratch.name, k);
        switch (archive_rename(scratch.folder, to, error)) {
        case ArchiveRename::done: {
            record = to;
            // The record is in place; if its name does not reach the disk before a power cut,
            // the scratch folder stays behind, which is no record either.
            std::string ignored;
            archive_sync(scratch.sensor, true, ignored);
            return true;
        }
        case ArchiveRename::taken:
            continue;
        case ArchiveRename::failed:
            return false;
        }
    }
    error = text_format("%s: no free record name up to %s-%d", files_name(scratch.sensor).c_str(),
                        scratch.name.c_str(), archive_names_tried);
    return false;
}

bool archive_abandon(const ArchiveScratch& scratch, std::string& error) {
    if (files_remove_all(scratch.folder)) {
        return true;
    }
    error = files_name(scratch.folder) + ": the scratch folder could not be removed";
    return false;
}
