// The sample log must read the same whichever platform wrote it. Doubles that lie exactly halfway
// between two printed values are where C libraries differ: glibc and mingw-w64's own printf round
// them to even, Windows' msvcrt rounds them away from zero. This test writes such values the way
// the log does, through fprintf to a file, so that a Windows build formatting through msvcrt fails.
#include "outputs/report/reportout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct FormatCase {
    const char* format;
    double value;
    const char* expected;
};

std::string format_through_file(const char* format, double value) {
    const char* path = "number_format_test.out";
    std::FILE* file = std::fopen(path, "w+");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return {};
    }
    std::fprintf(file, format, value);
    std::rewind(file);
    char line[64] = {};
    const bool read = std::fgets(line, sizeof(line), file) != nullptr;
    std::fclose(file);
    std::remove(path);
    return read ? std::string(line) : std::string();
}

} // namespace

TEST(NumberFormat, DoublesPrintAsTheLogExpects) {
    const FormatCase cases[] = {
        // Exact halves: to even, never away from zero.
        {"%.2f", 0.125, "0.12"},
        {"%.2f", 0.375, "0.38"},
        {"%.2f", -0.125, "-0.12"},
        {"%.0f", 2.5, "2"},
        {"%.0f", 3.5, "4"},
        {"%7.2f", 5.625, "   5.62"},    // roll word 1024
        {"%7.2f", -5.625, "  -5.62"},   // roll word -1024
        {"%7.3f", 14.0625, " 14.062"},  // rate word 6144
        {"%7.5f", 0.140625, "0.14062"}, // acceleration word 768
        // Not halves: the binary value decides.
        {"%.2f", 1.005, "1.00"},
        {"%.2f", 0.0054931640625, "0.01"},
        // Values at the ends of the log's ranges and widths.
        {"%7.2f", -180.0, "-180.00"},
        {"%7.2f", 32767 * 180.0 / 32768, " 179.99"},
        {"%7.5f", -1.875, "-1.87500"},
        {"%7.3f", -0.002288818359375, " -0.002"},
        {"%7.2f", -0.001, "  -0.00"},
        {"%7.2f", 0.0, "   0.00"},
    };
    for (const FormatCase& c : cases) {
        EXPECT_EQ(format_through_file(c.format, c.value), c.expected)
            << c.format << " of " << c.value;
    }
}

// The report's figures print as the log's numbers do, except that one rounding to zero shows no
// sign: in the text a blank takes its place, in the JSON only -0 itself becomes 0.
TEST(NumberFormat, ReportFiguresShowNoNegativeZero) {
    const struct {
        double value;
        int decimals;
        int width;
        const char* text;
        const char* json;
    } cases[] = {
        {-0.0004, 3, 9, "    0.000", "-0.0004"},
        {-0.0004, 3, 0, " 0.000", "-0.0004"},
        {-0.0, 1, 0, " 0.0", "0.0"},
        {-0.0006, 3, 0, "-0.001", "-0.0006"},
        {-0.125, 2, 6, " -0.12", "-0.125"}, // an exact half rounds to even, not to zero
        {0.0004, 3, 0, "0.000", "0.0004"},
        {-12.5, 0, 0, "-12", "-12.5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reportout_number(c.value, c.decimals, c.width), c.text) << c.value;
        EXPECT_EQ(reportout_figure(c.value).dump(), c.json) << c.value;
    }
}
