// JobStore: the simulator's jobs per region and vault; a stored job is immutable.
// Threads: any thread; a mutex guards the map, and jobs are handed out as shared const.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/IsoTime.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

struct Job {
    std::string id;
    std::string action;  // "InventoryRetrieval" or "ArchiveRetrieval"
    std::string description;
    std::string tier = "Standard";
    std::string vaultArn;
    std::string creationDate;
    TimePoint readyAt;    // completion, on the service's clock
    TimePoint expiresAt;  // the end of the output's availability; the job is gone then
    // Archive retrieval: the archive and the retrieved window of it.
    std::shared_ptr<const ArchiveRecord> archive;
    uint64_t rangeStart = 0;
    uint64_t rangeLength = 0;
    // Inventory retrieval: the inventory the job returns.
    std::shared_ptr<const VaultInventory> inventory;

    bool completed(TimePoint now) const { return now >= readyAt; }
    bool expired(TimePoint now) const { return now >= expiresAt; }
};

// Jobs per region and vault, in the order they were started.
class JobStore {
  public:
    void add(const std::string& region, const std::string& vault, std::shared_ptr<const Job> job);
    std::shared_ptr<const Job> get(const std::string& region, const std::string& vault,
                                   const std::string& id) const;
    std::vector<std::shared_ptr<const Job>> list(const std::string& region,
                                                 const std::string& vault) const;
    void removeVault(const std::string& region, const std::string& vault);

  private:
    static std::string key(const std::string& region, const std::string& vault) {
        return region + "\n" + vault;
    }

    mutable std::mutex mutex_;
    std::map<std::string, std::vector<std::shared_ptr<const Job>>> jobs_;
};

}  // namespace quillon::sim
