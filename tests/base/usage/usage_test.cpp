// The help of every program, wrapped to a console's width: the golden pair beside it holds each
// kind of line the programs print (a description, options with and without the lines that carry
// them on, paragraphs, an exit status table, a line of exactly 80 characters in UTF-8).
#include "base/usage/usage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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

} // namespace
