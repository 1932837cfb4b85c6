// RateLimiter: a sliding one-second window. Threads: as in RateLimiter.h.
#include "sim/RateLimiter.h"

#include <chrono>
#include <mutex>

namespace quillon::sim {

bool RateLimiter::admit() {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    while (!admitted_.empty() && admitted_.front() <= now - std::chrono::seconds(1)) {
        admitted_.pop_front();
    }
    if (static_cast<long>(admitted_.size()) >= perSecond_) {
        return false;
    }
    admitted_.push_back(now);
    return true;
}

}  // namespace quillon::sim
