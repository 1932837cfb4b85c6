// Blob: the immutable content of one stored archive and the tree hashes of its ranges.
// Threads: immutable after construction; shared across connection threads and read from any.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/files/Sha256.h"
#include "sim/BlobPart.h"

namespace quillon::sim {

// The chunk size of the tree hash.
constexpr uint64_t kMiB = 1048576;

// The immutable content of one archive: its parts in order and the digests of its
// 1 MiB chunks, from which the tree hash of any MiB-aligned range follows.
class Blob {
  public:
    Blob(std::vector<std::shared_ptr<const BlobPart>> parts, std::vector<Sha256Digest> chunks);

    uint64_t size() const { return size_; }
    const std::string& treeHash() const { return treeHash_; }
    bool read(uint64_t offset, uint64_t length, const ByteSink& sink) const;
    // Tree hash of [offset, offset + length) when it starts on a chunk boundary and ends
    // on one or at the end of the content; nothing otherwise.
    std::optional<std::string> rangeTreeHash(uint64_t offset, uint64_t length) const;

  private:
    std::vector<std::shared_ptr<const BlobPart>> parts_;
    std::vector<Sha256Digest> chunks_;
    uint64_t size_ = 0;
    std::string treeHash_;
};

}  // namespace quillon::sim
