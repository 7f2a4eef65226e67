#include "records/digest/digest.h"

#include "base/files/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string digest_hex(const std::array<unsigned char, 32>& sum) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : sum) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

} // namespace

std::optional<std::string> digest_sha256(std::string_view bytes) {
    std::array<unsigned char, 32> sum{};
    bool given = false;
    const bool hashed = digest_platform(
        [&]() -> std::string_view {
            const bool first = !given;
            given = true;
            return first ? bytes : std::string_view();
        },
        sum);
    return hashed ? std::optional<std::string>(digest_hex(sum)) : std::nullopt;
}

bool digest_file(const std::filesystem::path& path, std::string& hex, std::string& error) {
    std::FILE* file = files_open(files_name(path), "rb");
    if (file == nullptr) {
        error = files_name(path.filename()) + ": cannot read it: " + std::strerror(errno);
        return false;
    }
    std::array<char, 65536> buffer;
    bool failed = false;
    std::array<unsigned char, 32> sum{};
    const bool hashed = digest_platform(
        [&]() -> std::string_view {
            const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
            failed = failed || std::ferror(file) != 0;
            return std::string_view(buffer.data(), failed ? 0 : got);
        },
        sum);
    std::fclose(file);
    if (failed || !hashed) {
        error = files_name(path.filename()) + (failed ? ": cannot read it" : ": cannot hash it");
        return false;
    }
    hex = digest_hex(sum);
    return true;
}

bool digest_is_hex(std::string_view text) {
    return text.size() == digest_hex_size &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}
