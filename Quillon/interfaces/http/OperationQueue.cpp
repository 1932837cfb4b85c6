// OperationQueue: the workers, their shared state and the queue's shutdown. Threads: as in
// OperationQueue.h.
#include "interfaces/http/OperationQueue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "interfaces/http/CurlHandle.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

// The workers hold this state too, so a handler that drops the last reference to the queue
// does not pull it from under its own worker.
struct OperationQueue::Shared {
    mutable std::mutex mutex;
    std::condition_variable workAvailable;
    std::condition_variable allFinished;
    std::deque<RequestOperation::Ptr> waiting;
    std::vector<RequestOperation::Ptr> running;
    std::vector<std::thread> workers;
    int maxCount = kDefaultMaxConcurrentOperationCount;
    bool stopping = false;

    void startWorkers(std::unique_lock<std::mutex>&, const std::shared_ptr<Shared>& self) {
        while (!stopping && static_cast<int>(workers.size()) < maxCount &&
               workers.size() < waiting.size() + running.size()) {
            workers.emplace_back(&OperationQueue::work, self, static_cast<int>(workers.size()));
        }
    }
};

OperationQueue::OperationQueue() : shared_(std::make_shared<Shared>()) {}

OperationQueue::~OperationQueue() {
    std::vector<std::thread> workers;
    {
        std::unique_lock lock(shared_->mutex);
        for (auto& operation : shared_->waiting) {
            operation->cancel();
        }
        for (auto& operation : shared_->running) {
            operation->cancel();
        }
        // Workers beyond the limit may be asleep with operations still waiting.
        shared_->maxCount =
            std::max<int>(shared_->maxCount, static_cast<int>(shared_->workers.size()));
        shared_->stopping = true;
        workers.swap(shared_->workers);
    }
    shared_->workAvailable.notify_all();
    for (auto& worker : workers) {
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();
        } else {
            worker.join();
        }
    }
}

void OperationQueue::addOperation(const RequestOperation::Ptr& operation) {
    if (!operation || !operation->claimForQueue()) {
        return;
    }
    {
        std::unique_lock lock(shared_->mutex);
        if (shared_->stopping) {
            // Added by a handler while the queue goes away: the remaining workers end it.
            operation->cancel();
        }
        shared_->waiting.push_back(operation);
        shared_->startWorkers(lock, shared_);
    }
    shared_->workAvailable.notify_all();
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    {
        std::unique_lock lock(shared_->mutex);
        shared_->maxCount = std::max(1, count);
        shared_->startWorkers(lock, shared_);
    }
    shared_->workAvailable.notify_all();
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->maxCount;
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lock(shared_->mutex);
    shared_->allFinished.wait(
        lock, [this] { return shared_->waiting.empty() && shared_->running.empty(); });
}

void OperationQueue::work(std::shared_ptr<Shared> shared, int index) {
    CurlHandle handle;
    std::unique_lock lock(shared->mutex);
    while (true) {
        shared->workAvailable.wait(lock, [&] {
            return (index < shared->maxCount && !shared->waiting.empty()) ||
                   (shared->stopping && shared->waiting.empty());
        });
        if (shared->waiting.empty()) {
            return;
        }
        auto next = std::find_if(shared->waiting.begin(), shared->waiting.end(),
                                 [](const auto& operation) { return operation->isCancelled(); });
        if (next == shared->waiting.end()) {
            next = shared->waiting.begin();
        }
        RequestOperation::Ptr operation = std::move(*next);
        shared->waiting.erase(next);
        shared->running.push_back(operation);
        lock.unlock();

        operation->runOn(handle);

        lock.lock();
        shared->running.erase(std::find(shared->running.begin(), shared->running.end(), operation));
        operation.reset();
        if (shared->waiting.empty() && shared->running.empty()) {
            shared->allFinished.notify_all();
        }
    }
}

}  // namespace quillon
