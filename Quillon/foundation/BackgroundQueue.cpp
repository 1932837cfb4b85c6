// BackgroundQueue: the queue's thread and its blocks. Threads: as in BackgroundQueue.h.
#include "foundation/BackgroundQueue.h"

#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "interfaces/base/ConsoleLog.h"

namespace quillon {

BackgroundQueue& BackgroundQueue::journal() {
    // Never destroyed: its thread may still run when static objects go away.
    static auto* queue = new BackgroundQueue();
    return *queue;
}

void BackgroundQueue::post(Block block) {
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
    if (!started_) {
        started_ = true;
        std::thread([this] { run(); }).detach();
    }
    posted_.notify_one();
}

void BackgroundQueue::run() {
    for (;;) {
        Block block;
        {
            std::unique_lock lock(mutex_);
            posted_.wait(lock, [this] { return !blocks_.empty(); });
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        try {
            block();
        } catch (const std::exception& e) {
            NSLog("A background block threw: %@", {std::string(e.what())});
        }
    }
}

}  // namespace quillon
