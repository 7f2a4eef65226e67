// SHA-256 on Windows: the system's BCrypt (Cryptography API: Next Generation).
#include "records/digest/digest.h"

#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>

namespace {

// BCrypt's status: success is zero or positive.
bool digest_ok(NTSTATUS status) {
    return status >= 0;
}

} // namespace

bool digest_platform(const DigestChunks& next, std::array<unsigned char, 32>& sum) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!digest_ok(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = digest_ok(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    for (std::string_view chunk = ok ? next() : std::string_view(); ok && !chunk.empty();
         chunk = next()) {
        // Chunks are far below 4 GiB; a larger one is fed in parts all the same.
        while (ok && !chunk.empty()) {
            const ULONG part = static_cast<ULONG>(
                std::min<std::size_t>(chunk.size(), std::numeric_limits<ULONG>::max()));
            ok = digest_ok(BCryptHashData(
                hash, reinterpret_cast<PUCHAR>(const_cast<char*>(chunk.data())), part, 0));
            chunk.remove_prefix(part);
        }
    }
    ok = ok && digest_ok(BCryptFinishHash(hash, sum.data(), static_cast<ULONG>(sum.size()), 0));
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}
