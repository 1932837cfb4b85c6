// TrailingHash: the SHA-256 of a body's bytes, computed on a thread of its own behind the
// thread that receives them.
// Threads: add() and finish() from one owner thread; the hashing thread is private to it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "interfaces/files/Sha256.h"

namespace quillon::sim {

// Hashes stretches of bytes in the order they were added, on its own thread, so that the
// connection thread receiving a large body does one hash pass less.
class TrailingHash {
  public:
    TrailingHash();
    ~TrailingHash();
    TrailingHash(const TrailingHash&) = delete;
    TrailingHash& operator=(const TrailingHash&) = delete;

    // `data` must stay valid and unchanged until finish() returns.
    void add(const char* data, size_t length);
    // Waits for the bytes added so far to be hashed and returns their digest.
    Sha256Digest finish();

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable added_;
    // Guarded by `mutex_`:
    std::deque<std::pair<const char*, size_t>> pending_;  // added, not yet hashed
    bool closed_ = false;                                 // no more will be added
    // The hashing thread's own until it is joined:
    Sha256 sha_;
    std::thread thread_;
};

}  // namespace quillon::sim
