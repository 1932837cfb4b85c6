// BlobMemory: the fixed-size blocks that hold archive bytes kept in memory, reused.
// Threads: thread-safe; any connection thread takes and gives back blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quillon::sim {

// A process-wide pool of 1 MiB blocks. Memory fresh from the kernel is zeroed page by page
// on first touch, which costs this virtual machine more than receiving and hashing the bytes:
// blocks of deleted archives are kept (up to a bound) for the next upload instead.
class BlobMemory {
  public:
    static constexpr uint64_t kBlockSize = uint64_t{1} << 20;
    using Block = std::unique_ptr<char[]>;

    static BlobMemory& shared();

    // A block of kBlockSize bytes, its contents unspecified.
    Block take();
    // Returns blocks to the pool; those beyond the bound are freed.
    void give(std::vector<Block>& blocks);

  private:
    static constexpr size_t kKeptBlocks = 2048;  // 2 GiB

    std::mutex mutex_;
    std::vector<Block> free_;  // guarded by `mutex_`
};

}  // namespace quillon::sim
