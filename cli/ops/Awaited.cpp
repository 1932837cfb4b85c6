// Awaited: the bound, the cancellation and the wait behind every awaited model call.
// Threads: as in Awaited.h (main thread only; the main queue is pumped while waiting).

#include "ops/Awaited.h"

#include <atomic>
#include <functional>
#include <string>
#include <utility>

#include "CliContext.h"
#include "foundation/Error.h"
#include "foundation/MainQueue.h"

namespace quillon::cli::ops {

AwaitBase::AwaitBase(CliContext& context, double timeoutSeconds)
    : context_(context), timeoutSeconds_(timeoutSeconds) {}

void AwaitBase::keep(std::function<void()> cancel, bool present, bool finished) {
    if (!present && !finished) {
        context_.fail("The region has no usable endpoint: check its host in Regions.json.");
    }
    cancelOperation_ = present ? std::move(cancel) : nullptr;
}

void AwaitBase::onTimeout(std::function<void()> cancel) {
    cancel_ = std::move(cancel);
}

void AwaitBase::await(const std::atomic<bool>& done) const {
    if (MainQueue::waitFor(done, timeoutSeconds_)) {
        return;
    }
    if (cancelOperation_) {
        cancelOperation_();
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
