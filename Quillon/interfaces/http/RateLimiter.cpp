// RateLimiter: booking bytes on the timeline and waiting until they are due. Threads: as in
// RateLimiter.h.
#include "interfaces/http/RateLimiter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quillon {

namespace {

// Time a sender that fell behind may make up at once; keeps short pauses from lowering the rate
// without letting a long idle spell turn into a burst.
constexpr std::chrono::milliseconds kCatchUp{50};
// A sleeping caller looks at its cancellation this often.
constexpr std::chrono::milliseconds kCancelCheck{100};

}  // namespace

RateLimiter& RateLimiter::uploads() {
    static RateLimiter limiter;
    return limiter;
}

RateLimiter& RateLimiter::downloads() {
    static RateLimiter limiter;
    return limiter;
}

void RateLimiter::setRate(std::int64_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    rate_ = std::max<std::int64_t>(0, bytesPerSecond);
    next_ = Clock::now();
}

std::int64_t RateLimiter::rate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

bool RateLimiter::acquire(std::size_t bytes, const std::atomic<bool>* cancelled) {
    Clock::time_point due;
    {
        std::lock_guard lock(mutex_);
        if (rate_ <= 0) {
            return true;
        }
        const Clock::time_point now = Clock::now();
        const auto cost = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(rate_)));
        next_ = std::max(next_, now - std::chrono::duration_cast<Clock::duration>(kCatchUp)) + cost;
        due = next_;
    }
    while (Clock::now() < due) {
        if (cancelled != nullptr && cancelled->load()) {
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(due - Clock::now(), kCancelCheck));
    }
    return true;
}

}  // namespace quillon
