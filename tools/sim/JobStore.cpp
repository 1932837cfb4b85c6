// JobStore: jobs per region and vault. Threads: as in JobStore.h.
#include "sim/JobStore.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quillon::sim {

void JobStore::add(const std::string& region, const std::string& vault,
                   std::shared_ptr<const Job> job) {
    std::lock_guard lock(mutex_);
    jobs_[key(region, vault)].push_back(std::move(job));
}

std::shared_ptr<const Job> JobStore::get(const std::string& region, const std::string& vault,
                                         const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(key(region, vault));
    if (it != jobs_.end()) {
        for (const auto& job : it->second) {
            if (job->id == id) {
                return job;
            }
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<const Job>> JobStore::list(const std::string& region,
                                                       const std::string& vault) const {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(key(region, vault));
    return it == jobs_.end() ? std::vector<std::shared_ptr<const Job>>{} : it->second;
}

void JobStore::removeVault(const std::string& region, const std::string& vault) {
    std::lock_guard lock(mutex_);
    jobs_.erase(key(region, vault));
}

}  // namespace quillon::sim
