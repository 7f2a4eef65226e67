// Cuts a fuzz input into the reads a device delivers: each read is a length byte followed by that
// many bytes (fewer at the end of the input); a length of zero is a read that times out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline std::vector<std::vector<std::uint8_t>> fuzz_chunks(std::span<const std::uint8_t> input,
                                                          bool allow_silence) {
    std::vector<std::vector<std::uint8_t>> chunks;
    std::size_t at = 0;
    while (at < input.size()) {
        std::size_t length = input[at++];
        length = std::min(length, input.size() - at);
        if (length == 0 && !allow_silence) {
            continue;
        }
        chunks.emplace_back(input.begin() + static_cast<std::ptrdiff_t>(at),
                            input.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return chunks;
}
