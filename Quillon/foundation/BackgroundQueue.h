// BackgroundQueue: blocks run one after another on a thread of the queue's own.
// Threads: post() from any thread; the blocks run on the queue's thread, in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace quillon {

// A serial queue with one thread of its own, started at the first post() and kept for the life
// of the process (it is never joined, so a block still waiting at exit does not hold the exit).
// For work that may wait long (a lock another process holds) and must not wait on a thread that
// others need, such as the service client's workers.
class BackgroundQueue {
  public:
    using Block = std::function<void()>;

    // The queue on which archive journal writes wait for the vault's writer lock.
    static BackgroundQueue& journal();

    BackgroundQueue() = default;
    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

    void post(Block block);

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Block> blocks_;
    bool started_ = false;
};

}  // namespace quillon
