// Awaited: the front end's one way to wait for an asynchronous model operation.
//
// A command creates an Awaited<Value>, hands its completion() to the model call, passes the
// returned RequestOperation to track(), and reads the result with get() (or wait(), which hands
// the error back instead of failing):
//
//     ops::Awaited<Job::Ptr> started(context);
//     started.track(vault->jobs().apiInitiateInventoryRetrieval(description,
//                                                               started.completion()));
//     Job::Ptr job = started.get();
//
// Completions of another shape adapt the completion in a lambda that captures it by value:
//     [settle = awaited.completion()](const std::string& hash, ErrorPtr e, auto) {
//         settle(hash, std::move(e));
//     }
//
// Threads: an Awaited object is used on the main thread only. Its completion may be called
// once, from any thread; the result it writes lives in state shared (shared_ptr) between the
// command and the completion, so a completion that arrives after the command gave up writes
// there and never into the command's stack. While waiting, the main queue runs on the waiting
// thread. When the bound passes, the tracked operation (or the onTimeout action) is cancelled
// and the command fails with exit status 2.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "foundation/Error.h"

namespace quillon::cli {
class CliContext;
}

namespace quillon::cli::ops {

// Bounds for one wait: a request's answer, and a whole transfer (uploads, downloads), whose
// own stall detection ends a dead one much earlier.
inline constexpr double kRequestTimeout = 600;
inline constexpr double kTransferTimeout = 7 * 86400;

// The value of an operation that only succeeds or fails.
struct Nothing {};

// What does not depend on the value: the bound, the cancellation and the waiting itself.
class AwaitBase {
  public:
    AwaitBase(const AwaitBase&) = delete;
    AwaitBase& operator=(const AwaitBase&) = delete;

    // Another way to stop the work when the wait gives up (a hasher's cancel).
    void onTimeout(std::function<void()> cancel);

  protected:
    AwaitBase(CliContext& context, double timeoutSeconds);
    ~AwaitBase() = default;

    // Pumps the main queue until `done`; on timeout cancels and fails the command.
    void await(const std::atomic<bool>& done) const;
    // Fails the command with `error`, which is set.
    [[noreturn]] void fail(const ErrorPtr& error) const;
    // Keeps `cancel` (the tracked operation's) for the timeout; fails the command when there is
    // no operation (`present` false) and `finished` is not.
    void keep(std::function<void()> cancel, bool present, bool finished);

  private:
    CliContext& context_;
    double timeoutSeconds_;
    std::function<void()> cancelOperation_;
    std::function<void()> cancel_;
};

template <typename Value = Nothing>
class Awaited : public AwaitBase {
  public:
    struct Outcome {
        Value value{};
        ErrorPtr error;
    };

    explicit Awaited(CliContext& context, double timeoutSeconds = kRequestTimeout)
        : AwaitBase(context, timeoutSeconds), state_(std::make_shared<State>()) {}

    // The completion for the model call: (ErrorPtr) when Value is Nothing, else (Value,
    // ErrorPtr). Call it at most once; later calls are ignored.
    auto completion() const {
        std::shared_ptr<State> state = state_;
        if constexpr (std::is_same_v<Value, Nothing>) {
            return std::function<void(ErrorPtr)>(
                [state](ErrorPtr error) { state->settle(Value{}, std::move(error)); });
        } else {
            return std::function<void(Value, ErrorPtr)>([state](Value value, ErrorPtr error) {
                state->settle(std::move(value), std::move(error));
            });
        }
    }

    bool finished() const { return state_->done.load(); }

    // Waits for the completion and hands its result back, error included. Fails the command only
    // when the bound passes.
    Outcome wait() {
        await(state_->done);
        std::lock_guard lock(state_->mutex);
        return std::move(state_->outcome);
    }

    // Waits and fails the command with the completion's error; returns the value.
    Value get() {
        Outcome outcome = wait();
        if (outcome.error) {
            fail(outcome.error);
        }
        return std::move(outcome.value);
    }

    // The running operation, cancelled when the wait gives up. A null operation while no result
    // has arrived means no request could be made (a region without a usable endpoint): the
    // command fails at once. Returns the operation.
    template <typename Operation>
    std::shared_ptr<Operation> track(std::shared_ptr<Operation> operation) {
        const bool present = operation != nullptr;
        keep([operation] { operation->cancel(); }, present, finished());
        return operation;
    }

  private:
    struct State {
        std::atomic<bool> done{false};
        std::mutex mutex;
        Outcome outcome;

        void settle(Value value, ErrorPtr error) {
            std::lock_guard lock(mutex);
            if (done.load()) {
                return;
            }
            outcome.value = std::move(value);
            outcome.error = std::move(error);
            done.store(true);
        }
    };

    std::shared_ptr<State> state_;
};

}  // namespace quillon::cli::ops
