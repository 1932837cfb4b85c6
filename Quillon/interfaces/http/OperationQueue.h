// OperationQueue: runs request operations on a small pool of workers, each with its own handle.
// Threads: any thread; a mutex in state shared with the workers guards the queue. Operations
//   and their handlers run on the worker threads.
#pragma once

#include <memory>

#include "interfaces/http/RequestOperation.h"

namespace quillon {

// Runs request operations on a small pool of worker threads, each with its own libcurl handle
// kept for all its requests. Workers start with the first operation added. A cancelled
// operation still waiting is taken before the others so that its failure is not held up.
class OperationQueue {
  public:
    static constexpr int kDefaultMaxConcurrentOperationCount = 4;

    OperationQueue();
    // Cancels every operation, lets each end with its failure, and joins the workers.
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // Adding an operation that was already added or started has no effect.
    void addOperation(const RequestOperation::Ptr& operation);
    void setMaxConcurrentOperationCount(int count);
    int maxConcurrentOperationCount() const;
    void waitUntilAllOperationsAreFinished();

  private:
    struct Shared;
    static void work(std::shared_ptr<Shared> shared, int index);

    std::shared_ptr<Shared> shared_;
};

}  // namespace quillon
