// The summary's text against a golden file on a batch of 25 sensors, enough to lift the mark of
// few: a skewed figure bounded at zero, flagged as far from normal, and a two-sided one with Pp
// and Cp. The program's own views are checked in tests/records/history/.
#include "outputs/history/historyout.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

TEST(HistoryOut, TheSummaryOfABatchOf25MatchesItsGoldenFile) {
    std::vector<HistoryRecord> records;
    for (int i = 1; i <= 25; ++i) {
        HistoryRecord record;
        record.serial = "SN" + std::to_string(100 + i);
        record.name = "20261210T1000" + std::to_string(10 + i) + "Z";
        record.time = "2026-12-10T10:00:" + std::to_string(10 + i) + "Z";
        record.seconds = 1796896800 + 10 + i;
        record.passed = i != 25;
        record.limits_name = "rev C";
        record.limits = {{"tilt.roll_wobble_deg", std::nullopt, 0.7, std::nullopt, std::nullopt},
                         {"yaw_rate.scale_error_percent", -0.5, 0.5, std::nullopt, 0.05}};
        // The squares 1 to 625 in thousandths; the scale error swings -0.2 to 0.2.
        record.figures = {{"tilt.roll_wobble_deg", i * i / 1000.0},
                          {"yaw_rate.scale_error_percent", (i % 5 - 2) / 10.0}};
        records.push_back(std::move(record));
    }
    const HistorySummary summary =
        history_summarise(records, history_sensors(records),
                          {"tilt.roll_wobble_deg", "yaw_rate.scale_error_percent"});
    const std::string text = historyout_summary_text(historyout_summary(summary), summary) + "\n" +
                             historyout_yields_text(summary);
    EXPECT_EQ(text,
              tool_read_file(std::filesystem::path(GM_HISTORY_OUTPUTS_DATA) / "summary_25.txt"));
}
