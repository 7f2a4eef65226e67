// The order in which a record reaches the disk: every file of it, then its scratch folder, is
// synced before the rename gives it its name, so that a power cut never leaves a whole-looking
// record with empty files; a sync that fails keeps it a scratch folder. The archive's platform
// part is defined here (which keeps the real one out of the link) to see the syncs.
#include "records/archive/archive.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

std::vector<std::string> events; // "sync NAME", "sync folder NAME", "rename FROM TO"
fs::path root;                   // names in the events are relative to it
std::size_t failing_sync = 0;    // the sync (from 1) that fails; 0: none

std::string named(const fs::path& path) {
    return path.lexically_relative(root).generic_string();
}

} // namespace

std::string archive_host_name() {
    return "bench";
}

unsigned long archive_process_id() {
    return 7;
}

bool archive_sync(const fs::path& path, bool folder, std::string& error) {
    events.push_back((folder ? "sync folder " : "sync ") + named(path));
    const auto syncs = std::count_if(events.begin(), events.end(),
                                     [](const std::string& e) { return e.starts_with("sync"); });
    if (static_cast<std::size_t>(syncs) == failing_sync) {
        error = named(path) + ": cannot put it on the disk";
        return false;
    }
    return true;
}

ArchiveRename archive_rename(const fs::path& from, const fs::path& to, std::string& error) {
    events.push_back("rename " + named(from) + " " + named(to));
    std::error_code code;
    if (fs::exists(to)) {
        return ArchiveRename::taken;
    }
    fs::rename(from, to, code);
    error = code.message();
    return code ? ArchiveRename::failed : ArchiveRename::done;
}

namespace {

TEST(ArchiveSync, EveryFileAndTheFolderReachTheDiskBeforeTheRename) {
    const std::string scratch = "SN1/.partial-20261209T101503Z-bench-7";
    const std::vector<std::string> all = {"sync " + scratch + "/gyro_motor.txt",
                                          "sync " + scratch + "/manifest.sha256",
                                          "sync " + scratch + "/report.txt",
                                          "sync folder " + scratch,
                                          "rename " + scratch + " SN1/20261209T101503Z",
                                          "sync folder SN1"};
    const struct {
        std::size_t failing_sync;
        std::size_t events; // the first of `all` that happen
        bool kept;
    } cases[] = {{0, 6, true},  {1, 1, false}, {2, 2, false},
                 {3, 3, false}, {4, 4, false}, {5, 6, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing_sync);
        root = tool_make_test_dir("gm_archive_sync_test_");
        events.clear();
        failing_sync = c.failing_sync;
        ArchiveScratch record;
        fs::path kept;
        std::string error;
        ASSERT_TRUE(archive_begin(root, "SN1", sys_days{year{2026} / 12 / 9} + 10h + 15min + 3s,
                                  record, error))
            << error;
        ASSERT_TRUE(archive_put(record, "report.txt", "report", false, error)) << error;
        ASSERT_TRUE(archive_put(record, "gyro_motor.txt", "log", false, error)) << error;
        EXPECT_EQ(archive_finish(record, kept, error), c.kept) << error;
        // The files go in the folder's order, which the system chooses.
        ASSERT_EQ(events.size(), c.events);
        std::sort(events.begin(), events.begin() + std::min<std::ptrdiff_t>(3, std::ssize(events)));
        for (std::size_t k = 0; k < c.events; ++k) {
            // Before all three files are synced, any of them may have gone first.
            EXPECT_TRUE(events[k] == all[k] ||
                        (c.events < 3 &&
                         std::find(all.begin(), all.begin() + 3, events[k]) != all.begin() + 3))
                << events[k];
        }
        EXPECT_EQ(fs::exists(root / "SN1" / "20261209T101503Z"), c.kept);
        EXPECT_TRUE(c.kept || error.ends_with(": cannot put it on the disk")) << error;
        fs::remove_all(root);
    }
}

} // namespace
