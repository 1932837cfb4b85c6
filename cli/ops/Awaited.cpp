// Awaited: the bound, the cancellation and the wait behind every awaited model call.
// Threads: as in Awaited.h (main thread only; the main queue is pumped while waiting).

#include "ops/Awaited.h"

#include <string>

#include "CliContext.h"
#include "interfaces/platform/MainQueue.h"

namespace quillon::cli::ops {

AwaitBase::AwaitBase(CliContext& context, double timeoutSeconds)
    : context_(context), timeoutSeconds_(timeoutSeconds) {}

RequestOperation::Ptr AwaitBase::keep(RequestOperation::Ptr operation, bool finished) {
    if (!operation && !finished) {
        context_.fail("The region has no usable endpoint: check its host in Regions.json.");
    }
    operation_ = operation;
    return operation;
}

void AwaitBase::onTimeout(std::function<void()> cancel) {
    cancel_ = std::move(cancel);
}

void AwaitBase::await(const std::atomic<bool>& done) const {
    if (MainQueue::waitFor(done, timeoutSeconds_)) {
        return;
    }
    if (operation_) {
        operation_->cancel();
    }
    if (cancel_) {
        cancel_();
    }
    context_.fail("The operation did not finish within " +
                  std::to_string(static_cast<long>(timeoutSeconds_)) + " seconds.");
}

void AwaitBase::fail(const ErrorPtr& error) const {
    context_.fail(error);
}

}  // namespace quillon::cli::ops
