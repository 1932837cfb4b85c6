// RetrievalBudget: the bytes of archive retrievals started per region, held against the
// region's data retrieval policy when a retrieval starts.
// Threads: any thread; a mutex guards the record.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "sim/IsoTime.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

// Admits a retrieval when the bytes started in the policy's window (3600 s for BytesPerHour,
// 24 h for FreeTier, against its daily allowance) plus this one stay within the limit.
class RetrievalBudget {
  public:
    explicit RetrievalBudget(uint64_t freeTierBytesPerDay) : freeTierPerDay_(freeTierBytesPerDay) {}

    // True, and the bytes are counted, when the policy lets the retrieval start at `now`.
    bool admit(const std::string& region, const RetrievalPolicy& policy, uint64_t bytes,
               TimePoint now);

  private:
    struct Started {
        TimePoint at;
        uint64_t bytes;
    };

    uint64_t freeTierPerDay_;
    std::mutex mutex_;
    std::map<std::string, std::deque<Started>> started_;
};

}  // namespace quillon::sim
