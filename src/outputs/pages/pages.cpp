#include "outputs/pages/pages.h"

#include "base/files/files.h"
#include "base/text/text.h"
#include "outputs/gnuplot/gnuplot.h"
#include "records/archive/archive.h"

#include <array>
#include <cstdio>
#include <optional>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The look both pages share. On paper: no page margin of the body's own, smaller type, links
// as plain text.
constexpr const char* pages_style = R"(:root { color-scheme: light; }
body { font-family: "Segoe UI", system-ui, Arial, sans-serif; color: #1b1b1b; background: #fff;
  font-size: 15px; line-height: 1.35; max-width: 64rem; margin: 1.5rem auto; padding: 0 1rem; }
h1 { font-size: 1.7rem; margin: 0; }
h2 { font-size: 1.1rem; margin: 1.1rem 0 0.4rem; padding-bottom: 0.15rem;
  border-bottom: 1px solid #c8c8c8; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; }
th, td { text-align: left; vertical-align: top; padding: 0.12rem 0.55rem;
  border-bottom: 1px solid #e4e4e4; }
th { background: #f2f2f2; font-weight: 600; }
td.num, th.num { text-align: right; }
.pass { color: #11652a; }
.fail { color: #b0101c; }
.error, .aborted { color: #8a4a00; }
.unjudged { color: #5a5a5a; }
.note { color: #555; }
figure { margin: 0; }
svg.picture { display: block; width: 100%; height: auto; }
@media print {
  body { font-size: 8.5pt; max-width: none; margin: 0; padding: 0; }
  a { color: inherit; text-decoration: none; }
  h2 { break-after: avoid; }
  tr, figure { break-inside: avoid; }
}
)";

// A byte that a URL carries as it is.
bool pages_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string pages_url_part(std::string_view part) {
    std::string encoded;
    for (const char c : part) {
        const auto byte = static_cast<unsigned char>(c);
        encoded += pages_unreserved(byte) ? std::string(1, c) : text_format("%%%02X", byte);
    }
    return encoded;
}

// The path's parts, each encoded, joined by '/'.
std::string pages_url_path(const fs::path& path) {
    std::string url;
    for (const fs::path& part : path) {
        const std::string name = files_name(part);
        if (name.empty() || name == "/" || name == "\\") {
            continue;
        }
        if (!url.empty()) {
            url += '/';
        }
        url += pages_url_part(name);
    }
    return url;
}

std::optional<std::string> pages_read(const fs::path& path) {
    std::FILE* file = files_open(files_name(path), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 65536> buffer;
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        text.append(buffer.data(), got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? std::nullopt : std::optional<std::string>(std::move(text));
}

// Replaces every `from` in `text` by `to`.
void pages_replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

} // namespace

std::string pages_escape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string pages_begin(std::string_view title, std::string_view style) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           pages_escape(title) + "</title>\n<style>\n" + pages_style + std::string(style) +
           "</style>\n</head>\n<body>\n";
}

std::string pages_end() {
    return "</body>\n</html>\n";
}

std::string pages_table(std::string_view css_class, const std::vector<std::string>& heads,
                        const std::vector<std::vector<PagesCell>>& rows) {
    std::string html = css_class.empty() ? std::string("<table>\n")
                                         : "<table class=\"" + std::string(css_class) + "\">\n";
    html += "<thead><tr>";
    for (const std::string& head : heads) {
        html += "<th>" + pages_escape(head) + "</th>";
    }
    html += "</tr></thead>\n<tbody>\n";
    for (const std::vector<PagesCell>& row : rows) {
        html += "<tr>";
        for (const PagesCell& cell : row) {
            html += cell.css_class.empty() ? std::string("<td>")
                                           : "<td class=\"" + cell.css_class + "\">";
            html += cell.html + "</td>";
        }
        html += "</tr>\n";
    }
    return html + "</tbody>\n</table>\n";
}

std::string pages_inline_svg(std::string_view svg, std::string_view prefix,
                             std::string_view label) {
    const std::size_t start = svg.find("<svg");
    if (start == std::string_view::npos || svg.find("</svg>", start) == std::string_view::npos) {
        return {};
    }
    std::string picture(svg.substr(start, svg.rfind("</svg>") + 6 - start));
    const std::string p(prefix);
    for (const char* quote : {"'", "\""}) {
        pages_replace_all(picture, std::string(" id=") + quote, std::string(" id=") + quote + p);
        pages_replace_all(picture, std::string("href=") + quote + "#",
                          std::string("href=") + quote + "#" + p);
    }
    pages_replace_all(picture, "url(#", "url(#" + p);
    pages_replace_all(picture, "<title>Gnuplot</title>",
                      "<title>" + pages_escape(label) + "</title>");
    picture.replace(
        0, 4, "<svg class=\"picture\" role=\"img\" aria-label=\"" + pages_escape(label) + "\"");
    return picture + "\n";
}

PagesPictures
pages_draw(const char* program, const std::vector<std::string>& labels,
           const std::function<std::string(const std::vector<std::string>&)>& script) {
    PagesPictures pictures;
    const std::optional<fs::path> gnuplot = gnuplot_find();
    if (!gnuplot) {
        pictures.missing = "gnuplot was not found on the PATH when this page was written";
        return pictures;
    }
    std::error_code error;
    const fs::path folder = fs::temp_directory_path(error);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < labels.size(); ++k) {
        names.push_back(files_name(
            folder / text_format("gyro_motor-page-%lu-%zu.svg", archive_process_id(), k + 1)));
    }
    if (error || !gnuplot_draw(program, *gnuplot, names, script(names))) {
        pictures.missing = "gnuplot could not draw them when this page was written";
        return pictures;
    }
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::optional<std::string> svg = pages_read(files_path(names[k]));
        files_remove(names[k]);
        pictures.svgs.push_back(svg ? pages_inline_svg(*svg, text_format("p%zu-", k + 1), labels[k])
                                    : std::string());
    }
    for (const std::string& svg : pictures.svgs) {
        if (svg.empty()) {
            // One picture lost would leave a page that looks whole but is not.
            pictures.svgs.clear();
            pictures.missing = "gnuplot drew no SVG when this page was written";
            break;
        }
    }
    return pictures;
}

std::string pages_href(const fs::path& from, const fs::path& to) {
    // A share's name (\\server\share\...) is absolute as it stands; the runtime may take it for
    // a folder of the current drive. Here it is "/server/share/...".
    const auto share = [](const fs::path& path) -> std::optional<fs::path> {
        const std::string name = files_name(path);
        if (name.size() < 3 || (name[0] != '\\' && name[0] != '/') ||
            (name[1] != '\\' && name[1] != '/')) {
            return std::nullopt;
        }
        std::string rooted = name.substr(name.find_first_not_of("\\/") - 1);
        rooted[0] = '/';
        return files_path(rooted).lexically_normal();
    };
    const std::optional<fs::path> to_share = share(to);
    const std::optional<fs::path> from_share = share(from);
    if (to_share || from_share) {
        // Within one share a relative link; else the share's file: URL.
        if (to_share && from_share) {
            // On one server's share ("/", the server and the share alike, in any letter case),
            // the link's target as under the page's own spelling of the share.
            auto i = to_share->begin();
            auto j = from_share->begin();
            fs::path target;
            for (int n = 0;
                 n < 3 && i != to_share->end() && j != from_share->end() && files_same_name(*i, *j);
                 ++n, ++i, ++j) {
                target /= *j;
            }
            if (std::distance(to_share->begin(), i) == 3) {
                for (; i != to_share->end(); ++i) {
                    target /= *i;
                }
                const fs::path relative = target.lexically_relative(*from_share);
                if (!relative.empty()) {
                    return pages_url_path(relative);
                }
            }
        }
        if (to_share) {
            return "file://" + pages_url_path(*to_share);
        }
    }
    std::error_code error;
    const fs::path target = fs::absolute(to, error).lexically_normal();
    const fs::path relative =
        from_share ? fs::path()
                   : target.lexically_relative(fs::absolute(from, error).lexically_normal());
    if (!relative.empty()) {
        return pages_url_path(relative);
    }
    // Another drive: a file: URL, file:///C:/...
    const std::string root = files_name(target.root_name());
    const std::string rest = pages_url_path(target.relative_path());
    return "file:///" + (root.empty() ? std::string() : root + "/") + rest;
}
