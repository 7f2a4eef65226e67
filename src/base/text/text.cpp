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

namespace {

// A range of code points, first and last.
struct TextRange {
    char32_t first;
    char32_t last;
};

// Shown two columns wide: the blocks of East Asian wide and fullwidth characters, and the
// pictographs, by the Unicode blocks that hold them.
constexpr TextRange text_wide[] = {
    {0x1100, 0x115F},   // Hangul Jamo, leading consonants
    {0x2E80, 0x303E},   // CJK radicals, Kangxi radicals, CJK symbols and punctuation
    {0x3041, 0x33FF},   // Hiragana, Katakana, Bopomofo, Hangul Jamo, CJK enclosed and strokes
    {0x3400, 0x4DBF},   // CJK ideographs, extension A
    {0x4E00, 0x9FFF},   // CJK unified ideographs
    {0xA000, 0xA4CF},   // Yi
    {0xA960, 0xA97F},   // Hangul Jamo extended A
    {0xAC00, 0xD7A3},   // Hangul syllables
    {0xF900, 0xFAFF},   // CJK compatibility ideographs
    {0xFE10, 0xFE19},   // vertical forms
    {0xFE30, 0xFE6F},   // CJK compatibility forms, small form variants
    {0xFF00, 0xFF60},   // fullwidth forms
    {0xFFE0, 0xFFE6},   // fullwidth signs
    {0x1F300, 0x1F64F}, // pictographs, emoticons
    {0x1F900, 0x1F9FF}, // supplemental pictographs
    {0x20000, 0x3FFFD}, // CJK ideographs, extensions B and on
};

// Shown in no column of their own: combining marks, zero-width characters, variation selectors.
constexpr TextRange text_zero[] = {
    {0x0300, 0x036F}, // combining diacritical marks
    {0x1AB0, 0x1AFF}, // combining diacritical marks extended
    {0x1DC0, 0x1DFF}, // combining diacritical marks supplement
    {0x200B, 0x200F}, // zero-width space, joiners, direction marks
    {0x20D0, 0x20FF}, // combining marks for symbols
    {0xFE00, 0xFE0F}, // variation selectors
    {0xFE20, 0xFE2F}, // combining half marks
};

template <std::size_t N> bool text_in(const TextRange (&ranges)[N], char32_t code) {
    for (const TextRange& range : ranges) {
        if (code >= range.first && code <= range.last) {
            return true;
        }
    }
    return false;
}

// The code point that begins text[at] and its length in bytes; length 0 for a byte that begins
// no valid UTF-8 sequence.
std::size_t text_decode(std::string_view text, std::size_t at, char32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) {
        return 0;
    }
    code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms and surrogates are no characters.
    constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

} // namespace

std::size_t text_width(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const std::size_t length = text_decode(text, at, code);
        if (length == 0) {
            ++width;
            ++at;
            continue;
        }
        width += text_in(text_zero, code) ? 0u : text_in(text_wide, code) ? 2u : 1u;
        at += length;
    }
    return width;
}

std::string text_padded(std::string_view text, std::size_t width, bool left) {
    const std::size_t shown = text_width(text);
    const std::string blanks(shown < width ? width - shown : 0, ' ');
    std::string padded = left ? std::string(text) : blanks;
    padded += left ? blanks : std::string(text);
    return padded;
}
