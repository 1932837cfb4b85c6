#include "sim/Sha256.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <stdexcept>

namespace quillon::sim {

void Sha256::Deleter::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t length) {
    EVP_DigestUpdate(context_.get(), data, length);
}

Digest Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_.get(), digest.data(), &length);
    EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr);
    return digest;
}

Digest Sha256::of(std::string_view data) {
    Sha256 hasher;
    hasher.update(data.data(), data.size());
    return hasher.finish();
}

Digest Sha256::hmac(std::string_view key, std::string_view data) {
    Digest digest{};
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data(), &length);
    return digest;
}

std::string Sha256::hex(const Digest& digest) {
    return hex(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string Sha256::hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

}  // namespace quillon::sim
