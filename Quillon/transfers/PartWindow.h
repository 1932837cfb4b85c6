// PartWindow: the parts of one transfer in flight, their first error, cancelling and waiting.
// Threads: any thread; one mutex guards the count, the first error and the tracked requests.
//   acquire() and wait() block the calling thread (the transfer's driver), release() is called
//   from the parts' completions on the client's worker threads.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

// The window of parts that one transfer keeps in flight at once: a driver thread takes a place
// for each part before it starts the part's request and the part gives the place back when its
// request ends. The first error ends the window: the requests still in flight are cancelled and
// no more places are given. cancelAll() does the same from outside, with a cancellation error.
class PartWindow {
  public:
    // At most `limit` parts in flight (at least one).
    explicit PartWindow(int limit);
    PartWindow(const PartWindow&) = delete;
    PartWindow& operator=(const PartWindow&) = delete;

    int limit() const { return limit_; }

    // Waits for a free place and takes it; false, taking none, once the window has failed.
    bool acquire();
    // Keeps the request of a part that holds a place, so that a failure can cancel it. Requests
    // that have finished are let go here.
    void track(const RequestOperation::Ptr& operation);
    // A part ended and gives its place back; an error is kept when it is the first, and the
    // other parts are cancelled.
    void release(const ErrorPtr& error = nullptr);
    // A failure outside any part (the first is kept): the parts in flight are cancelled.
    void fail(const ErrorPtr& error);
    // Stops the transfer from any thread: fails the window with a cancellation error.
    void cancelAll();
    // Waits until no part is in flight; the first error, none when every part succeeded.
    ErrorPtr wait();
    ErrorPtr error() const;

    // The error cancelAll() leaves: NSURLErrorDomain -999, "cancelled".
    static ErrorPtr cancelledError();

  private:
    // Cancels the tracked requests; called with `mutex_` held.
    void cancelTracked();

    const int limit_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_:
    int inFlight_ = 0;                               // places taken and not given back
    ErrorPtr error_;                                 // the first failure; ends the window
    std::vector<RequestOperation::Ptr> operations_;  // requests of the parts in flight
};

}  // namespace quillon
