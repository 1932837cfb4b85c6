// Sha256: the EVP context wrapper. Threads: as in Sha256.h; OpenSSL is initialised during static
// initialisation, on the main thread, before any hashing worker starts.
#include "interfaces/files/Sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quillon {

namespace {

// OpenSSL keeps the error state of the thread that first initialises it until that thread ends;
// a hashing worker that did so would leave it behind at exit. Initialise while the process
// starts, on the main thread.
const bool kCryptoInitialised = OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1;

void check(int ok) {
    if (ok != 1) {
        throw std::runtime_error("SHA-256 computation failed");
    }
}

}  // namespace

void Sha256::CtxDeleter::operator()(evp_md_ctx_st* ctx) const {
    EVP_MD_CTX_free(ctx);
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) {
        throw std::runtime_error("SHA-256 computation failed");
    }
    check(EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr));
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const void* data, std::size_t size) {
    check(EVP_DigestUpdate(ctx_.get(), data, size));
}

Sha256Digest Sha256::finish() {
    Sha256Digest out{};
    unsigned int length = 0;
    check(EVP_DigestFinal_ex(ctx_.get(), out.data(), &length));
    check(EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr));
    return out;
}

Sha256Digest Sha256::digest(const void* data, std::size_t size) {
    Sha256Digest out{};
    unsigned int length = 0;
    check(EVP_Digest(data, size, out.data(), &length, EVP_sha256(), nullptr));
    return out;
}

std::string Sha256::hex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

}  // namespace quillon
