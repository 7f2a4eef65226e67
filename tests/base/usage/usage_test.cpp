// The help of every program, wrapped to a console's width: the golden pair beside it holds each
// kind of line the programs print (a description, options with and without the lines that carry
// them on, paragraphs, an exit status table, a line of 80 columns in UTF-8, which wraps); and the
// help each program prints, every line of it within usage_width.
#include "base/text/text.h"
#include "base/usage/usage.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_text(const char* name) {
    std::ifstream file(std::string(GM_USAGE_DATA "/") + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(UsageTest, WrapsEachLongLineWithTheLinesThatCarryItOn) {
    EXPECT_EQ(usage_wrap(read_text("help.txt")), read_text("help.wrapped"));
}

// A line of 80 columns fills the classic Windows console, which then wraps it and shows a blank
// line after it; 79 is the most a help line may take.
TEST(UsageTest, AConsoleLineIsSeventyNineColumns) {
    EXPECT_EQ(usage_width, 79u);
    const std::string fits = std::string(78, 'x') + "\xC3\xA4";
    EXPECT_EQ(usage_wrap(fits), fits);
    EXPECT_EQ(usage_wrap("a " + fits.substr(1)), "a\n" + fits.substr(1));
}

TEST(UsageTest, EveryProgramsHelpFitsTheConsole) {
    const std::filesystem::path dir = tool_make_test_dir("gm_usage_test_");
    std::stringstream programs(GM_HELP_PROGRAMS);
    std::string program;
    std::size_t seen = 0;
    while (std::getline(programs, program, '|')) {
        const ToolResult help = tool_run(program, {"--help"}, dir);
        EXPECT_EQ(help.status, 0) << program << help.err;
        std::stringstream lines(help.out);
        std::string line;
        std::size_t count = 0;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            EXPECT_LE(text_width(line), usage_width) << program << ": " << line;
            ++count;
        }
        EXPECT_GT(count, 5u) << program << " printed no help";
        ++seen;
    }
    EXPECT_GE(seen, 6u);
    std::filesystem::remove_all(dir);
}

} // namespace
