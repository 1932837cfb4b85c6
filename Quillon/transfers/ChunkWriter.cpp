// ChunkWriter: the hashing and writing threads and their queues. Threads: as in ChunkWriter.h.
#include "transfers/ChunkWriter.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/FileHelpers.h"
#include "interfaces/files/FileDescriptor.h"
#include "interfaces/files/PayloadHash.h"
#include "interfaces/files/Sha256.h"

namespace quillon {

ChunkWriter::ChunkWriter(const FileDescriptor& file, const FileDescriptor& direct, std::string path,
                         std::function<void(std::int64_t)> written)
    : file_(file),
      direct_(direct),
      path_(std::move(path)),
      written_(std::move(written)),
      hasher_([this] { hash(); }),
      writer_([this] { write(); }) {}

ChunkWriter::~ChunkWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    hasher_.join();
    writer_.join();
}

ChunkWriter::Bytes ChunkWriter::buffer() {
    Bytes bytes;
    {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            bytes = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    bytes.clear();
    bytes.reserve(kChunkSize);
    return bytes;
}

void ChunkWriter::submit(const std::shared_ptr<Stream>& stream, Bytes bytes, std::int64_t offset,
                         std::size_t index) {
    enqueue(Item{stream, std::move(bytes), offset, index, {}, nullptr});
}

void ChunkWriter::after(std::function<void()> task) {
    Item item;
    item.task = std::move(task);
    enqueue(std::move(item));
}

void ChunkWriter::enqueue(Item item) {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return unwritten_ < kQueued; });
        if (item.stream) {
            ++item.stream->queued;
        }
        ++unwritten_;
        queue_.push_back(std::move(item));
    }
    changed_.notify_all();
}

void ChunkWriter::drain(Stream& stream) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&stream] { return stream.queued == 0; });
}

void ChunkWriter::drainAll() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return unwritten_ == 0; });
}

void ChunkWriter::hash() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            hasherDone_ = true;
            changed_.notify_all();
            return;
        }
        // Two waiting chunks of one size are hashed side by side.
        std::vector<Item> items;
        items.push_back(std::move(queue_.front()));
        queue_.pop_front();
        if (!items[0].task && !queue_.empty() && !queue_.front().task &&
            queue_.front().bytes.size() == items[0].bytes.size()) {
            items.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        lock.unlock();
        if (items.size() == 2) {
            const auto digests = PayloadHash::digestTwo(
                items[0].bytes.data(), items[1].bytes.data(), items[0].bytes.size());
            items[0].digest = digests[0];
            items[1].digest = digests[1];
        } else if (!items[0].task) {
            items[0].digest = Sha256::digest(items[0].bytes.data(), items[0].bytes.size());
        }
        lock.lock();
        for (Item& item : items) {
            hashed_.push_back(std::move(item));
        }
        changed_.notify_all();
    }
}

void ChunkWriter::write() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return hasherDone_ || !hashed_.empty(); });
        if (hashed_.empty()) {
            return;
        }
        Item item = std::move(hashed_.front());
        hashed_.pop_front();
        lock.unlock();
        if (item.task) {
            item.task();
            item.task = nullptr;
            lock.lock();
            --unwritten_;
            changed_.notify_all();
        } else {
            store(item);
            lock.lock();
        }
    }
}

void ChunkWriter::store(Item& item) {
    Stream& stream = *item.stream;
    const auto length = static_cast<std::int64_t>(item.bytes.size());
    // A stream that failed writes nothing more: its bytes would be thrown away.
    const bool write = !stream.failed.load();
    bool wrote = false;
    if (write) {
        const bool direct = direct_ && !directRefused_ && item.bytes.size() % kAlignment == 0 &&
                            static_cast<std::size_t>(item.offset) % kAlignment == 0;
        if (direct) {
            wrote = direct_.writeFullyAt(item.bytes.data(), item.bytes.size(), item.offset);
            directRefused_ = !wrote && errno == EINVAL;
        }
        // Through the page cache: not a whole chunk, or the file system refuses direct writes.
        if (!direct || directRefused_) {
            wrote = file_.writeFullyAt(item.bytes.data(), item.bytes.size(), item.offset);
        }
    }
    const int failure = errno;
    if (wrote && written_) {
        written_(length);
    }

    std::lock_guard lock(mutex_);
    if (wrote) {
        if (stream.digests.size() <= item.index) {
            stream.digests.resize(item.index + 1);
        }
        stream.digests[item.index] = item.digest;
        stream.written += length;
    } else if (write) {
        stream.error = FileHelpers::makeError(failure == 0 ? EIO : failure, "Cannot write", path_);
        stream.failed = true;
    }
    --stream.queued;
    --unwritten_;
    spare_.push_back(std::move(item.bytes));
    changed_.notify_all();
}

}  // namespace quillon
