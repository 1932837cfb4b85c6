// TransferProgress: a transfer's progress line: bytes done of the total, rate and time left.
// Threads: any thread after construction; a mutex guards the counts, ProgressLine the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "ProgressLine.h"

namespace quillon::cli {

class CliOutput;

// A transfer's line on standard error (drawn by ProgressLine): what is done, the item's name,
// the bytes done of the total, the rate of this run and the time left at that rate. update()
// may be called from any thread.
class TransferProgress {
  public:
    // `alreadyDone` bytes were there before this transfer (a resumed download); they count as
    // done but not for the rate.
    TransferProgress(CliOutput& output, std::string label, std::uint64_t alreadyDone = 0);
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    // Bytes of this transfer so far and expected in it (negative: unknown).
    void update(std::int64_t done, std::int64_t expected);
    // What the line begins with from the next drawing on, and the item's name after it (the
    // part that is cut first when the terminal is narrow).
    void setLabel(std::string label, std::string name = "");
    // More bytes found there already (parts the service held); like `alreadyDone`.
    void addAlreadyDone(std::uint64_t bytes);
    void finish() { line_.finish(); }
    // Wipes the line, so that other output can take its place; the next update draws it again.
    void clear() { line_.clear(); }

  private:
    using Clock = std::chrono::steady_clock;

    ProgressLine line_;
    std::mutex mutex_;
    std::string label_;
    std::string name_;
    std::uint64_t alreadyDone_;
    Clock::time_point started_ = Clock::now();
};

}  // namespace quillon::cli
