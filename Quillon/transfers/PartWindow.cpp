// PartWindow: places, the first error and cancelling. Threads: as in PartWindow.h.
#include "transfers/PartWindow.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

PartWindow::PartWindow(int limit) : limit_(std::max(1, limit)) {}

bool PartWindow::acquire() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return error_ || inFlight_ < limit_; });
    if (error_) {
        return false;
    }
    ++inFlight_;
    return true;
}

void PartWindow::track(const RequestOperation::Ptr& operation) {
    if (!operation) {
        return;
    }
    std::lock_guard lock(mutex_);
    std::erase_if(operations_,
                  [](const RequestOperation::Ptr& tracked) { return tracked->isFinished(); });
    operations_.push_back(operation);
    if (error_) {
        operation->cancel();
    }
}

// Both notify with the lock held: the waiter may destroy the window as soon as it sees the last
// place given back, and a notification after unlocking would touch a destroyed condition.
void PartWindow::release(const ErrorPtr& error) {
    std::lock_guard lock(mutex_);
    --inFlight_;
    if (error && !error_) {
        error_ = error;
        cancelTracked();
    }
    changed_.notify_all();
}

void PartWindow::fail(const ErrorPtr& error) {
    std::lock_guard lock(mutex_);
    if (!error_) {
        error_ = error ? error : cancelledError();
    }
    cancelTracked();
    changed_.notify_all();
}

void PartWindow::cancelAll() {
    fail(cancelledError());
}

ErrorPtr PartWindow::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return inFlight_ == 0; });
    operations_.clear();
    return error_;
}

ErrorPtr PartWindow::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

ErrorPtr PartWindow::cancelledError() {
    static const ErrorPtr error = std::make_shared<const Error>(
        kURLErrorDomain, kURLErrorCancelled,
        UserInfo{{kLocalizedDescriptionKey, std::string("cancelled")}});
    return error;
}

void PartWindow::cancelTracked() {
    for (const auto& operation : operations_) {
        operation->cancel();
    }
}

}  // namespace quillon
