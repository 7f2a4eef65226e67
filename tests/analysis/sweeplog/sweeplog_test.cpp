#include "analysis/sweeplog/sweeplog.h"
#include "analysis/sweeptimes/sweeptimes.h"
#include "outputs/sweep/sweepplot.h"

#include "sweep/gyro/gyro.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ReadResult {
    bool ok = false;
    std::vector<SweepLogSample> samples;
    std::vector<SweepLogProblem> problems;
};

ReadResult read_text(const std::string& text) {
    ReadResult result;
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return result;
    }
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    result.ok = sweeplog_read(file, result.samples, result.problems);
    std::fclose(file);
    return result;
}

std::string file_text(std::FILE* file) {
    std::rewind(file);
    std::string text;
    int c = 0;
    while ((c = std::getc(file)) != EOF) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

std::string problems_text(const std::vector<SweepLogProblem>& problems) {
    std::string text;
    for (const SweepLogProblem& problem : problems) {
        text += std::to_string(problem.line) + ": " + problem.message + "\n";
    }
    return text;
}

// The five lines of a good record, each with its line end.
const std::vector<std::string> good_record{
    "Roll    0.55 Pitch   -1.10 Heading   90.00 \n",
    "X Roll Rate   2.289 Y Pitch Rate  -2.289 Z Yaw Rate  15.001 \n",
    "X Accel 0.00000 Y Accel 0.01831 Z Accel 0.99994 \n",
    "X Mag 0.19999 Y Mag -0.19999 Z Mag 0.44998 \n",
    "Temp   49.95 \n",
};

std::string records(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        for (const std::string& line : good_record) {
            text += line;
        }
    }
    return text;
}

// The word table of the round trip: extremes of every signed word and of the temperature word,
// with the engineering values they stand for.
struct RoundTripRow {
    GyroSample sample;
    std::array<double, sweeplog_value_count> expected;
};

GyroSample words(std::int32_t signed_word, std::int32_t temperature_word) {
    GyroSample sample;
    sample.words.fill(signed_word);
    sample.words[12] = temperature_word;
    sample.words[13] = 0x5A5A; // never logged
    return sample;
}

} // namespace

TEST(SweepLogRead, RoundTripThroughTheLoggerKeepsEveryValueWithinThePrintPrecision) {
    GyroSample mixed;
    mixed.words = {12345, -12345, 0, -4321, 4321, 0, 2047, -2047, 0, -9999, 9999, 0, 1234, 0};
    const std::vector<RoundTripRow> rows{
        {words(0, 0), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -61.05}},
        {words(-32768, 0),
         {-180, -180, -180, -75, -75, -75, -6, -6, -6, -1.875, -1.875, -1.875, -61.05}},
        {words(32767, 4095),
         {179.9945068359375, 179.9945068359375, 179.9945068359375, 74.99771118164062,
          74.99771118164062, 74.99771118164062, 5.99981689453125, 5.99981689453125,
          5.99981689453125, 1.8749427795410156, 1.8749427795410156, 1.8749427795410156,
          160.89580078125}},
        {words(-1, 65535),
         {-0.0054931640625, -0.0054931640625, -0.0054931640625, -0.002288818359375,
          -0.002288818359375, -0.002288818359375, -0.00018310546875, -0.00018310546875,
          -0.00018310546875, -0.0000572204589844, -0.0000572204589844, -0.0000572204589844,
          3490.89580078125}},
        {mixed,
         {67.8131103515625, -67.8131103515625, 0, -9.889984130859375, 9.889984130859375, 0,
          0.37481689453125, -0.37481689453125, 0, -0.5721473693847656, 0.5721473693847656, 0,
          5.8318359375}},
    };

    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    for (const RoundTripRow& row : rows) {
        gyro_log_sample(log, row.sample);
    }
    std::rewind(log);
    std::vector<SweepLogSample> samples;
    std::vector<SweepLogProblem> problems;
    ASSERT_TRUE(sweeplog_read(log, samples, problems));
    std::fclose(log);

    EXPECT_EQ(problems_text(problems), "");
    ASSERT_EQ(samples.size(), rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        EXPECT_EQ(samples[r].number, r + 1);
        EXPECT_EQ(samples[r].line, 5 * r + 1);
        for (std::size_t q = 0; q < sweeplog_value_count; ++q) {
            // Half a unit of the last printed decimal, and a hair for the binary fractions.
            const double tolerance = 0.5 * std::pow(10.0, -sweeplog_quantities[q].decimals) + 1e-9;
            EXPECT_NEAR(samples[r].values[q], rows[r].expected[q], tolerance)
                << "row " << r << ", " << sweeplog_quantities[q].label;
        }
    }
}

TEST(SweepLogRead, CrLfLineEndsReadLikeLf) {
    const std::string lf = records(3);
    std::string crlf;
    for (const char c : lf) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const ReadResult from_lf = read_text(lf);
    const ReadResult from_crlf = read_text(crlf);
    EXPECT_EQ(problems_text(from_crlf.problems), "");
    ASSERT_EQ(from_crlf.samples.size(), 3u);
    ASSERT_EQ(from_lf.samples.size(), 3u);
    for (std::size_t s = 0; s < 3; ++s) {
        EXPECT_EQ(from_crlf.samples[s].values, from_lf.samples[s].values);
        EXPECT_EQ(from_crlf.samples[s].line, from_lf.samples[s].line);
    }
    EXPECT_DOUBLE_EQ(from_crlf.samples[0].values[2], 90.0);
    EXPECT_DOUBLE_EQ(from_crlf.samples[0].values[12], 49.95);
}

TEST(SweepLogRead, EmptyLogHasNoSamplesAndNoProblems) {
    const ReadResult result = read_text("");
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(result.samples.empty());
    EXPECT_TRUE(result.problems.empty());
}

// A log with one fault: where it is reported, what the message says, and which records are
// still read (by the line each starts on).
struct FaultCase {
    const char* name;
    std::string log;
    std::vector<std::pair<std::size_t, std::string>> problems; // line, part of the message
    std::vector<std::size_t> sample_lines;
};

class SweepLogFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SweepLogFault, IsReportedAtItsLineAndReadingGoesOn) {
    const FaultCase& fault = GetParam();
    const ReadResult result = read_text(fault.log);
    EXPECT_TRUE(result.ok);
    ASSERT_EQ(result.problems.size(), fault.problems.size()) << problems_text(result.problems);
    for (std::size_t p = 0; p < fault.problems.size(); ++p) {
        EXPECT_EQ(result.problems[p].line, fault.problems[p].first);
        EXPECT_NE(result.problems[p].message.find(fault.problems[p].second), std::string::npos)
            << "message: " << result.problems[p].message;
    }
    ASSERT_EQ(result.samples.size(), fault.sample_lines.size());
    for (std::size_t s = 0; s < fault.sample_lines.size(); ++s) {
        EXPECT_EQ(result.samples[s].line, fault.sample_lines[s]);
        // Good records are numbered without holes.
        EXPECT_EQ(result.samples[s].number, s + 1);
        EXPECT_DOUBLE_EQ(result.samples[s].values[12], 49.95);
    }
}

namespace {

// `count` good records with some of their lines (1-based in the file) replaced.
std::string log_with(std::size_t count,
                     const std::vector<std::pair<std::size_t, std::string>>& replaced) {
    std::string log;
    for (std::size_t i = 0; i < 5 * count; ++i) {
        std::string line = good_record[i % 5];
        for (const auto& [number, text] : replaced) {
            if (number == i + 1) {
                line = text;
            }
        }
        log += line;
    }
    return log;
}

std::string three_records_with(std::size_t line, const std::string& text) {
    return log_with(3, {{line, text}});
}

std::string first_lines(std::size_t count) {
    std::string log;
    for (std::size_t i = 0; i < count; ++i) {
        log += good_record[i % 5];
    }
    return log;
}

const std::vector<FaultCase> fault_cases{
    {"WrongLabel",
     three_records_with(7, "X Roll Rat   2.289 Y Pitch Rate  -2.289 Z Yaw Rate  15.001 \n"),
     {{7, "expected \"X Roll Rate\", found \"X Roll Rat "}},
     {1, 11}},
    {"WrongLabelInTheMiddleOfALine",
     three_records_with(4, "X Mag 0.19999 Y Mag -0.19999 Y Mag 0.44998 \n"),
     {{4, "expected \"Z Mag\", found \"Y Mag 0.44998 \""}},
     {6, 11}},
    {"LabelOfTheWrongLine",
     three_records_with(2, "X Accel 0.00000 Y Accel 0.01831 Z Accel 0.99994 \n"),
     {{2, "expected \"X Roll Rate\""}},
     {6, 11}},
    {"MissingField",
     three_records_with(3, "X Accel 0.00000 Y Accel 0.01831 \n"),
     {{3, "the line ends before the \"Z Accel\" field"}},
     {6, 11}},
    {"MissingValue", three_records_with(15, "Temp \n"), {{15, "no value after \"Temp\""}}, {1, 6}},
    {"JunkNumber",
     three_records_with(1, "Roll    0.55 Pitch   -1.10 Heading   9x.00 \n"),
     {{1, "the \"Heading\" value \"9x.00\" is not a decimal number"}},
     {6, 11}},
    {"ExtraField",
     three_records_with(10, "Temp   49.95 Temp   49.95 \n"),
     {{10, "unexpected text after the \"Temp\" value: \"Temp   49.95 \""}},
     {1, 11}},
    {"CutAfterThreeLinesAtTheEnd",
     records(2) + first_lines(3),
     {{11, "record cut short by the end of the file after 3 of 5 lines"}},
     {1, 6}},
    {"LastLineWithoutLineEnd",
     records(1) + first_lines(4) + "Temp   49.9",
     {{6, "line 10 has no line end"}},
     {1}},
    {"CutInTheMiddleOfTheFile",
     first_lines(3) + records(2),
     {{1, "record cut short after 3 of 5 lines: line 4 starts the next record"}},
     {4, 9}},
    {"ExtraBlankLineBetweenRecords",
     records(1) + "\n" + records(2),
     {{6, "expected the \"Roll\" line of a record, found an empty line"}},
     {1, 7, 12}},
    {"BlankLineInsideARecord",
     first_lines(2) + "\n" + good_record[2] + good_record[3] + good_record[4] + records(1),
     {{3, "expected the \"X Accel\" line, found an empty line"}},
     {7}},
    {"JunkBeforeTheFirstRecordIsOneProblem",
     std::string("gyro_motor log\nstarted 12:00\n\n") + records(2),
     {{1, "expected the \"Roll\" line of a record, found \"gyro_motor log\""}},
     {4, 9}},
    {"TwoFaultsTwoProblems",
     log_with(3, {{2, "X Roll Rate   2.289 Y Pitch Rate  -2.289 Z Yaw Rate \n"},
                  {8, "X Accel 0.00000 Y Accel 0.01831 Z Accel 0,99994 \n"}}),
     {{2, "no value after \"Z Yaw Rate\""}, {8, "\"0,99994\" is not a decimal number"}},
     {11}},
    {"StrayCarriageReturn",
     three_records_with(5, "Temp   49.95\r \n"),
     {{5, "is not a decimal number"}},
     {6, 11}},
    {"OverlongLine",
     three_records_with(9, std::string("X Mag ") + std::string(5000, '1') + "\n"),
     {{9, "line longer than 4096 characters"}},
     {1, 11}},
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Faults, SweepLogFault, testing::ValuesIn(fault_cases),
                         [](const testing::TestParamInfo<FaultCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(SweepLogRead, OnlyPlainDecimalsAreNumbers) {
    const std::vector<std::pair<std::string, bool>> tokens{
        {"1", true},
        {"-0.00", true},
        {"179.99", true},
        {"-180.00", true},
        {"007.50", true},
        {"+1.00", false},
        {"1e3", false},
        {"1.0e3", false},
        {"nan", false},
        {"inf", false},
        {"-inf", false},
        {"0x1p3", false},
        {"1.", false},
        {".5", false},
        {"-", false},
        {"--1", false},
        {"1.2.3", false},
        {"1,5", false},
        {std::string(400, '9'), false},
    };
    for (const auto& [token, accepted] : tokens) {
        const ReadResult result =
            read_text(std::string("Roll    0.55 Pitch ") + token + " Heading   90.00 \n" +
                      good_record[1] + good_record[2] + good_record[3] + good_record[4]);
        EXPECT_EQ(result.samples.size(), accepted ? 1u : 0u) << token;
        EXPECT_EQ(result.problems.size(), accepted ? 0u : 1u) << token;
        if (accepted && !result.samples.empty()) {
            EXPECT_DOUBLE_EQ(result.samples[0].values[1], std::stod(token)) << token;
        }
    }
}

// Windows, where names ignore case, finds the times of GYRO_MOTOR.TXT too.
TEST(SweepTimesPath, ReplacesTheLogsTxtExtensionInAnyCaseWhereNamesIgnoreIt) {
#ifdef _WIN32
    EXPECT_EQ(sweeptimes_path("GYRO_MOTOR.TXT"), "GYRO_MOTOR_times.txt");
#else
    EXPECT_EQ(sweeptimes_path("GYRO_MOTOR.TXT"), "GYRO_MOTOR.TXT_times.txt");
#endif
}

TEST(SweepLogCsv, KnownLogGivesTheGoldenCsv) {
    std::FILE* log = std::fopen(GM_PLOT_DATA "/known.log", "rb");
    ASSERT_NE(log, nullptr);
    std::vector<SweepLogSample> samples;
    std::vector<SweepLogProblem> problems;
    ASSERT_TRUE(sweeplog_read(log, samples, problems));
    std::fclose(log);
    EXPECT_EQ(problems_text(problems), "");

    std::FILE* csv = std::tmpfile();
    ASSERT_NE(csv, nullptr);
    ASSERT_TRUE(sweepplot_write_csv(csv, samples));
    const std::string written = file_text(csv);
    std::fclose(csv);

    std::ifstream golden(GM_PLOT_DATA "/known.csv", std::ios::binary);
    std::stringstream expected;
    expected << golden.rdbuf();
    EXPECT_EQ(written, expected.str());
}

TEST(SweepLogCsv, NoSamplesGiveTheHeaderOnly) {
    std::FILE* csv = std::tmpfile();
    ASSERT_NE(csv, nullptr);
    ASSERT_TRUE(sweepplot_write_csv(csv, {}));
    EXPECT_EQ(file_text(csv), "sample,roll_deg,pitch_deg,heading_deg,x_rate_dps,y_rate_dps,"
                              "z_rate_dps,x_accel_g,y_accel_g,z_accel_g,x_mag_gauss,y_mag_gauss,"
                              "z_mag_gauss,temp_c\n");
    std::fclose(csv);
}

TEST(SweepPlotScript, NamesAreQuotedForGnuplotAndLineBreaksRefused) {
    const std::vector<SweepLogSample> samples{{.number = 1, .line = 1, .values = {}}};
    SweepPlot plot{.csv_path = "it's.csv", .png_path = "a'b.png", .svg_path = "", .title = "t"};
    const std::string script = sweepplot_gnuplot_script(plot, samples);
    EXPECT_NE(script.find("'it''s.csv' skip 1"), std::string::npos);
    EXPECT_NE(script.find("set output 'a''b.png'"), std::string::npos);
    EXPECT_EQ(script.find("svg"), std::string::npos); // no SVG asked for

    plot.png_path = "a\nset output 'x'";
    EXPECT_EQ(sweepplot_gnuplot_script(plot, samples), "");
}
