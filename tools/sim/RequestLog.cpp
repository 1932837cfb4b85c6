// RequestLog: the logged service requests. Threads: as in RequestLog.h.
#include "sim/RequestLog.h"

#include <mutex>
#include <utility>

namespace quillon::sim {

void RequestLog::add(LoggedRequest entry) {
    std::lock_guard lock(mutex_);
    if (entries_.size() == kCapacity) {
        entries_.pop_front();
    }
    entries_.push_back(std::move(entry));
}

void RequestLog::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

nlohmann::json RequestLog::toJson() const {
    std::lock_guard lock(mutex_);
    nlohmann::json list = nlohmann::json::array();
    for (const auto& entry : entries_) {
        nlohmann::json item = {{"method", entry.method},       {"target", entry.target},
                               {"host", entry.host},           {"region", entry.region},
                               {"signature", entry.signature}, {"status", entry.status}};
        if (!entry.fault.empty()) {
            item["fault"] = entry.fault;
        }
        list.push_back(std::move(item));
    }
    return list;
}

}  // namespace quillon::sim
