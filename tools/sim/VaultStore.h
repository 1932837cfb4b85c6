// VaultStore: the simulator's vaults, archives, tags and retrieval policies per region.
// Threads: any thread; a mutex guards all of it, and archives are handed out as shared const.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/Blob.h"

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

struct RetrievalPolicy {
    std::string strategy = "FreeTier";
    std::optional<int64_t> bytesPerHour;
};

// Vaults, their archives and tags, and the data retrieval policy, kept apart per region.
class VaultStore {
  public:
    static constexpr size_t kMaxTags = 10;

    explicit VaultStore(std::string accountId);

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
    // The vault's archives in upload order, recording the inventory date; nothing when
    // the vault does not exist.
    std::optional<std::vector<std::shared_ptr<const ArchiveRecord>>> takeInventory(
        const std::string& region, const std::string& vault, const std::string& date);

  private:
    struct Vault {
        std::string creationDate;
        std::string lastInventoryDate;
        std::map<uint64_t, std::shared_ptr<const ArchiveRecord>> archives;
        std::unordered_map<std::string, uint64_t> sequenceOf;
        uint64_t nextSequence = 0;
        uint64_t sizeInBytes = 0;
        std::map<std::string, std::string> tags;
    };
    struct Region {
        std::map<std::string, Vault> vaults;
        RetrievalPolicy policy;
    };

    VaultInfo info(const std::string& region, const std::string& name, const Vault& vault) const;
    const Vault* find(const std::string& region, const std::string& name) const;
    Vault* find(const std::string& region, const std::string& name);

    std::string accountId_;
    mutable std::mutex mutex_;
    std::map<std::string, Region> regions_;
};

}  // namespace quillon::sim
