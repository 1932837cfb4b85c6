// MainQueue: the never-destroyed block queue, its condition variable and the pumps. Threads: as
// in MainQueue.h.
#include "foundation/MainQueue.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

struct Queue {
    std::mutex mutex;
    std::condition_variable available;
    std::deque<MainQueue::Block> blocks;

    // Never destroyed: a worker thread of another singleton may still post its last block
    // while the process exits and the statics are torn down.
    static Queue& instance() {
        static Queue& queue = *new Queue;
        return queue;
    }

    std::optional<MainQueue::Block> pop() {
        std::lock_guard lock(mutex);
        if (blocks.empty()) {
            return std::nullopt;
        }
        MainQueue::Block block = std::move(blocks.front());
        blocks.pop_front();
        return block;
    }

    void waitUntil(Clock::time_point deadline) {
        std::unique_lock lock(mutex);
        available.wait_until(lock, deadline, [this] { return !blocks.empty(); });
    }
};

Clock::time_point deadlineAfter(double seconds) {
    auto span = std::chrono::duration<double>(std::max(0.0, seconds));
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
}

}  // namespace

void MainQueue::async(Block block) {
    if (!block) {
        return;
    }
    Queue& queue = Queue::instance();
    {
        std::lock_guard lock(queue.mutex);
        queue.blocks.push_back(std::move(block));
    }
    queue.available.notify_all();
}

bool MainQueue::isMainThread() {
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

std::size_t MainQueue::runOnce() {
    Queue& queue = Queue::instance();
    std::size_t queued = pendingCount();
    std::size_t ran = 0;
    while (ran < queued) {
        auto block = queue.pop();
        if (!block) {
            break;
        }
        (*block)();
        ++ran;
    }
    return ran;
}

std::size_t MainQueue::run(double seconds) {
    Queue& queue = Queue::instance();
    auto deadline = deadlineAfter(seconds);
    std::size_t ran = 0;
    while (true) {
        if (auto block = queue.pop()) {
            (*block)();
            ++ran;
            continue;
        }
        if (Clock::now() >= deadline) {
            return ran;
        }
        queue.waitUntil(deadline);
    }
}

bool MainQueue::waitFor(const std::atomic<bool>& flag, double timeoutSeconds) {
    Queue& queue = Queue::instance();
    auto deadline = deadlineAfter(timeoutSeconds);
    // The flag may be set by a thread that does not touch the queue, so look at it often.
    constexpr auto kSlice = std::chrono::milliseconds(10);
    while (!flag.load()) {
        if (auto block = queue.pop()) {
            (*block)();
            continue;
        }
        auto now = Clock::now();
        if (now >= deadline) {
            break;
        }
        queue.waitUntil(std::min(deadline, now + kSlice));
    }
    return flag.load();
}

std::size_t MainQueue::pendingCount() {
    Queue& queue = Queue::instance();
    std::lock_guard lock(queue.mutex);
    return queue.blocks.size();
}

}  // namespace quillon
