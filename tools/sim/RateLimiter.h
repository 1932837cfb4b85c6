// RateLimiter: at most N admitted calls in any one real second.
// Threads: any thread; a mutex guards the record.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>

namespace quillon::sim {

class RateLimiter {
  public:
    explicit RateLimiter(long perSecond) : perSecond_(perSecond) {}

    // True, and the call is counted, when fewer than N calls were admitted in the last second.
    bool admit();

  private:
    long perSecond_;
    std::mutex mutex_;
    std::deque<std::chrono::steady_clock::time_point> admitted_;
};

}  // namespace quillon::sim
