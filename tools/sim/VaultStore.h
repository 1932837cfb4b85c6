// VaultStore: the simulator's vaults, archives, tags and retrieval policies per region, and
// each vault's daily inventory.
// Threads: any thread; a mutex guards all of it, and archives and inventories are handed out
//   as shared const.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/Blob.h"
#include "sim/IsoTime.h"
#include "sim/SimClock.h"

namespace quillon::sim {

struct ArchiveRecord {
    std::string id;
    std::string description;
    std::string creationDate;
    std::shared_ptr<const Blob> blob;
};

struct VaultInfo {
    std::string name;
    std::string arn;
    std::string creationDate;
    std::string lastInventoryDate;  // empty until the first inventory
    uint64_t numberOfArchives = 0;
    uint64_t sizeInBytes = 0;
};

// A vault's archives as one inventory saw them.
struct VaultInventory {
    std::string date;
    std::vector<std::shared_ptr<const ArchiveRecord>> archives;
    uint64_t sizeInBytes = 0;
};

struct RetrievalPolicy {
    std::string strategy = "FreeTier";
    std::optional<int64_t> bytesPerHour;
};

// Vaults, their archives and tags, and the data retrieval policy, kept apart per region.
//
// With daily inventories, the service takes a vault's inventory at each midnight UTC of the
// clock when the vault was written (an archive stored or deleted) since the last one; its
// description, its inventory jobs and its deletion go by that inventory, not the live state.
// Without them, each inventory job takes the live state and descriptions show it.
class VaultStore {
  public:
    static constexpr size_t kMaxTags = 10;

    VaultStore(std::string accountId, const SimClock& clock, bool dailyInventory);

    std::string arn(const std::string& region, const std::string& vault) const;

    bool create(const std::string& region, const std::string& name);
    bool exists(const std::string& region, const std::string& name) const;
    std::optional<VaultInfo> describe(const std::string& region, const std::string& name) const;
    // Vaults in ASCII name order starting at `from` (inclusive); `next` is the name that
    // follows the page, empty at the end.
    std::vector<VaultInfo> list(const std::string& region, const std::string& from, size_t limit,
                                std::string& next) const;

    enum class Outcome { Done, NoVault, NotFound, NotEmpty, LimitExceeded };
    Outcome remove(const std::string& region, const std::string& name);

    std::optional<std::map<std::string, std::string>> tags(const std::string& region,
                                                           const std::string& name) const;
    Outcome addTags(const std::string& region, const std::string& name,
                    const std::map<std::string, std::string>& tags);
    Outcome removeTags(const std::string& region, const std::string& name,
                       const std::vector<std::string>& keys);

    RetrievalPolicy policy(const std::string& region) const;
    void setPolicy(const std::string& region, RetrievalPolicy policy);

    bool addArchive(const std::string& region, const std::string& vault,
                    std::shared_ptr<const ArchiveRecord> archive);
    Outcome removeArchive(const std::string& region, const std::string& vault,
                          const std::string& id);
    std::shared_ptr<const ArchiveRecord> archive(const std::string& region,
                                                 const std::string& vault,
                                                 const std::string& id) const;
    // The inventory an inventory job of the vault returns: with daily inventories the last
    // one taken (null before the first), else the archives now, in upload order, recording
    // the date. Nothing when the vault does not exist.
    std::optional<std::shared_ptr<const VaultInventory>> takeInventory(const std::string& region,
                                                                       const std::string& vault);

  private:
    struct Vault {
        std::string creationDate;
        std::string lastInventoryDate;
        std::map<uint64_t, std::shared_ptr<const ArchiveRecord>> archives;
        std::unordered_map<std::string, uint64_t> sequenceOf;
        uint64_t nextSequence = 0;
        uint64_t sizeInBytes = 0;
        std::map<std::string, std::string> tags;
        // The daily inventory, brought up to date by the first look after a midnight: the
        // state then is still the state at that midnight, since every write looks first.
        mutable std::shared_ptr<const VaultInventory> inventory;
        mutable bool writtenSinceInventory = false;
        TimePoint lastWrite;
    };
    struct Region {
        std::map<std::string, Vault> vaults;
        RetrievalPolicy policy;
    };

    VaultInfo info(const std::string& region, const std::string& name, const Vault& vault) const;
    // Takes the inventory of the last midnight when the vault was written before it.
    void catchUp(const Vault& vault) const;
    static std::shared_ptr<const VaultInventory> snapshot(const Vault& vault, TimePoint date);
    // catchUp, then notes a write.
    void noteWrite(Vault& vault);
    const Vault* find(const std::string& region, const std::string& name) const;
    Vault* find(const std::string& region, const std::string& name);

    std::string accountId_;
    const SimClock& clock_;
    bool daily_;
    mutable std::mutex mutex_;
    std::map<std::string, Region> regions_;
};

}  // namespace quillon::sim
