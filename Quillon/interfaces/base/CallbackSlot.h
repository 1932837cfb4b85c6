// CallbackSlot: a replaceable callback that is never called with a lock held.
// Threads: any thread; a mutex guards the callback and the count of calls under way, and
//   set() waits until the calls of the callback it replaces have returned.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace quillon {

// Holds a callback installed by another part of the program (a log sink, a trace sink) and
// calls it without holding any lock, so that the callback may block, take its own locks or
// call back in. Replacing it waits for the calls still running the old one, so that a caller
// may destroy what its old callback referred to as soon as set() returns. A callback must not
// replace itself (set() from inside a call would wait for ever).
template <typename... Args>
class CallbackSlot {
  public:
    using Callback = std::function<void(Args...)>;

    // Installs `callback` (an empty one clears the slot) and returns the one it replaces.
    Callback set(Callback callback) {
        std::unique_lock lock(mutex_);
        std::shared_ptr<const Callback> old = std::move(callback_);
        callback_ = callback ? std::make_shared<const Callback>(std::move(callback)) : nullptr;
        idle_.wait(lock, [this] { return running_ == 0; });
        return old ? *old : Callback();
    }

    bool isSet() const {
        std::lock_guard lock(mutex_);
        return callback_ != nullptr;
    }

    // Calls the callback, if one is set; false when none is.
    template <typename... CallArgs>
    bool call(CallArgs&&... args) {
        std::shared_ptr<const Callback> callback;
        {
            std::lock_guard lock(mutex_);
            if (!callback_) {
                return false;
            }
            callback = callback_;
            ++running_;
        }
        struct Finished {
            CallbackSlot& slot;
            ~Finished() {
                std::lock_guard lock(slot.mutex_);
                if (--slot.running_ == 0) {
                    slot.idle_.notify_all();
                }
            }
        } finished{*this};
        (*callback)(std::forward<CallArgs>(args)...);
        return true;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::shared_ptr<const Callback> callback_;
    int running_ = 0;
};

}  // namespace quillon
