// BlobWriter: takes in one request body, hashing it and keeping it in memory or a file.
// Threads: not thread-safe; one owner, the connection thread that reads the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/files/PayloadHash.h"
#include "interfaces/files/Sha256.h"
#include "sim/BlobMemory.h"
#include "sim/BlobPart.h"

namespace quillon::sim {

// Receives a request body piece by piece, hashing it on the way (its linear hash and its chunk
// digests in one pass) and keeping it in memory blocks or, when a data directory is set, in a
// new file there.
class BlobWriter {
  public:
    struct Result {
        std::shared_ptr<const BlobPart> part;
        std::vector<Sha256Digest> chunks;
        std::string contentHash;
        std::string treeHash;
        uint64_t size = 0;
    };

    BlobWriter(const std::string& dataDir, uint64_t expectedSize);
    ~BlobWriter();
    BlobWriter(const BlobWriter&) = delete;
    BlobWriter& operator=(const BlobWriter&) = delete;

    bool write(const char* data, size_t length);
    // Nothing usable when writing failed (for example a full disk).
    std::optional<Result> finish();

  private:
    void append(const char* data, size_t length);

    std::vector<BlobMemory::Block> blocks_;
    std::string path_;
    int fd_ = -1;
    bool failed_ = false;
    uint64_t size_ = 0;
    PayloadHash hash_;
};

}  // namespace quillon::sim
