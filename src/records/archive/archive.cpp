#include "records/archive/archive.h"

#include "base/files/files.h"
#include "base/text/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

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

std::string archive_local_time(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    // The programs have one thread: localtime's shared result is not raced.
    const std::tm* local = std::localtime(&seconds);
    if (local == nullptr) {
        return {};
    }
    // The local clock's reading taken as if it were UTC, less the instant: the offset.
    const std::chrono::sys_days day = std::chrono::year{local->tm_year + 1900} /
                                      std::chrono::month{static_cast<unsigned>(local->tm_mon + 1)} /
                                      std::chrono::day{static_cast<unsigned>(local->tm_mday)};
    const long long reading = day.time_since_epoch().count() * 86400LL + local->tm_hour * 3600LL +
                              local->tm_min * 60LL + local->tm_sec;
    const long long offset_minutes = (reading - static_cast<long long>(seconds)) / 60;
    const long long size = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    return text_format("%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local->tm_year + 1900,
                       local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min,
                       local->tm_sec, offset_minutes < 0 ? '-' : '+', size / 60, size % 60);
}

bool archive_begin(const fs::path& dir, const std::string& serial,
                   std::chrono::system_clock::time_point time, ArchiveScratch& scratch,
                   std::string& error) {
    std::error_code code;
    if (!fs::is_directory(dir, code)) {
        error = files_name(dir) + ": no such folder";
        return false;
    }
    scratch.sensor = dir / serial;
    scratch.name = archive_record_name(time);
    fs::create_directory(scratch.sensor, code);
    if (code || !fs::is_directory(scratch.sensor, code)) {
        error = files_name(scratch.sensor) + ": cannot make the folder: " +
                (code ? code.message() : "something else has its name");
        return false;
    }
    // Unique to this computer and process; a second record of the process in the same second,
    // or one left by a crash of a process of the same number, takes the next suffix.
    const std::string scratch_name =
        text_format("%s%s-%s-%lu", archive_scratch_prefix.data(), scratch.name.c_str(),
                    archive_plain_host().c_str(), archive_process_id());
    for (int k = 1; k <= archive_names_tried; ++k) {
        scratch.folder = scratch.sensor /
                         (k == 1 ? scratch_name : text_format("%s-%d", scratch_name.c_str(), k));
        if (fs::create_directory(scratch.folder, code)) {
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
    if (!fs::copy_file(from, scratch.folder / name, code)) {
        error = files_name(from) + ": cannot copy it into the record: " + code.message();
        return false;
    }
    return true;
}

bool archive_finish(const ArchiveScratch& scratch, fs::path& record, std::string& error) {
    std::error_code code;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch.folder, code)) {
        if (!archive_sync(entry.path(), false, error)) {
            return false;
        }
    }
    if (code) {
        error = files_name(scratch.folder) + ": cannot list it: " + code.message();
        return false;
    }
    if (!archive_sync(scratch.folder, true, error)) {
        return false;
    }
    for (int k = 1; k <= archive_names_tried; ++k) {
        const fs::path to = scratch.sensor /
                            (k == 1 ? scratch.name : text_format("%s-%d", scratch.name.c_str(), k));
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

void archive_abandon(const ArchiveScratch& scratch) {
    std::error_code ignored;
    fs::remove_all(scratch.folder, ignored);
}
