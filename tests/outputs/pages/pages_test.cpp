// What the pages share: escaping, the frame, tables, gnuplot's SVG made fit for a page, pictures
// drawn through gnuplot, and links from one page to another file.
#include "base/files/files.h"
#include "outputs/pages/pages.h"
#include "records/archive/archive.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

TEST(Pages, EveryCharacterThatMarkupGivesMeaningIsEscaped) {
    const struct {
        const char* text;
        const char* escaped;
    } cases[] = {
        {"", ""},
        {"SN0042", "SN0042"},
        {"&", "&amp;"},
        {"<", "&lt;"},
        {">", "&gt;"},
        {"\"", "&quot;"},
        {"'", "&#39;"},
        {"<b>O'Neil & \"Co\"</b>", "&lt;b&gt;O&#39;Neil &amp; &quot;Co&quot;&lt;/b&gt;"},
        {"&amp;", "&amp;amp;"},
        {"Größe ± 0.1 °C", "Größe ± 0.1 °C"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pages_escape(c.text), c.escaped) << c.text;
    }
}

TEST(Pages, TheFrameAndTablesAreWhole) {
    const std::string begin = pages_begin("SN1 <&>", ".own { }\n");
    EXPECT_TRUE(begin.starts_with("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n"
                                  "<meta charset=\"utf-8\">\n"));
    tool_expect_has(begin, "<title>SN1 &lt;&amp;&gt;</title>");
    tool_expect_has(begin, ".own { }\n</style>\n</head>\n<body>\n");
    tool_expect_has(begin, "@media print");
    EXPECT_EQ(pages_end(), "</body>\n</html>\n");

    EXPECT_EQ(pages_table("t", {"a<", "b"}, {{{"1"}, {"2", "num"}}, {{"<i>x</i>"}, {""}}}),
              "<table class=\"t\">\n<thead><tr><th>a&lt;</th><th>b</th></tr></thead>\n<tbody>\n"
              "<tr><td>1</td><td class=\"num\">2</td></tr>\n"
              "<tr><td><i>x</i></td><td></td></tr>\n</tbody>\n</table>\n");
    EXPECT_TRUE(pages_table("", {}, {}).starts_with("<table>\n<thead><tr></tr></thead>"));
}

TEST(Pages, GnuplotsSvgStandsInAPageWithIdsOfItsOwn) {
    const std::string drawn = "<?xml version=\"1.0\" encoding=\"utf-8\"  standalone=\"no\"?>\n"
                              "<svg \n viewBox=\"0 0 10 10\"\n>\n<title>Gnuplot</title>\n"
                              "<g id=\"gnuplot_canvas\">\n\t<circle id='gpPt6' r='1'/>\n"
                              "\t<use xlink:href='#gpPt6'/><use href=\"#gpPt6\"/>\n"
                              "\t<g filter='url(#textbox)'/>\n</g>\n</svg>\n\ntrailing";
    const struct {
        const char* name;
        std::string svg;
        std::string expected;
    } cases[] = {
        {"gnuplot's picture", drawn,
         "<svg class=\"picture\" role=\"img\" aria-label=\"a &lt;b&gt;\" \n viewBox=\"0 0 10 "
         "10\"\n>"
         "\n<title>a &lt;b&gt;</title>\n<g id=\"p1-gnuplot_canvas\">\n"
         "\t<circle id='p1-gpPt6' r='1'/>\n\t<use xlink:href='#p1-gpPt6'/><use href=\"#p1-gpPt6\"/>"
         "\n\t<g filter='url(#p1-textbox)'/>\n</g>\n</svg>\n"},
        {"no svg at all", "stand-in picture\n", ""},
        {"an svg cut short", "<svg viewBox=\"0 0 1 1\"><g>", ""},
        {"the end before the start", "</svg><svg>", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pages_inline_svg(c.svg, "p1-", "a <b>"), c.expected) << c.name;
    }
}

TEST(Pages, ALinkIsRelativeAndEncodedWhereThatCanBe) {
    struct Case {
        const char* name;
        fs::path from;
        fs::path to;
        const char* href;
    };
    std::vector<Case> cases{
        {"below", "/srv/share", "/srv/share/archive/SN1/20261209T101503Z/record.html",
         "archive/SN1/20261209T101503Z/record.html"},
        {"beside", "/srv/reports", "/srv/archive/SN1/R/record.html",
         "../archive/SN1/R/record.html"},
        {"dots in the way", "/srv/reports/./x/..", "/srv/archive/../archive/a.html",
         "../archive/a.html"},
        {"blanks and signs", "/srv", "/srv/my archive/#1 100%/a&b?.html",
         "my%20archive/%231%20100%25/a%26b%3F.html"},
        // Named as the programs name files, from UTF-8 whatever the code page.
        {"letters of any language", "/srv", files_path("/srv/Jürgen/Größe.html"),
         "J%C3%BCrgen/Gr%C3%B6%C3%9Fe.html"},
    };
#ifdef _WIN32
    cases.push_back({"backslashes", "C:\\share", "C:\\share\\archive\\SN1\\record.html",
                     "archive/SN1/record.html"});
    cases.push_back({"another drive", "C:\\reports", "D:\\archive\\SN 1\\record.html",
                     "file:///D:/archive/SN%201/record.html"});
    cases.push_back({"a share", "C:\\reports", "\\\\bench\\archive\\SN1\\record.html",
                     "file://bench/archive/SN1/record.html"});
    cases.push_back({"within a share", "\\\\bench\\q\\reports",
                     "\\\\BENCH\\q\\archive\\SN1\\record.html", "../archive/SN1/record.html"});
    cases.push_back({"from a share to another", "\\\\bench\\q\\reports",
                     "\\\\bench\\r\\archive\\record.html", "file://bench/r/archive/record.html"});
    cases.push_back({"from a share to a drive", "\\\\bench\\q", "D:\\archive\\record.html",
                     "file:///D:/archive/record.html"});
#endif
    for (const Case& c : cases) {
        EXPECT_EQ(pages_href(c.from, c.to), c.href) << c.name;
    }
}

TEST(Pages, PicturesAreDrawnAsInlineSvgOrThePageSaysWhyNot) {
    const auto script = [](const std::vector<std::string>& names) {
        std::string text = "set encoding utf8\n";
        for (const std::string& name : names) {
            text += "set terminal svg size 200,100 dynamic\nset output '" + name +
                    "'\nplot x title 'a<b'\nunset output\n";
        }
        return text;
    };
    const std::optional<std::string> path = tool_set_environment("PATH", "");
    const PagesPictures none = pages_draw("pages_test", {"one"}, script);
    tool_set_environment("PATH", path ? path->c_str() : nullptr);
    EXPECT_TRUE(none.svgs.empty());
    EXPECT_EQ(none.missing, "gnuplot was not found on the PATH when this page was written");
    if (!tool_gnuplot_on_path()) {
        GTEST_SKIP() << "gnuplot is not on the PATH (install gnuplot-nox): no picture drawn";
    }
    const PagesPictures drawn = pages_draw("pages_test", {"first", "second"}, script);
    ASSERT_EQ(drawn.svgs.size(), 2u) << drawn.missing;
    EXPECT_EQ(drawn.missing, "");
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_TRUE(drawn.svgs[k].starts_with("<svg class=\"picture\" role=\"img\" aria-label=\"" +
                                              std::string(k == 0 ? "first" : "second")));
        tool_expect_has(drawn.svgs[k], "id=\"p" + std::to_string(k + 1) + "-gnuplot_canvas\"");
        tool_expect_has(drawn.svgs[k], "a&lt;b");
    }
    // The temporary files are gone.
    const std::string own = "gyro_motor-page-" + std::to_string(archive_process_id()) + "-";
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::temp_directory_path())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(own)) << entry.path();
    }
    // A script gnuplot cannot run: no picture, and the page says so.
    const PagesPictures failed = pages_draw(
        "pages_test", {"one"}, [](const std::vector<std::string>&) { return "no such command\n"; });
    EXPECT_TRUE(failed.svgs.empty());
    EXPECT_EQ(failed.missing, "gnuplot could not draw them when this page was written");
}
