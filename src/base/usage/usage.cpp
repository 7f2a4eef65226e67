#include "base/usage/usage.h"

#include "base/text/text.h"

#include <vector>

namespace {

std::size_t usage_indent(std::string_view line) {
    const std::size_t text = line.find_first_not_of(' ');
    return text == std::string_view::npos ? line.size() : text;
}

// Where the line's text goes on when wrapped: after its first gap of two blanks in the first half
// of the width, else at its own indent.
std::size_t usage_hang(std::string_view line, std::size_t width) {
    const std::size_t indent = usage_indent(line);
    const std::size_t gap = line.find("  ", indent);
    if (gap == std::string_view::npos || gap > width / 2) {
        return indent;
    }
    const std::size_t text = line.find_first_not_of(' ', gap);
    return text == std::string_view::npos || text > width / 2 ? indent : text;
}

void usage_add_words(std::string_view text, std::vector<std::string_view>& words) {
    std::size_t start = 0;
    while ((start = text.find_first_not_of(' ', start)) != std::string_view::npos) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        words.push_back(text.substr(start, end - start));
        start = end;
    }
}

} // namespace

bool usage_asks_for_help(std::string_view argument) {
    return argument == "-h" || argument == "--help" || argument == "-?" ||
           (usage_slash_help && (argument == "/?" || argument == "/h" || argument == "/help"));
}

std::string usage_more_help() {
    return usage_slash_help ? "-?, /?, /h, /help" : "-?";
}

const char* usage_version_number() {
    return GM_VERSION;
}

std::string usage_version(std::string_view program) {
    std::string line(program);
    return line + " " + usage_version_number();
}

std::string usage_wrap(std::string_view text, std::size_t width) {
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::string wrapped;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (text_width(line) <= width) {
            wrapped += line;
            wrapped += '\n';
            continue;
        }
        const std::size_t indent = usage_indent(line);
        const std::size_t hang = usage_hang(line, width);
        std::vector<std::string_view> words;
        usage_add_words(line.substr(hang), words);
        // The lines that carry the text on, up to the end of a sentence (what follows may be a
        // line of its own: CLI11 puts the usage line right under a description).
        while (i + 1 < lines.size() && !lines[i].ends_with('.') &&
               usage_indent(lines[i + 1]) == (hang > indent ? hang : indent) &&
               usage_indent(lines[i + 1]) < lines[i + 1].size()) {
            usage_add_words(lines[++i], words);
        }
        std::string row(line.substr(0, hang));
        std::size_t row_columns = text_width(row);
        bool row_empty = true;
        for (const std::string_view word : words) {
            const std::size_t word_columns = text_width(word);
            if (!row_empty && row_columns + 1 + word_columns > width) {
                wrapped += row + '\n';
                row.assign(hang, ' ');
                row_columns = hang;
                row_empty = true;
            }
            if (!row_empty) {
                row += ' ';
                ++row_columns;
            }
            row += word;
            row_columns += word_columns;
            row_empty = false;
        }
        wrapped += row + '\n';
    }
    if (!text.ends_with('\n') && !wrapped.empty()) {
        wrapped.pop_back();
    }
    return wrapped;
}
