#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/Sha256.h"

namespace quillon::sim {

constexpr uint64_t kMiB = 1048576;

// Collects the SHA-256 digests of every 1 MiB chunk of a byte stream and combines
// chunk digests into the Glacier tree hash.
class TreeHasher {
  public:
    void update(const char* data, size_t length);
    // The digests of all chunks, the last one possibly short; empty input gives none.
    std::vector<Digest> finish();

    // Tree hash over `count` chunk digests starting at `first`; no chunk at all is the
    // hash of the empty input.
    static std::string treeHash(const Digest* first, size_t count);
    static std::string treeHash(const std::vector<Digest>& chunks) {
        return treeHash(chunks.data(), chunks.size());
    }

  private:
    Sha256 chunk_;
    uint64_t inChunk_ = 0;
    std::vector<Digest> digests_;
};

}  // namespace quillon::sim
