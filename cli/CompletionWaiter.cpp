#include "CompletionWaiter.h"

#include "CliContext.h"

namespace quillon::cli {

CompletionWaiter::CompletionWaiter(CliContext& context, double timeoutSeconds)
    : context_(context), timeoutSeconds_(timeoutSeconds), state_(std::make_shared<State>()) {}

std::function<void(ErrorPtr)> CompletionWaiter::completion() const {
    std::shared_ptr<State> state = state_;
    return [state](ErrorPtr error) {
        {
            std::lock_guard lock(state->mutex);
            state->error = std::move(error);
        }
        state->done = true;
    };
}

void CompletionWaiter::requireStarted(bool requestMade) const {
    if (!requestMade && !finished()) {
        context_.fail("The region has no usable endpoint: check its host in Regions.json.");
    }
}

ErrorPtr CompletionWaiter::wait() const {
    context_.waitFor(state_->done, timeoutSeconds_);
    std::lock_guard lock(state_->mutex);
    return state_->error;
}

void CompletionWaiter::waitOrFail() const {
    if (ErrorPtr error = wait()) {
        context_.fail(error);
    }
}

}  // namespace quillon::cli
