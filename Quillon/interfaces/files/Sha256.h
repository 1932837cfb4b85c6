// Sha256: incremental and one-shot SHA-256 through OpenSSL EVP.
// Threads: an object has one owner; the static digest and hex functions are safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace quillon {

using Sha256Digest = std::array<std::uint8_t, 32>;

// An incremental SHA-256 computation (OpenSSL EVP, which uses the CPU's SHA instructions
// where present). Throws std::runtime_error only when OpenSSL itself fails.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    // The digest of everything added so far; the object then starts over, empty.
    Sha256Digest finish();

    static Sha256Digest digest(const void* data, std::size_t size);
    static Sha256Digest digest(std::string_view bytes) {
        return digest(bytes.data(), bytes.size());
    }
    // Lower-case hexadecimal text of a digest.
    static std::string hex(const Sha256Digest& digest);

  private:
    struct CtxDeleter {
        void operator()(evp_md_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, CtxDeleter> ctx_;
};

}  // namespace quillon
