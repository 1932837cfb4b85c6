// AdaptiveWindow: additive increase, multiplicative decrease, jittered pauses. Threads: as in
// AdaptiveWindow.h; the jitter's random engine is per thread.
#include "transfers/AdaptiveWindow.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>

namespace quillon {

AdaptiveWindow::AdaptiveWindow(int initial, int maximum, std::chrono::milliseconds basePause,
                               std::chrono::milliseconds maxPause)
    : size_(std::clamp(initial, 1, std::max(1, maximum))),
      maximum_(std::max(1, maximum)),
      basePause_(basePause),
      maxPause_(maxPause) {}

void AdaptiveWindow::succeeded() {
    if (++successes_ < size_) {
        return;
    }
    successes_ = 0;
    throttlesInARow_ = 0;
    size_ = std::min(maximum_, size_ + 1);
}

std::chrono::milliseconds AdaptiveWindow::throttled(std::uint64_t ticket) {
    successes_ = 0;
    if (ticket <= reducedAt_) {
        return std::chrono::milliseconds(0);
    }
    reducedAt_ = issued_;
    size_ = std::max(1, size_ / 2);
    std::int64_t ceiling = std::max<std::int64_t>(1, basePause_.count());
    for (int step = 0; step < throttlesInARow_ && ceiling < maxPause_.count(); ++step) {
        ceiling *= 2;
    }
    ceiling = std::min<std::int64_t>(ceiling, std::max<std::int64_t>(1, maxPause_.count()));
    ++throttlesInARow_;
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::int64_t> pick(ceiling / 2, ceiling);
    return std::chrono::milliseconds(pick(generator));
}

}  // namespace quillon
