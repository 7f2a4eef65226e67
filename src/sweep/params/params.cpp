#include "sweep/params/params.h"

#include "base/files/files.h"

#include <cstring>
#include <limits>
#include <utility>

namespace {

void* (*params_allocator)(std::size_t size) = std::malloc;

bool params_is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The table entry whose key starts the line, or null.
const ParameterKey* params_match_key(const char* line) {
    for (const ParameterKey& entry : parameter_keys) {
        if (entry.key[0] == '\0') {
            break;
        }
        // strncmp stops at the line's terminator, so a short line never reads past it.
        if (std::strncmp(line, entry.key, std::strlen(entry.key)) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

// The trimmed value of a key's line, cut out in place; null when the line sets nothing (no '=',
// only ';' after it, or a value of white space only).
char* params_value_token(char* line) {
    char* equals = std::strchr(line, '=');
    if (equals == nullptr) {
        return nullptr;
    }
    // Only the ';' right after the '=' are skipped: "key=;value" still sets value.
    char* value = equals + 1;
    while (*value == ';') {
        ++value;
    }
    if (*value == '\0') {
        return nullptr;
    }
    char* comment = std::strchr(value, ';');
    if (comment != nullptr) {
        *comment = '\0';
    }
    trim_whitespace(value);
    return *value == '\0' ? nullptr : value;
}

} // namespace

char* trim_whitespace(char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t length = std::strlen(text);
    while (length > 0 && params_is_white(text[length - 1])) {
        text[--length] = '\0';
    }
    std::size_t start = 0;
    while (start < length && params_is_white(text[start])) {
        ++start;
    }
    if (start > 0) {
        std::memmove(text, text + start, length - start + 1);
    }
    return text;
}

ParameterText copy_string(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const std::size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(params_allocator(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return ParameterText(copy);
}

void params_set_allocator(void* (*allocate)(std::size_t size)) {
    params_allocator = allocate != nullptr ? allocate : std::malloc;
}

std::int32_t params_parse_integer(const char* text) {
    const char* p = text;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    // The magnitude stops growing just past the 32-bit range, so it never overflows.
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    while (*p >= '0' && *p <= '9') {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
        ++p;
    }
    if (negative) {
        return static_cast<std::int32_t>(-magnitude);
    }
    return magnitude >= limit ? std::numeric_limits<std::int32_t>::max()
                              : static_cast<std::int32_t>(magnitude);
}

std::optional<InputParameters> read_input_parameters(const char* path) {
    std::FILE* file = path != nullptr ? files_open(path, "r") : nullptr;
    if (file == nullptr) {
        if (path == nullptr) {
            path = "(null)";
        }
        std::fprintf(stderr, "param file not found %s\n", path);
        return std::nullopt;
    }

    // Notepad begins a file saved as "UTF-8 with BOM" with the mark, which would hide the first
    // key.
    files_skip_bom(file);
    InputParameters parameters;
    // Lines longer than the buffer arrive in pieces, each handled as a line of its own.
    char line[params_line_capacity];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        // A NUL byte inside the line ends its text here; whatever follows it is not looked at.
        const ParameterKey* entry = params_match_key(line);
        if (entry == nullptr) {
            std::printf(">>not found %s\n", trim_whitespace(line));
            continue;
        }
        const char* value = params_value_token(line);
        if (value == nullptr) {
            continue;
        }
        if (entry->integer_field != nullptr) {
            parameters.*(entry->integer_field) = params_parse_integer(value);
            continue;
        }
        ParameterText copy = copy_string(value);
        if (copy == nullptr) {
            std::fprintf(stderr, "param file - out of memory reading %s\n", path);
            std::fclose(file);
            return std::nullopt;
        }
        parameters.*(entry->text_field) = std::move(copy);
    }
    // A read error (a directory opens fine on POSIX, then fails to read) must not pass for a
    // file that set nothing.
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        std::fprintf(stderr, "param file - error reading %s\n", path);
        return std::nullopt;
    }
    return parameters;
}

void dump_input_parameters(std::FILE* stream, const InputParameters& parameters) {
    std::fprintf(stream, "dump of input parameters\n");
    for (const ParameterKey& entry : parameter_keys) {
        if (entry.key[0] == '\0') {
            break;
        }
        if (entry.integer_field != nullptr) {
            std::fprintf(stream, "%s -> %d\n", entry.key,
                         static_cast<int>(parameters.*(entry.integer_field)));
        } else {
            const ParameterText& text = parameters.*(entry.text_field);
            std::fprintf(stream, "%s -> %s\n", entry.key, text ? text.get() : "(null)");
        }
    }
}
