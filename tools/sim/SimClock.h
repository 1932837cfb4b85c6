// SimClock: the service's own clock. It runs with the real one and jumps ahead when told to,
// so that hours and days of the service's time pass without waiting.
// Threads: any thread; the offset is one atomic value.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "sim/IsoTime.h"

namespace quillon::sim {

// The real clock plus an offset that only grows.
class SimClock {
  public:
    TimePoint now() const {
        return std::chrono::system_clock::now() + std::chrono::milliseconds(offsetMs_.load());
    }
    // Moves the clock `by` ahead and answers the new now.
    TimePoint advance(std::chrono::milliseconds by) {
        offsetMs_ += by.count();
        return now();
    }

  private:
    std::atomic<int64_t> offsetMs_{0};
};

}  // namespace quillon::sim
