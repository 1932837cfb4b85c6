// ChunkWriter: the chunks of a download hashed and written to its file on threads of its own.
//
// The threads receiving a download's answers only gather their bytes into 1 MiB chunks and hand
// them over. One thread hashes the chunks (two waiting chunks side by side), another writes each
// at its offset, in the order they came. Receiving, hashing and writing then overlap, and the
// file is written by one thread only (writes into one file from several threads queue on the
// file's lock, and spin while they wait). At most kQueued chunks wait at once: a receiver that
// gets ahead waits for room. Their buffers are used again.
//
// Whole chunks are written past the page cache where the file system allows it (O_DIRECT): a
// download of many GiB then neither evicts what else the machine caches nor waits for fresh
// pages of memory, which in a virtual machine can cost more than the disk itself. The rest go
// through the page cache.
// Threads: any thread may submit; a Stream's results are its owner's to read after drain().
//   The written callback and the tasks run on the writing thread, without a lock held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/files/Sha256.h"
#include "interfaces/files/TreeHash.h"

namespace quillon {

class FileDescriptor;

class ChunkWriter {
  public:
    static constexpr std::size_t kChunkSize = TreeHash::kChunkSize;
    static constexpr std::size_t kQueued = 8;
    // What writes past the page cache ask of their buffers, offsets and sizes.
    static constexpr std::size_t kAlignment = 4096;

    // Chunk buffers, aligned for writes past the page cache.
    template <typename T>
    struct AlignedAllocator {
        using value_type = T;
        AlignedAllocator() = default;
        template <typename U>
        explicit AlignedAllocator(const AlignedAllocator<U>& /*other*/) {}
        T* allocate(std::size_t count) {
            return static_cast<T*>(
                ::operator new (count * sizeof(T), std::align_val_t{kAlignment}));
        }
        void deallocate(T* data, std::size_t /*count*/) noexcept {
            ::operator delete (data, std::align_val_t{kAlignment});
        }
        bool operator==(const AlignedAllocator& /*other*/) const { return true; }
    };
    using Bytes = std::vector<char, AlignedAllocator<char>>;

    // One stream of chunks, such as one answer: what became of them. The fields are the
    // owner's to read once drain() returned; `failed` at any time.
    struct Stream {
        std::vector<Sha256Digest> digests;  // of the chunks written, by index
        std::int64_t written = 0;           // bytes written
        ErrorPtr error;                     // the first write that failed
        std::atomic<bool> failed{false};

      private:
        friend class ChunkWriter;
        std::size_t queued = 0;  // chunks submitted and not yet written; the writer's mutex
    };

    // Writes into `file`, which outlives it (named `path` in errors), and its whole chunks
    // through `direct` when that is open (the same file, opened with O_DIRECT); `written` is told
    // of each chunk written.
    ChunkWriter(const FileDescriptor& file, const FileDescriptor& direct, std::string path,
                std::function<void(std::int64_t bytes)> written);
    // Writes what is queued, then ends its threads.
    ~ChunkWriter();
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;

    // An empty buffer with room for a chunk.
    Bytes buffer();
    // Queues `bytes` to be hashed as chunk `index` of `stream` and written at `offset`; waits
    // while kQueued chunks wait.
    void submit(const std::shared_ptr<Stream>& stream, Bytes bytes, std::int64_t offset,
                std::size_t index);
    // Runs `task` on the writing thread once every chunk submitted before it is written (or
    // failed). What the task holds is let go on that thread: it must not own this writer.
    void after(std::function<void()> task);
    // Waits until every chunk submitted for `stream` is written (or failed).
    void drain(Stream& stream);
    // Waits until every chunk and task submitted is done.
    void drainAll();

  private:
    struct Item {
        std::shared_ptr<Stream> stream;
        Bytes bytes;
        std::int64_t offset = 0;
        std::size_t index = 0;
        Sha256Digest digest{};       // once hashed
        std::function<void()> task;  // instead of a chunk
    };

    // The two stages, each on a thread of its own: the chunks are hashed, then written, so
    // that hashing one chunk overlaps the write of the one before.
    void hash();
    void write();
    // Writes one hashed chunk and records it; the writing thread, without `mutex_`.
    void store(Item& item);
    // Queues a chunk or a task, waiting while kQueued wait.
    void enqueue(Item item);

    const FileDescriptor& file_;
    const FileDescriptor& direct_;
    bool directRefused_ = false;  // the writer's own: the file system refused a direct write
    const std::string path_;
    const std::function<void(std::int64_t)> written_;

    std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by `mutex_`:
    std::deque<Item> queue_;     // chunks to hash, in the order submitted
    std::deque<Item> hashed_;    // chunks hashed, to write in the same order
    std::size_t unwritten_ = 0;  // chunks and tasks submitted and not yet done
    std::vector<Bytes> spare_;   // buffers written, to be used again
    bool stopping_ = false;
    bool hasherDone_ = false;  // the hashing thread has ended; nothing more comes to `hashed_`
    // Started last, so that it sees everything above constructed:
    std::thread hasher_;
    std::thread writer_;
};

}  // namespace quillon
