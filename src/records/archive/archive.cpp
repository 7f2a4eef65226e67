#include "records/archive/archive.h"

#include "base/files/files.h"
#include "base/text/text.h"
#include "records/digest/digest.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
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

namespace {

// Whether the name is one Windows keeps for a device, whatever follows its first '.'.
bool archive_device_name(std::string_view name) {
    std::string base(name.substr(0, name.find('.')));
    std::transform(base.begin(), base.end(), base.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") {
        return true;
    }
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '1' && base[3] <= '9';
}

// Writes `bytes` as the file, in text mode when `text`.
bool archive_write(const fs::path& path, std::string_view bytes, bool text, std::string& error) {
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

} // namespace

bool archive_valid_serial(std::string_view serial) {
    return !serial.empty() && serial.size() <= archive_serial_max && serial.front() != '.' &&
           serial.back() != '.' && std::all_of(serial.begin(), serial.end(), archive_serial_char) &&
           !archive_device_name(serial);
}

const char* archive_field_problem(std::string_view text) {
    if (text.empty()) {
        return "empty";
    }
    if (text.front() == ' ' || text.back() == ' ') {
        return "begins or ends with a blank";
    }
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++characters) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80             ? 1
                                   : (lead & 0xE0) == 0xC0 ? 2
                                   : (lead & 0xF0) == 0xE0 ? 3
                                   : (lead & 0xF8) == 0xF0 ? 4
                                                           : 0;
        if (length == 0 || i + length > text.size()) {
            return "not UTF-8 text";
        }
        std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return "not UTF-8 text";
            }
            code = code << 6 | (next & 0x3Fu);
        }
        // The shortest form only, and no surrogate or number past Unicode's last.
        static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            return "not UTF-8 text";
        }
        if (code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0x2028 || code == 0x2029) {
            return code == '\n' || code == '\r' || code == 0x2028 || code == 0x2029
                       ? "more than one line"
                       : "a control character";
        }
        i += length;
    }
    return characters > archive_field_max ? "longer than 64 characters" : nullptr;
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

std::optional<std::int64_t> archive_parse_time(std::string_view text, bool& date_only) {
    // The forms taken, 'd' for a digit; their digits read in order are YYYYMMDD[hhmmss].
    static constexpr std::array<std::string_view, 3> forms{"dddd-dd-dd", "dddd-dd-ddTdd:dd:ddZ",
                                                           "ddddddddTddddddZ"};
    for (const std::string_view form : forms) {
        if (text.size() != form.size()) {
            continue;
        }
        std::string digits;
        bool matches = true;
        for (std::size_t i = 0; i < form.size() && matches; ++i) {
            const bool digit = text[i] >= '0' && text[i] <= '9';
            matches = form[i] == 'd' ? digit : text[i] == form[i];
            if (digit) {
                digits += text[i];
            }
        }
        if (!matches) {
            continue;
        }
        date_only = digits.size() == 8;
        digits.resize(14, '0');
        const auto number = [&](std::size_t at, std::size_t count) {
            int value = 0;
            for (std::size_t i = at; i < at + count; ++i) {
                value = value * 10 + (digits[i] - '0');
            }
            return value;
        };
        const int hour = number(8, 2);
        const int minute = number(10, 2);
        const int second = number(12, 2);
        const std::chrono::year_month_day date{
            std::chrono::year{number(0, 4)},
            std::chrono::month{static_cast<unsigned>(number(4, 2))},
            std::chrono::day{static_cast<unsigned>(number(6, 2))}};
        if (!date.ok() || hour > 23 || minute > 59 || second > 59) {
            return std::nullopt;
        }
        const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
        return days * 86400 + hour * 3600 + minute * 60 + second;
    }
    return std::nullopt;
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
    return archive_write(scratch.folder / name, bytes, text, error);
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

bool archive_write_manifest(const fs::path& folder, std::string& error) {
    std::vector<FilesEntry> entries;
    std::string reason;
    if (!files_list(folder, entries, reason)) {
        error = files_name(folder) + ": cannot list it: " + reason;
        return false;
    }
    std::vector<std::string> names;
    for (const FilesEntry& entry : entries) {
        const std::string name = files_name(entry.name);
        if (name != archive_manifest_name) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    std::string manifest;
    for (const std::string& name : names) {
        std::string hex;
        if (!digest_file(folder / files_path(name), hex, error)) {
            error = files_name(folder) + ": " + error;
            return false;
        }
        manifest += hex + "  " + name + "\n";
    }
    // In binary, with Unix line ends: sha256sum reads it so on every platform.
    return archive_write(folder / archive_manifest_name, manifest, false, error);
}

bool archive_finish(const ArchiveScratch& scratch, fs::path& record, std::string& error) {
    if (!archive_write_manifest(scratch.folder, error)) {
        return false;
    }
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
