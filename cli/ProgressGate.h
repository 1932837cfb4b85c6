// ProgressGate: lets a transfer's progress reports through to the command until the command
// stops listening, so that a request still in flight after its upload has failed or timed out
// never reports into a display that has moved on to another file or is gone.
// Threads: the reporter may be called from any thread; close() (and the destructor) on the
//   owner's thread. Once close() has returned, the reporter never calls the report again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace quillon::cli {

class ProgressGate {
  public:
    using Report = std::function<void(std::int64_t bytes)>;

    explicit ProgressGate(Report report) : state_(std::make_shared<State>()) {
        state_->report = std::move(report);
    }
    ~ProgressGate() { close(); }
    ProgressGate(const ProgressGate&) = delete;
    ProgressGate& operator=(const ProgressGate&) = delete;

    // A report for the requests to hold; it outlives the gate safely.
    Report reporter() const {
        return [state = state_](std::int64_t bytes) {
            std::lock_guard lock(state->mutex);
            if (state->report) {
                state->report(bytes);
            }
        };
    }

    // Waits for a report under way, then lets no more through.
    void close() {
        std::lock_guard lock(state_->mutex);
        state_->report = nullptr;
    }

  private:
    struct State {
        std::mutex mutex;
        Report report;
    };
    std::shared_ptr<State> state_;
};

}  // namespace quillon::cli
