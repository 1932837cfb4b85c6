// ChunkWriter: the chunks of a download hashed and written to its file on a thread of its own.
//
// The threads receiving a download's answers only gather their bytes into 1 MiB chunks and hand
// them over; one thread hashes each chunk (two waiting chunks side by side) and writes it at its
// offset. Receiving, hashing and writing then overlap, and the file is written by one thread
// only (writes into one file from several threads queue on the file's lock, and spin while they
// wait). At most kQueued chunks wait at once: a receiver that gets ahead waits for room. Their
// buffers are used again.
// Threads: any thread may submit; a Stream's results are its owner's to read after drain().
//   The written callback comes from the writer's thread, without a lock held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/files/Sha256.h"

namespace quillon {

class FileDescriptor;

class ChunkWriter {
  public:
    static constexpr std::size_t kChunkSize = 1048576;
    static constexpr std::size_t kQueued = 8;

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

    // Writes into `file`, which outlives it (named `path` in errors); `written` is told of each
    // chunk written.
    ChunkWriter(const FileDescriptor& file, std::string path,
                std::function<void(std::int64_t bytes)> written);
    // Writes what is queued, then ends the thread.
    ~ChunkWriter();
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;

    // An empty buffer with room for a chunk.
    std::vector<char> buffer();
    // Queues `bytes` to be hashed as chunk `index` of `stream` and written at `offset`; waits
    // while kQueued chunks wait.
    void submit(const std::shared_ptr<Stream>& stream, std::vector<char> bytes, std::int64_t offset,
                std::size_t index);
    // Runs `task` on the writer's thread once every chunk submitted before it is written (or
    // failed). What the task holds is let go on that thread: it must not own this writer.
    void after(std::function<void()> task);
    // Waits until every chunk submitted for `stream` is written (or failed).
    void drain(Stream& stream);
    // Waits until every chunk and task submitted is done.
    void drainAll();

  private:
    struct Item {
        std::shared_ptr<Stream> stream;
        std::vector<char> bytes;
        std::int64_t offset = 0;
        std::size_t index = 0;
        std::function<void()> task;  // instead of a chunk
    };

    void run();
    // Writes one chunk and records it; called on the writer's thread without `mutex_`.
    void store(Item& item, const Sha256Digest& digest);

    const FileDescriptor& file_;
    const std::string path_;
    const std::function<void(std::int64_t)> written_;

    std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by `mutex_`:
    std::deque<Item> queue_;                // chunks to write, in the order submitted
    std::size_t unwritten_ = 0;             // chunks submitted and not yet written
    std::vector<std::vector<char>> spare_;  // buffers written, to be used again
    bool stopping_ = false;
    // Started last, so that it sees everything above constructed:
    std::thread thread_;
};

}  // namespace quillon
