// BlobPart: one stretch of archive bytes in memory or in a data-directory file.
// Threads: immutable; read() from any thread (each read opens the file for itself).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/BlobMemory.h"

namespace quillon::sim {

using ByteSink = std::function<bool(const char* data, size_t length)>;

// One stretch of archive bytes, held in memory (a string or pool blocks) or in a file of the
// data directory.
// A file part removes its file when the last holder lets go.
class BlobPart {
  public:
    static std::shared_ptr<const BlobPart> inMemory(std::string bytes);
    // Bytes in pool blocks, each full but the last; the blocks go back to the pool at the end.
    static std::shared_ptr<const BlobPart> inBlocks(std::vector<BlobMemory::Block> blocks,
                                                    uint64_t size);
    static std::shared_ptr<const BlobPart> inFile(std::string path, uint64_t size);
    ~BlobPart();
    BlobPart(const BlobPart&) = delete;
    BlobPart& operator=(const BlobPart&) = delete;

    uint64_t size() const { return size_; }
    // Hands bytes [offset, offset + length) to `sink` in pieces; false when the sink
    // refuses or the file cannot be read.
    bool read(uint64_t offset, uint64_t length, const ByteSink& sink) const;

  private:
    BlobPart(std::string bytes, std::vector<BlobMemory::Block> blocks, std::string path,
             uint64_t size);

    std::string bytes_;
    std::vector<BlobMemory::Block> blocks_;
    std::string path_;
    uint64_t size_;
};

}  // namespace quillon::sim
