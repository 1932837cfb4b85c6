#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace quillon::cli {

class CliOutput;

// A one-line transfer display on standard error with percentage, rate and time left, drawn
// only when progress is wanted (not --quiet, standard error a terminal). update() may be called
// from any thread.
class TransferProgress {
  public:
    // `alreadyDone` bytes were there before this transfer (a resumed download); they count for
    // the percentage but not for the rate.
    TransferProgress(CliOutput& output, std::string label, std::uint64_t alreadyDone = 0);
    ~TransferProgress();
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    // Bytes of this transfer so far and expected in it (negative: unknown).
    void update(std::int64_t done, std::int64_t expected);
    void finish();

  private:
    using Clock = std::chrono::steady_clock;

    CliOutput& output_;
    std::string label_;
    std::uint64_t alreadyDone_;
    bool enabled_;
    std::mutex mutex_;
    Clock::time_point started_ = Clock::now();
    Clock::time_point lastDraw_{};
    bool drawn_ = false;
};

}  // namespace quillon::cli
