// Pages for people: HTML documents that a browser opens from a file or a share (file://) and
// prints, with nothing to fetch from anywhere: the style inline, the pictures inline SVG drawn by
// gnuplot, no scripts. Written in UTF-8, and every text that comes from a record or a command
// line goes through pages_escape, so that a name such as <b>O'Neil & "Co"</b> shows as typed.
// The record's page is in outputs/report/ (reportpage), the batch's in outputs/history/
// (historypage); what they share is here.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The text as HTML shows it literally: & < > " ' as character references, the rest as it is.
std::string pages_escape(std::string_view text);

// A page's beginning, up to and including <body>: the document type, UTF-8, the title (escaped
// here), the style shared by the pages and the page's own `style` after it.
std::string pages_begin(std::string_view title, std::string_view style);

// A page's end, after the body's content.
std::string pages_end();

// A table cell: its content as HTML, and a class for it ("num" aligns a number to the right).
struct PagesCell {
    std::string html;
    std::string css_class = {};
};

// A table: the column heads (texts, escaped here) and the rows of cells; `css_class` is the
// table's class (empty: none).
std::string pages_table(std::string_view css_class, const std::vector<std::string>& heads,
                        const std::vector<std::vector<PagesCell>>& rows);

// A picture that gnuplot's svg terminal drew, made fit to stand inside a page: from its <svg>
// element on (the XML declaration dropped), labelled for readers and screen readers by `label`,
// and every id in it and every reference to one prefixed by `prefix`, so that two pictures of one
// page do not share an id. Empty when the text holds no <svg> element.
std::string pages_inline_svg(std::string_view svg, std::string_view prefix, std::string_view label);

// Pictures drawn for a page: one inline SVG per picture asked for, or none and why.
struct PagesPictures {
    std::vector<std::string> svgs; // as pages_inline_svg made them; empty when none was drawn
    std::string missing;           // why there are none, one sentence for the page
};

// Draws `labels.size()` pictures with gnuplot: `script` gets the names of the SVG files to draw
// them to (temporary files, removed after) and returns the gnuplot script. Without gnuplot on the
// PATH, or when it fails (said on standard error after "program: "), there are no pictures and
// `missing` says why. The k-th picture's ids are prefixed "p<k>-"; its label is labels[k].
PagesPictures pages_draw(const char* program, const std::vector<std::string>& labels,
                         const std::function<std::string(const std::vector<std::string>&)>& script);

// What a page in folder `from` links to the file `to` with: the relative path when there is one
// (both on one drive or share), else an absolute file: URL; '/' between the parts and every byte
// but letters, digits and - . _ ~ percent-encoded, so that any name in any language survives.
std::string pages_href(const std::filesystem::path& from, const std::filesystem::path& to);
