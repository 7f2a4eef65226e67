// SHA-256 on Linux: OpenSSL's libcrypto, through its EVP interface.
#include "records/digest/digest.h"

#include <openssl/evp.h>

#include <memory>

bool digest_platform(const DigestChunks& next, std::array<unsigned char, 32>& sum) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return false;
    }
    for (std::string_view chunk = next(); !chunk.empty(); chunk = next()) {
        if (EVP_DigestUpdate(context.get(), chunk.data(), chunk.size()) != 1) {
            return false;
        }
    }
    unsigned int size = 0;
    return EVP_DigestFinal_ex(context.get(), sum.data(), &size) == 1 && size == sum.size();
}
