// ServiceClock: the service's idea of the current time, learnt from its answers.
// Threads: any thread; a mutex guards the offset.
#pragma once

#include <mutex>

#include "foundation/Error.h"

namespace quillon {

// The service's current time, as its answers tell it: every answer's "Date" header sets the
// offset between the service's clock and ours, and every date the service writes (a job's
// creation or completion) is a time the service has already reached. Jobs complete, job output
// expires and retrieval allowances renew on the service's clock, so pacing reads it from here.
// Until an answer says otherwise the service's time is ours.
class ServiceClock {
  public:
    // Learns from an answer's "Date" header, when it has one that reads.
    void observe(const HeaderMap& headers);
    // A date the service wrote: its now is at least this.
    void observeAtLeast(double serviceSeconds);
    // The service's now in seconds since 1970.
    double now() const;
    // Seconds the service's clock runs ahead of ours (negative: behind).
    double offset() const;

  private:
    mutable std::mutex mutex_;
    double offset_ = 0;
};

}  // namespace quillon
