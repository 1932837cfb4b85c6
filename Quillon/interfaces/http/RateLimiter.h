// RateLimiter: holds the bytes of every transfer that shares it to one total rate. Each caller
// books its bytes on one timeline and sleeps until they are due, so the rate holds however many
// workers send at once. The process keeps one for uploads and one for downloads.
// Threads: any thread; a mutex guards the timeline and callers sleep outside it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace quillon {

class RateLimiter {
  public:
    // The limiters every transfer of the process uses; unlimited until a rate is set.
    static RateLimiter& uploads();
    static RateLimiter& downloads();

    // Bytes per second over all callers; 0 or less: no limit.
    void setRate(std::int64_t bytesPerSecond);
    std::int64_t rate() const;

    // Waits until `bytes` more fit in the rate; returns early (false) once `cancelled` is set.
    bool acquire(std::size_t bytes, const std::atomic<bool>* cancelled = nullptr);

  private:
    using Clock = std::chrono::steady_clock;
    mutable std::mutex mutex_;
    std::int64_t rate_ = 0;
    Clock::time_point next_{};
};

}  // namespace quillon
