// ServiceClock: keeping the offset. Threads: as in ServiceClock.h.
#include "accounts/ServiceClock.h"

#include <mutex>

#include "foundation/Error.h"
#include "foundation/Support.h"
#include "interfaces/http/SigningClock.h"

namespace quillon {

void ServiceClock::observe(const HeaderMap& headers) {
    auto found = headers.find("Date");
    if (found == headers.end()) {
        return;
    }
    if (auto date = SigningClock::httpDate(found->second)) {
        // The header is cut to whole seconds: the middle of that second is the best guess.
        std::lock_guard lock(mutex_);
        offset_ = static_cast<double>(*date) + 0.5 - nowSecondsExact();
    }
}

void ServiceClock::observeAtLeast(double serviceSeconds) {
    std::lock_guard lock(mutex_);
    const double offset = serviceSeconds - nowSecondsExact();
    if (offset > offset_) {
        offset_ = offset;
    }
}

double ServiceClock::now() const {
    std::lock_guard lock(mutex_);
    return nowSecondsExact() + offset_;
}

double ServiceClock::offset() const {
    std::lock_guard lock(mutex_);
    return offset_;
}

}  // namespace quillon
