#include "sweep/samplelog/samplelog.h"

#include "sweep/runfile/runfile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

namespace {

// Larger than any record, so that a record is handed to the system by the flush that ends it, in
// one write, and never by the formatting in the middle of it.
constexpr std::size_t samplelog_buffer_size = 4096;

// The bytes of whole records (whole lines of the times file) on the file: where a failed write is
// cut back to; -1 when unknown.
long samplelog_log_end = 0;
long samplelog_times_end = 0;

std::FILE* samplelog_times = nullptr; // nothing once it could not be opened or written
std::string samplelog_times_name;
std::string samplelog_log_name;

// A file that cannot be synced (a device or a pipe: EINVAL) holds nothing that a power cut could
// take. Every other failure may have lost data, EROFS too: ext4 turns itself read-only after an
// error, and its fsync then fails so.
int samplelog_sync_failure(int error) {
    return error == EINVAL ? 0 : error;
}

// The folder that holds a file: its name lives there, and only a synced folder keeps it.
std::string samplelog_folder(const std::string& file_name) {
    const std::filesystem::path folder = std::filesystem::path(file_name).parent_path();
    return folder.empty() ? "." : folder.string();
}

// Hands what the stream holds to the system and moves `end` behind it; if that fails, cuts the
// file back to a known `end` and returns the errno.
int samplelog_flush_whole(std::FILE* file, long& end) {
    errno = 0;
    if (std::fflush(file) == 0 && std::ferror(file) == 0) {
        // No position (a pipe, or a file past what a long holds): nothing is cut.
        end = std::ftell(file);
        return 0;
    }
    const int error = errno != 0 ? errno : EIO;
    if (end >= 0) {
        samplelog_cut(file, end);
    }
    return error;
}

// The times file's one message; it is not written again.
void samplelog_drop_times(const char* failed, int error) {
    runfile_say("sample times %s could not be %s: %s\n", samplelog_times_name.c_str(), failed,
                std::strerror(error));
    if (samplelog_times != nullptr) {
        std::fclose(samplelog_times);
        samplelog_times = nullptr;
    }
}

void samplelog_write_time(double seconds) {
    if (samplelog_times == nullptr) {
        return;
    }
    std::fprintf(samplelog_times, "%.4f\n", seconds);
    if (const int error = samplelog_flush_whole(samplelog_times, samplelog_times_end); error != 0) {
        samplelog_drop_times("written", error);
    }
}

// Both files onto the disk; the log's failure is returned, the times file's reported.
int samplelog_sync_both(std::FILE* log) {
    if (samplelog_times != nullptr) {
        if (const int error = samplelog_sync_failure(samplelog_sync(samplelog_times)); error != 0) {
            samplelog_drop_times("written", error);
        }
    }
    return samplelog_sync_failure(samplelog_sync(log));
}

// The names of both files onto the disk, after their data: the log's folder's failure is
// returned, that of the times file's own folder, where it has one, reported.
int samplelog_sync_folders(bool times_kept) {
    const std::string log_folder = samplelog_folder(samplelog_log_name);
    const std::string times_folder = samplelog_folder(samplelog_times_name);
    if (times_kept && times_folder != log_folder) {
        if (const int error = samplelog_sync_failure(samplelog_sync_folder(times_folder.c_str()));
            error != 0) {
            samplelog_drop_times("written", error);
        }
    }
    return samplelog_sync_failure(samplelog_sync_folder(log_folder.c_str()));
}

} // namespace

bool samplelog_open_times(const char* times_file_name) {
    samplelog_times_end = 0;
    samplelog_times_name = times_file_name;
    samplelog_times = std::fopen(times_file_name, "w");
    if (samplelog_times == nullptr) {
        const int open_error = errno;
        // Another run's times beside the new log would put its samples on the wrong clock: the
        // old file goes, and a new one takes its place where the folder allows.
        if (std::remove(times_file_name) != 0 && errno != ENOENT) {
            runfile_say("sample times %s could not be emptied or removed: %s\n", times_file_name,
                        std::strerror(open_error));
            return false;
        }
        samplelog_times = std::fopen(times_file_name, "w");
        if (samplelog_times == nullptr) {
            samplelog_drop_times("opened", errno);
            return true;
        }
    }
    std::setvbuf(samplelog_times, nullptr, _IOFBF, samplelog_buffer_size);
    return true;
}

void samplelog_begin(std::FILE* log, const char* log_file_name) {
    std::setvbuf(log, nullptr, _IOFBF, samplelog_buffer_size);
    samplelog_log_end = 0;
    samplelog_log_name = log_file_name;
}

int samplelog_append(std::FILE* log, const GyroSample& sample,
                     SampleLogClock::time_point move_written,
                     SampleLogClock::time_point polled_at) {
    gyro_log_sample(log, sample);
    if (const int error = samplelog_flush_whole(log, samplelog_log_end); error != 0) {
        return error;
    }
    // No sync here: even once a second, between one pass's exchanges and the next, it cost the
    // paced sweep some 3 % of its samples on a busy machine.
    samplelog_write_time(std::chrono::duration<double>(polled_at - move_written).count());
    return 0;
}

int samplelog_close(std::FILE* log) {
    // A log that failed has been cut back and reported; there is nothing more to put on disk.
    int error = 0;
    if (log != nullptr) {
        error = std::ferror(log) != 0 ? EIO : samplelog_sync_both(log);
        errno = 0;
        if (std::fclose(log) != 0 && error == 0) {
            error = errno != 0 ? errno : EIO;
        }
    }
    bool times_kept = false;
    if (std::FILE* times = std::exchange(samplelog_times, nullptr); times != nullptr) {
        errno = 0;
        times_kept = std::fclose(times) == 0;
        if (!times_kept) {
            samplelog_drop_times("written", errno != 0 ? errno : EIO);
        }
    }
    if (log != nullptr && error == 0) {
        error = samplelog_sync_folders(times_kept);
    }
    return error;
}
