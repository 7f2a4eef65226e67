// The history's pictures by their gnuplot scripts against golden files: the trend of a figure
// limited by max_abs with a guard (both limits and the band on each side of the signed values),
// and the I-MR chart of its sizes, with a point and a moving range beyond their control limits.
// gyro_motor_history draws both with gnuplot in tests/records/history/.
#include "outputs/history/historyplot.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Eight sensors swept once an hour, SN7 far off: the peak deviation with its sign.
std::vector<HistoryRecord> batch() {
    const std::vector<double> peaks = {0.10, -0.12, 0.11, 0.10, -0.13, 0.11, -0.70, -0.12};
    std::vector<HistoryRecord> records;
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        HistoryRecord record;
        record.serial = "SN" + std::to_string(i + 1);
        record.name = "2026121" + std::to_string(i) + "T100000Z";
        record.time = "2026-12-1" + std::to_string(i) + "T10:00:00Z";
        record.seconds = 1796896800 + static_cast<std::int64_t>(i) * 86400;
        record.passed = i == 6   ? std::optional<bool>(false)
                        : i == 3 ? std::nullopt
                                 : std::optional<bool>(true);
        record.limits_name = record.passed ? "rev C" : "";
        if (record.passed) {
            record.limits.push_back(
                {"heading.peak_deviation_deg", std::nullopt, std::nullopt, 0.5, 0.02});
        }
        record.figures = {{"heading.peak_deviation_deg", peaks[i]},
                          {"temperature.mean_c", 23.0 + 0.5 * static_cast<double>(i)}};
        records.push_back(std::move(record));
    }
    return records;
}

} // namespace

TEST(HistoryPlot, TheScriptsMatchTheirGoldenFiles) {
    const std::vector<HistoryRecord> records = batch();
    const HistorySummary summary =
        history_summarise(records, history_sensors(records), {"heading.peak_deviation_deg"});
    const HistoryFigureSummary& peak = summary.figures.front();
    ASSERT_TRUE(peak.absolute);
    const fs::path golden(GM_HISTORY_OUTPUTS_DATA);
    EXPECT_EQ(historyplot_gnuplot_script(records, peak, "trend.png", "peak of archive"),
              tool_read_file(golden / "trend.gp"));
    EXPECT_EQ(historyplot_imr_script(peak, "imr.png", "peak of archive"),
              tool_read_file(golden / "imr.gp"));

    // A guard of nothing, or none, draws no band, and the limits stay.
    for (const std::optional<double> guard :
         {std::optional<double>(0.0), std::optional<double>()}) {
        HistoryFigureSummary unguarded = peak;
        unguarded.guard = guard;
        const std::string script = historyplot_imr_script(unguarded, "imr.png", "t");
        EXPECT_EQ(script.find("guard"), std::string::npos) << script;
        EXPECT_NE(script.find("title 'USL 0.5'"), std::string::npos) << script;
    }

    // No chart of fewer than two points, nor with a line break in a name.
    HistoryFigureSummary one = peak;
    one.points.resize(1);
    EXPECT_EQ(historyplot_imr_script(one, "imr.png", "t"), "");
    EXPECT_EQ(historyplot_imr_script(peak, "imr\n.png", "t"), "");
    EXPECT_EQ(historyplot_imr_script(peak, "imr.png", "a\rb"), "");
}
