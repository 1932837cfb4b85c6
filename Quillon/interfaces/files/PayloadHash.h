// PayloadHash: a body's linear SHA-256 and its 1 MiB chunk digests, from one pass over it.
//
// An upload needs two digests of the same bytes: the linear SHA-256 that signs the request and
// the chunk digests the tree hash is built from. Hashed apart, every byte goes through SHA-256
// twice. Where the CPU has SHA instructions both computations here run side by side, block by
// block: each 64-byte block is loaded and expanded into its message schedule once, and the two
// independent round chains overlap in the CPU, which costs about three quarters of hashing twice.
// OpenSSL has no interface that shares a block between two digests, hence the rounds of our own;
// elsewhere (or when asked for) both digests come from OpenSSL, as before. The same rounds hash
// two buffers side by side (digestTwo).
// Threads: an object has one owner; accelerated() is safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "interfaces/files/Sha256.h"
#include "interfaces/files/TreeHash.h"

namespace quillon {

class PayloadHash {
  public:
    static constexpr std::size_t kChunkSize = TreeHash::kChunkSize;

    enum class Method {
        fastest,  // the SHA instructions where the CPU has them, else OpenSSL
        openssl,  // OpenSSL for both digests
    };

    struct Digests {
        Sha256Digest linear;
        std::vector<Sha256Digest> chunks;  // as TreeHash gives them: no bytes are one chunk
    };

    explicit PayloadHash(Method method = Method::fastest);

    void update(const void* data, std::size_t size);
    // The digests of everything added so far; the object then starts over, empty.
    Digests finish();

    // The SHA-256 digests of two buffers of the same size, such as two chunks of a file: with
    // the SHA instructions the two computations run side by side, in about 85% of the time of
    // one after the other.
    static std::array<Sha256Digest, 2> digestTwo(const void* first, const void* second,
                                                 std::size_t size);

    // Whether this CPU has the instructions the fastest method uses.
    static bool accelerated();

  private:
    using State = std::array<std::uint32_t, 8>;

    void compress(const std::uint8_t* blocks, std::size_t count);
    void reset();

    bool own_;  // our rounds; otherwise OpenSSL's
    // Our rounds: both states consume the same blocks; a partial block waits in `pending_`.
    State linear_{};
    State chunk_{};
    std::uint64_t total_ = 0;  // bytes added
    std::size_t inChunk_ = 0;  // bytes of the current chunk compressed so far
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingSize_ = 0;
    std::vector<Sha256Digest> chunks_;  // of the chunks ended so far
    // OpenSSL's:
    Sha256 opensslLinear_;
    TreeHash::ChunkStream opensslChunks_;
};

}  // namespace quillon
