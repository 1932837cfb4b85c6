// TrailingHash: a hash computed behind the receiving thread. Threads: as in TrailingHash.h.
#include "sim/TrailingHash.h"

#include <cstddef>
#include <mutex>

#include "interfaces/files/Sha256.h"

namespace quillon::sim {

TrailingHash::TrailingHash() : thread_([this] { run(); }) {}

TrailingHash::~TrailingHash() {
    if (thread_.joinable()) {
        finish();
    }
}

void TrailingHash::add(const char* data, size_t length) {
    {
        std::lock_guard lock(mutex_);
        pending_.emplace_back(data, length);
    }
    added_.notify_one();
}

Sha256Digest TrailingHash::finish() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    added_.notify_one();
    thread_.join();
    return sha_.finish();
}

void TrailingHash::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        added_.wait(lock, [this] { return closed_ || !pending_.empty(); });
        if (pending_.empty()) {
            return;
        }
        auto [data, length] = pending_.front();
        pending_.pop_front();
        lock.unlock();
        sha_.update(data, length);
        lock.lock();
    }
}

}  // namespace quillon::sim
