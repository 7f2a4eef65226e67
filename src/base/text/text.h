// printf-formatted text of any length, for the messages, reports and scripts the programs build
// up as strings (names from the command line can be long).
#pragma once

#include <string>

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
