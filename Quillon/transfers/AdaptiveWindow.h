// AdaptiveWindow: how many requests a batch keeps in flight, lowered on throttling and raised
// again after successes. Threads: one owner; not synchronised.
#pragma once

#include <chrono>
#include <cstdint>

namespace quillon {

// The number of requests a batch of deletions keeps in flight. A throttling answer halves it
// (at least 1) and asks for a pause before the next request, growing with every throttle in a
// row (exponential from the base pause up to the maximum, jittered over its upper half); after as
// many successes in a row as the window is wide, the window grows by one again, up to its maximum.
// Answers to requests sent before the last reduction do not reduce it again: one burst of refusals
// counts as one signal.
class AdaptiveWindow {
  public:
    AdaptiveWindow(int initial, int maximum, std::chrono::milliseconds basePause,
                   std::chrono::milliseconds maxPause);

    int size() const { return size_; }
    int maximum() const { return maximum_; }
    // A number for the next request sent; give it back with the answer.
    std::uint64_t nextTicket() { return ++issued_; }

    void succeeded();
    // The pause before sending again; zero when the answer came to a request sent before the
    // window was last reduced.
    std::chrono::milliseconds throttled(std::uint64_t ticket);

  private:
    int size_;
    int maximum_;
    std::chrono::milliseconds basePause_;
    std::chrono::milliseconds maxPause_;
    int successes_ = 0;
    int throttlesInARow_ = 0;
    std::uint64_t issued_ = 0;
    std::uint64_t reducedAt_ = 0;
};

}  // namespace quillon
