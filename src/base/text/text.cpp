#include "base/text/text.h"

#include <cstdarg>
#include <cstdio>

namespace {

void text_append_v(std::string& text, const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    if (length > 0) {
        const std::size_t start = text.size();
        text.resize(start + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data() + start, static_cast<std::size_t>(length) + 1, format, again);
        text.pop_back(); // the terminating zero
    }
    va_end(again);
}

} // namespace

std::string text_format(const char* format, ...) {
    std::string text;
    va_list arguments;
    va_start(arguments, format);
    text_append_v(text, format, arguments);
    va_end(arguments);
    return text;
}

void text_append(std::string& text, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    text_append_v(text, format, arguments);
    va_end(arguments);
}
