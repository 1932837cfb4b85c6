#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "interfaces/base/Error.h"

namespace quillon::cli {

class CliContext;

// Turns a model completion, called on a client thread, into a bounded wait on the main thread
// that keeps the main queue running (deletion notices, logs). A completion arriving after the
// wait gave up lands in state of its own, never in freed memory.
class CompletionWaiter {
  public:
    explicit CompletionWaiter(CliContext& context, double timeoutSeconds = 600);

    // The completion to hand to a model operation; call it at most once.
    std::function<void(ErrorPtr)> completion() const;
    bool finished() const { return state_->done.load(); }
    // For an operation that made no request: a completion that has not run by now never will
    // (a region without a usable endpoint), so the command fails at once.
    void requireStarted(bool requestMade) const;
    // Waits for the completion; fails the command when the bound passes. Returns its error.
    ErrorPtr wait() const;
    // Waits and fails the command with the completion's error, if any.
    void waitOrFail() const;

  private:
    struct State {
        std::atomic<bool> done{false};
        std::mutex mutex;
        ErrorPtr error;
    };

    CliContext& context_;
    double timeoutSeconds_;
    std::shared_ptr<State> state_;
};

}  // namespace quillon::cli
