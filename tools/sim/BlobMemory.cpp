// BlobMemory: a pool of archive blocks. Threads: as in BlobMemory.h.
#include "sim/BlobMemory.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quillon::sim {

BlobMemory& BlobMemory::shared() {
    static BlobMemory pool;
    return pool;
}

BlobMemory::Block BlobMemory::take() {
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            Block block = std::move(free_.back());
            free_.pop_back();
            return block;
        }
    }
    return std::make_unique_for_overwrite<char[]>(kBlockSize);
}

void BlobMemory::give(std::vector<Block>& blocks) {
    {
        std::lock_guard lock(mutex_);
        for (Block& block : blocks) {
            if (free_.size() >= kKeptBlocks) {
                break;
            }
            free_.push_back(std::move(block));
        }
    }
    blocks.clear();  // frees what the pool did not keep
}

}  // namespace quillon::sim
