// End to end: runs the real gyro_motor_plot executable on logs in a scratch directory. The
// picture tests need gnuplot and are skipped, saying so, only where none is on the PATH.
#include "gyro/gyro.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

std::size_t count_lines(const std::string& text) {
    std::size_t lines = 0;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

// Concatenates without operator+ on temporaries (GCC 12 warns falsely about those at -O3).
std::string join(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

bool gnuplot_on_path() {
    const char* search_path = std::getenv("PATH");
#ifdef _WIN32
    const char separator = ';';
    const char* program = "gnuplot.exe";
#else
    const char separator = ':';
    const char* program = "gnuplot";
#endif
    std::stringstream directories(search_path == nullptr ? "" : search_path);
    std::string directory;
    while (std::getline(directories, directory, separator)) {
        std::error_code error;
        if (fs::is_regular_file(fs::path(directory.empty() ? "." : directory) / program, error)) {
            return true;
        }
    }
    return false;
}

std::string shell_word(const std::string& word) {
#ifdef _WIN32
    return "\"" + word + "\"";
#else
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
#endif
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

class PlotTool : public testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        dir = fs::temp_directory_path() /
              join({"gm_plot_test_", testing::UnitTest::GetInstance()->current_test_info()->name(),
                    "_", std::to_string(random())});
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir, error);
    }

    // Runs the program with the arguments; `environment` is put before the command (POSIX only).
    RunResult run(const std::vector<std::string>& arguments, const std::string& environment = "") {
        const fs::path out = dir / "stdout.txt";
        const fs::path err = dir / "stderr.txt";
        std::string command = environment + shell_word(GM_PLOT_TOOL);
        for (const std::string& argument : arguments) {
            command += " ";
            command += shell_word(argument);
        }
        command += join({" >", shell_word(out.string()), " 2>", shell_word(err.string())});
#ifdef _WIN32
        command = join({"\"", command, "\""}); // cmd /c strips one pair of quotes
#endif
        RunResult result;
        int status = std::system(command.c_str());
#ifdef _WIN32
        // -1 means the command interpreter never started (the tool did not run at all). Under
        // Wine that has been seen once on a loaded machine, so try again before calling it a
        // failure, and say why if it persists.
        for (int attempt = 1; status == -1 && attempt < 3; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            status = std::system(command.c_str());
        }
        if (status == -1) {
            ADD_FAILURE() << "could not start the command interpreter: " << std::strerror(errno);
        }
        result.status = status;
#else
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
        result.out = read_file(out);
        result.err = read_file(err);
        fs::remove(out);
        fs::remove(err);
        return result;
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
        if (!gnuplot_on_path())                                                                    \
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
        {{"--png", (dir / "same.out").string(), "--svg", (dir / "same.out").string(), log.string()},
         "--svg would overwrite --png"},
    };
    for (const BadArguments& bad : cases) {
        const RunResult result = run(bad.arguments);
        EXPECT_EQ(result.status, 2) << bad.arguments[0];
        EXPECT_TRUE(result.err.starts_with("gyro_motor_plot: ")) << result.err;
        EXPECT_NE(result.err.find(bad.named), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
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
    EXPECT_NE(result.out.find(join({"wrote ", (dir / "known.png").string()})), std::string::npos);
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
    const RunResult result = run({join({"--png=", png.string()}), log.string()});
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
    write_file(dir / "junk.txt", log_text);
    const RunResult result = run({"--no-plot", (dir / "junk.txt").string()});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(count_lines(result.err), 21u) << result.err;
    EXPECT_NE(result.err.find(": 10 more problems not listed"), std::string::npos) << result.err;
}

TEST_F(PlotTool, AnEmptyLogGivesAHeaderAndAPictureThatSaysSo) {
    REQUIRE_GNUPLOT();
    write_file(dir / "empty.txt", "");
    const RunResult result = run({(dir / "empty.txt").string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(count_lines(read_file(dir / "empty.csv")), 1u);
    expect_png(dir / "empty.png");
    EXPECT_NE(read_file(dir / "empty.svg").find("no samples in the log"), std::string::npos);
}

TEST_F(PlotTool, WithoutGnuplotTheCsvIsWrittenAndTheStatusIsOne) {
    REQUIRE_POSIX_SHELL();
    const fs::path log = copy_known_log(dir / "known.log");
    fs::create_directories(dir / "empty bin");
    const RunResult result =
        run({log.string()}, join({"PATH=", shell_word((dir / "empty bin").string()), " "}));
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
    const RunResult result = run({log.string()}, join({"PATH=", shell_word(bin.string()), " "}));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("out of ink"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("gnuplot failed (exit status 1)"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(dir / "known.png"));
    EXPECT_FALSE(fs::exists(dir / "known.svg"));
}
