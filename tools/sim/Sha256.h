#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace quillon::sim {

using Digest = std::array<unsigned char, 32>;

// Incremental SHA-256 plus the HMAC and hex helpers that signing needs.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, size_t length);
    Digest finish();

    static Digest of(std::string_view data);
    static Digest hmac(std::string_view key, std::string_view data);
    static std::string hex(const Digest& digest);
    static std::string hex(std::string_view bytes);

  private:
    struct Deleter {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Deleter> context_;
};

}  // namespace quillon::sim
