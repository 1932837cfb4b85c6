// GlacierManager: one account's service client: its request serializer and operation queue.
// Threads: the serializer keeps no state and the queue is thread-safe; any thread may use them.
#pragma once

#include "interfaces/http/GlacierRequestSerializer.h"
#include "interfaces/http/OperationQueue.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

// The Glacier service client of one account: builds and signs requests, wraps them in
// operations and runs those on its own queue.
class GlacierManager {
  public:
    GlacierManager() = default;
    GlacierManager(const GlacierManager&) = delete;
    GlacierManager& operator=(const GlacierManager&) = delete;

    GlacierRequestSerializer& requestSerializer() { return serializer_; }
    OperationQueue& operationQueue() { return queue_; }

    // A new operation for the request, not yet queued.
    RequestOperation::Ptr HTTPRequestOperationWithRequest(
        URLRequest request, RequestOperation::SuccessHandler success,
        RequestOperation::FailureHandler failure) const;

  private:
    GlacierRequestSerializer serializer_;
    OperationQueue queue_;
};

}  // namespace quillon
