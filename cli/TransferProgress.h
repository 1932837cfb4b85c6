// TransferProgress: a transfer's line with percentage, rate and time left.
// Threads: any thread after construction; a mutex guards the line and its counts.
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
    // What the line begins with from the next drawing on.
    void setLabel(std::string label);
    // More bytes found there already (parts the service held); like `alreadyDone`.
    void addAlreadyDone(std::uint64_t bytes);
    void finish();
    // Wipes the line, so that other output can take its place; the next update draws it again.
    void clear();

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
