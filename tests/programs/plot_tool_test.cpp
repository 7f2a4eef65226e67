// End to end: runs the real gyro_motor_plot executable on logs in a scratch directory. The
// picture tests need gnuplot and are skipped, saying so, only where none is on the PATH.
#include "sweep/gyro/gyro.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using RunResult = ToolResult;

std::string read_file(const fs::path& path) {
    return tool_read_file(path);
}
void write_file(const fs::path& path, const std::string& text) {
    tool_write_file(path, text);
}
std::size_t count_lines(const std::string& text) {
    return tool_count_lines(text);
}
// The program's console text with LF line ends: Windows writes CR LF to its console streams.
std::string lf_lines(std::string text) {
    std::erase(text, '\r');
    return text;
}

class PlotTool : public testing::Test {
  protected:
    void SetUp() override { dir = tool_make_test_dir("gm_plot_test_"); }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir, error);
    }

    // Runs the program with the arguments; `environment` is put before the command (POSIX only).
    RunResult run(const std::vector<std::string>& arguments, const std::string& environment = "") {
        return tool_run(GM_PLOT_TOOL, arguments, dir, environment);
    }

    fs::path copy_known_log(const fs::path& where) {
        fs::create_directories(where.parent_path());
        fs::copy_file(GM_PLOT_DATA "/known.log", where, fs::copy_options::overwrite_existing);
        return where;
    }

    fs::path dir;
};

#define REQUIRE_GNUPLOT()                                                                          \
    do {                                                                                           \
        if (!tool_gnuplot_on_path())                                                               \
            GTEST_SKIP() << "gnuplot is not on the PATH (install gnuplot-nox): the pictures "      \
                            "are not tested";                                                      \
    } while (false)

#ifdef _WIN32
#define REQUIRE_POSIX_SHELL() GTEST_SKIP() << "needs a POSIX shell to set the PATH of one command"
#else
#define REQUIRE_POSIX_SHELL() static_cast<void>(0)
#endif

void expect_png(const fs::path& path) {
    const std::string png = read_file(path);
    ASSERT_GT(png.size(), 1000u) << path;
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

void expect_svg(const fs::path& path) {
    const std::string svg = read_file(path);
    ASSERT_GT(svg.size(), 1000u) << path;
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

} // namespace

TEST_F(PlotTool, HelpExplainsOptionsOutputsAndExitStatuses) {
    const RunResult result = run({"--help"});
    EXPECT_EQ(result.status, 0);
    for (const char* part :
         {"Usage: gyro_motor_plot", "--csv FILE", "--png FILE", "--svg FILE", "--no-plot",
          "gyro_motor.txt", "LOG:LINE: message", "temp_c", "gnuplot", "Exit status", "  3  "}) {
        EXPECT_NE(result.out.find(part), std::string::npos) << part;
    }
}

TEST_F(PlotTool, BadArgumentsEndWithStatusTwoAndOneLineNamingThem) {
    const fs::path log = copy_known_log(dir / "gyro_motor.txt");
    struct BadArguments {
        std::vector<std::string> arguments;
        std::string named;
    };
    const std::vector<BadArguments> cases{
        {{"--bogus"}, "--bogus"},
        {{log.string(), log.string()}, log.string()},
        {{"--csv"}, "--csv"},
        {{"--csv="}, "--csv"},
        {{"--png", "a.png", "--png", "b.png", log.string()}, "--png"},
        {{"--no-plot", "--png", "a.png", log.string()}, "--no-plot"},
        {{"--no-plot=0", log.string()}, "no-plot"},
        {{"--csv", log.string(), log.string()}, "--csv would overwrite LOG"},
        {{(dir / "g2.csv").string()}, "the CSV would overwrite LOG"},
        {{(dir / "g2.png").string()}, "the PNG would overwrite LOG"},
        {{"--csv", "-", "--png", "a.png", log.string()}, "--csv -"},
        {{"--png", (dir / "same.out").string(), "--svg", (dir / "same.out").string(), log.string()},
         "--svg would overwrite --png"},
    };
    for (const BadArguments& bad : cases) {
        const RunResult result = run(bad.arguments);
        EXPECT_EQ(result.status, 2) << bad.arguments[0];
        EXPECT_TRUE(result.err.starts_with("gyro_motor_plot: ")) << result.err;
        EXPECT_NE(result.err.find(bad.named), std::string::npos) << result.err;
        EXPECT_EQ(count_lines(result.err), 1u) << result.err;
        EXPECT_EQ(result.out, "");
    }
    // Nothing was written, least of all over the log.
    EXPECT_EQ(read_file(log), read_file(GM_PLOT_DATA "/known.log"));
    EXPECT_FALSE(fs::exists(dir / "gyro_motor.csv"));
    EXPECT_FALSE(fs::exists(dir / "same.out"));
}

TEST_F(PlotTool, AnUnreadableLogOrAnUnwritableCsvEndWithStatusOne) {
    const RunResult missing = run({(dir / "nowhere.txt").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(dir / "nowhere.csv"));

    const fs::path log = copy_known_log(dir / "gyro_motor.txt");
    const RunResult unwritable =
        run({"--no-plot", "--csv", (dir / "no" / "such" / "dir.csv").string(), log.string()});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("cannot write"), std::string::npos) << unwritable.err;
}

TEST_F(PlotTool, KnownLogGivesTheGoldenCsvNextToTheLog) {
    const fs::path log = copy_known_log(dir / "run 1" / "known.log");
    const RunResult result = run({"--no-plot", log.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read_file(dir / "run 1" / "known.csv"), read_file(GM_PLOT_DATA "/known.csv"));
    EXPECT_NE(result.out.find("5 samples"), std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(dir / "run 1" / "known.png"));
    EXPECT_FALSE(fs::exists(dir / "run 1" / "known.svg"));

    // "-" is standard output, which then carries the table alone; no picture without a file.
    fs::remove(dir / "run 1" / "known.csv");
    const RunResult piped = run({"--csv", "-", log.string()});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(lf_lines(piped.out), read_file(GM_PLOT_DATA "/known.csv"));
    EXPECT_NE(piped.err.find("5 samples"), std::string::npos) << piped.err;
    for (const char* written : {"known.csv", "known.png", "known.svg"}) {
        EXPECT_FALSE(fs::exists(dir / "run 1" / written)) << written;
    }
}

TEST_F(PlotTool, KnownLogDrawsPngAndSvgNextToTheLog) {
    REQUIRE_GNUPLOT();
    const fs::path log = copy_known_log(dir / "known.log");
    const RunResult result = run({log.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, ""); // gnuplot had nothing to warn about either
    EXPECT_EQ(read_file(dir / "known.csv"), read_file(GM_PLOT_DATA "/known.csv"));
    expect_png(dir / "known.png");
    expect_svg(dir / "known.svg");
    const std::string svg = read_file(dir / "known.svg");
    for (const char* text : {"Sweep known.log: 5 samples", "Angles", "Angular rates",
                             "Accelerations", "Magnetic field", "Temperature", "sample number",
                             "heading (right)", "temperature (°C)"}) {
        EXPECT_NE(svg.find(text), std::string::npos) << text;
    }
    EXPECT_NE(result.out.find(tool_join({"wrote ", (dir / "known.png").string()})),
              std::string::npos);
}

TEST_F(PlotTool, FullSweepDrawsOnlyThePictureAskedFor) {
    REQUIRE_GNUPLOT();
    // Heading once round and back, small roll and pitch, a steady 25 °C.
    const fs::path where = dir / "it's a sweep";
    fs::create_directories(where);
    const fs::path log = where / "gyro_motor.txt";
    std::FILE* file = std::fopen(log.string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    constexpr int count = 720;
    for (int i = 0; i < count; ++i) {
        const double heading = i < count / 2 ? i : count - 1 - i;
        GyroSample sample;
        sample.words = {
            (i % 7) - 3,
            (i % 5) - 2,
            static_cast<std::int16_t>(static_cast<int>(heading * 2 * 32768 / 360)),
            i % 3,
            -(i % 3),
            i < count / 2 ? 2185 : -2185,
            i % 11,
            i % 13,
            5461,
            static_cast<std::int32_t>(3495 * std::cos(heading * std::numbers::pi / 180)),
            static_cast<std::int32_t>(-3495 * std::sin(heading * std::numbers::pi / 180)),
            7864,
            1300,
            0};
        gyro_log_sample(file, sample);
    }
    std::fclose(file);

    const fs::path png = where / "picture.png";
    const RunResult result = run({tool_join({"--png=", png.string()}), log.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    expect_png(png);
    EXPECT_EQ(count_lines(read_file(where / "gyro_motor.csv")), count + 1u);
    EXPECT_FALSE(fs::exists(where / "gyro_motor.svg"));
    EXPECT_FALSE(fs::exists(where / "gyro_motor.png"));
}

TEST_F(PlotTool, BrokenRecordsAreListedAndTheGoodOnesWrittenWithStatusThree) {
    const std::string good = read_file(GM_PLOT_DATA "/known.log");
    std::string log_text = good.substr(0, good.find("X Roll Rate -75.000"));
    log_text += "X Roll Rat -75.000 Y Pitch Rate -75.000 Z Yaw Rate -75.000 \n";
    log_text += good.substr(good.find("X Accel -6.00000"));
    const std::string first_record = good.substr(0, good.find("Roll -180.00"));
    log_text += first_record.substr(0, first_record.find("X Mag"));
    const fs::path log = dir / "broken.txt";
    write_file(log, log_text); // line 7 broken, lines 26-28 a record cut short

    const RunResult result = run({"--no-plot", log.string()});
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.err.find(log.string() + ":7: expected \"X Roll Rate\""), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(log.string() + ":26: record cut short by the end of the file"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(count_lines(result.err), 2u) << result.err;
    const std::string csv = read_file(dir / "broken.csv");
    EXPECT_EQ(count_lines(csv), 5u); // header and the four good records
    EXPECT_NE(csv.find("\n2,179.99,"), std::string::npos) << csv;
}

TEST_F(PlotTool, ALongListOfProblemsIsCut) {
    std::string log_text;
    for (int i = 0; i < 30; ++i) {
        log_text += "Roll bad\n";
    }
    log_text += read_file(GM_PLOT_DATA "/known.log");
    write_file(dir / "junk.txt", log_text);
    const RunResult result = run({"--no-plot", (dir / "junk.txt").string()});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(count_lines(result.err), 21u) << result.err;
    EXPECT_NE(result.err.find(": 10 more problems not listed"), std::string::npos) << result.err;
}

// As for the report: a file without a single good record is no sample log, and nothing is
// written for it.
TEST_F(PlotTool, AnEmptyOrOtherFileIsNoSampleLogAndGetsNothingWritten) {
    const std::vector<std::pair<const char*, std::string>> cases{
        {"empty", ""},
        {"a transcript", "12.345 motor ma 1000000\n12.400 gyro G\n"},
        {"broken records only", "Roll bad\nRoll bad\n"},
    };
    for (const auto& [name, content] : cases) {
        write_file(dir / "other.txt", content);
        const RunResult result = run({(dir / "other.txt").string()});
        EXPECT_EQ(result.status, 1) << name;
        EXPECT_EQ(lf_lines(result.err),
                  tool_join({"gyro_motor_plot: ", (dir / "other.txt").string(),
                             ": not a sample log: no good record in it\n"}))
            << name;
        EXPECT_EQ(result.out, "") << name;
        for (const char* extension : {".csv", ".png", ".svg"}) {
            EXPECT_FALSE(fs::exists(dir / (std::string("other") + extension))) << name;
        }
    }
}

TEST_F(PlotTool, WithoutGnuplotTheCsvIsWrittenAndTheStatusIsOne) {
    REQUIRE_POSIX_SHELL();
    const fs::path log = copy_known_log(dir / "known.log");
    fs::create_directories(dir / "empty bin");
    const RunResult result = run(
        {log.string()}, tool_join({"PATH=", tool_shell_word((dir / "empty bin").string()), " "}));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("gnuplot not found"), std::string::npos) << result.err;
    EXPECT_EQ(read_file(dir / "known.csv"), read_file(GM_PLOT_DATA "/known.csv"));
    EXPECT_FALSE(fs::exists(dir / "known.png"));
    EXPECT_FALSE(fs::exists(dir / "known.svg"));
}

TEST_F(PlotTool, AFailingGnuplotLeavesNoPictureBehind) {
    REQUIRE_POSIX_SHELL();
    const fs::path log = copy_known_log(dir / "known.log");
    write_file(dir / "known.png", "picture of an earlier run");
    const fs::path bin = dir / "bin";
    fs::create_directories(bin);
    write_file(bin / "gnuplot",
               "#!/bin/sh\ncat >/dev/null\necho 'gnuplot: out of ink' >&2\nexit 1\n");
    fs::permissions(bin / "gnuplot", fs::perms::owner_all);
    const RunResult result =
        run({log.string()}, tool_join({"PATH=", tool_shell_word(bin.string()), " "}));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("out of ink"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("gnuplot failed (exit status 1)"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(dir / "known.png"));
    EXPECT_FALSE(fs::exists(dir / "known.svg"));
}

TEST_F(PlotTool, TheSampleTimesBecomeTheCsvsLastColumn) {
    const fs::path log = copy_known_log(dir / "known.log");
    const std::string golden = read_file(GM_PLOT_DATA "/known.csv");
    // Four times for five samples, as a run stopped between the two writes leaves them.
    write_file(dir / "elsewhere.txt", "0.0380\n0.0761\n0.1142\n0.1523\n");
    const RunResult timed =
        run({"--no-plot", "--times", (dir / "elsewhere.txt").string(), log.string()});
    EXPECT_EQ(timed.status, 0) << timed.err;
    const std::vector<std::string> ends{",time_s", ",0.0380", ",0.0761", ",0.1142", ",0.1523", ","};
    std::string expected;
    std::size_t row = 0;
    for (const char c : golden) {
        expected += c == '\n' ? ends[row++] + c : std::string(1, c);
    }
    EXPECT_EQ(read_file(dir / "known.csv"), expected);
    // Beside the log and broken: reported, and the CSV is as without times.
    const fs::path beside = dir / "known.log_times.txt";
    write_file(beside, "0.0380\n0.0380\n");
    const RunResult broken = run({"--no-plot", log.string()});
    EXPECT_EQ(broken.status, 3);
    EXPECT_EQ(broken.err.find(beside.string() + ":2: the time 0.0380 s is not later than the one "
                                                "before (0.0380 s)"),
              0u)
        << broken.err;
    EXPECT_EQ(count_lines(broken.err), 1u);
    EXPECT_EQ(read_file(dir / "known.csv"), golden);
}
