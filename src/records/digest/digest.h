// SHA-256 of bytes and of files, from the platform's own library (OpenSSL's libcrypto on Linux,
// BCrypt on Windows), as 64 lowercase hexadecimal digits: the form sha256sum prints and
// certutil -hashfile shows (in capitals there).
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t digest_hex_size = 64;

// The SHA-256 of the bytes; nothing when the library fails (it may, out of memory).
std::optional<std::string> digest_sha256(std::string_view bytes);

// The SHA-256 of the file's bytes. False, with the reason in `error`, when it cannot be read.
bool digest_file(const std::filesystem::path& path, std::string& hex, std::string& error);

// Whether the text is a SHA-256 as written here: 64 of 0-9 a-f.
bool digest_is_hex(std::string_view text);

// The platform's part. Hashes the chunks that `next` gives until it gives an empty one; false
// when the library fails.
using DigestChunks = std::function<std::string_view()>;
bool digest_platform(const DigestChunks& next, std::array<unsigned char, 32>& sum);
