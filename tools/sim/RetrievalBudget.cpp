// RetrievalBudget: retrieval policy windows. Threads: as in RetrievalBudget.h.
#include "sim/RetrievalBudget.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "sim/IsoTime.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

bool RetrievalBudget::admit(const std::string& region, const RetrievalPolicy& policy,
                            uint64_t bytes, TimePoint now) {
    using std::chrono::hours;
    std::lock_guard lock(mutex_);
    auto& started = started_[region];
    while (!started.empty() && started.front().at <= now - hours(24)) {
        started.pop_front();
    }
    std::optional<uint64_t> limit;
    TimePoint since = now - hours(24);
    if (policy.strategy == "BytesPerHour") {
        limit = static_cast<uint64_t>(policy.bytesPerHour.value_or(0));
        since = now - hours(1);
    } else if (policy.strategy == "FreeTier") {
        limit = freeTierPerDay_;
    }
    if (limit) {
        uint64_t used = bytes;
        for (const auto& entry : started) {
            used += entry.at > since ? entry.bytes : 0;
        }
        if (used > *limit) {
            return false;
        }
    }
    started.push_back({now, bytes});
    return true;
}

}  // namespace quillon::sim
