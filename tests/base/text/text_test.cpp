// The columns a text takes on a console, by which the tables line up: each class of character
// (ASCII, other letters, wide East Asian, zero-width) on the edges of its blocks, and bytes that
// begin no character.
#include "base/text/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct WidthRow {
    const char* text;
    std::size_t width;
};

TEST(TextTest, WidthCountsTheColumnsACharacterTakes) {
    for (const WidthRow& row : std::vector<WidthRow>{
             {"", 0},
             {"rev C", 5},
             {"Prüfgrenzen Größe – rev Ä", 25}, // two-byte letters and a three-byte dash
             {"\u00ff", 1},
             {"\u10FF\u1100\u115F\u1160", 1 + 2 + 2 + 1}, // the Hangul leading consonants
             {"\u2E7F\u2E80", 1 + 2},
             {"\u303E\u303F\u3040\u3041", 2 + 1 + 1 + 2},
             {"\u33FF\u3400\u4DBF\u4DC0\u4E00\u9FFF", 2 + 2 + 2 + 1 + 2 + 2},
             {"\uA000\uA4CF\uA4D0", 2 + 2 + 1},
             {"\uA95F\uA960\uA97F\uA980", 1 + 2 + 2 + 1},
             {"\uABFF\uAC00\uD7A3\uD7A4", 1 + 2 + 2 + 1},
             {"\uF8FF\uF900\uFAFF\uFB00", 1 + 2 + 2 + 1},
             {"\uFE0F\uFE10\uFE19\uFE1A", 0 + 2 + 2 + 1},
             {"\uFE1F\uFE20\uFE2F\uFE30\uFE6F\uFE70", 1 + 0 + 0 + 2 + 2 + 1},
             {"\uFEFF\uFF00\uFF60\uFF61", 1 + 2 + 2 + 1}, // fullwidth forms, halfwidth after
             {"\uFFDF\uFFE0\uFFE6\uFFE7", 1 + 2 + 2 + 1},
             {"\U0001F2FF\U0001F300\U0001F64F\U0001F650", 1 + 2 + 2 + 1},
             {"\U0001F8FF\U0001F900\U0001F9FF\U0001FA00", 1 + 2 + 2 + 1},
             {"\U0001FFFF\U00020000\U0003FFFD\U0003FFFE", 1 + 2 + 2 + 1},
             {"\U000E0100", 1},
             {"\u02FFa\u0300\u036F\u0370", 1 + 1 + 0 + 0 + 1}, // combining marks
             {"\u1AAF\u1AB0\u1AFF\u1B00", 1 + 0 + 0 + 1},
             {"\u1DBF\u1DC0\u1DFF\u1E00", 1 + 0 + 0 + 1},
             {"\u200A\u200B\u200F\u2010", 1 + 0 + 0 + 1},
             {"\u20CF\u20D0\u20FF\u2100", 1 + 0 + 0 + 1},
             {"\uFDFF\uFE00", 1 + 0},
             {"日本語のテキスト", 16},
             {"한국어", 6},
             // Bytes that begin no character: a lone continuation, a cut sequence at the end, an
             // overlong form, a surrogate, past U+10FFFF, the leads never used.
             {"a\x80z", 3},
             {"\xC3", 1},
             {"\xE2\x80", 2},
             {"\xC0\xAF", 2},
             {"\xE0\x80\xAF", 3},
             {"\xED\xA0\x80", 3},
             {"\xF4\x90\x80\x80", 4},
             {"\xF5\x80\x80\x80", 4},
             {"\xFF", 1},
             {"\xC3x", 2}, // a lead whose next byte continues nothing
         }) {
        EXPECT_EQ(text_width(row.text), row.width) << row.text;
    }
}

TEST(TextTest, PaddedFillsToTheColumnsOnEitherSide) {
    EXPECT_EQ(text_padded("Größe", 7, true), "Größe  ");
    EXPECT_EQ(text_padded("Größe", 7, false), "  Größe");
    EXPECT_EQ(text_padded("日本", 5, true), "日本 ");
    EXPECT_EQ(text_padded("日本", 4, false), "日本");
    EXPECT_EQ(text_padded("日本", 3, false), "日本"); // wider than asked: as it is
    EXPECT_EQ(text_padded("", 2, true), "  ");
}

} // namespace
