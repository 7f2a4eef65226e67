// printf-formatted text of any length, for the messages, reports and scripts the programs build
// up as strings (names from the command line can be long), and the width of a text on a console,
// by which tables line up.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// mingw's own printf (chosen for the whole build) takes %zu; tell the format checks so.
#ifdef __MINGW32__
#define TEXT_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define TEXT_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

// The formatted text.
std::string text_format(const char* format, ...) TEXT_PRINTF_FORMAT(1, 2);

// Appends the formatted text to `text`.
void text_append(std::string& text, const char* format, ...) TEXT_PRINTF_FORMAT(2, 3);

// The columns the UTF-8 text takes on a console: a character takes one; one of the wide East
// Asian scripts (CJK ideographs, kana, Hangul, fullwidth forms) or a pictograph two; a combining
// mark, a variation selector or a zero-width character none. The wide and zero-width sets are the
// Unicode blocks that hold them, an approximation that is exact for the scripts in those blocks.
// A byte that begins no valid character takes one, as a console shows it as one sign.
std::size_t text_width(std::string_view text);

// The text padded with blanks to `width` columns: on the right when `left` (the text to the
// left), else on the left. A text as wide or wider is left as it is.
std::string text_padded(std::string_view text, std::size_t width, bool left);
